#include "maintenance/GamePath.h"

namespace qek {

namespace {

char UpperCase(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

bool IsSystemDrive(char driveLetter, char systemDriveLetter)
{
    return UpperCase(driveLetter) == UpperCase(systemDriveLetter);
}

} // namespace qek
