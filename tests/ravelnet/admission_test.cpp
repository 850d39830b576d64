// Who gets to a task callback: only an allowed peer that sends a whole header
// with the magic. Everything else is closed, and the server goes on serving.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace ravelnet_test;

namespace {

void ReplyOk(RavelnetConnection connection, const RavelnetTaskHeader&)
{
    ReplyWords reply = MakeReply(1, 0);
    RavelnetReply(connection, &reply);
}

// A valid task still gets its reply.
void ExpectServed(const TestServer& server)
{
    auto task = server.Connect();
    task.SendHeader(20002, 0);
    EXPECT_EQ(task.ReceiveReply().resultCode, 1u);
    task.ExpectClosed();
}

std::vector<std::byte> HeaderBytes(uint32_t type, uint32_t magic, uint32_t sequence, uint32_t length)
{
    std::vector<std::byte> bytes;
    for (uint32_t word : {type, magic, sequence, length})
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<std::byte>(word >> (8 * i)));
    return bytes;
}

std::vector<std::byte> FirstBytes(std::vector<std::byte> bytes, std::size_t count)
{
    bytes.resize(count);
    return bytes;
}

struct RefusedCase {
    const char* name;
    std::vector<std::byte> bytes; // what the peer sends
    bool finishSending;           // then ends its stream (else stays, silent)
};

class RavelnetRefusedHeader : public ::testing::TestWithParam<RefusedCase> { };

TEST_P(RavelnetRefusedHeader, NeverReachesTheCallback)
{
    // A silent peer is given 200 ms for its header instead of 30 s.
    ScopedEnvironment headerTimeout("RAVELNET_HEADER_TIMEOUT_MS", "200");
    TestServer server(ReplyOk);
    ASSERT_TRUE(server.Opened());
    auto peer = server.Connect();
    peer.Send(GetParam().bytes);
    if (GetParam().finishSending)
        peer.FinishSending();
    peer.ExpectClosed();
    EXPECT_EQ(server.Callbacks(), 0);
    ExpectServed(server);
    EXPECT_EQ(server.Callbacks(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RavelnetRefusedHeader,
    ::testing::Values(RefusedCase{"WrongMagic", HeaderBytes(20002, 0x314E5653u, 0, 0), false},
                      RefusedCase{"MagicBigEndian", HeaderBytes(20002, 0x52564E31u, 0, 0), false},
                      RefusedCase{"ShortHeaderThenEnd", std::vector<std::byte>(8, std::byte{0x31}), true},
                      RefusedCase{"ShortHeaderThenSilence", FirstBytes(HeaderBytes(20002, 0x314E5652u, 0, 0), 15),
                                  false},
                      RefusedCase{"NothingThenEnd", {}, true}, RefusedCase{"NothingThenSilence", {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct AllowCase {
    const char* name;
    const char* allow;
    bool admitsLoopback; // 127.0.0.1
};

class RavelnetAllowList : public ::testing::TestWithParam<AllowCase> { };

TEST_P(RavelnetAllowList, AdmitsExactlyTheListedPeers)
{
    ScopedEnvironment allow("RAVELNET_ALLOW", GetParam().allow);
    TestServer server(ReplyOk);
    ASSERT_TRUE(server.Opened());
    if (GetParam().admitsLoopback) {
        ExpectServed(server);
        EXPECT_EQ(server.Callbacks(), 1);
    } else {
        auto peer = server.Connect();
        peer.SendHeader(20002, 0);
        peer.ExpectClosed();
        EXPECT_EQ(server.Callbacks(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RavelnetAllowList,
    ::testing::Values(AllowCase{"Address", "127.0.0.1", true}, AllowCase{"LoopbackBlock", "127.0.0.0/8", true},
                      AllowCase{"OtherBlock", "10.0.0.0/8", false}, AllowCase{"OtherAddress", "127.0.0.2", false},
                      AllowCase{"SecondEntry", "10.0.0.0/8, 127.0.0.1/32", true},
                      AllowCase{"Everybody", "0.0.0.0/0", true}, AllowCase{"NarrowBlockWithIt", "127.0.0.0/31", true},
                      AllowCase{"NarrowBlockWithout", "127.0.0.2/31", false},
                      AllowCase{"UpperHalf", "128.0.0.0/1", false}, AllowCase{"HostBitsIgnored", "127.1.2.3/8", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RavelnetAllowList, DefaultIsLoopback)
{
    ScopedEnvironment allow("RAVELNET_ALLOW", std::nullopt);
    TestServer server(ReplyOk);
    ASSERT_TRUE(server.Opened());
    ExpectServed(server);
}

struct BadOpenCase {
    const char* name;
    const char* variable;
    const char* value;
};

class RavelnetBadEnvironment : public ::testing::TestWithParam<BadOpenCase> { };

TEST_P(RavelnetBadEnvironment, FailsTheOpen)
{
    ScopedEnvironment bad(GetParam().variable, GetParam().value);
    RavelnetServerSettings settings = LoopbackSettings();
    unsigned char unused[8] = {};
    RavelnetServer server = RavelnetOpenServer(&settings, unused);
    EXPECT_EQ(server, 0u);
    if (server != 0)
        RavelnetCloseServer(server);
}

INSTANTIATE_TEST_SUITE_P(Cases, RavelnetBadEnvironment,
                         ::testing::Values(BadOpenCase{"AllowEmpty", "RAVELNET_ALLOW", ""},
                                           BadOpenCase{"AllowBlank", "RAVELNET_ALLOW", " "},
                                           BadOpenCase{"AllowWord", "RAVELNET_ALLOW", "localhost"},
                                           BadOpenCase{"AllowStar", "RAVELNET_ALLOW", "*"},
                                           BadOpenCase{"AllowTrailingComma", "RAVELNET_ALLOW", "127.0.0.1,"},
                                           BadOpenCase{"AllowLeadingComma", "RAVELNET_ALLOW", ",127.0.0.1"},
                                           BadOpenCase{"AllowEmptyEntry", "RAVELNET_ALLOW", "127.0.0.1,,10.0.0.1"},
                                           BadOpenCase{"AllowSpaceSeparated", "RAVELNET_ALLOW", "127.0.0.1 10.0.0.1"},
                                           BadOpenCase{"AllowThreeParts", "RAVELNET_ALLOW", "127.0.1"},
                                           BadOpenCase{"AllowFiveParts", "RAVELNET_ALLOW", "127.0.0.0.1"},
                                           BadOpenCase{"AllowPartTooBig", "RAVELNET_ALLOW", "256.0.0.1"},
                                           BadOpenCase{"AllowHex", "RAVELNET_ALLOW", "0x7f.0.0.1"},
                                           BadOpenCase{"AllowPrefixTooLong", "RAVELNET_ALLOW", "127.0.0.0/33"},
                                           BadOpenCase{"AllowPrefixMissing", "RAVELNET_ALLOW", "127.0.0.0/"},
                                           BadOpenCase{"AllowPrefixNegative", "RAVELNET_ALLOW", "127.0.0.0/-8"},
                                           BadOpenCase{"AllowPrefixTrailing", "RAVELNET_ALLOW", "127.0.0.0/8x"},
                                           BadOpenCase{"AllowMask", "RAVELNET_ALLOW", "127.0.0.0/255.0.0.0"},
                                           BadOpenCase{"PortWord", "RAVELNET_PORT", "http"},
                                           BadOpenCase{"PortTooBig", "RAVELNET_PORT", "65536"},
                                           BadOpenCase{"PortNegative", "RAVELNET_PORT", "-1"},
                                           BadOpenCase{"PortEmpty", "RAVELNET_PORT", ""},
                                           BadOpenCase{"HeaderTimeoutZero", "RAVELNET_HEADER_TIMEOUT_MS", "0"},
                                           BadOpenCase{"HeaderTimeoutWord", "RAVELNET_HEADER_TIMEOUT_MS", "soon"},
                                           BadOpenCase{"SendTimeoutHuge", "RAVELNET_SEND_TIMEOUT_MS", "99999999999"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RavelnetOpen, BadSettingsFailTheOpen)
{
    unsigned char unused[8] = {};
    EXPECT_EQ(RavelnetOpenServer(nullptr, unused), 0u);
    for (const char* address : {"", "localhost", "127.0.0", "127.0.0.256", " 127.0.0.1"}) {
        SCOPED_TRACE(address);
        RavelnetServerSettings settings = LoopbackSettings();
        std::strcpy(settings.listenAddress, address);
        EXPECT_EQ(RavelnetOpenServer(&settings, unused), 0u);
    }
    // An address that fills its field with no terminator.
    RavelnetServerSettings unterminated = LoopbackSettings();
    std::memcpy(unterminated.listenAddress, "127.000.000.0001", 16);
    EXPECT_EQ(RavelnetOpenServer(&unterminated, unused), 0u);
}

TEST(RavelnetOpen, TakenPortFailsTheOpen)
{
    TestServer first(ReplyOk);
    ASSERT_TRUE(first.Opened());
    TestServer second(ReplyOk, LoopbackSettings(first.Port()));
    EXPECT_FALSE(second.Opened());
    ExpectServed(first);
}

// Garbage of every short length, headers with a wrong magic, resets and
// peers that end in the middle: none is a task, and none stops the server.
TEST(RavelnetGarbage, FiveHundredGarbageConnectionsLeaveTheServerAnswering)
{
    TestServer server(ReplyOk);
    ASSERT_TRUE(server.Opened());
    std::mt19937 random(20002);
    constexpr int kConnections = 500;
    constexpr int kAtOnce = 50;
    for (int batch = 0; batch < kConnections / kAtOnce; ++batch) {
        std::vector<qelsrv::TaskConnection> peers;
        for (int i = 0; i < kAtOnce; ++i) {
            auto peer = server.Connect();
            std::vector<std::byte> garbage = Pattern(random() % 40, static_cast<uint32_t>(random()));
            if (garbage.size() >= 8 && garbage[4] == std::byte{0x52})
                garbage[4] = std::byte{0x53}; // never the magic's first byte
            peer.Send(garbage);
            peers.push_back(std::move(peer));
        }
        for (std::size_t i = 0; i < peers.size(); ++i) {
            switch (i % 3) {
            case 0:
                peers[i].Abort();
                break;
            case 1:
                peers[i].Close();
                break;
            default:
                peers[i].FinishSending();
                // 16 bytes or more with a wrong magic are refused at once;
                // fewer end with the stream.
                peers[i].ExpectClosed();
                break;
            }
        }
    }
    EXPECT_EQ(server.Callbacks(), 0);
    ExpectServed(server);
    EXPECT_EQ(server.Callbacks(), 1);
}

} // namespace
