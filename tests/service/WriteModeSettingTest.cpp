// The comparison of the setting's 20-byte buffer with the text "1": exact,
// and never past the buffer (AddressSanitizer watches the reads).
#include "service/WriteModeSetting.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace qek;

namespace {

struct BufferCase {
    const char* name;
    std::size_t length; // bytes of `bytes` copied into the buffer
    const char* bytes;
    int32_t flag;
};

class WriteModeValue : public testing::TestWithParam<BufferCase> { };

TEST_P(WriteModeValue, OnlyTheTextOneGivesOne)
{
    // A heap buffer of exactly 20 bytes: a read past it is reported.
    auto storage = std::make_unique<unsigned char[]>(kWriteModeValueBufferSize);
    std::memset(storage.get(), 0, kWriteModeValueBufferSize);
    std::memcpy(storage.get(), GetParam().bytes, GetParam().length);
    const auto& buffer = *reinterpret_cast<const unsigned char(*)[kWriteModeValueBufferSize]>(storage.get());
    EXPECT_EQ(WriteModeFlag(WriteModeFromValue(buffer)), GetParam().flag);
}

INSTANTIATE_TEST_SUITE_P(Values, WriteModeValue,
                         testing::Values(BufferCase{"Empty", 0, "", 0}, BufferCase{"One", 2, "1", 1},
                                         BufferCase{"OneWithoutTerminatorInZeroedBuffer", 1, "1", 1},
                                         BufferCase{"Zero", 2, "0", 0}, BufferCase{"ZeroOne", 3, "01", 0},
                                         BufferCase{"OneSpace", 3, "1 ", 0}, BufferCase{"True", 5, "true", 0},
                                         BufferCase{"DwordOne", 4, "\x01\x00\x00\x00", 0},
                                         BufferCase{"TwentyOnesNoTerminator", 20, "11111111111111111111", 0},
                                         BufferCase{"OneThenNineteenSpaces", 20, "1                   ", 0}),
                         [](const testing::TestParamInfo<BufferCase>& info) { return info.param.name; });

} // namespace
