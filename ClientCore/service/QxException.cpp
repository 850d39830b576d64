#include "service/QxException.h"

namespace qek {

// Defined out of line so that the class's virtual table lives in one place.
CQx_Exception::~CQx_Exception() = default;

} // namespace qek
