#include "engines/zip/container/WinZipAes.h"

#include "engines/zip/container/HmacSha1.h"

#include <algorithm>
#include <cstring>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace vexa {

struct WinZipAes::Library {
    EVP_CIPHER_CTX* cipher = nullptr;
    std::unique_ptr<HmacSha1> mac;
    ~Library() { EVP_CIPHER_CTX_free(cipher); }
};

WinZipAes::WinZipAes() : library_(std::make_unique<Library>()) {}
WinZipAes::~WinZipAes() {
    OPENSSL_cleanse(counter_, sizeof counter_);
    OPENSSL_cleanse(keystream_, sizeof keystream_);
}

bool WinZipAes::randomSalt(uint8_t* salt, size_t length) {
    return RAND_bytes(salt, static_cast<int>(length)) == 1;
}

bool WinZipAes::start(const char* password, int strength, const uint8_t* salt, uint8_t* verifier) {
    if (!validStrength(strength))
        return false;
    const size_t keyLength = 8 + 8 * static_cast<size_t>(strength);
    uint8_t derived[2 * 32 + verifierSize];
    // The keys never outlive this call, whichever way it ends.
    struct Wipe {
        uint8_t* bytes;
        size_t size;
        ~Wipe() { OPENSSL_cleanse(bytes, size); }
    } wipe{derived, sizeof derived};
    const size_t derivedLength = 2 * keyLength + verifierSize;
    HmacSha1(reinterpret_cast<const uint8_t*>(password), std::strlen(password))
        .pbkdf2(salt, saltSize(strength), 1000, derived, derivedLength);
    std::memcpy(verifier, derived + 2 * keyLength, verifierSize);

    // Fetched once: naming a cipher at every entry's start makes the library look it up again.
    static EVP_CIPHER* const ciphers[3] = {EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr),
                                           EVP_CIPHER_fetch(nullptr, "AES-192-ECB", nullptr),
                                           EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr)};
    const EVP_CIPHER* cipher = ciphers[strength - 1];
    if (cipher == nullptr)
        return false;
    library_->cipher = EVP_CIPHER_CTX_new();
    if (library_->cipher == nullptr ||
        EVP_EncryptInit_ex(library_->cipher, cipher, nullptr, derived, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(library_->cipher, 0) != 1)
        return false;

    library_->mac = std::make_unique<HmacSha1>(derived + keyLength, keyLength);
    std::memset(counter_, 0, sizeof counter_);
    keystreamUsed_ = sizeof keystream_;
    return true;
}

bool WinZipAes::crypt(uint8_t* data, size_t length) {
    // Counter blocks are encrypted in batches so that the cipher runs over many blocks per call.
    constexpr size_t batchBlocks = 1024;
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
    if (!library_->mac)
        return false;
    library_->mac->update(data, length);
    return true;
}

bool WinZipAes::decrypt(uint8_t* data, size_t length) {
    return authenticate(data, length) && crypt(data, length);
}

bool WinZipAes::encrypt(uint8_t* data, size_t length) {
    return crypt(data, length) && authenticate(data, length);
}

bool WinZipAes::authCode(uint8_t* code) {
    if (!library_->mac)
        return false;
    uint8_t full[HmacSha1::size];
    library_->mac->final(full);
    std::memcpy(code, full, authCodeSize);
    return true;
}

} // namespace vexa
