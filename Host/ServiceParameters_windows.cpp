#include "ServiceParameters.h"

#include <cstdlib>

namespace {

bool InEnvironment(const std::string& name)
{
    char probe[1];
    if (GetEnvironmentVariableA(name.c_str(), probe, sizeof probe) > 0) {
        return true;
    }
    return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

std::string Expanded(const std::string& text)
{
    const DWORD needed = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
    if (needed == 0) {
        return text;
    }
    std::string expanded(needed, '\0');
    const DWORD written = ExpandEnvironmentStringsA(text.c_str(), expanded.data(), needed);
    if (written == 0 || written > needed) {
        return text;
    }
    expanded.resize(written - 1);
    return expanded;
}

} // namespace

AppliedParameters ApplyParameters(HKEY parameters)
{
    AppliedParameters applied;
    // Names are at most 16383 characters, string data is bounded by the key's
    // largest value, asked for first.
    DWORD longestName = 0;
    DWORD longestData = 0;
    if (RegQueryInfoKeyA(parameters, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
        return applied;
    }
    std::string name(longestName + 1, '\0');
    std::string data(longestData + 1, '\0');
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LSTATUS result = RegEnumValueA(parameters, index, name.data(), &nameLength, nullptr, &type,
                                             reinterpret_cast<BYTE*>(data.data()), &dataLength);
        if (result != ERROR_SUCCESS) {
            break; // ERROR_NO_MORE_ITEMS, or a key that changed under us
        }
        const std::string valueName(name.data(), nameLength);
        if (valueName.empty()) {
            continue; // the key's default value names no variable
        }
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            applied.ignored.push_back(valueName);
            continue;
        }
        std::string text(data.data(), dataLength);
        while (!text.empty() && text.back() == '\0') {
            text.pop_back();
        }
        if (type == REG_EXPAND_SZ) {
            text = Expanded(text);
        }
        if (InEnvironment(valueName)) {
            applied.kept.push_back(valueName);
            continue;
        }
        // Both the process's environment block and the C runtime's copy, which
        // getenv reads.
        SetEnvironmentVariableA(valueName.c_str(), text.c_str());
        _putenv_s(valueName.c_str(), text.c_str());
        applied.set.push_back(valueName);
    }
    return applied;
}

AppliedParameters ApplyServiceParameters(const std::string& serviceName)
{
    const std::string keyName = "SYSTEM\\CurrentControlSet\\Services\\" + serviceName + "\\Parameters";
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return {};
    }
    AppliedParameters applied = ApplyParameters(key);
    RegCloseKey(key);
    return applied;
}
