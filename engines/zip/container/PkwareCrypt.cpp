#include "engines/zip/container/PkwareCrypt.h"

#include "platform/Crc32.h"

#include <openssl/crypto.h>

namespace vexa {

PkwareDecryptor::PkwareDecryptor(const char* password) : keys_{0x12345678, 0x23456789, 0x34567890} {
    for (const char* p = password; *p != '\0'; ++p)
        update(static_cast<uint8_t>(*p));
}

PkwareDecryptor::~PkwareDecryptor() {
    OPENSSL_cleanse(keys_, sizeof keys_);
}

void PkwareDecryptor::update(uint8_t plain) {
    keys_[0] = platform::crc32Step(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xff)) * 134775813u + 1;
    keys_[2] = platform::crc32Step(keys_[2], static_cast<uint8_t>(keys_[1] >> 24));
}

uint8_t PkwareDecryptor::streamByte() const {
    const uint32_t temp = (keys_[2] | 2) & 0xffff; // unsigned: the product exceeds an int
    return static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
}

void PkwareDecryptor::decrypt(uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t plain = data[i] ^ streamByte();
        update(plain);
        data[i] = plain;
    }
}

bool PkwareDecryptor::acceptHeader(uint8_t* header, uint8_t checkByte) {
    decrypt(header, headerSize);
    return header[headerSize - 1] == checkByte;
}

} // namespace vexa
