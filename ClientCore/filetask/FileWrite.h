// Writing received bytes to a file, all of them or a failure.
#pragma once

#include "base/Status.h"

#include <windows.h>

namespace qek {

// Writes all of `length` bytes at the file pointer. A write that reports
// success with fewer bytes is a full disk (ERROR_DISK_FULL).
Status WriteAll(HANDLE file, const void* data, DWORD length);

} // namespace qek
