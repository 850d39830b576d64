// Statuses in assertions: "ok" or "failed(<code>)", so that a failure shows
// its code and a failure with code 1 can never pass for success.
#pragma once

#include "base/Status.h"

#include <string>

using namespace qek;

inline std::string StatusText(const Status& status)
{
    return status.IsOk() ? "ok" : "failed(" + std::to_string(status.Code()) + ")";
}

inline std::string FailedWith(int code)
{
    return "failed(" + std::to_string(code) + ")";
}
