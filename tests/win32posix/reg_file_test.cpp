// The .reg parser: headers, encodings, sections, string and dword values,
// escapes and the lines it must skip.
#include "reg_file.h"

#include <gtest/gtest.h>

#include <string>

namespace win32posix {
namespace {

const RegistryValue* FindValue(const RegistryFileParse& parse, const std::string& key, const std::string& name)
{
    const RegistryKey* found = FindRegistryKey(parse.tree, key);
    if (found == nullptr) {
        return nullptr;
    }
    auto value = found->values.find(FoldRegistryName(name));
    return value == found->values.end() ? nullptr : &value->second;
}

std::string Sz(const std::string& text)
{
    return text + std::string(1, '\0');
}

// UTF-16LE with BOM, as regedit writes version 5 files; the input is ASCII or
// UTF-8 of the Basic Multilingual Plane.
std::string Utf16Le(const std::string& utf8)
{
    std::string out = "\xFF\xFE";
    for (size_t i = 0; i < utf8.size();) {
        uint32_t unit = static_cast<uint8_t>(utf8[i]);
        if (unit < 0x80) {
            i += 1;
        } else if ((unit & 0xE0) == 0xC0) {
            unit = ((unit & 0x1F) << 6) | (utf8[i + 1] & 0x3F);
            i += 2;
        } else {
            unit = ((unit & 0x0F) << 12) | ((utf8[i + 1] & 0x3F) << 6) | (utf8[i + 2] & 0x3F);
            i += 3;
        }
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    }
    return out;
}

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TARNWELL1\\LOMVARKPRO";

TEST(RegFile, ReadsStringAndDwordValuesUnderBothHeaders)
{
    for (const char* header : {"REGEDIT4", "Windows Registry Editor Version 5.00"}) {
        SCOPED_TRACE(header);
        const std::string file = std::string(header) +
                                 "\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\r\n"
                                 "\"QELClt_NoBufWrite\"=\"1\"\r\n"
                                 "\"Count\"=dword:0000000a\r\n"
                                 "@=\"default text\"\r\n";
        const auto parse = ParseRegistryFile(file);
        EXPECT_TRUE(parse.problems.empty());

        const RegistryValue* text = FindValue(parse, kKey, "QELClt_NoBufWrite");
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text->type, DWORD(REG_SZ));
        EXPECT_EQ(text->data, Sz("1")); // the terminator belongs to the data

        const RegistryValue* number = FindValue(parse, kKey, "count");
        ASSERT_NE(number, nullptr);
        EXPECT_EQ(number->type, DWORD(REG_DWORD));
        EXPECT_EQ(number->data, std::string("\x0a\x00\x00\x00", 4));

        const RegistryValue* byDefault = FindValue(parse, kKey, "");
        ASSERT_NE(byDefault, nullptr);
        EXPECT_EQ(byDefault->data, Sz("default text"));
    }
}

TEST(RegFile, DwordDigits)
{
    struct Case {
        const char* data;
        bool valid;
        uint32_t value;
    } cases[] = {
        {"dword:00000001", true, 1},      {"dword:ffffffff", true, 0xffffffff},
        {"DWORD:0000ABCD", true, 0xabcd}, {"dword:1", true, 1},
        {"dword:123456789", false, 0},    {"dword:", false, 0},
        {"dword:0000000g", false, 0},     {"dword:-1", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        const auto parse = ParseRegistryFile(std::string("REGEDIT4\n[HKLM\\K]\n\"v\"=") + c.data + "\n");
        const RegistryValue* value = FindValue(parse, "HKEY_LOCAL_MACHINE\\K", "v");
        if (!c.valid) {
            EXPECT_EQ(value, nullptr);
            EXPECT_EQ(parse.problems.size(), 1u);
            continue;
        }
        ASSERT_NE(value, nullptr);
        uint32_t stored = 0;
        for (int i = 3; i >= 0; --i)
            stored = (stored << 8) | static_cast<uint8_t>(value->data[i]);
        EXPECT_EQ(stored, c.value);
    }
}

TEST(RegFile, EscapesInNamesAndTexts)
{
    const auto parse = ParseRegistryFile("REGEDIT4\n[HKLM\\K]\n"
                                         "\"path\"=\"C:\\\\Games\\\\\"\n" // "C:\\Games\\" -> C:\Games\ .
                                         "\"say \\\"hi\\\"\"=\"a \\\"quoted\\\" word\"\n"
                                         "\"semi\"=\"a;b\"\n"
                                         "\"empty\"=\"\"\n");
    EXPECT_TRUE(parse.problems.empty());
    const std::string key = "HKEY_LOCAL_MACHINE\\K";
    ASSERT_NE(FindValue(parse, key, "path"), nullptr);
    EXPECT_EQ(FindValue(parse, key, "path")->data, Sz("C:\\Games\\"));
    ASSERT_NE(FindValue(parse, key, "say \"hi\""), nullptr);
    EXPECT_EQ(FindValue(parse, key, "say \"hi\"")->data, Sz("a \"quoted\" word"));
    ASSERT_NE(FindValue(parse, key, "semi"), nullptr);
    EXPECT_EQ(FindValue(parse, key, "semi")->data, Sz("a;b"));
    ASSERT_NE(FindValue(parse, key, "empty"), nullptr);
    EXPECT_EQ(FindValue(parse, key, "empty")->data, Sz(""));
}

TEST(RegFile, KeysAndRootsIgnoreCaseAndParentsExist)
{
    const auto parse =
        ParseRegistryFile("REGEDIT4\n"
                          "[hklm\\Software\\A\\B]\n\"x\"=\"1\"\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\a\\b]\n\"Y\"=\"2\"\n" // the same key again: merged
                          "[HKEY_CURRENT_USER\\Other]\n");
    EXPECT_TRUE(parse.problems.empty());
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B";
    ASSERT_NE(FindValue(parse, key, "X"), nullptr);
    ASSERT_NE(FindValue(parse, key, "y"), nullptr);
    EXPECT_NE(FindRegistryKey(parse.tree, "HKEY_LOCAL_MACHINE\\SOFTWARE\\A"), nullptr);
    EXPECT_NE(FindRegistryKey(parse.tree, "HKEY_LOCAL_MACHINE\\SOFTWARE"), nullptr);
    EXPECT_NE(FindRegistryKey(parse.tree, "HKEY_CURRENT_USER\\OTHER"), nullptr);
    EXPECT_NE(FindRegistryKey(parse.tree, "HKEY_USERS"), nullptr); // roots always exist
    EXPECT_EQ(FindRegistryKey(parse.tree, "HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B\\C"), nullptr);
}

TEST(RegFile, LaterValueReplacesEarlier)
{
    const auto parse = ParseRegistryFile("REGEDIT4\n[HKLM\\K]\n\"v\"=\"1\"\n\"V\"=dword:00000002\n");
    const RegistryValue* value = FindValue(parse, "HKEY_LOCAL_MACHINE\\K", "v");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, DWORD(REG_DWORD));
}

TEST(RegFile, Utf16WithBomAndUtf8WithBom)
{
    const std::string text = "Windows Registry Editor Version "
                             "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"name\"=\"caf\xC3\xA9 \xE4\xB8\xAD\"\r\n";
    for (const std::string& bytes : {Utf16Le(text), "\xEF\xBB\xBF" + text}) {
        const auto parse = ParseRegistryFile(bytes);
        EXPECT_TRUE(parse.problems.empty());
        const RegistryValue* value = FindValue(parse, "HKEY_LOCAL_MACHINE\\K", "name");
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->data, Sz("caf\xC3\xA9 \xE4\xB8\xAD")); // kept as UTF-8
    }
}

TEST(RegFile, HeaderIsRequired)
{
    for (const char* bytes :
         {"", "[HKLM\\K]\n\"v\"=\"1\"\n", "REGEDIT5\n[HKLM\\K]\n\"v\"=\"1\"\n", "\xFE\xFF\0R\0E\0G"}) {
        const auto parse = ParseRegistryFile(bytes);
        EXPECT_EQ(parse.problems.size(), 1u);
        EXPECT_EQ(FindRegistryKey(parse.tree, "HKEY_LOCAL_MACHINE\\K"), nullptr);
        EXPECT_NE(FindRegistryKey(parse.tree, "HKEY_LOCAL_MACHINE"), nullptr);
    }
}

TEST(RegFile, BadLinesAreSkippedAndReported)
{
    const auto parse = ParseRegistryFile("REGEDIT4\n"
                                         "\"orphan\"=\"before any section\"\n" // 2
                                         "[HKLM\\K]\n"
                                         "; a comment\n"
                                         "\"good\"=\"yes\"\n"
                                         "\"bin\"=hex:01,02\n"             // 6
                                         "\"gone\"=-\n"                    // 7
                                         "\"bad\"=\"C:\\Windows\"\n"       // 8: single backslash
                                         "\"open\"=\"no end\n"             // 9
                                         "\"trailing\"=\"x\" y\n"          // 10
                                         "noquotes=1\n"                    // 11
                                         "\"noequals\" \"x\"\n"            // 12
                                         "[-HKLM\\K]\n"                    // 13
                                         "\"after\"=\"deleted section\"\n" // 14
                                         "[NOROOT\\K]\n"                   // 15
                                         "[HKLM\\K\n"                      // 16
                                         "[HKLM\\Fine]\n"
                                         "\"ok\"=dword:00000001\n");
    std::vector<size_t> lines;
    for (const auto& problem : parse.problems)
        lines.push_back(problem.line);
    EXPECT_EQ(lines, (std::vector<size_t>{2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_NE(FindValue(parse, "HKEY_LOCAL_MACHINE\\K", "good"), nullptr);
    EXPECT_EQ(FindValue(parse, "HKEY_LOCAL_MACHINE\\K", "bad"), nullptr);
    EXPECT_NE(FindValue(parse, "HKEY_LOCAL_MACHINE\\FINE", "ok"), nullptr);
}

TEST(RegFile, JoinPaths)
{
    EXPECT_EQ(JoinRegistryPath("HKEY_LOCAL_MACHINE", "Software\\X"), "HKEY_LOCAL_MACHINE\\SOFTWARE\\X");
    EXPECT_EQ(JoinRegistryPath("HKEY_LOCAL_MACHINE", "Software\\\\X\\"), "HKEY_LOCAL_MACHINE\\SOFTWARE\\X");
    EXPECT_EQ(JoinRegistryPath("HKEY_LOCAL_MACHINE", ""), "HKEY_LOCAL_MACHINE");
    EXPECT_EQ(JoinRegistryPath("HKEY_LOCAL_MACHINE", "\\Software"), std::nullopt);
    EXPECT_EQ(RegistryRootName("hkcu"), "HKEY_CURRENT_USER");
    EXPECT_EQ(RegistryRootName("HKEY_LOCAL"), std::nullopt);
}

} // namespace
} // namespace win32posix
