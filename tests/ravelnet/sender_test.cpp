// The sending side against the library: file ranges, reply records, and the
// kinds of its errors.
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace ravelnet_test;
using qelsrv::TransferError;
using qelsrv::TransferErrorKind;

namespace {

namespace fs = std::filesystem;

// Receives the payload and sends it straight back after a reply.
void Echo(RavelnetConnection connection, const RavelnetTaskHeader& header)
{
    std::vector<std::byte> payload(header.payloadLength);
    if (RavelnetRecv(connection, payload.data(), header.payloadLength, 300000) != RAVELNET_OK)
        return;
    ReplyWords reply = MakeReply(1, header.payloadLength);
    RavelnetReply(connection, &reply);
    RavelnetSend(connection, payload.data(), header.payloadLength);
}

TransferErrorKind KindOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const TransferError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no TransferError";
    return TransferErrorKind::Protocol;
}

class TemporaryFile {
public:
    explicit TemporaryFile(const std::vector<std::byte>& contents)
    {
        static int counter = 0;
        path_ =
            fs::temp_directory_path() / ("ravelnet-sender-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) +
                                         "-" + std::to_string(counter++) + ".bin");
        std::ofstream out(path_, std::ios::binary);
        out.write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
    }
    ~TemporaryFile()
    {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

TEST(SenderFileRange, SendsExactlyTheRange)
{
    const std::vector<std::byte> contents = Pattern(3 * 1024 * 1024 + 11, 42);
    TemporaryFile file(contents);
    auto input = qelsrv::InputFile::Open(file.Path());
    ASSERT_EQ(input.Size(), contents.size());

    TestServer server(Echo);
    ASSERT_TRUE(server.Opened());
    struct Range {
        uint64_t offset, length;
    };
    const uint64_t size = contents.size();
    for (Range range :
         {Range{0, size}, Range{0, 0}, Range{1, 1000}, Range{size - 10, 10}, Range{512 * 1024 + 3, 1024 * 1024}}) {
        SCOPED_TRACE(std::to_string(range.offset) + "+" + std::to_string(range.length));
        auto task = server.Connect();
        task.SendHeader(20000, static_cast<uint32_t>(range.length));
        task.SendFileRange(input, range.offset, range.length);
        EXPECT_EQ(task.ReceiveReply().dataLength, range.length);
        std::vector<std::byte> back = task.Receive(static_cast<std::size_t>(range.length));
        EXPECT_TRUE(std::equal(back.begin(), back.end(), contents.begin() + static_cast<std::ptrdiff_t>(range.offset)));
    }
}

TEST(SenderFileRange, FileShorterThanTheRangeIsAFileError)
{
    TemporaryFile file(Pattern(100, 1));
    auto input = qelsrv::InputFile::Open(file.Path());
    TestServer server(Echo);
    ASSERT_TRUE(server.Opened());
    auto task = server.Connect();
    task.SendHeader(20000, 100);
    EXPECT_EQ(KindOf([&] { task.SendFileRange(input, 50, 100); }), TransferErrorKind::File);
    EXPECT_EQ(KindOf([&] { qelsrv::InputFile::Open(file.Path().string() + ".missing"); }), TransferErrorKind::File);
}

TEST(SenderErrors, EachFailureHasItsKind)
{
    Signal release;
    TestServer server([&](RavelnetConnection connection, const RavelnetTaskHeader& header) {
        if (header.type == 1) {
            release.WaitFor(); // silent until the sender has given up
        } else if (header.type == 2) {
            const char half[10] = {};
            RavelnetSend(connection, half, sizeof half); // half a reply, then the end
        }
    });
    ASSERT_TRUE(server.Opened());

    auto silent = server.Connect();
    silent.SendHeader(1, 0);
    silent.SetTimeout(std::chrono::milliseconds(100));
    EXPECT_EQ(KindOf([&] { silent.ReceiveReply(); }), TransferErrorKind::Timeout);
    release.Raise();

    auto halfReply = server.Connect();
    halfReply.SendHeader(2, 0);
    EXPECT_EQ(KindOf([&] { halfReply.ReceiveReply(); }), TransferErrorKind::Closed);

    const uint16_t port = server.Port();
    server.Close();
    EXPECT_EQ(KindOf([&] { qelsrv::TaskConnection::Connect("127.0.0.1", port); }), TransferErrorKind::Connect);

    halfReply.Close();
    EXPECT_EQ(KindOf([&] { halfReply.SendHeader(3, 0); }), TransferErrorKind::Socket);
}

TEST(SenderReply, WordsAreReadLittleEndian)
{
    TestServer server([](RavelnetConnection connection, const RavelnetTaskHeader&) {
        const unsigned char bytes[20] = {1, 0, 0, 0, 2, 0, 0, 0, 0xC4, 0xAD, 0x01, 0x00, 3, 0, 0, 0, 0x14, 0, 0, 0};
        RavelnetReply(connection, bytes);
    });
    ASSERT_TRUE(server.Opened());
    auto task = server.Connect();
    task.SendHeader(20002, 0);
    qelsrv::TaskReply reply = task.ReceiveReply();
    EXPECT_EQ(reply.reserved0, 1u);
    EXPECT_EQ(reply.reserved1, 2u);
    EXPECT_EQ(reply.resultCode, 110020u);
    EXPECT_EQ(reply.reserved3, 3u);
    EXPECT_EQ(reply.dataLength, 20u);
}

} // namespace
