#include "engines/codec/DecodingStream.h"

#include "engines/codec/Bzip2.h"
#include "engines/codec/Deflate.h"
#include "engines/codec/Inflate.h"
#include "engines/codec/Lzma.h"
#include "engines/codec/Zstd.h"
#include "platform/PlatformError.h"
#include "platform/Progress.h"
#include "tests/engines/codec/PulledBytes.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <zlib.h>

namespace vexa::codec {
namespace {

using testing::readFile;
using testing::runChecked;
using testing::sampleBytes;
using testing::shellQuote;
using testing::TemporaryDirectory;
using testing::writeFile;

struct Codec {
    const char* tool;
    const char* compress; // the tool's command line, reading standard input
    std::function<std::unique_ptr<Decoder>()> decoder;
};

const Codec codecs[] = {
    {"gzip", "gzip -c -6",
     [] { return std::make_unique<InflateDecoder>(InflateDecoder::Framing::gzip); }},
    {"xz", "xz -c -6", [] { return std::make_unique<LzmaDecoder>(LzmaDecoder::xz()); }},
    // Blocks on several threads, and on one where they would hold more than allowed.
    {"xz", "xz -c -6 -T3 --block-size=300KiB",
     [] { return std::make_unique<LzmaDecoder>(LzmaDecoder::xzThreaded(4, 64 << 20)); }},
    {"xz", "xz -c -6 -T3 --block-size=300KiB",
     [] { return std::make_unique<LzmaDecoder>(LzmaDecoder::xzThreaded(4, 1 << 20)); }},
    {"bzip2", "bzip2 -c -9", [] { return std::make_unique<Bzip2Decoder>(); }},
    {"zstd", "zstd -q -c -3", [] { return std::make_unique<ZstdDecoder>(); }},
    // zlib's inflate, which the gzip access points need, reads members as ISA-L's does.
    {"gzip", "gzip -c -6",
     [] { return std::make_unique<BlockInflateDecoder>(InflateDecoder::Framing::gzip); }},
};

std::string compressWith(const Codec& codec, const std::string& plain) {
    EXPECT_TRUE(testing::commandExists(codec.tool)) << "missing tool: " << codec.tool;
    TemporaryDirectory folder;
    writeFile(folder / "plain", plain);
    runChecked(std::string(codec.compress) + " < plain > packed", folder.path());
    return readFile(folder / "packed");
}

std::string decode(const Codec& codec, std::string packed, std::size_t piece, std::size_t pull) {
    DecodingStream stream(std::make_unique<BytesStream>(std::move(packed), piece), codec.decoder());
    return readAll(stream, pull);
}

TEST(DecodingStream, DecodesWhatEachToolMakesWhateverThePiecesBelowAndTheReadsAbove) {
    const std::string plain =
        sampleBytes(700 * 1024, 7, true) + sampleBytes(300 * 1024, 8, false) + std::string(1, 'x');
    for (const Codec& codec : codecs) {
        const std::string packed = compressWith(codec, plain);
        for (const auto& [piece, pull] : {std::pair<std::size_t, std::size_t>{1 << 20, 1 << 16},
                                          {1, 4096},
                                          {4093, 1},
                                          {65536, 1 << 20}}) {
            if (pull == 1 && codec.tool != std::string("gzip"))
                continue; // a byte at a time is slow; one codec shows the loop holds
            EXPECT_EQ(decode(codec, packed, piece, pull), plain)
                << codec.tool << " piece " << piece << " pull " << pull;
        }
    }
}

TEST(DecodingStream, ReadsConcatenatedStreamsAndEmptyOnesAsTheToolsDo) {
    const std::string first = sampleBytes(100 * 1024, 1, true);
    const std::string second = sampleBytes(50 * 1024, 2, false);
    for (const Codec& codec : codecs) {
        const std::string packed =
            compressWith(codec, first) + compressWith(codec, "") + compressWith(codec, second);
        EXPECT_EQ(decode(codec, packed, 1000, 8192), first + second) << codec.tool;
        EXPECT_EQ(decode(codec, compressWith(codec, ""), 1000, 8192), "") << codec.tool;
    }
}

TEST(DecodingStream, TruncatedOrCorruptDataIsADataError) {
    const std::string plain = sampleBytes(400 * 1024, 3, true);
    for (const Codec& codec : codecs) {
        const std::string packed = compressWith(codec, plain);
        for (const std::size_t kept :
             {std::size_t{0}, std::size_t{5}, packed.size() / 2, packed.size() - 1}) {
            if (kept == 0 && codec.tool == std::string("bzip2"))
                continue; // empty input is bzip2's empty stream to nothing: see below
            EXPECT_THROW(decode(codec, packed.substr(0, kept), 4096, 4096), DataError)
                << codec.tool << " cut at " << kept;
        }
        std::string corrupt = packed;
        corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x55);
        EXPECT_THROW(decode(codec, corrupt, 4096, 4096), DataError) << codec.tool;
        // After the last stream, bzip2 (the tool too) ignores what is no stream; the others
        // take it for a damaged one.
        if (codec.tool == std::string("bzip2"))
            EXPECT_EQ(decode(codec, packed + "garbage!", 4096, 4096), plain);
        else
            EXPECT_THROW(decode(codec, packed + "garbage!", 4096, 4096), DataError) << codec.tool;
    }
}

TEST(DecodingStream, ACancelledProgressStopsTheNextPull) {
    const Codec& codec = codecs[1];
    auto progress = Progress::make(1);
    DecodingStream stream(
        std::make_unique<BytesStream>(compressWith(codec, sampleBytes(1 << 20, 4, true)), 4096),
        codec.decoder(), progress.get());
    std::vector<std::uint8_t> buffer(4096);
    EXPECT_EQ(stream.read(buffer.data(), buffer.size()), buffer.size());
    progress->cancel();
    EXPECT_THROW(stream.read(buffer.data(), buffer.size()), CancellationError);
}

TEST(Deflater, MakesRawDeflateThatGzipAndTheInflaterReadBack) {
    const std::string plain = sampleBytes(900 * 1024, 5, true) + sampleBytes(90 * 1024, 6, false);
    std::string packed;
    Deflater deflater;
    ASSERT_TRUE(deflater.start(6));
    std::vector<std::uint8_t> scratch(1000);
    const auto sink = [&](const std::uint8_t* data, std::size_t size) {
        packed.append(reinterpret_cast<const char*>(data), size);
        return 0;
    };
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(plain.data());
    const std::size_t half = plain.size() / 2;
    ASSERT_EQ(deflater.deflateFlushing(bytes, half, Deflater::Flush::sync, scratch.data(),
                                       scratch.size(), sink),
              0);
    ASSERT_EQ(deflater.deflate(bytes + half, plain.size() - half, true, scratch.data(),
                               scratch.size(), sink),
              0);

    // A gzip member around the raw stream, for gzip itself to judge.
    std::string member("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10);
    member += packed;
    const auto crc = static_cast<std::uint32_t>(crc32(0, bytes, static_cast<uInt>(plain.size())));
    const auto size = static_cast<std::uint32_t>(plain.size());
    for (const std::uint32_t word : {crc, size})
        for (int shift = 0; shift < 32; shift += 8)
            member += static_cast<char>((word >> shift) & 0xff);
    TemporaryDirectory folder;
    writeFile(folder / "member.gz", member);
    EXPECT_EQ(runChecked("gzip -dc member.gz", folder.path()), plain);

    DecodingStream stream(std::make_unique<BytesStream>(packed, 777),
                          std::make_unique<InflateDecoder>());
    EXPECT_EQ(readAll(stream, 1 << 16), plain);
}

TEST(LzmaDecoder, DecodesARawLzma2ChainAsXzWritesIt) {
    const std::string plain = sampleBytes(500 * 1024, 9, true);
    TemporaryDirectory folder;
    writeFile(folder / "plain", plain);
    runChecked("xz --format=raw --x86 --lzma2=preset=6,dict=1MiB -c < plain > packed",
               folder.path());
    lzma_options_lzma options{};
    ASSERT_FALSE(lzma_lzma_preset(&options, 6));
    options.dict_size = 1 << 20;
    const lzma_filter filters[] = {
        {LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    DecodingStream stream(std::make_unique<BytesStream>(readFile(folder / "packed"), 3000),
                          std::make_unique<LzmaDecoder>(LzmaDecoder::raw(filters)));
    EXPECT_EQ(readAll(stream, 5000), plain);

    const lzma_filter unknown[] = {{0x7777, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    EXPECT_THROW(LzmaDecoder::raw(unknown), UnsupportedSettings);
}

} // namespace
} // namespace vexa::codec
