#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The 7z AES-256 coder: a key from SHA-256 over (salt, UTF-16LE password, 8-byte little-endian
// round counter) repeated 2^cyclesPower times, then AES-256 in CBC mode over blocks of 16 bytes
// (the writer pads the last block with zeros; the unpack size says where data ends).
namespace vexa::sevenzip {

inline constexpr std::size_t aesBlockSize = 16;
inline constexpr std::size_t aesKeySize = 32;
// More rounds than this is refused as unsupported7z instead of hanging on a hostile header.
inline constexpr unsigned maxAesCyclesPower = 24;
// What the writer uses: 2^19 rounds, as common 7z tools do.
inline constexpr unsigned defaultAesCyclesPower = 19;
// The power that means "no hashing": the key is the salt and password bytes themselves.
inline constexpr unsigned aesRawKeyPower = 0x3F;

struct AesProperties {
    unsigned cyclesPower = defaultAesCyclesPower;
    std::vector<std::uint8_t> salt;              // 0 to 16 bytes
    std::array<std::uint8_t, aesBlockSize> iv{}; // zero-padded
    std::size_t ivSize = aesBlockSize;           // bytes of `iv` that are stored
    bool operator==(const AesProperties&) const = default;
};

// Coder properties. Parse throws ArchiveFailure::unsupported7z for a power above
// maxAesCyclesPower (other than aesRawKeyPower) and sevenZipFailure for malformed bytes.
AesProperties parseAesProperties(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> encodeAesProperties(const AesProperties& properties);
// Fresh random IV (16 bytes) and no salt, with the default power: what a writer stores.
AesProperties newAesProperties();

using AesKey = std::array<std::uint8_t, aesKeySize>;

// The key for a UTF-8 password. Derived once per (password, salt, power) and then served from
// a small process-wide cache, so the entries and folders of one archive share one derivation.
AesKey deriveAesKey(const std::string& password, const AesProperties& properties);
// Empties the cache, wiping the keys it held.
void clearAesKeyCache();

// AES-256-CBC over whole blocks, carrying the chain from one call to the next.
class AesCbc {
  public:
    enum class Direction { decrypt, encrypt };
    AesCbc(Direction direction, const AesKey& key, const std::array<std::uint8_t, 16>& iv);
    ~AesCbc();
    AesCbc(const AesCbc&) = delete;
    AesCbc& operator=(const AesCbc&) = delete;

    // In place; `size` must be a multiple of aesBlockSize.
    void process(std::uint8_t* data, std::size_t size);

  private:
    struct Context;
    std::unique_ptr<Context> context_;
};

} // namespace vexa::sevenzip
