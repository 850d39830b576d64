// Which server paths the delete game task accepts, and which drive it spares.
#include "base/SystemNames.h"
#include "maintenance/GamePath.h"

#include <gtest/gtest.h>

#include <string>

using namespace qek;

namespace {

struct PathCase {
    std::string path;
    bool valid;
};

std::string Named(const std::string& prefix, std::size_t totalLength)
{
    return prefix + std::string(totalLength - prefix.size(), 'n');
}

TEST(GamePath, SecondLevelRule)
{
    const PathCase cases[] = {
        {R"(D:\games\x)", true},
        {R"(D:\games\x\)", true},
        {R"(D:\games\x\\)", true},
        {R"(D:\games\x\\\)", true},
        {R"(D:\games\x\y)", true},
        {R"(D:\games\some game)", true},
        {R"(D:\games\.hidden)", true},
        {R"(D:\games\x.y)", true},
        {R"(D:\x)", false}, // first level
        {R"(D:\x\)", false},
        {R"(D:\x\\)", false},
        {R"(D:\x\\\)", false}, // still D:\x after every trailing backslash
        {R"(D:x)", false},
        {R"(D:\games\\x)", false}, // empty name before the last one
        {R"(D:\\x)", false},
        {R"(D:\\games\x)", false}, // an empty name, even where Windows would fold it
        // A double-byte character whose second byte is a backslash is one
        // character: 淺 (9C 5C), 運 (DF 5C).
        {"D:\\\x9C\x5C\xCB\xAE", false}, // "D:\淺水": one level
        {"D:\\\x9C\x5C\xCB\xAE\\", false},
        {"D:\\\xCD\xF8\xC2\xE7\\\x9C\x5C\xCB\xAE", true}, // "D:\网络\淺水"
        {"D:\\games\\\xDF\x5C", true},                    // "D:\games\運"
        {"D:\\games\\\xDF\x5C\\", true},
        {R"(D:\)", false},
        {R"(D:)", false},
        {"", false},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(IsValidSecondLevelPath(c.path.c_str(), SystemNames()), c.valid) << c.path;
    }
}

TEST(GamePath, RefusesPathsThatAreNotAbsoluteOnADrive)
{
    const char* const cases[] = {
        R"(games\x\y)",  // relative to the working directory
        R"(\games\x\y)", // root of the current drive
        R"(\\server\share\games\x)",
        R"(D\games\x\y)",
        R"(D:games\x\y)", // relative to drive D's current directory
        R"(D;\games\x)",
    };
    for (const char* path : cases) {
        EXPECT_FALSE(IsValidSecondLevelPath(path, SystemNames())) << path;
    }
}

TEST(GamePath, RefusesNamesThatWindowsFoldsToAShallowerDirectory)
{
    const char* const cases[] = {
        R"(D:\games\..)",  R"(D:\games\.)",    R"(D:\games\..\)",  R"(D:\games\..\x)", R"(D:\games\ )",
        R"(D:\games\. .)", R"(D:\..\games\x)", R"(D:\games\x/..)", R"(D:\games/x)",    R"(D:\games\x\/)",
    };
    for (const char* path : cases) {
        EXPECT_FALSE(IsValidSecondLevelPath(path, SystemNames())) << path;
    }
}

TEST(GamePath, PathsOf512BytesOrMoreAreRefused)
{
    EXPECT_TRUE(IsValidSecondLevelPath(Named(R"(D:\games\)", 511).c_str(), SystemNames()));
    EXPECT_FALSE(IsValidSecondLevelPath(Named(R"(D:\games\)", 512).c_str(), SystemNames()));
    EXPECT_FALSE(IsValidSecondLevelPath(Named(R"(D:\games\)", 70000).c_str(), SystemNames()));
}

TEST(GamePath, SystemDriveComparedWithoutCase)
{
    EXPECT_TRUE(IsSystemDrive('C', 'C'));
    EXPECT_TRUE(IsSystemDrive('c', 'C'));
    EXPECT_TRUE(IsSystemDrive('F', 'f'));
    EXPECT_FALSE(IsSystemDrive('D', 'C'));
    EXPECT_FALSE(IsSystemDrive('D', '\0'));
}

} // namespace
