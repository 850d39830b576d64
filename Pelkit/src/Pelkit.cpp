// The helper library's entry points. A build may leave entry points out
// (PELKIT_WITHOUT_UNZIP, PELKIT_WITHOUT_MD5): the client core's tests use such
// builds to check which names its binding requires.
#include "pelkit.h"

#include "Digests.h"

#include <cstdio>
#include <cstring>

namespace {

// RC4 key schedule and keystream (the cipher is its own inverse).
void ApplyRc4(const uint8_t* key, uint32_t keyLength, const uint8_t* input, uint8_t* output, uint32_t length)
{
    uint8_t state[256];
    for (int i = 0; i < 256; ++i) {
        state[i] = static_cast<uint8_t>(i);
    }
    uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = static_cast<uint8_t>(j + state[i] + key[i % keyLength]);
        const uint8_t swap = state[i];
        state[i] = state[j];
        state[j] = swap;
    }
    uint8_t x = 0;
    uint8_t y = 0;
    for (uint32_t n = 0; n < length; ++n) {
        x = static_cast<uint8_t>(x + 1);
        y = static_cast<uint8_t>(y + state[x]);
        const uint8_t swap = state[x];
        state[x] = state[y];
        state[y] = swap;
        output[n] = input[n] ^ state[static_cast<uint8_t>(state[x] + state[y])];
    }
}

// The 6-bit value of a Base64 character, or -1.
int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool IsSkippedSpace(char c)
{
    return c == '\r' || c == '\n' || c == '\t' || c == ' ';
}

// Decodes `text`; with `output` null only counts. Returns PELKIT_OK or
// PELKIT_E_FORMAT, and the decoded length in `*decoded`.
int32_t DecodeBase64(const char* text, uint32_t textLength, uint8_t* output, uint32_t* decoded)
{
    uint32_t bits = 0;
    int bitCount = 0;
    int groupCharacters = 0; // characters of the current 4-character group
    int padding = 0;
    uint32_t length = 0;
    for (uint32_t i = 0; i < textLength; ++i) {
        const char c = text[i];
        if (IsSkippedSpace(c)) {
            continue;
        }
        if (c == '=') {
            // Padding completes a group of 2 or 3 characters, and nothing but
            // padding may follow it.
            if (groupCharacters + padding < 2) {
                return PELKIT_E_FORMAT;
            }
            ++padding;
            if (groupCharacters + padding > 4) {
                return PELKIT_E_FORMAT;
            }
            continue;
        }
        const int value = Base64Value(c);
        if (value < 0 || padding > 0) {
            return PELKIT_E_FORMAT;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        bitCount += 6;
        groupCharacters = (groupCharacters + 1) % 4;
        if (bitCount >= 8) {
            bitCount -= 8;
            if (output != nullptr) {
                output[length] = static_cast<uint8_t>(bits >> bitCount);
            }
            ++length;
        }
    }
    // A single character left over carries fewer than 8 bits; padding must
    // complete its group exactly.
    if (groupCharacters == 1 || (padding > 0 && groupCharacters + padding != 4)) {
        return PELKIT_E_FORMAT;
    }
    *decoded = length;
    return PELKIT_OK;
}

} // namespace

extern "C" {

PELKIT_API int32_t PELKIT_CALL Pelkit_DeCrypt_sha256(const void* data, uint32_t length, uint8_t* digest)
{
    if ((data == nullptr && length != 0) || digest == nullptr) {
        return PELKIT_E_ARGUMENT;
    }
    pelkit::Sha256 sha;
    sha.Update(static_cast<const uint8_t*>(data), length);
    uint8_t result[PELKIT_SHA256_SIZE];
    sha.Finish(result);
    std::memcpy(digest, result, sizeof result);
    return PELKIT_OK;
}

PELKIT_API int32_t PELKIT_CALL Pelkit_DeCrypt_rc4(const uint8_t* key, uint32_t keyLength, const void* input,
                                                  void* output, uint32_t length)
{
    if (key == nullptr || keyLength == 0 || keyLength > 256 ||
        ((input == nullptr || output == nullptr) && length != 0)) {
        return PELKIT_E_ARGUMENT;
    }
    ApplyRc4(key, keyLength, static_cast<const uint8_t*>(input), static_cast<uint8_t*>(output), length);
    return PELKIT_OK;
}

PELKIT_API int32_t PELKIT_CALL Pelkit_DeCrypt_Base64(const char* text, uint32_t textLength, uint8_t* output,
                                                     uint32_t capacity, uint32_t* outputLength)
{
    if ((text == nullptr && textLength != 0) || outputLength == nullptr) {
        return PELKIT_E_ARGUMENT;
    }
    uint32_t needed = 0;
    const int32_t checked = DecodeBase64(text, textLength, nullptr, &needed);
    if (checked != PELKIT_OK) {
        return checked;
    }
    *outputLength = needed;
    if (needed > capacity) {
        return PELKIT_E_BUFFER;
    }
    if (needed > 0 && output == nullptr) {
        return PELKIT_E_ARGUMENT;
    }
    return DecodeBase64(text, textLength, output, &needed);
}

PELKIT_API int32_t PELKIT_CALL Pelkit_Utf2AscII(const char*, char*, uint32_t)
{
    return PELKIT_E_NOT_SUPPORTED;
}

#ifndef PELKIT_WITHOUT_UNZIP
PELKIT_API int32_t PELKIT_CALL Pelkit_UnzipFile(const char*, const char*)
{
    return PELKIT_E_NOT_SUPPORTED;
}
#endif

#ifndef PELKIT_WITHOUT_MD5
PELKIT_API int32_t PELKIT_CALL Pelkit_GetFileMd5(const char* path, uint8_t* digest)
{
    if (path == nullptr || digest == nullptr) {
        return PELKIT_E_ARGUMENT;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return PELKIT_E_IO;
    }
    pelkit::Md5 md5;
    uint8_t chunk[64 * 1024];
    std::size_t read = 0;
    while ((read = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        md5.Update(chunk, read);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        return PELKIT_E_IO;
    }
    uint8_t result[PELKIT_MD5_SIZE];
    md5.Finish(result);
    std::memcpy(digest, result, sizeof result);
    return PELKIT_OK;
}

PELKIT_API int32_t PELKIT_CALL Pelkit_GetMd5(const void* data, uint32_t length, uint8_t* digest)
{
    if ((data == nullptr && length != 0) || digest == nullptr) {
        return PELKIT_E_ARGUMENT;
    }
    pelkit::Md5 md5;
    md5.Update(static_cast<const uint8_t*>(data), length);
    uint8_t result[PELKIT_MD5_SIZE];
    md5.Finish(result);
    std::memcpy(digest, result, sizeof result);
    return PELKIT_OK;
}
#endif

} // extern "C"
