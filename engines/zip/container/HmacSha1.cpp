#include "engines/zip/container/HmacSha1.h"

#include "engines/zip/container/Pbkdf2Lanes.h"

#include <algorithm>
#include <cstring>
#include <openssl/crypto.h>

namespace vexa {

namespace {
constexpr size_t blockSize = SHA_CBLOCK;

// Hashes the one block `block` on from the key state `from`, and leaves the digest in the
// block's first 20 bytes.
void transformFrom(const SHA_CTX& from, SHA_CTX& work, uint8_t* block) {
    work.h0 = from.h0;
    work.h1 = from.h1;
    work.h2 = from.h2;
    work.h3 = from.h3;
    work.h4 = from.h4;
    SHA1_Transform(&work, block);
    const SHA_LONG words[5] = {work.h0, work.h1, work.h2, work.h3, work.h4};
    for (size_t i = 0; i < 5; ++i) {
        block[4 * i] = static_cast<uint8_t>(words[i] >> 24);
        block[4 * i + 1] = static_cast<uint8_t>(words[i] >> 16);
        block[4 * i + 2] = static_cast<uint8_t>(words[i] >> 8);
        block[4 * i + 3] = static_cast<uint8_t>(words[i]);
    }
}

} // namespace

HmacSha1::HmacSha1(const uint8_t* key, size_t length) {
    uint8_t pad[blockSize] = {};
    if (length > blockSize) {
        SHA1(key, length, pad);
    } else if (length > 0) {
        std::memcpy(pad, key, length);
    }
    for (uint8_t& byte : pad)
        byte ^= 0x36;
    SHA1_Init(&inner_);
    SHA1_Update(&inner_, pad, blockSize);
    for (uint8_t& byte : pad)
        byte ^= 0x36 ^ 0x5c;
    SHA1_Init(&outer_);
    SHA1_Update(&outer_, pad, blockSize);
    OPENSSL_cleanse(pad, sizeof pad);
    message_ = inner_;
}

HmacSha1::~HmacSha1() {
    OPENSSL_cleanse(&inner_, sizeof inner_);
    OPENSSL_cleanse(&outer_, sizeof outer_);
    OPENSSL_cleanse(&message_, sizeof message_);
}

void HmacSha1::update(const uint8_t* data, size_t length) {
    SHA1_Update(&message_, data, length);
}

void HmacSha1::final(uint8_t* mac) {
    uint8_t digest[size];
    SHA1_Final(digest, &message_);
    SHA_CTX outer = outer_;
    SHA1_Update(&outer, digest, size);
    SHA1_Final(mac, &outer);
    message_ = inner_;
}

void HmacSha1::pbkdf2(const uint8_t* salt, size_t saltLength, unsigned iterations, uint8_t* out,
                      size_t length) {
    // After the first, every round hashes a 20-byte message behind one key block, inner and
    // outer alike: one padded block serves both, and each round costs two block transforms
    // with none of the streaming interface's buffering, padding and wiping.
    uint8_t block[blockSize] = {};
    block[size] = 0x80;
    const uint64_t bits = (blockSize + size) * 8;
    for (size_t i = 0; i < 8; ++i)
        block[blockSize - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    SHA_CTX work = inner_;
    constexpr size_t lanes = 4;
    uint8_t t[lanes][size];
    for (uint32_t index = 1; length > 0;) {
        // Up to four blocks' chains at once, when the processor can run them side by side.
        const size_t count = std::min(lanes, (length + size - 1) / size);
        for (size_t l = 0; l < count; ++l) {
            const uint32_t number = index + static_cast<uint32_t>(l);
            const uint8_t indexBytes[4] = {
                static_cast<uint8_t>(number >> 24), static_cast<uint8_t>(number >> 16),
                static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
            update(salt, saltLength);
            update(indexBytes, sizeof indexBytes);
            final(t[l]);
        }
        if (!pbkdf2RoundsInLanes(inner_, outer_, t, count, iterations)) {
            for (size_t l = 0; l < count; ++l) {
                std::memcpy(block, t[l], size);
                for (unsigned i = 1; i < iterations; ++i) {
                    transformFrom(inner_, work, block);
                    transformFrom(outer_, work, block);
                    for (size_t k = 0; k < size; ++k)
                        t[l][k] ^= block[k];
                }
            }
        }
        for (size_t l = 0; l < count; ++l) {
            const size_t take = std::min(length, size);
            std::memcpy(out, t[l], take);
            out += take;
            length -= take;
        }
        index += static_cast<uint32_t>(count);
    }
    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(t, sizeof t);
    OPENSSL_cleanse(&work, sizeof work);
}

} // namespace vexa
