// Windows: the service's settings kept in its own registry key,
// HKLM\SYSTEM\CurrentControlSet\Services\<name>\Parameters. Every string
// value there (REG_SZ, or REG_EXPAND_SZ with its variables expanded) becomes
// the environment variable of the value's name before the core starts, so
// that the transport reads RAVELNET_ALLOW, RAVELNET_PORT, ... from it. A
// variable the process already has (set machine-wide, for example) is kept.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct AppliedParameters {
    std::vector<std::string> set;     // the names set from the key
    std::vector<std::string> kept;    // names already in the environment
    std::vector<std::string> ignored; // values that are not strings
};

// From an open key (KEY_QUERY_VALUE).
AppliedParameters ApplyParameters(HKEY parameters);
// From the named service's Parameters key; an absent key sets nothing.
AppliedParameters ApplyServiceParameters(const std::string& serviceName);
