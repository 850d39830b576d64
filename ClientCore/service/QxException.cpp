#include "service/QxException.h"

// Defined out of line so that the class's virtual table lives in one place.
CQx_Exception::~CQx_Exception() = default;
