// The 7z container against archives of py7zr and bsdtar: every coder chain they write decodes
// to the files they were given, damaged data is caught, and the header parser stays within its
// bytes whatever they say.
#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/container/SevenZipAes.h"
#include "engines/sevenzip/container/SevenZipArchive.h"
#include "engines/sevenzip/container/SevenZipHeaderParser.h"
#include "platform/Progress.h"
#include "tests/engines/sevenzip/SevenZipFixtures.h"

#include <cstring>
#include <gtest/gtest.h>
#include <map>

namespace vexa::sevenzip {
namespace {

namespace fs = std::filesystem;
using namespace vexa::testing::sevenzip;

class MemoryInput : public SevenZipInput {
  public:
    explicit MemoryInput(std::string bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_.size(); }
    void readAt(std::uint64_t offset, void* buffer, std::size_t size) const override {
        if (offset > bytes_.size() || size > bytes_.size() - offset)
            throw std::out_of_range("beyond the archive");
        std::memcpy(buffer, bytes_.data() + offset, size);
    }

  private:
    std::string bytes_;
};

std::shared_ptr<const SevenZipInput> inputOf(const fs::path& archive) {
    return std::make_shared<MemoryInput>(readFile(archive));
}

// Every file's bytes by name, read folder by folder in pieces of `piece` bytes.
std::map<std::string, std::string> contents(const SevenZipArchive& archive,
                                            const std::optional<std::string>& password,
                                            std::size_t piece) {
    std::map<std::string, std::string> files;
    const auto& streams = archive.header().streams;
    std::vector<std::string> substreams;
    for (std::size_t folder = 0; folder < archive.folderCount(); ++folder) {
        EXPECT_TRUE(archive.folderDecodable(folder));
        auto reader = archive.openFolder(folder, password);
        std::string data;
        std::vector<std::uint8_t> buffer(piece);
        while (const std::size_t count = reader->read(buffer.data(), buffer.size()))
            data.append(reinterpret_cast<const char*>(buffer.data()), count);
        std::size_t at = 0;
        for (std::size_t stream = 0; stream < archive.streamFolders().size(); ++stream) {
            if (archive.streamFolders()[stream] != folder)
                continue;
            substreams.resize(stream + 1);
            substreams[stream] = data.substr(at, streams.substreamSizes[stream]);
            at += streams.substreamSizes[stream];
        }
        EXPECT_EQ(at, data.size());
    }
    for (std::size_t file = 0; file < archive.header().files.size(); ++file) {
        const FileEntry& entry = archive.header().files[file];
        if (entry.isDirectory())
            continue;
        const auto& stream = archive.fileStreams()[file];
        files[entry.name] = stream ? substreams.at(*stream) : std::string();
    }
    return files;
}

struct Chain {
    std::string name;
    std::string filters; // py7zr's, with the module as `p`
    std::string password;
    bool encryptHeader = false;
};

const Chain chains[] = {
    {"copia", "[{'id': p.FILTER_COPY}]", ""},
    {"LZMA2", "[{'id': p.FILTER_LZMA2, 'preset': 1}]", ""},
    {"LZMA", "[{'id': p.FILTER_LZMA}]", ""},
    {"x86 y LZMA2", "[{'id': p.FILTER_X86}, {'id': p.FILTER_LZMA2}]", ""},
    {"ARM y LZMA2", "[{'id': p.FILTER_ARM}, {'id': p.FILTER_LZMA2}]", ""},
    {"delta y LZMA2", "[{'id': p.FILTER_DELTA, 'dist': 4}, {'id': p.FILTER_LZMA2}]", ""},
    {"deflate", "[{'id': p.FILTER_DEFLATE}]", ""},
    {"bzip2", "[{'id': p.FILTER_BZIP2}]", ""},
    {"LZMA2 y AES", "[{'id': p.FILTER_LZMA2, 'preset': 1}, {'id': p.FILTER_CRYPTO_AES256_SHA256}]",
     "clave ñ"},
    {"LZMA2 y AES, cabecera cifrada",
     "[{'id': p.FILTER_LZMA2, 'preset': 1}, {'id': p.FILTER_CRYPTO_AES256_SHA256}]", "clave", true},
    {"deflate y AES", "[{'id': p.FILTER_DEFLATE}, {'id': p.FILTER_CRYPTO_AES256_SHA256}]", "otra"},
};

std::map<std::string, std::string> makeSource(const fs::path& source) {
    const std::map<std::string, std::string> files = {
        {"texto.txt", sampleBytes(300000, 1, true)},
        {"ruido.bin", sampleBytes(200003, 2, false)},
        {"corto.txt", "hola"},
        {"carpeta/dentro.txt", sampleBytes(70000, 3, true)},
    };
    for (const auto& [name, bytes] : files)
        writeFile(source / name, bytes);
    writeFile(source / "vacío.txt", "");
    fs::create_directories(source / "carpeta" / "hueca");
    return files;
}

TEST(SevenZipContainer, EveryCoderChainOfPy7zrDecodesToTheFiles) {
    TemporaryDirectory folder;
    auto expected = makeSource(folder / "fuente");
    expected["vacío.txt"] = "";
    for (const Chain& chain : chains) {
        SCOPED_TRACE(chain.name);
        const fs::path archive = folder / (chain.name + ".7z");
        makePy7zr(archive, folder / "fuente", chain.filters, chain.password, chain.encryptHeader);
        const std::optional<std::string> password =
            chain.password.empty() ? std::nullopt : std::optional(chain.password);
        Progress progress;
        SevenZipArchive opened(inputOf(archive), password, progress);
        EXPECT_EQ(opened.headerEncrypted(), chain.encryptHeader);
        for (std::size_t folderIndex = 0; folderIndex < opened.folderCount(); ++folderIndex)
            EXPECT_EQ(opened.folderEncrypted(folderIndex), !chain.password.empty());
        for (const std::size_t piece : {std::size_t{1} << 20, std::size_t{4093}}) {
            std::map<std::string, std::string> read;
            for (const auto& [name, bytes] : contents(opened, password, piece))
                if (name.find('/') == std::string::npos || name.starts_with("carpeta/"))
                    read[name] = bytes;
            ASSERT_EQ(read.size(), expected.size());
            for (const auto& [name, bytes] : expected)
                EXPECT_TRUE(read[name] == bytes) << name;
        }
        if (!chain.password.empty() && !chain.encryptHeader) {
            expectFailure([&] { opened.openFolder(0, std::nullopt); },
                          ArchiveFailure::passwordRequired());
            // A wrong key decodes to noise, which the decoder or the CRC refuses.
            EXPECT_THROW(contents(opened, std::string("mala"), 1 << 20), SevenZipDataError);
        }
    }
}

TEST(SevenZipContainer, ChainsOfBsdtarDecodeToTheFiles) {
    TemporaryDirectory folder;
    auto expected = makeSource(folder / "fuente");
    expected["vacío.txt"] = "";
    for (const std::string compression : {"store", "deflate", "bzip2", "lzma1", "lzma2"}) {
        SCOPED_TRACE(compression);
        const fs::path archive = folder / (compression + ".7z");
        makeSevenZip(archive, folder / "fuente", ".", compression);
        Progress progress;
        SevenZipArchive opened(inputOf(archive), std::nullopt, progress);
        std::map<std::string, std::string> read;
        for (const auto& [name, bytes] : contents(opened, std::nullopt, 65536))
            read[name.starts_with("./") ? name.substr(2) : name] = bytes;
        ASSERT_EQ(read.size(), expected.size());
        for (const auto& [name, bytes] : expected)
            EXPECT_TRUE(read[name] == bytes) << name;
    }
}

// One byte changed inside the packed data of each kind of folder is caught: by the decoder, by
// the folder's CRC, or else by the CRC the header keeps for the file, never taken as the file.
TEST(SevenZipContainer, DamagedPackedDataIsCaught) {
    TemporaryDirectory folder;
    makeSource(folder / "fuente");
    for (const std::string compression : {"store", "deflate", "bzip2", "lzma1", "lzma2"}) {
        SCOPED_TRACE(compression);
        const fs::path archive = folder / (compression + ".7z");
        makeSevenZip(archive, folder / "fuente", ".", compression);
        std::string bytes = readFile(archive);
        Progress progress;
        const SevenZipArchive intact(std::make_shared<MemoryInput>(bytes), std::nullopt, progress);
        const std::uint64_t packed = intact.header().streams.packSizes.at(0);
        const std::size_t at = 32 + intact.header().streams.packPosition + packed / 2;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
        const SevenZipArchive damaged(std::make_shared<MemoryInput>(bytes), std::nullopt, progress);
        try {
            const auto read = contents(damaged, std::nullopt, 65536);
            const Header& header = damaged.header();
            bool caught = false;
            for (std::size_t file = 0; file < header.files.size(); ++file) {
                const auto& stream = damaged.fileStreams()[file];
                if (!stream)
                    continue;
                const std::string& data = read.at(header.files[file].name);
                const auto crc = static_cast<std::uint32_t>(
                    ::crc32(0L, reinterpret_cast<const Bytef*>(data.data()),
                            static_cast<uInt>(data.size())));
                ASSERT_TRUE(header.streams.substreamCrcs.at(*stream));
                caught = caught || crc != *header.streams.substreamCrcs[*stream];
            }
            EXPECT_TRUE(caught);
        } catch (const SevenZipDataError&) {
        }
    }
}

// Each prefix of a real header, and each header with one byte changed, is either read into a
// model whose indices hold or refused as a damaged 7z; nothing is read beyond the bytes.
TEST(SevenZipContainer, TheHeaderParserStaysWithinItsBytes) {
    TemporaryDirectory folder;
    makeSource(folder / "fuente");
    std::vector<std::string> headers;
    for (const std::string members : {".", "texto.txt corto.txt"}) {
        const fs::path archive = folder / (std::to_string(headers.size()) + ".7z");
        makeSevenZip(archive, folder / "fuente", members, "store");
        const std::string bytes = readFile(archive);
        const auto start =
            parseStartHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ASSERT_TRUE(start);
        headers.push_back(bytes.substr(32 + start->nextHeaderOffset, start->nextHeaderSize));
        ASSERT_EQ(headers.back().front(), '\x01'); // a plain header
    }
    headers.push_back(craftOneFileArchive(aesCoderId).substr(32 + 16));
    for (const std::string& header : headers) {
        // Copies of exactly the bytes given, so that a read beyond them is seen by the
        // sanitizers.
        auto parse = [](const std::string& bytes) {
            std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
            return parseHeader(exact.data(), exact.size());
        };
        const Header whole = parse(header);
        EXPECT_NO_THROW(checkStreams(whole.streams));
        for (std::size_t size = 0; size < header.size(); ++size)
            EXPECT_THROW(parse(header.substr(0, size)), ArchiveFailure) << size;
        for (std::size_t at = 0; at < header.size(); ++at) {
            for (const unsigned char value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
                std::string changed = header;
                changed[at] = static_cast<char>(value);
                try {
                    const Header model = parse(changed);
                    checkStreams(model.streams);
                    std::size_t withStream = 0;
                    for (const FileEntry& file : model.files)
                        withStream += file.hasStream ? 1 : 0;
                    EXPECT_EQ(withStream, model.streams.substreamSizes.size()) << at;
                } catch (const ArchiveFailure&) {
                }
            }
        }
    }
}

TEST(SevenZipContainer, TheStartHeaderIsCheckedBeforeItIsBelieved) {
    TemporaryDirectory folder;
    makeSource(folder / "fuente");
    const std::string bytes = readFile(makeSevenZip(folder / "a.7z", folder / "fuente", "."));
    auto start = [&](std::string changed) {
        std::vector<std::uint8_t> exact(changed.begin(), changed.end());
        return parseStartHeader(exact.data(), exact.size());
    };
    const auto real = start(bytes.substr(0, 32));
    ASSERT_TRUE(real);
    EXPECT_EQ(32 + real->nextHeaderOffset + real->nextHeaderSize, bytes.size());
    for (std::size_t size = 0; size < 32; ++size)
        EXPECT_FALSE(start(bytes.substr(0, size))) << size;
    for (std::size_t at = 0; at < 32; ++at) {
        std::string changed = bytes.substr(0, 32);
        changed[at] = static_cast<char>(changed[at] ^ 0x01);
        // The version's minor number is the one byte no check covers.
        if (at != 7) {
            EXPECT_FALSE(start(changed)) << at;
        }
    }
}

// py7zr's own derivation of the key, with the raw form that skips hashing.
TEST(SevenZipContainer, KeysMatchPy7zrsDerivation) {
    struct Case {
        std::string password;
        std::vector<std::uint8_t> salt;
        unsigned power;
    };
    const Case cases[] = {
        {"clave", {}, 19},
        {"", {}, 4},
        {"contraseña larga de más de treinta y dos bytes", {1, 2, 3}, 10},
        {"ñ", std::vector<std::uint8_t>(16, 0xAB), 1},
        {"crudo", {7, 7}, aesRawKeyPower},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.password + " " + std::to_string(c.power));
        AesProperties properties;
        properties.cyclesPower = c.power;
        properties.salt = c.salt;
        const AesKey key = deriveAesKey(c.password, properties);
        std::string saltHex;
        char digits[3];
        for (const std::uint8_t byte : c.salt) {
            std::snprintf(digits, sizeof digits, "%02x", byte);
            saltHex += digits;
        }
        const std::string script =
            "import sys\nfrom py7zr.helpers import calculate_key\n"
            "k=calculate_key(sys.argv[1].encode('utf-16-le'),int(sys.argv[2]),"
            "bytes.fromhex(sys.argv[3]),'sha256')\nprint(k.hex(),end='')\n";
        const std::string expected =
            runChecked("/usr/bin/python3 -c " + shellQuote(script) + " " + shellQuote(c.password) +
                       " " + std::to_string(c.power) + " " + shellQuote(saltHex));
        std::string actual;
        for (const std::uint8_t byte : key) {
            std::snprintf(digits, sizeof digits, "%02x", byte);
            actual += digits;
        }
        EXPECT_EQ(actual, expected);
    }
}

} // namespace
} // namespace vexa::sevenzip
