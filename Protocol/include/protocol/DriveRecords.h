// The record the disk info task sends for each fixed drive, and the most a
// disk info answer can hold.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qek::inline protocol {

// 20 bytes, sent as it lies in memory (little-endian words). Each 64-bit byte
// count travels as two 32-bit words, the high word first: it is not one
// little-endian 64-bit value.
struct DiskInfoRecord {
    char driveLetter;    // first character of the root string, e.g. 'D' for D:\ .
    uint8_t reserved[3]; // zero
    uint32_t freeHigh;   // total free bytes on the volume, high 32 bits
    uint32_t freeLow;    //   and low 32 bits
    uint32_t totalHigh;  // size of the volume in bytes, high 32 bits
    uint32_t totalLow;   //   and low 32 bits
};
static_assert(sizeof(DiskInfoRecord) == 20);
static_assert(offsetof(DiskInfoRecord, driveLetter) == 0);
static_assert(offsetof(DiskInfoRecord, reserved) == 1);
static_assert(offsetof(DiskInfoRecord, freeHigh) == 4);
static_assert(offsetof(DiskInfoRecord, freeLow) == 8);
static_assert(offsetof(DiskInfoRecord, totalHigh) == 12);
static_assert(offsetof(DiskInfoRecord, totalLow) == 16);

// A client has at most the 26 drive letters.
constexpr uint32_t kMaxDiskInfoRecords = 26;

inline DiskInfoRecord MakeDiskInfoRecord(char driveLetter, uint64_t freeBytes, uint64_t totalBytes)
{
    DiskInfoRecord record{};
    record.driveLetter = driveLetter;
    record.freeHigh = static_cast<uint32_t>(freeBytes >> 32);
    record.freeLow = static_cast<uint32_t>(freeBytes);
    record.totalHigh = static_cast<uint32_t>(totalBytes >> 32);
    record.totalLow = static_cast<uint32_t>(totalBytes);
    return record;
}

} // namespace qek::inline protocol
