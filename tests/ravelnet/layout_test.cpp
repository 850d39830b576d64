// The records of the transport interface, byte for byte.
#include "ravelnet.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

static_assert(sizeof(RavelnetServerSettings) == 124);
static_assert(offsetof(RavelnetServerSettings, listenAddress) == 100);
static_assert(sizeof(RavelnetServerSettings::listenAddress) == 16);
static_assert(offsetof(RavelnetServerSettings, port) == 116);
static_assert(sizeof(RavelnetServerSettings::port) == 2);
static_assert(offsetof(RavelnetServerSettings, one) == 120);
static_assert(sizeof(RavelnetServerSettings::one) == 4);

static_assert(sizeof(RavelnetTaskHeader) == 16);
static_assert(offsetof(RavelnetTaskHeader, type) == 0);
static_assert(offsetof(RavelnetTaskHeader, magic) == 4);
static_assert(offsetof(RavelnetTaskHeader, sequence) == 8);
static_assert(offsetof(RavelnetTaskHeader, payloadLength) == 12);

static_assert(RAVELNET_REPLY_SIZE == 20);

TEST(RavelnetLayout, MagicIsRvn1OnTheWire)
{
    const uint32_t magic = RAVELNET_MAGIC;
    const unsigned char expected[4] = {'R', 'V', 'N', '1'};
    unsigned char bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(magic >> (8 * i));
    EXPECT_EQ(std::memcmp(bytes, expected, 4), 0);
}

TEST(RavelnetLayout, SettingsAsTheClientFillsThem)
{
    unsigned char raw[124] = {};
    std::memcpy(raw + 100, "0.0.0.0", 8);
    raw[116] = 19750 & 0xFF; // little-endian, as a 32-bit Windows program stores it
    raw[117] = 19750 >> 8;
    raw[120] = 1;
    RavelnetServerSettings settings;
    std::memcpy(&settings, raw, sizeof settings);
    EXPECT_STREQ(settings.listenAddress, "0.0.0.0");
    EXPECT_EQ(settings.port, 19750);
    EXPECT_EQ(settings.one, 1u);
}
