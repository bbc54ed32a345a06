#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa {

// Traditional PKWARE ("ZipCrypto") decryption: three keys driven by the password and the
// plain text. Weak, and read only so that old archives still open.
class PkwareDecryptor {
  public:
    static constexpr size_t headerSize = 12;

    explicit PkwareDecryptor(const char* password);
    // The keys are the password's stand-in: wiped with the object.
    ~PkwareDecryptor();
    PkwareDecryptor(const PkwareDecryptor&) = delete;
    PkwareDecryptor& operator=(const PkwareDecryptor&) = delete;
    // Decrypts the 12-byte header and answers whether its last byte equals `checkByte`.
    bool acceptHeader(uint8_t* header, uint8_t checkByte);
    void decrypt(uint8_t* data, size_t length);

  private:
    void update(uint8_t plain);
    uint8_t streamByte() const;

    uint32_t keys_[3];
};

} // namespace vexa
