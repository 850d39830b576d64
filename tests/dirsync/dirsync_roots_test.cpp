// The pieces of the directory sync task on their own: the candidate path,
// the sub-path rule, and the copies' refusal of a path that does not fit.
#include "DirSyncFixture.h"
#include "base/SystemNames.h"

#include "StatusText.h"
#include "dirsync/RootCopies.h"
#include "dirsync/SyncRoots.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qek;

using namespace dstest;
namespace fs = std::filesystem;

TEST(SyncRootsTest, OneTrailingBackslashIsRemoved)
{
    const struct {
        const char* before;
        const char* after;
    } cases[] = {{"\\games\\x\\", "\\games\\x"},
                 {"\\games\\x\\\\", "\\games\\x\\"},
                 {"\\games\\x", "\\games\\x"},
                 {"\\", ""},
                 {"", ""}};
    for (const auto& c : cases) {
        char path[kPathBufferSize];
        std::strcpy(path, c.before);
        RemoveTrailingBackslash(path);
        EXPECT_STREQ(path, c.after) << c.before;
    }
}

TEST(SyncRootsTest, CandidatesCarryADrivePrefixAndFitTheirBuffer)
{
    const struct {
        std::string basePath;
        std::string candidate; // empty: does not fit
    } cases[] = {
        {"\\games\\x", "c:\\games\\x"},
        {"games\\x", "c:\\games\\x"},
        {"q:\\games\\x", "q:\\games\\x"},
        {"", "c:\\"},
        {"\\" + std::string(252, 'n'), "c:\\" + std::string(252, 'n')}, // 255 bytes
        {"\\" + std::string(253, 'n'), ""},
        {std::string(252, 'n'), "c:\\" + std::string(252, 'n')},
        {std::string(253, 'n'), ""},
    };
    for (const auto& c : cases) {
        char candidate[kPathBufferSize];
        std::memset(candidate, 'z', sizeof(candidate));
        EXPECT_EQ(BuildCandidatePath(candidate, c.basePath.c_str()), !c.candidate.empty()) << c.basePath;
        EXPECT_EQ(std::string(candidate), c.candidate) << c.basePath;
    }
}

TEST(SyncRootsTest, DriveRootsAndWildcardsNameNoDirectory)
{
    // Also refused: what is not an absolute path of names stored as written.
    for (const char* candidate : {"c:", "c:\\", "c:\\games\\*", "c:\\gam?s\\x", "c:\\\\", "c:games", "c:\\games\\..\\x",
                                  "c:\\games\\\\x", "c:\\games\\x\\", "c:\\games\\x. "}) {
        EXPECT_TRUE(CandidateNamesNoDirectory(candidate)) << candidate;
    }
    for (const char* candidate : {"c:\\games\\x", "c:\\x", "c:\\\x9C\x5C\xCB\xAE"}) {
        EXPECT_FALSE(CandidateNamesNoDirectory(candidate)) << candidate;
    }
}

TEST(SyncRootsTest, RootsMustFitTheGamePathField)
{
    const std::string candidate = "c:\\" + std::string(200, 'n');
    EXPECT_TRUE(RootFits(candidate.c_str(), ("\\" + std::string(50, 's') + "\\").c_str())); // 255 bytes
    EXPECT_FALSE(RootFits(candidate.c_str(), ("\\" + std::string(51, 's') + "\\").c_str()));
}

TEST(SyncRootsTest, SubPathsBeginAndEndWithABackslashAndStayBelow)
{
    for (const char* subPath : {"\\", "\\maps\\", "\\maps\\new\\", "\\.cfg\\"}) {
        EXPECT_TRUE(SystemNames().IsUsableSubPath(subPath)) << subPath;
    }
    for (const char* subPath : {"", "\\maps", "maps\\", "\\\\", "\\maps\\\\", "\\..\\", "\\.\\", "\\a\\..\\", "\\ . \\",
                                "\\c:\\", "\\a/b\\"}) {
        EXPECT_FALSE(SystemNames().IsUsableSubPath(subPath)) << subPath;
    }
}

TEST(RootCopiesTest, APathThatDoesNotFitCopiesNothing)
{
    Workspace ws;
    PutFile(ws.Host("g:\\games\\x\\bin\\a.dat"), "content");
    // Roots of one task have one length; a longer one stands for any path
    // that would not fit.
    SyncRoots roots;
    roots.primary = "g:\\games\\x\\";
    const std::string longRoot = "e:\\" + std::string(250, 'n') + "\\";
    roots.copies = {"d:\\games\\x\\", longRoot};

    EXPECT_EQ(StatusText(CopyToRoots(roots, "\\bin\\a.dat")), FailedWith(ERROR_FILENAME_EXCED_RANGE));

    EXPECT_FALSE(fs::exists(ws.Host("d:\\games\\x\\bin\\a.dat")));
    EXPECT_EQ(ws.LogMessages(), std::vector<std::string>{msg::CopyPathTooLong(longRoot, "\\bin\\a.dat")});

    roots.copies = {"d:\\games\\x\\"};
    EXPECT_EQ(StatusText(CopyToRoots(roots, "\\bin\\a.dat")), "ok");
    EXPECT_EQ(ReadFile(ws.Host("d:\\games\\x\\bin\\a.dat")), "content");
}
