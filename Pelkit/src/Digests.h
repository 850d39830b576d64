// Streaming SHA-256 (FIPS 180-4) and MD5 (RFC 1321) digests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelkit {

class Sha256 {
public:
    Sha256();
    void Update(const uint8_t* data, std::size_t length);
    void Finish(uint8_t (&digest)[32]);

private:
    void Compress(const uint8_t* block);

    uint32_t state_[8];
    uint8_t block_[64] = {};
    std::size_t blockUsed_ = 0;
    uint64_t totalLength_ = 0;
};

class Md5 {
public:
    Md5();
    void Update(const uint8_t* data, std::size_t length);
    void Finish(uint8_t (&digest)[16]);

private:
    void Compress(const uint8_t* block);

    uint32_t state_[4];
    uint8_t block_[64] = {};
    std::size_t blockUsed_ = 0;
    uint64_t totalLength_ = 0;
};

} // namespace pelkit
