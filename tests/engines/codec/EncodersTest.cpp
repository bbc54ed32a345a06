// The gzip, bzip2 and xz encoders, judged by the programs of the same names.
#include "engines/codec/Bzip2.h"
#include "engines/codec/Deflate.h"
#include "engines/codec/PullStream.h"
#include "engines/codec/XzEncoder.h"
#include "tests/engines/codec/Encoding.h"
#include "tests/support/TestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace vexa::codec {
namespace {

using testing::runChecked;
using testing::sampleBytes;
using testing::TemporaryDirectory;
using testing::writeFile;

enum class Kind { gzip, bzip2, xz };

struct Codec {
    Kind kind;
    const char* tool;      // reads, tests and itself writes the format
    const char* extension; // of a file in it
};
const Codec gzip{Kind::gzip, "gzip", "gz"};
const Codec bzip2{Kind::bzip2, "bzip2", "bz2"};
const Codec xz{Kind::xz, "xz", "xz"};

constexpr std::uint32_t someTime = 0x6b1730ba;

std::unique_ptr<Encoder> encoderFor(Kind kind, int level) {
    switch (kind) {
    case Kind::gzip:
        return std::make_unique<GzipEncoder>(level, someTime);
    case Kind::bzip2:
        return std::make_unique<Bzip2Encoder>(level);
    case Kind::xz:
        return std::make_unique<XzEncoder>(static_cast<std::uint32_t>(level));
    }
    return nullptr;
}

TEST(Encoders, MakeOneStreamThatTheFormatsOwnProgramTestsAndReadsBack) {
    const std::string plain =
        sampleBytes(1536 * 1024, 21, true) + sampleBytes(200 * 1024, 22, false);
    struct Case {
        const Codec& codec;
        int level;
        std::size_t piece;
        std::size_t room;
    };
    const Case cases[] = {
        {gzip, 1, 4096, 100},  {gzip, 6, 1 << 20, 1 << 17},  {gzip, 9, 777, 65536},
        {bzip2, 1, 4096, 100}, {bzip2, 5, 1 << 20, 1 << 17}, {bzip2, 9, 777, 65536},
        {xz, 1, 4096, 100},    {xz, 6, 1 << 20, 1 << 17},    {xz, 9, 777, 65536},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(testing::toolInstalled(c.codec.tool));
        SCOPED_TRACE(::testing::Message() << c.codec.tool << " level " << c.level << ", pieces of "
                                          << c.piece << ", output of " << c.room);
        const auto encoder = encoderFor(c.codec.kind, c.level);
        bool everyPieceTaken = false;
        const std::string packed =
            testing::encodeInPieces(*encoder, plain, c.piece, c.room, everyPieceTaken);
        EXPECT_TRUE(everyPieceTaken);
        TemporaryDirectory folder;
        const std::string name = std::string("packed.") + c.codec.extension;
        writeFile(folder / name, packed);
        runChecked(std::string(c.codec.tool) + " -t " + name, folder.path());
        EXPECT_TRUE(runChecked(std::string(c.codec.tool) + " -dc " + name, folder.path()) == plain);
    }
}

// The level reaches each compressor as its own level, so that an archive compares in size with
// the one its program makes: bzip2 and xz (on one thread) give the very same bytes, gzip's
// header tells the level as the gzip program's does.
TEST(Encoders, EachLevelIsTheCompressorsOwnAndTheFramingItsProgramsOwn) {
    const std::string plain = sampleBytes(700 * 1024, 31, true) + sampleBytes(50 * 1024, 32, false);
    TemporaryDirectory folder;
    writeFile(folder / "plain", plain);
    for (const Codec* codec : {&bzip2, &xz}) {
        ASSERT_TRUE(testing::toolInstalled(codec->tool));
        for (const int level : {1, 4, 9}) {
            SCOPED_TRACE(::testing::Message() << codec->tool << " level " << level);
            const auto encoder = encoderFor(codec->kind, level);
            bool taken = false;
            const std::string packed =
                testing::encodeInPieces(*encoder, plain, 65536, 65536, taken);
            const std::string threads = codec->kind == Kind::xz ? " -T1" : "";
            EXPECT_TRUE(packed == runChecked(std::string(codec->tool) + threads + " -" +
                                                 std::to_string(level) + " -c plain",
                                             folder.path()));
        }
    }
    ASSERT_TRUE(testing::toolInstalled("gzip"));
    // The extra flags byte: 4 for the fastest level, 2 for the best, 0 between.
    const struct {
        int level;
        unsigned char extraFlags;
    } levels[] = {{1, 4}, {6, 0}, {9, 2}, {Z_DEFAULT_COMPRESSION, 0}};
    std::size_t previousSize = 0;
    for (const auto& [level, extraFlags] : levels) {
        SCOPED_TRACE(::testing::Message() << "gzip level " << level);
        GzipEncoder encoder(level, someTime);
        bool taken = false;
        const std::string packed = testing::encodeInPieces(encoder, plain, 65536, 65536, taken);
        ASSERT_GT(packed.size(), 18u);
        // Magic, deflate, no name nor other fields, the time given, the Unix system.
        EXPECT_EQ(packed.substr(0, 8), std::string("\x1f\x8b\x08\x00\xba\x30\x17\x6b", 8));
        EXPECT_EQ(static_cast<unsigned char>(packed[8]), extraFlags);
        EXPECT_EQ(packed[9], '\x03');
        writeFile(folder / "packed.gz", packed);
        // gzip -l gives the size it stored for the data: the whole of it.
        EXPECT_NE(runChecked("gzip -l packed.gz", folder.path()).find(std::to_string(plain.size())),
                  std::string::npos);
        if (level != Z_DEFAULT_COMPRESSION && previousSize != 0) {
            EXPECT_LT(packed.size(), previousSize);
        }
        previousSize = packed.size();
    }
}

TEST(Encoders, AnEmptyInputIsAnEmptyStreamAndRefusedLevelsAreUnsupportedSettings) {
    TemporaryDirectory folder;
    for (const Codec* codec : {&gzip, &bzip2, &xz}) {
        ASSERT_TRUE(testing::toolInstalled(codec->tool));
        SCOPED_TRACE(codec->tool);
        const auto encoder = encoderFor(codec->kind, 6);
        bool taken = false;
        const std::string packed = testing::encodeInPieces(*encoder, "", 1, 1, taken);
        const std::string name = std::string("empty.") + codec->extension;
        writeFile(folder / name, packed);
        EXPECT_EQ(runChecked(std::string(codec->tool) + " -dc " + name, folder.path()), "");
        EXPECT_THROW(encoderFor(codec->kind, 10), UnsupportedSettings);
    }
    EXPECT_THROW(GzipEncoder(-2, 0), UnsupportedSettings);
    EXPECT_THROW(Bzip2Encoder(0), UnsupportedSettings);
}

} // namespace
} // namespace vexa::codec
