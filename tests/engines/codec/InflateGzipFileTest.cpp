#include "engines/codec/InflateGzipFile.h"

#include "engines/codec/DecodingStream.h"
#include "platform/Crc32.h"
#include "tests/engines/codec/PulledBytes.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace vexa::codec {
namespace {

using testing::readFile;
using testing::runChecked;
using testing::sampleBytes;
using testing::TemporaryDirectory;
using testing::writeFile;

// `plain` packed by a command reading standard input.
std::string pack(const std::string& command, const std::string& tool, const std::string& plain) {
    EXPECT_TRUE(testing::commandExists(tool)) << "missing tool: " << tool;
    TemporaryDirectory folder;
    writeFile(folder / "plain", plain);
    runChecked(command + " < plain > packed", folder.path());
    return readFile(folder / "packed");
}

const char* const pythonGzip =
    "/usr/bin/python3 -c 'import gzip,sys; "
    "sys.stdout.buffer.write(gzip.compress(sys.stdin.buffer.read(), 9))'";

std::string decodeFile(const std::string& packed, std::size_t piece = 4096) {
    BytesStream below(packed, piece);
    GzipFileStream stream(below);
    return readAll(stream, 65536);
}

// Points noted while a file is read from its start lie where deflate blocks begin: decoding
// from each of them, with its window, gives the rest of the file exactly, for the files GNU
// gzip and Python's gzip write; the member's trailer holds the CRC-32 and size of all of it.
TEST(GzipFileStream, EveryAccessPointResumesToTheBytesOfAStraightDecode) {
    struct Case {
        const char* maker;
        const char* tool;
        const char* command;
        std::string plain;
        std::int64_t spacing;
    };
    const std::string mixed = sampleBytes(2 << 20, 21, true) + sampleBytes(1 << 20, 22, false);
    const Case cases[] = {
        {"GNU gzip -6", "gzip", "gzip -c -6", mixed, 256 << 10},
        {"GNU gzip -1", "gzip", "gzip -c -1", mixed, 100 << 10},
        {"Python gzip", "python3", pythonGzip, mixed, 256 << 10},
        // More blocks than points are kept: every other point goes and the spacing grows.
        {"GNU gzip, many points", "gzip", "gzip -c -6", sampleBytes(6 << 20, 23, false), 1},
    };
    bool partialByteSeen = false;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.maker);
        const std::string packed = pack(test.command, test.tool, test.plain);
        BytesStream below(packed, 4093);
        GzipFileStream stream(below);
        stream.recordAccessPoints(test.spacing);
        ASSERT_EQ(readAll(stream, 65536), test.plain);
        std::optional<GzipAccessPoints> points = stream.takeAccessPoints();
        ASSERT_TRUE(points);
        EXPECT_EQ(points->decodedSize, static_cast<std::int64_t>(test.plain.size()));
        EXPECT_GE(points->points.size(), 5u);
        EXPECT_LE(points->points.size(), 256u);
        std::int64_t last = 0;
        for (const InflateAccessPoint& point : points->points) {
            SCOPED_TRACE(point.output);
            EXPECT_GE(point.output - last, test.spacing);
            last = point.output;
            partialByteSeen = partialByteSeen || point.bits != 0;
            const auto output = static_cast<std::size_t>(point.output);
            ASSERT_EQ(point.window.size(), std::min<std::size_t>(output, 32 << 10));
            EXPECT_TRUE(std::string(point.window.begin(), point.window.end()) ==
                        test.plain.substr(output - point.window.size(), point.window.size()));
            DecodingStream resumed(std::make_unique<BytesStream>(
                                       packed.substr(static_cast<std::size_t>(point.input)), 1000),
                                   std::make_unique<BlockInflateDecoder>(
                                       point, static_cast<std::uint8_t>(packed[point.input - 1])));
            // The last point's decoding runs to the member's end; the others' far past a block.
            const std::size_t limit = &point == &points->points.back() ? SIZE_MAX : 300 << 10;
            const std::string expected = test.plain.substr(output, limit);
            ASSERT_TRUE(readAll(resumed, 50000, limit).substr(0, limit) == expected);
        }
        std::array<std::uint8_t, 8> trailer{};
        std::copy_n(packed.end() - 8, 8, trailer.begin());
        const GzipTrailer read = GzipTrailer::from(trailer);
        EXPECT_EQ(read.crc, platform::crc32(0, test.plain.data(), test.plain.size()));
        EXPECT_EQ(read.size, test.plain.size());
    }
    EXPECT_TRUE(partialByteSeen) << "no point began inside a byte";
}

// Members follow each other, and zeros after the last are a tape writer's padding; a file of
// several members keeps no points (they count from one member's start). Damage of every kind
// is a DataError.
TEST(GzipFileStream, ReadsMembersAndPaddingAndReportsDamage) {
    const std::string first = sampleBytes(300 << 10, 31, true);
    const std::string second = sampleBytes(200 << 10, 32, false);
    const std::string a = pack("gzip -c", "gzip", first);
    const std::string b = pack(pythonGzip, "python3", second);
    const std::string empty = pack("gzip -c", "gzip", "");

    {
        BytesStream below(a + empty + b, 777);
        GzipFileStream stream(below);
        stream.recordAccessPoints(64 << 10);
        EXPECT_EQ(readAll(stream, 10000), first + second);
        EXPECT_FALSE(stream.takeAccessPoints());
        std::uint8_t byte = 0;
        EXPECT_EQ(stream.read(&byte, 1), 0u) << "the end stays the end";
    }
    EXPECT_EQ(decodeFile(a + b + std::string(300000, '\0')), first + second);
    EXPECT_EQ(decodeFile(empty), "");

    std::string badCrc = a;
    badCrc[badCrc.size() - 8] = static_cast<char>(badCrc[badCrc.size() - 8] ^ 1);
    std::string corrupt = a;
    corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x55);
    const struct {
        const char* what;
        std::string packed;
    } damaged[] = {
        {"empty file", ""},
        {"cut in the header", a.substr(0, 5)},
        {"cut in the data", a.substr(0, a.size() / 2)},
        {"cut in the trailer", a.substr(0, a.size() - 1)},
        {"corrupt data", corrupt},
        {"wrong CRC-32", badCrc},
        {"other data after zeros", a + std::string(1000, '\0') + "x"},
        {"no gzip member", "plain text, not gzip"},
        {"a second member cut short", a + b.substr(0, 100)},
    };
    for (const auto& test : damaged)
        EXPECT_THROW(decodeFile(test.packed), DataError) << test.what;
}

} // namespace
} // namespace vexa::codec
