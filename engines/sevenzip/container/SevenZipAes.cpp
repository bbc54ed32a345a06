#include "engines/sevenzip/container/SevenZipAes.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/container/Utf16.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <stdexcept>

namespace vexa::sevenzip {

namespace {

[[noreturn]] void malformed() {
    throw ArchiveFailure::sevenZipFailure("el archivo está dañado o no es un 7z válido.");
}

struct CacheEntry {
    std::vector<std::uint8_t> password; // UTF-16LE
    std::vector<std::uint8_t> salt;
    unsigned cyclesPower;
    AesKey key;
};

// A handful of entries: an archive has one password and usually one salt; a listing and an
// extraction of the same archive then share the derivation.
constexpr std::size_t cacheCapacity = 8;
std::mutex cacheMutex;
std::list<CacheEntry> cache;
// Raised by every clearing, so that a key derived across one is not remembered after it.
std::uint64_t cacheGeneration = 0;

void wipe(CacheEntry& entry) {
    OPENSSL_cleanse(entry.password.data(), entry.password.size());
    OPENSSL_cleanse(entry.key.data(), entry.key.size());
}

AesKey computeKey(const std::vector<std::uint8_t>& password, const AesProperties& properties) {
    AesKey key{};
    if (properties.cyclesPower == aesRawKeyPower) {
        std::size_t used = 0;
        for (std::uint8_t byte : properties.salt)
            if (used < key.size())
                key[used++] = byte;
        for (std::uint8_t byte : password)
            if (used < key.size())
                key[used++] = byte;
        return key;
    }
    // SHA-256 is a stream: many rounds laid side by side in one buffer hash exactly as the
    // rounds fed one at a time, at a fraction of the calls.
    const std::size_t roundSize = properties.salt.size() + password.size() + 8;
    const std::uint64_t rounds = std::uint64_t{1} << properties.cyclesPower;
    const std::size_t batch = static_cast<std::size_t>(std::min<std::uint64_t>(rounds, 4096));
    std::vector<std::uint8_t> buffer(roundSize * batch);
    for (std::size_t i = 0; i < batch; ++i) {
        std::uint8_t* round = buffer.data() + i * roundSize;
        std::copy(properties.salt.begin(), properties.salt.end(), round);
        std::copy(password.begin(), password.end(), round + properties.salt.size());
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (!context || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        throw std::bad_alloc();
    }
    for (std::uint64_t done = 0; done < rounds; done += batch) {
        for (std::size_t i = 0; i < batch; ++i) {
            std::uint64_t counter = done + i;
            std::uint8_t* field = buffer.data() + i * roundSize + roundSize - 8;
            for (int b = 0; b < 8; ++b, counter >>= 8)
                field[b] = static_cast<std::uint8_t>(counter);
        }
        EVP_DigestUpdate(context, buffer.data(), buffer.size());
    }
    unsigned length = 0;
    EVP_DigestFinal_ex(context, key.data(), &length);
    EVP_MD_CTX_free(context);
    OPENSSL_cleanse(buffer.data(), buffer.size());
    return key;
}

} // namespace

AesProperties parseAesProperties(const std::vector<std::uint8_t>& bytes) {
    AesProperties result;
    result.ivSize = 0;
    if (bytes.empty())
        malformed();
    const std::uint8_t first = bytes[0];
    result.cyclesPower = first & 0x3F;
    if (result.cyclesPower > maxAesCyclesPower && result.cyclesPower != aesRawKeyPower)
        throw ArchiveFailure::unsupported7z();
    if ((first & 0xC0) == 0) {
        if (bytes.size() != 1)
            malformed();
        return result;
    }
    if (bytes.size() < 2)
        malformed();
    const std::size_t saltSize = ((first >> 7) & 1) + (bytes[1] >> 4);
    const std::size_t ivSize = ((first >> 6) & 1) + (bytes[1] & 0x0F);
    if (bytes.size() != 2 + saltSize + ivSize)
        malformed();
    for (std::size_t i = 0; i < saltSize; ++i)
        result.salt.push_back(bytes[2 + i]);
    for (std::size_t i = 0; i < ivSize; ++i)
        result.iv[i] = bytes[2 + saltSize + i];
    result.ivSize = ivSize;
    return result;
}

std::vector<std::uint8_t> encodeAesProperties(const AesProperties& properties) {
    const std::size_t saltSize = properties.salt.size();
    const std::size_t ivSize = properties.ivSize;
    if (saltSize > 16 || ivSize > 16 || properties.cyclesPower > 0x3F)
        throw std::invalid_argument("AES properties out of range");
    std::vector<std::uint8_t> bytes;
    std::uint8_t first = static_cast<std::uint8_t>(properties.cyclesPower);
    if (saltSize == 0 && ivSize == 0) {
        bytes.push_back(first);
        return bytes;
    }
    // Each size is stored as a flag bit worth 1 plus a 4-bit remainder.
    if (saltSize > 0)
        first |= 0x80;
    if (ivSize > 0)
        first |= 0x40;
    bytes.push_back(first);
    const std::size_t saltRest = saltSize > 0 ? saltSize - 1 : 0;
    const std::size_t ivRest = ivSize > 0 ? ivSize - 1 : 0;
    bytes.push_back(static_cast<std::uint8_t>((saltRest << 4) | ivRest));
    for (std::uint8_t byte : properties.salt)
        bytes.push_back(byte);
    for (std::size_t i = 0; i < ivSize; ++i)
        bytes.push_back(properties.iv[i]);
    return bytes;
}

AesProperties newAesProperties() {
    AesProperties properties;
    if (RAND_bytes(properties.iv.data(), static_cast<int>(properties.iv.size())) != 1)
        throw std::runtime_error("no random bytes");
    return properties;
}

AesKey deriveAesKey(const std::string& password, const AesProperties& properties) {
    if (properties.cyclesPower > maxAesCyclesPower && properties.cyclesPower != aesRawKeyPower)
        throw ArchiveFailure::unsupported7z();
    std::vector<std::uint8_t> utf16 = littleEndianUnits(text::utf16Replacing(password));
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(cacheMutex);
        generation = cacheGeneration;
        for (auto it = cache.begin(); it != cache.end(); ++it)
            if (it->cyclesPower == properties.cyclesPower && it->salt == properties.salt &&
                it->password == utf16) {
                cache.splice(cache.begin(), cache, it);
                OPENSSL_cleanse(utf16.data(), utf16.size());
                return it->key;
            }
    }
    // Derived outside the lock: another thread's archive need not wait for this one.
    const AesKey key = computeKey(utf16, properties);
    std::lock_guard lock(cacheMutex);
    if (generation != cacheGeneration) {
        OPENSSL_cleanse(utf16.data(), utf16.size());
        return key;
    }
    cache.push_front({std::move(utf16), properties.salt, properties.cyclesPower, key});
    while (cache.size() > cacheCapacity) {
        wipe(cache.back());
        cache.pop_back();
    }
    return key;
}

void clearAesKeyCache() {
    std::lock_guard lock(cacheMutex);
    ++cacheGeneration;
    for (auto& entry : cache)
        wipe(entry);
    cache.clear();
}

struct AesCbc::Context {
    EVP_CIPHER_CTX* cipher = nullptr;
    bool decrypt = true;
    ~Context() { EVP_CIPHER_CTX_free(cipher); }
};

AesCbc::AesCbc(Direction direction, const AesKey& key, const std::array<std::uint8_t, 16>& iv)
    : context_(std::make_unique<Context>()) {
    context_->decrypt = direction == Direction::decrypt;
    context_->cipher = EVP_CIPHER_CTX_new();
    if (!context_->cipher ||
        EVP_CipherInit_ex(context_->cipher, EVP_aes_256_cbc(), nullptr, key.data(), iv.data(),
                          context_->decrypt ? 0 : 1) != 1 ||
        EVP_CIPHER_CTX_set_padding(context_->cipher, 0) != 1)
        throw std::bad_alloc();
}

AesCbc::~AesCbc() = default;

void AesCbc::process(std::uint8_t* data, std::size_t size) {
    if (size % aesBlockSize != 0)
        throw std::invalid_argument("AES-CBC needs whole blocks");
    // OpenSSL takes int lengths; large buffers go in slices.
    constexpr std::size_t slice = std::size_t{1} << 30;
    while (size > 0) {
        const std::size_t step = std::min(size, slice);
        int written = 0;
        if (EVP_CipherUpdate(context_->cipher, data, &written, data, static_cast<int>(step)) != 1 ||
            static_cast<std::size_t>(written) != step)
            throw std::runtime_error("AES-CBC failed");
        data += step;
        size -= step;
    }
}

} // namespace vexa::sevenzip
