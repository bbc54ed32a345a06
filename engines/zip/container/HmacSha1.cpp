#include "engines/zip/container/HmacSha1.h"

#include <algorithm>
#include <cstring>
#include <openssl/crypto.h>

namespace vexa {

namespace {
constexpr size_t blockSize = SHA_CBLOCK;
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
    uint8_t u[size];
    uint8_t t[size];
    for (uint32_t block = 1; length > 0; ++block) {
        const uint8_t index[4] = {static_cast<uint8_t>(block >> 24),
                                  static_cast<uint8_t>(block >> 16),
                                  static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)};
        update(salt, saltLength);
        update(index, sizeof index);
        final(u);
        std::memcpy(t, u, size);
        for (unsigned i = 1; i < iterations; ++i) {
            update(u, size);
            final(u);
            for (size_t k = 0; k < size; ++k)
                t[k] ^= u[k];
        }
        const size_t take = std::min(length, size);
        std::memcpy(out, t, take);
        out += take;
        length -= take;
    }
    OPENSSL_cleanse(u, sizeof u);
    OPENSSL_cleanse(t, sizeof t);
}

} // namespace vexa
