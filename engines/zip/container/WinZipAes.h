#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vexa {

// WinZip AES (AE-1, AE-2): keys from PBKDF2-HMAC-SHA1 (1000 rounds) over the password and a
// salt, AES in counter mode with a little-endian counter starting at 1, and a 10-byte
// HMAC-SHA1 authentication code over the encrypted bytes. The stored data is salt, 2-byte
// password verifier, encrypted data, authentication code.
class WinZipAes {
  public:
    static constexpr size_t verifierSize = 2;
    static constexpr size_t authCodeSize = 10;
    static size_t saltSize(int strength) { return 4 + 4 * static_cast<size_t>(strength); }
    static bool validStrength(int strength) { return strength >= 1 && strength <= 3; }

    WinZipAes();
    ~WinZipAes();
    WinZipAes(const WinZipAes&) = delete;
    WinZipAes& operator=(const WinZipAes&) = delete;

    // Derives the keys; `verifier` receives the 2 bytes the password gives. False when the
    // cryptographic library fails.
    bool start(const char* password, int strength, const uint8_t* salt, uint8_t* verifier);
    // Fresh random salt for writing.
    static bool randomSalt(uint8_t* salt, size_t length);

    // Reading: authenticate, then decrypt, in place.
    bool decrypt(uint8_t* data, size_t length);
    // Writing: encrypt, then authenticate, in place.
    bool encrypt(uint8_t* data, size_t length);
    bool authCode(uint8_t* code);

  private:
    bool crypt(uint8_t* data, size_t length);
    bool authenticate(const uint8_t* data, size_t length);

    struct Library;
    std::unique_ptr<Library> library_;
    uint8_t counter_[16] = {};
    uint8_t keystream_[16] = {};
    size_t keystreamUsed_ = 16;
};

} // namespace vexa
