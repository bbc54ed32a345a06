#pragma once

#include <cstddef>
#include <cstdint>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace vexa {

// HMAC-SHA1 with the key's inner and outer hash states computed once, so that each message
// costs only its own blocks: PBKDF2 runs thousands of two-block messages under one key, and the
// general MAC interface would set the key up again for every one of them.
class HmacSha1 {
  public:
    static constexpr size_t size = SHA_DIGEST_LENGTH;

    HmacSha1(const uint8_t* key, size_t length);
    ~HmacSha1();
    HmacSha1(const HmacSha1&) = delete;
    HmacSha1& operator=(const HmacSha1&) = delete;

    // A streamed message: update any number of times, then final (which starts the next one).
    void update(const uint8_t* data, size_t length);
    void final(uint8_t* mac);

    // PBKDF2-HMAC-SHA1 with this object's key as the password.
    void pbkdf2(const uint8_t* salt, size_t saltLength, unsigned iterations, uint8_t* out,
                size_t length);

  private:
    SHA_CTX inner_;
    SHA_CTX outer_;
    SHA_CTX message_;
};

} // namespace vexa
