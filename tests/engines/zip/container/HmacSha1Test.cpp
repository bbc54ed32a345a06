#include "engines/zip/container/HmacSha1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <string>
#include <vector>

namespace vexa {
namespace {

// The precomputed-state HMAC and PBKDF2 agree with the library's own for keys shorter than,
// equal to and longer than SHA-1's block, for one round and many, and for outputs that end
// inside a block.
TEST(HmacSha1Test, MatchesTheLibrary) {
    const std::vector<std::uint8_t> salt = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (const std::size_t keyLength : {0u, 1u, 20u, 64u, 65u, 200u}) {
        std::vector<std::uint8_t> key(keyLength);
        for (std::size_t i = 0; i < keyLength; ++i)
            key[i] = static_cast<std::uint8_t>(i * 7 + 3);
        const std::string message(300, 'm');

        HmacSha1 mac(key.data(), key.size());
        for (int round = 0; round < 2; ++round) { // final starts the next message
            mac.update(reinterpret_cast<const std::uint8_t*>(message.data()), 100);
            mac.update(reinterpret_cast<const std::uint8_t*>(message.data()) + 100, 200);
            std::uint8_t ours[HmacSha1::size];
            mac.final(ours);
            unsigned length = 0;
            const std::uint8_t* theirs = HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
                                              reinterpret_cast<const std::uint8_t*>(message.data()),
                                              message.size(), nullptr, &length);
            EXPECT_EQ(std::vector<std::uint8_t>(ours, ours + 20),
                      std::vector<std::uint8_t>(theirs, theirs + length))
                << keyLength;
        }

        for (const unsigned iterations : {1u, 2u, 1000u}) {
            for (const std::size_t outLength : {2u, 20u, 34u, 50u, 66u, 100u}) {
                std::vector<std::uint8_t> ours(outLength), theirs(outLength);
                HmacSha1(key.data(), key.size())
                    .pbkdf2(salt.data(), salt.size(), iterations, ours.data(), outLength);
                ASSERT_EQ(PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(key.data()),
                                            static_cast<int>(key.size()), salt.data(),
                                            static_cast<int>(salt.size()),
                                            static_cast<int>(iterations), EVP_sha1(),
                                            static_cast<int>(outLength), theirs.data()),
                          1);
                EXPECT_EQ(ours, theirs) << keyLength << " " << iterations << " " << outLength;
            }
        }
    }
}

} // namespace
} // namespace vexa
