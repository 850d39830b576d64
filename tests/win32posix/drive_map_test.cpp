// Parsing of the drive table text (QEL_DRIVES) and the default table (pure).
#include "drive_map.h"

#include <gtest/gtest.h>

namespace win32posix {
namespace {

std::string Describe(const DriveTable& table)
{
    std::string text;
    for (const DriveMapping& d : table)
        text += std::string(1, d.letter) + "=" + d.hostRoot + "," + std::to_string(d.type) + ";";
    return text;
}

TEST(ParseDriveMap, ReadsValidTexts)
{
    struct Case {
        const char* text;
        const char* expected; // as Describe gives it
    } cases[] = {
        {"C=/tmp/c;D=/tmp/d", "C=/tmp/c,3;D=/tmp/d,3;"},
        {"d=/tmp/d;c=/tmp/c", "C=/tmp/c,3;D=/tmp/d,3;"}, // letters upper-cased, table sorted
        {"E=/media/usb,removable", "E=/media/usb,2;"},
        {"N=/net/share,REMOTE;R=/cd,cdrom;M=/dev/shm/x,ramdisk;F=/f,fixed",
         "F=/f,3;M=/dev/shm/x,6;N=/net/share,4;R=/cd,5;"},
        {" C = /tmp/c/ ; ", "C=/tmp/c,3;"}, // spaces around parts, trailing '/' and empty entries
        {"C=/tmp//c//", "C=/tmp/c,3;"},
        {"C=/", "C=/,3;"},
        {"C=/a,b,fixed", "C=/a,b,3;"}, // a comma in the path when a type follows
        {"", ""},
        {";;", ""},
    };
    for (const auto& c : cases) {
        std::optional<DriveTable> table = ParseDriveMap(c.text);
        ASSERT_TRUE(table) << c.text;
        EXPECT_EQ(Describe(*table), c.expected) << c.text;
    }
}

TEST(ParseDriveMap, RejectsTheWholeTextOnAnyBadEntry)
{
    const char* cases[] = {
        "C=/tmp/c;D",         // no '='
        "C=/tmp/c;DD=/tmp/d", // not one letter
        "1=/tmp/x",           // not a letter
        "=/tmp/x",            // no letter
        "C=tmp/c",            // relative path
        "C=",                 // empty path
        "C=/tmp/c,floppy",    // unknown type
        "C=/tmp/c,",          // empty type
        "C=/tmp/c;c=/tmp/d",  // letter given twice
    };
    for (const char* text : cases) {
        std::string error;
        EXPECT_FALSE(ParseDriveMap(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(DriveTypeFromName, KnowsTheFiveTypes)
{
    EXPECT_EQ(DriveTypeFromName("fixed"), UINT(DRIVE_FIXED));
    EXPECT_EQ(DriveTypeFromName("Removable"), UINT(DRIVE_REMOVABLE));
    EXPECT_EQ(DriveTypeFromName("remote"), UINT(DRIVE_REMOTE));
    EXPECT_EQ(DriveTypeFromName("cdrom"), UINT(DRIVE_CDROM));
    EXPECT_EQ(DriveTypeFromName("ramdisk"), UINT(DRIVE_RAMDISK));
    EXPECT_FALSE(DriveTypeFromName("network"));
}

TEST(DriveTableFromFolderNames, TakesSingleLetterFoldersAsFixedDrives)
{
    DriveTable table = DriveTableFromFolderNames("/opt/qel/drives/", {"d", "C", "games", "1", "c", "z", "."});
    EXPECT_EQ(Describe(table), "C=/opt/qel/drives/C,3;D=/opt/qel/drives/d,3;Z=/opt/qel/drives/z,3;");
    EXPECT_TRUE(DriveTableFromFolderNames("/x", {}).empty());
}

} // namespace
} // namespace win32posix
