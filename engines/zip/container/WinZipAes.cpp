#include "engines/zip/container/WinZipAes.h"

#include <algorithm>
#include <cstring>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace vexa {

struct WinZipAes::Library {
    EVP_CIPHER_CTX* cipher = nullptr;
    EVP_MAC* mac = nullptr;
    EVP_MAC_CTX* macContext = nullptr;
    ~Library() {
        EVP_MAC_CTX_free(macContext);
        EVP_MAC_free(mac);
        EVP_CIPHER_CTX_free(cipher);
    }
};

WinZipAes::WinZipAes() : library_(std::make_unique<Library>()) {}
WinZipAes::~WinZipAes() = default;

bool WinZipAes::randomSalt(uint8_t* salt, size_t length) {
    return RAND_bytes(salt, static_cast<int>(length)) == 1;
}

bool WinZipAes::start(const char* password, int strength, const uint8_t* salt, uint8_t* verifier) {
    if (!validStrength(strength))
        return false;
    const size_t keyLength = 8 + 8 * static_cast<size_t>(strength);
    uint8_t derived[2 * 32 + verifierSize];
    const size_t derivedLength = 2 * keyLength + verifierSize;
    if (PKCS5_PBKDF2_HMAC(password, static_cast<int>(std::strlen(password)), salt,
                          static_cast<int>(saltSize(strength)), 1000, EVP_sha1(),
                          static_cast<int>(derivedLength), derived) != 1)
        return false;
    std::memcpy(verifier, derived + 2 * keyLength, verifierSize);

    const EVP_CIPHER* cipher = strength == 1   ? EVP_aes_128_ecb()
                               : strength == 2 ? EVP_aes_192_ecb()
                                               : EVP_aes_256_ecb();
    library_->cipher = EVP_CIPHER_CTX_new();
    if (library_->cipher == nullptr ||
        EVP_EncryptInit_ex(library_->cipher, cipher, nullptr, derived, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(library_->cipher, 0) != 1)
        return false;

    library_->mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (library_->mac == nullptr)
        return false;
    library_->macContext = EVP_MAC_CTX_new(library_->mac);
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (library_->macContext == nullptr ||
        EVP_MAC_init(library_->macContext, derived + keyLength, keyLength, params) != 1)
        return false;
    OPENSSL_cleanse(derived, sizeof derived);
    std::memset(counter_, 0, sizeof counter_);
    keystreamUsed_ = sizeof keystream_;
    return true;
}

bool WinZipAes::crypt(uint8_t* data, size_t length) {
    // Counter blocks are encrypted in batches so that the cipher runs over many blocks per call.
    constexpr size_t batchBlocks = 256;
    uint8_t blocks[batchBlocks * 16];
    size_t done = 0;
    while (done < length && keystreamUsed_ < sizeof keystream_)
        data[done++] ^= keystream_[keystreamUsed_++];
    while (done < length) {
        size_t remaining = length - done;
        size_t count = std::min(batchBlocks, (remaining + 15) / 16);
        for (size_t b = 0; b < count; ++b) {
            for (size_t i = 0; i < 16 && ++counter_[i] == 0; ++i) {
            }
            std::memcpy(blocks + 16 * b, counter_, 16);
        }
        int produced = 0;
        if (EVP_EncryptUpdate(library_->cipher, blocks, &produced, blocks,
                              static_cast<int>(count * 16)) != 1 ||
            produced != static_cast<int>(count * 16))
            return false;
        size_t use = std::min(remaining, count * 16);
        for (size_t i = 0; i < use; ++i)
            data[done + i] ^= blocks[i];
        done += use;
        if (use % 16 != 0) {
            std::memcpy(keystream_, blocks + (count - 1) * 16, 16);
            keystreamUsed_ = use % 16;
        }
    }
    return true;
}

bool WinZipAes::authenticate(const uint8_t* data, size_t length) {
    return length == 0 || EVP_MAC_update(library_->macContext, data, length) == 1;
}

bool WinZipAes::decrypt(uint8_t* data, size_t length) {
    return authenticate(data, length) && crypt(data, length);
}

bool WinZipAes::encrypt(uint8_t* data, size_t length) {
    return crypt(data, length) && authenticate(data, length);
}

bool WinZipAes::authCode(uint8_t* code) {
    uint8_t full[EVP_MAX_MD_SIZE];
    size_t length = 0;
    if (EVP_MAC_final(library_->macContext, full, &length, sizeof full) != 1 ||
        length < authCodeSize)
        return false;
    std::memcpy(code, full, authCodeSize);
    return true;
}

} // namespace vexa
