// The drive roots the system lists ("C:\", "D:\", ...), all types, in the
// system's order.
#pragma once

#include <string>
#include <vector>

namespace qek {

// GetLogicalDriveStringsA, asked once for the size and once for the list.
// Empty when the list cannot be read.
std::vector<std::string> LogicalDriveRoots();

} // namespace qek
