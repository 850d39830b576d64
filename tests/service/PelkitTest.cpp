// The helper library: the digests, RC4 and Base64 against published test
// vectors, the two entry points that are not supported, and the names each
// build exports.
#include "pelkit.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string Hex(const uint8_t* bytes, std::size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

struct DigestCase {
    std::string input;
    const char* sha256;
    const char* md5;
};

TEST(Pelkit, DigestsMatchPublishedVectors)
{
    const std::vector<DigestCase> cases = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "900150983cd24fb0d6963f7d28e17f72"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", "8215ef0796a20bcaaae116d3876c664a"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
         "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const DigestCase& c : cases) {
        SCOPED_TRACE(c.input.size());
        uint8_t sha[PELKIT_SHA256_SIZE];
        uint8_t md5[PELKIT_MD5_SIZE];
        ASSERT_EQ(Pelkit_DeCrypt_sha256(c.input.data(), static_cast<uint32_t>(c.input.size()), sha), PELKIT_OK);
        ASSERT_EQ(Pelkit_GetMd5(c.input.data(), static_cast<uint32_t>(c.input.size()), md5), PELKIT_OK);
        EXPECT_EQ(Hex(sha, sizeof sha), c.sha256);
        EXPECT_EQ(Hex(md5, sizeof md5), c.md5);
    }
}

TEST(Pelkit, FileMd5ReadsTheWholeFile)
{
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("qel-pelkit-" + std::to_string(getpid()));
    std::ofstream(path, std::ios::binary) << "The quick brown fox jumps over the lazy dog";
    uint8_t md5[PELKIT_MD5_SIZE];
    EXPECT_EQ(Pelkit_GetFileMd5(path.c_str(), md5), PELKIT_OK);
    EXPECT_EQ(Hex(md5, sizeof md5), "9e107d9d372bb6826bd81d3542a419d6");
    std::filesystem::remove(path);

    EXPECT_EQ(Pelkit_GetFileMd5(path.c_str(), md5), PELKIT_E_IO);
    EXPECT_EQ(Pelkit_GetFileMd5(nullptr, md5), PELKIT_E_ARGUMENT);
}

TEST(Pelkit, Rc4MatchesPublishedVectorsBothWays)
{
    struct Rc4Case {
        std::string key, plain;
        const char* cipher;
    };
    for (const Rc4Case& c : {Rc4Case{"Key", "Plaintext", "bbf316e8d940af0ad3"}, Rc4Case{"Wiki", "pedia", "1021bf0420"},
                             Rc4Case{"Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"}}) {
        SCOPED_TRACE(c.key);
        const auto* key = reinterpret_cast<const uint8_t*>(c.key.data());
        const auto keyLength = static_cast<uint32_t>(c.key.size());
        const auto length = static_cast<uint32_t>(c.plain.size());
        std::vector<uint8_t> cipher(length);
        ASSERT_EQ(Pelkit_DeCrypt_rc4(key, keyLength, c.plain.data(), cipher.data(), length), PELKIT_OK);
        EXPECT_EQ(Hex(cipher.data(), cipher.size()), c.cipher);
        // In place, back to the plain text.
        ASSERT_EQ(Pelkit_DeCrypt_rc4(key, keyLength, cipher.data(), cipher.data(), length), PELKIT_OK);
        EXPECT_EQ(std::string(cipher.begin(), cipher.end()), c.plain);
    }
    uint8_t byte = 0;
    EXPECT_EQ(Pelkit_DeCrypt_rc4(nullptr, 3, &byte, &byte, 1), PELKIT_E_ARGUMENT);
    EXPECT_EQ(Pelkit_DeCrypt_rc4(&byte, 0, &byte, &byte, 1), PELKIT_E_ARGUMENT);
}

struct Base64Case {
    const char* text;
    int32_t result;
    std::string decoded;
};

TEST(Pelkit, Base64DecodesValidTextAndRefusesTheRest)
{
    const std::vector<Base64Case> cases = {
        {"", PELKIT_OK, ""},
        {"Zg==", PELKIT_OK, "f"},
        {"Zm8=", PELKIT_OK, "fo"},
        {"Zm9v", PELKIT_OK, "foo"},
        {"Zm9vYg==", PELKIT_OK, "foob"},
        {"Zm9vYmE=", PELKIT_OK, "fooba"},
        {"Zm9vYmFy", PELKIT_OK, "foobar"},
        {"Zm9v\r\nYmFy", PELKIT_OK, "foobar"},
        {"Zm9vYg", PELKIT_OK, "foob"}, // unpadded
        {"+/+/", PELKIT_OK, "\xfb\xff\xbf"},
        {"Zm9vY", PELKIT_E_FORMAT, ""},    // a dangling character
        {"Zm9v!", PELKIT_E_FORMAT, ""},    // not in the alphabet
        {"Zg=", PELKIT_E_FORMAT, ""},      // padding short of the group
        {"Zg===", PELKIT_E_FORMAT, ""},    // padding past the group
        {"=Zg=", PELKIT_E_FORMAT, ""},     // padding first
        {"Zg==Zg==", PELKIT_E_FORMAT, ""}, // data after padding
    };
    for (const Base64Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint8_t output[16] = {};
        uint32_t length = 0;
        const auto textLength = static_cast<uint32_t>(std::strlen(c.text));
        ASSERT_EQ(Pelkit_DeCrypt_Base64(c.text, textLength, output, sizeof output, &length), c.result);
        if (c.result == PELKIT_OK) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(output), length), c.decoded);
        }
    }
}

TEST(Pelkit, Base64TooSmallOutputTellsTheLengthNeededAndWritesNothing)
{
    uint8_t output[3] = {0xAA, 0xAA, 0xAA};
    uint32_t length = 0;
    EXPECT_EQ(Pelkit_DeCrypt_Base64("Zm9vYg==", 8, output, 3, &length), PELKIT_E_BUFFER);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(output[0], 0xAA);
}

TEST(Pelkit, TextConversionAndUnzipAreNotSupported)
{
    char output[8] = "keep";
    EXPECT_EQ(Pelkit_Utf2AscII("abc", output, sizeof output), PELKIT_E_NOT_SUPPORTED);
    EXPECT_STREQ(output, "keep");
    EXPECT_EQ(Pelkit_UnzipFile("archive.zip", "folder"), PELKIT_E_NOT_SUPPORTED);
}

struct ExportCase {
    const char* library;
    std::vector<std::string> present;
    std::vector<std::string> absent;
};

TEST(Pelkit, EachBuildExportsItsEntryPointsByNameAndNothingElse)
{
    const std::vector<std::string> required = {"Pelkit_DeCrypt_sha256", "Pelkit_DeCrypt_rc4", "Pelkit_DeCrypt_Base64",
                                               "Pelkit_Utf2AscII"};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.end(), required.begin(), required.end());
        return more;
    };
    const std::vector<ExportCase> cases = {
        {QEL_TEST_PELKIT, with({"Pelkit_UnzipFile", "Pelkit_GetFileMd5", "Pelkit_GetMd5"}), {}},
        {QEL_TEST_PELKIT_NO_UNZIP, with({"Pelkit_GetFileMd5", "Pelkit_GetMd5"}), {"Pelkit_UnzipFile"}},
        {QEL_TEST_PELKIT_NO_MD5, with({"Pelkit_UnzipFile"}), {"Pelkit_GetFileMd5", "Pelkit_GetMd5"}},
    };
    for (const ExportCase& c : cases) {
        SCOPED_TRACE(c.library);
        void* library = dlopen(c.library, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        for (const std::string& name : c.present) {
            EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;
        }
        for (const std::string& name : c.absent) {
            EXPECT_EQ(dlsym(library, name.c_str()), nullptr) << name;
        }
        // The digests' classes stay inside.
        EXPECT_EQ(dlsym(library, "_ZN6pelkit6Sha256C1Ev"), nullptr);
        EXPECT_EQ(dlsym(library, "_ZN6pelkit3Md56UpdateEPKhm"), nullptr);
        dlclose(library);
    }
}

} // namespace
