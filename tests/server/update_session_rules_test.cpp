// The decisions of the serving side that need no connection: which requests
// are served, the progress a request carries, the task parameters, endpoints,
// and how progress is shown.
#include "update_session.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qelsrv;

namespace {

QELDtFile Record(const char* name, uint64_t size, bool directory = false)
{
    QELDtFile record{};
    record.tag = kQelDtFileTag;
    record.attributes = directory ? 0x10u : 0x20u;
    record.sizeHigh = static_cast<uint32_t>(size >> 32);
    record.sizeLow = static_cast<uint32_t>(size);
    std::strncpy(record.name, name, sizeof record.name - 1);
    return record;
}

// A list as the builder leaves it: sorted by name.
CheckList SampleList()
{
    CheckList list;
    list.records = {
        Record("\\a.txt", 10),
        Record("\\bin\\", 0, true),
        Record("\\bin\\big.pak", 5ull << 30),
        Record("\\bin\\game.exe", 0x80001),
    };
    list.hostPaths.resize(list.records.size());
    return list;
}

FileRequest Request(const char* name, uint64_t size)
{
    FileRequest request{};
    request.command = kFileRequestSendFile;
    std::strncpy(request.fileName, name, sizeof request.fileName - 1);
    request.fileSizeHighByte = static_cast<uint8_t>(size >> 32);
    request.fileSizeLow = static_cast<uint32_t>(size);
    return request;
}

} // namespace

TEST(FileRequestRules, ServesOnlyListedFilesWithTheirListedSize)
{
    CheckList list = SampleList();
    struct Case {
        const char* name;
        uint64_t size;
        std::optional<size_t> index; // nullopt: refused
        const char* errorPart;
    };
    const Case cases[] = {
        {"\\a.txt", 10, 0, ""},
        {"\\bin\\game.exe", 0x80001, 3, ""},
        {"\\bin\\big.pak", 5ull << 30, 2, ""},                  // high byte 5, low 0
        {"\\A.txt", 10, std::nullopt, "not in the check list"}, // lookups are exact
        {"\\b.txt", 10, std::nullopt, "not in the check list"},
        {"\\a.txt", 11, std::nullopt, "the check list gives 10"},
        {"\\bin\\big.pak", 1ull << 30, std::nullopt, "the check list gives"},
        {"\\bin\\", 0, std::nullopt, "a folder"},
        {"\\..\\etc\\passwd", 10, std::nullopt, "outside the game folder"},
        {"\\bin\\..\\a.txt", 10, std::nullopt, "outside the game folder"},
        {"\\bin/../a.txt", 10, std::nullopt, "outside the game folder"},
        {"\\.\\a.txt", 10, std::nullopt, "outside the game folder"},
        {"\\\\a.txt", 10, std::nullopt, "outside the game folder"},
        {"a.txt", 10, std::nullopt, "outside the game folder"},
        {"C:\\a.txt", 10, std::nullopt, "outside the game folder"},
        {"\\a.txt:stream", 10, std::nullopt, "outside the game folder"},
        {"", 0, std::nullopt, "outside the game folder"},
    };
    for (const Case& c : cases) {
        FileRequestCheck check = CheckFileRequest(list, Request(c.name, c.size));
        EXPECT_EQ(check.index, c.index) << c.name;
        EXPECT_NE(check.error.find(c.errorPart), std::string::npos) << c.name << ": " << check.error;
    }
}

TEST(FileRequestRules, ANameWithoutItsEndIsRefused)
{
    CheckList list = SampleList();
    FileRequest request = Request("", 0);
    std::memset(request.fileName, 'a', sizeof request.fileName);
    FileRequestCheck check = CheckFileRequest(list, request);
    EXPECT_FALSE(check.index.has_value());
    EXPECT_FALSE(check.error.empty());
}

TEST(FileRequestRules, ProgressComesFromTheRequestsOwnCounters)
{
    FileRequest request = Request("\\bin\\big.pak", 5ull << 30);
    request.filesToUpdate = 7;
    request.filesDone = 3;
    request.bytesToUpdateHigh = 2; // 8 GiB + 16
    request.bytesToUpdateLow = 16;
    request.bytesDoneHigh = 1; // 4 GiB + 5
    request.bytesDoneLow = 5;
    SessionProgress progress = ProgressOf(request);
    EXPECT_EQ(progress.filesDone, 3u);
    EXPECT_EQ(progress.filesToUpdate, 7u);
    EXPECT_EQ(progress.bytesDone, (1ull << 32) + 5);
    EXPECT_EQ(progress.bytesToUpdate, (2ull << 32) + 16);
    EXPECT_EQ(progress.currentFile, "\\bin\\big.pak");
    EXPECT_EQ(progress.currentFileSize, 5ull << 30);

    request.command = kFileRequestEndOfTask;
    EXPECT_EQ(ProgressOf(request).currentFile, "") << "the end of the task names no file";
}

TEST(TaskParameters, UpdateParamsFillTheirFields)
{
    TaskParams params{};
    std::string error;
    ASSERT_TRUE(MakeUpdateParams(77, "1.2.3", "D:\\Games\\X\\", true, params, error));
    const auto* bytes = reinterpret_cast<const unsigned char*>(&params);
    EXPECT_EQ(bytes[0], 77);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 8)), "1.2.3");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 136)), "D:\\Games\\X\\");
    EXPECT_EQ(bytes[656], 1);
    EXPECT_EQ(params.checkListSize, 0u) << "the session fills the size";

    ASSERT_TRUE(MakeUpdateParams(1, "v", "D:\\G\\", false, params, error));
    EXPECT_EQ(params.skipLocalCompare, 0u);

    EXPECT_TRUE(MakeUpdateParams(1, std::string(127, 'v'), "D:\\", false, params, error));
    EXPECT_FALSE(MakeUpdateParams(1, std::string(128, 'v'), "D:\\", false, params, error));
    EXPECT_TRUE(MakeUpdateParams(1, "v", std::string(255, 'p'), false, params, error));
    EXPECT_FALSE(MakeUpdateParams(1, "v", std::string(256, 'p'), false, params, error));
}

TEST(Endpoints, HostAndOptionalPort)
{
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
    };
    const Case cases[] = {
        {"10.0.0.5", true, "10.0.0.5", 19750},
        {"10.0.0.5:2000", true, "10.0.0.5", 2000},
        {"pc-07:65535", true, "pc-07", 65535},
        {"pc-07:65536", false, "", 0},
        {"pc-07:0", false, "", 0},
        {"pc-07:", false, "", 0},
        {"pc-07:12x", false, "", 0},
        {":19750", false, "", 0},
        {"", false, "", 0},
    };
    for (const Case& c : cases) {
        Endpoint endpoint;
        std::string error;
        EXPECT_EQ(ParseEndpoint(c.text, endpoint, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(endpoint.host, c.host);
            EXPECT_EQ(endpoint.port, c.port);
        }
    }
}

TEST(ProgressDisplay, BytesInBinaryUnits)
{
    EXPECT_EQ(FormatBytes(0), "0 B");
    EXPECT_EQ(FormatBytes(1023), "1023 B");
    EXPECT_EQ(FormatBytes(1024), "1.00 KiB");
    EXPECT_EQ(FormatBytes(1536 * 1024), "1.50 MiB");
    EXPECT_EQ(FormatBytes(5ull << 30), "5.00 GiB");
    EXPECT_EQ(FormatBytes(300ull << 20), "300 MiB");
    EXPECT_EQ(FormatBytes(UINT64_MAX), "16.0 EiB");
}

TEST(ProgressDisplay, LinesShowFilesBytesAndTheCurrentFile)
{
    SessionProgress progress;
    progress.filesDone = 1;
    progress.filesToUpdate = 4;
    progress.bytesDone = 3ull << 30; // 3 of 6 GiB: beyond 32 bits
    progress.bytesToUpdate = 6ull << 30;
    progress.currentFile = "\\bin\\big.pak";
    progress.currentFileSize = 2ull << 20;

    std::string line = RenderProgressLine("pc1:19750", progress, 200);
    EXPECT_EQ(line, "pc1:19750  [##########----------]  50%  1/4 files  3.00 GiB/6.00 GiB  \\bin\\big.pak");
    std::string narrow = RenderProgressLine("pc1:19750", progress, 80);
    EXPECT_EQ(narrow.size(), 80u);
    EXPECT_EQ(narrow.substr(narrow.size() - 10), "...big.pak") << "the file name's end stays visible";

    EXPECT_EQ(RenderFileLine("pc1:19750", progress), "pc1:19750: [2/4] 3.00 GiB/6.00 GiB \\bin\\big.pak (2.00 MiB)");

    SessionProgress noBytes;
    noBytes.filesDone = 2;
    noBytes.filesToUpdate = 4;
    EXPECT_NE(RenderProgressLine("h", noBytes, 200).find(" 50%"), std::string::npos) << "empty files count by number";
}

TEST(ProgressDisplay, OutcomeLines)
{
    FileTaskSpec spec;
    SessionResult result;
    result.outcome = SessionOutcome::Completed;
    result.filesDone = 3;
    EXPECT_EQ(DescribeOutcome(spec, result), "updated 3 files");
    result.filesDone = 1;
    EXPECT_EQ(DescribeOutcome(spec, result), "updated 1 file");
    result.outcome = SessionOutcome::Declined;
    EXPECT_EQ(DescribeOutcome(spec, result), "already current");
    result.outcome = SessionOutcome::Failed;
    result.error = "connection refused";
    EXPECT_EQ(DescribeOutcome(spec, result), "failed: connection refused");
}

TEST(TaskParameters, GamePathEndsWithABackslashAndLeavesRoomForEveryName)
{
    EXPECT_EQ(NormaliseGamePath("D:\\Games\\X"), "D:\\Games\\X\\");
    EXPECT_EQ(NormaliseGamePath("D:\\Games\\X\\"), "D:\\Games\\X\\");

    CheckList list;
    std::string fileName = "\\" + std::string(99, 'f');          // 100 bytes
    std::string folderName = "\\" + std::string(95, 'd') + "\\"; // 97 bytes
    list.records = {Record(fileName.c_str(), 1), Record(folderName.c_str(), 0, true)};
    list.hostPaths.resize(2);

    EXPECT_EQ(CheckPathsFit(list, std::string(155, 'p')), std::nullopt); // 155 + 100 = 255
    EXPECT_NE(CheckPathsFit(list, std::string(156, 'p')), std::nullopt);
    list.records.erase(list.records.begin());
    EXPECT_EQ(CheckPathsFit(list, std::string(155, 'p')), std::nullopt); // 155 + 97 + "*.*" = 255
    EXPECT_NE(CheckPathsFit(list, std::string(156, 'p')), std::nullopt);

    CheckList empty;
    EXPECT_EQ(CheckPathsFit(empty, std::string(223, 'p')), std::nullopt); // + 32 = 255
    EXPECT_NE(CheckPathsFit(empty, std::string(224, 'p')), std::nullopt);
}
