// Check-list records as the server sends them, built by the tests that play
// the server's side or feed a check list to the client directly.
#pragma once

#include "protocol/FileTaskRecords.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qeltest {

using namespace qek::protocol;

// A fixed last-write time, as a FILETIME count (2021-06-01 12:00:00 UTC).
constexpr uint64_t kSomeTime = 132670512000000000ull;

// A file's record (attributes 0x20) and a directory's record; the name is
// cut to the record's field.
QELDtFile FileRecord(std::string_view name, uint64_t size, uint64_t fileTime = kSomeTime);
QELDtFile DirectoryRecord(std::string_view name);
// The records as the bytes of a check list, in this order.
std::string Serialize(const std::vector<QELDtFile>& records);

} // namespace qeltest
