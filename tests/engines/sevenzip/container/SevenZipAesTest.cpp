#include "engines/sevenzip/container/SevenZipAes.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/container/SevenZipNumber.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <string>

namespace vexa::sevenzip {
namespace {

using testing::runChecked;
using testing::shellQuote;

std::string hex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

// Python's hashlib and pycryptodome are the judges: neither shares code with the coder.
std::string pythonKey(const std::string& password, const std::string& saltHex, unsigned power) {
    const std::string script =
        "import hashlib,sys\n"
        "pw=sys.argv[1].encode('utf-16-le'); salt=bytes.fromhex(sys.argv[2]); h=hashlib.sha256()\n"
        "for i in range(1<<int(sys.argv[3])): h.update(salt+pw+i.to_bytes(8,'little'))\n"
        "print(h.hexdigest(),end='')\n";
    return runChecked("/usr/bin/python3 -c " + shellQuote(script) + " " + shellQuote(password) +
                      " " + shellQuote(saltHex) + " " + std::to_string(power));
}

TEST(SevenZipAes, KeyMatchesAnIndependentDerivation) {
    struct Case {
        std::string password;
        std::vector<std::uint8_t> salt;
        unsigned power;
    };
    const Case cases[] = {
        {"secreto", {}, 6},
        {"contraseña", {1, 2, 3, 4, 5, 6, 7, 8}, 13}, // more rounds than one batch of the coder
        {"\xF0\x9F\x94\x91 clave", {9}, 0},           // outside the BMP: a surrogate pair
    };
    for (const auto& c : cases) {
        AesProperties properties;
        properties.cyclesPower = c.power;
        properties.salt = c.salt;
        const AesKey key = deriveAesKey(c.password, properties);
        EXPECT_EQ(hex(key.data(), key.size()),
                  pythonKey(c.password, hex(c.salt.data(), c.salt.size()), c.power))
            << c.password;
    }
}

TEST(SevenZipAes, PropertiesRoundTripAndAbsurdPowersAreRefused) {
    AesProperties full = newAesProperties();
    full.salt = {1, 2, 3};
    AesProperties bare;
    bare.salt.clear();
    bare.ivSize = 0;
    AesProperties shortIv;
    shortIv.ivSize = 8;
    shortIv.iv = {1, 2, 3, 4, 5, 6, 7, 8};
    for (const auto& properties : {full, bare, shortIv})
        EXPECT_EQ(parseAesProperties(encodeAesProperties(properties)), properties);

    EXPECT_THROW(parseAesProperties({0x19, 0x0F}), ArchiveFailure); // sizes beyond the bytes
    EXPECT_THROW(parseAesProperties({}), ArchiveFailure);
    try {
        parseAesProperties({25});
        ADD_FAILURE() << "2^25 rounds accepted";
    } catch (const ArchiveFailure& failure) {
        EXPECT_EQ(failure, ArchiveFailure::unsupported7z());
    }
}

TEST(SevenZipAes, CbcMatchesPycryptodomeAcrossCalls) {
    AesProperties properties = newAesProperties();
    const AesKey key = deriveAesKey("clave", properties);
    std::vector<std::uint8_t> data(96);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    const std::vector<std::uint8_t> plain = data;

    AesCbc encrypt(AesCbc::Direction::encrypt, key, properties.iv);
    encrypt.process(data.data(), 32); // the chain carries over between calls
    encrypt.process(data.data() + 32, 64);
    const std::string script =
        "import sys\nfrom Cryptodome.Cipher import AES\n"
        "c=AES.new(bytes.fromhex(sys.argv[1]),AES.MODE_CBC,bytes.fromhex(sys.argv[2]))\n"
        "print(c.encrypt(bytes.fromhex(sys.argv[3])).hex(),end='')\n";
    EXPECT_EQ(hex(data.data(), data.size()),
              runChecked("/usr/bin/python3 -c " + shellQuote(script) + " " +
                         hex(key.data(), key.size()) + " " +
                         hex(properties.iv.data(), properties.iv.size()) + " " +
                         hex(plain.data(), plain.size())));

    AesCbc decrypt(AesCbc::Direction::decrypt, key, properties.iv);
    decrypt.process(data.data(), 16);
    decrypt.process(data.data() + 16, 80);
    EXPECT_EQ(data, plain);
}

TEST(SevenZipNumber, RoundTripsAtEveryLengthAndStopsAtTheEnd) {
    for (std::uint64_t value : {0ULL, 0x7FULL, 0x80ULL, 0x3FFFULL, 0x4000ULL, 0x1234567ULL,
                                0xFFFFFFFFFFULL, 0x00FFFFFFFFFFFFFFULL, ~0ULL}) {
        std::vector<std::uint8_t> bytes;
        appendNumber(bytes, value);
        std::size_t position = 0;
        EXPECT_EQ(readNumber(bytes.data(), bytes.size(), position), value);
        EXPECT_EQ(position, bytes.size());
        position = 0;
        if (bytes.size() > 1) {
            EXPECT_FALSE(readNumber(bytes.data(), bytes.size() - 1, position));
        }
    }
}

} // namespace
} // namespace vexa::sevenzip
