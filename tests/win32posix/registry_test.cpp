// The registry read from the .reg file in QEL_REGISTRY, queried as the
// service reads its write-mode setting.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* kKey = "SOFTWARE\\Tarnwell1\\LomvarkPro";

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qel-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        file_ = folder_ + "/registry.reg";
        setenv("QEL_REGISTRY", file_.c_str(), 1);
    }
    void TearDown() override
    {
        unlink(file_.c_str());
        rmdir(folder_.c_str());
        unsetenv("QEL_REGISTRY");
    }
    void Write(const std::string& content) { std::ofstream(file_, std::ios::binary) << content; }

    HKEY Open(const char* subKey = kKey)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
        return key;
    }

    // The service's reading: a cleared 20-byte buffer, size 20, compared with "1".
    bool ReadsAsFlagOne()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            return false;
        char buffer[20] = {};
        DWORD size = sizeof buffer;
        RegQueryValueExA(key, "QELClt_NoBufWrite", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
        RegCloseKey(key);
        return strcmp(buffer, "1") == 0;
    }

    std::string folder_;
    std::string file_;
};

TEST_F(Registry, StringValueWithItsTerminator)
{
    Write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\r\n"
          "\"QELClt_NoBufWrite\"=\"1\"\r\n\"Number\"=dword:00000001\r\n");
    HKEY key = Open("software\\TARNWELL1\\lomvarkpro");
    ASSERT_NE(key, nullptr);
    char data[20];
    memset(data, 'Z', sizeof data);
    DWORD type = 0, size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "qelclt_nobufwrite", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(std::string(data, 3), std::string("1\0Z", 3));

    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "Number", nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::string(data, 4), std::string("\1\0\0\0", 4));

    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Number", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, TooSmallBufferIsLeftAlone)
{
    Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\n"
          "\"QELClt_NoBufWrite\"=\"123456789012345678901234\"\n");
    HKEY key = Open();
    char data[20];
    memset(data, 0, sizeof data);
    DWORD type = 0, size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "QELClt_NoBufWrite", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 25u);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(std::string(data, sizeof data), std::string(sizeof data, '\0'));
    RegCloseKey(key);
}

TEST_F(Registry, WriteModeSettingReadings)
{
    struct Case {
        const char* value;
        bool flag;
    } cases[] = {
        {"\"1\"", true},   {"\"0\"", false}, {"\"01\"", false},         {"\"true\"", false},
        {"\"1 \"", false}, {"\"\"", false},  {"dword:00000001", false}, {"\"1111111111111111111111\"", false},
    };
    for (const auto& c : cases) {
        Write(std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\n\"QELClt_NoBufWrite\"=") +
              c.value + "\n");
        EXPECT_EQ(ReadsAsFlagOne(), c.flag) << c.value;
    }
    Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\n");
    EXPECT_FALSE(ReadsAsFlagOne()) << "value missing";
    Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1]\n\"QELClt_NoBufWrite\"=\"1\"\n");
    EXPECT_FALSE(ReadsAsFlagOne()) << "key missing";
}

TEST_F(Registry, MissingKeysValuesAndFile)
{
    Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\n\"a\"=\"b\"\n");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarnwell1\\Other", 0, KEY_QUERY_VALUE, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, KEY_QUERY_VALUE, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, nullptr), ERROR_INVALID_PARAMETER);
    key = Open();
    char data[8] = {};
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, sizeof data);
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
              ERROR_FILE_NOT_FOUND); // no default value
    EXPECT_EQ(RegQueryValueExA(key, "a", nullptr, nullptr, reinterpret_cast<BYTE*>(data), nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);

    unlink(file_.c_str());
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS); // roots always exist
    RegCloseKey(key);
}

TEST_F(Registry, SubKeysOfOpenKeysAndAccessRights)
{
    Write("REGEDIT4\n[HKLM\\SOFTWARE\\Tarnwell1\\LomvarkPro]\n\"a\"=\"b\"\n");
    HKEY software = Open("Software");
    ASSERT_NE(software, nullptr);
    HKEY product = nullptr;
    EXPECT_EQ(RegOpenKeyExA(software, "tarnwell1\\\\LomvarkPro\\", 0, KEY_READ, &product), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(product, "A", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    RegCloseKey(product);

    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, 0x0002 /*KEY_SET_VALUE*/, &key), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, 0, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "a", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    RegCloseKey(software);
    EXPECT_EQ(RegOpenKeyExA(software, "x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(Registry, FileIsReadAgainWhenAKeyIsOpened)
{
    Write("REGEDIT4\n[HKLM\\SOFTWARE\\Tarnwell1\\LomvarkPro]\n\"QELClt_NoBufWrite\"=\"0\"\n");
    HKEY before = Open();
    Write("REGEDIT4\n[HKLM\\SOFTWARE\\Tarnwell1\\LomvarkPro]\n\"QELClt_NoBufWrite\"=\"1\"\n");
    HKEY after = Open();
    char data[4] = {};
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(before, "QELClt_NoBufWrite", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(data, "0"); // an open key answers from what was read when it was opened
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(after, "QELClt_NoBufWrite", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(data, "1");
    RegCloseKey(before);
    RegCloseKey(after);
}

TEST_F(Registry, Utf16FileAsRegeditWritesIt)
{
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\r\n\"QELClt_NoBufWrite\"=\"1\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    Write(utf16);
    EXPECT_TRUE(ReadsAsFlagOne());
}

} // namespace
