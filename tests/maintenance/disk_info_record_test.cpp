// The disk info record as bytes on the wire.
#include "protocol/DriveRecords.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

using namespace qek;

namespace {

std::array<uint8_t, 20> Bytes(const DiskInfoRecord& record)
{
    std::array<uint8_t, 20> bytes{};
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

TEST(DiskInfoRecord, FourGibibytesTravelAsHighOneLowZero)
{
    const DiskInfoRecord record = MakeDiskInfoRecord('D', 0, 4294967296ull);
    EXPECT_EQ(record.totalHigh, 1u);
    EXPECT_EQ(record.totalLow, 0u);
    const std::array<uint8_t, 20> expected = {'D', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(record), expected);
}

TEST(DiskInfoRecord, CountsGoHighWordFirstEachLittleEndian)
{
    const DiskInfoRecord record = MakeDiskInfoRecord('F', 0x0000000A'11223344ull, 0x00000123'89ABCDEFull);
    const std::array<uint8_t, 20> expected = {
        'F',  0,    0,    0,    // letter, reserved
        0x0A, 0x00, 0x00, 0x00, // free, high word
        0x44, 0x33, 0x22, 0x11, // free, low word
        0x23, 0x01, 0x00, 0x00, // total, high word
        0xEF, 0xCD, 0xAB, 0x89, // total, low word
    };
    EXPECT_EQ(Bytes(record), expected);
}

} // namespace
