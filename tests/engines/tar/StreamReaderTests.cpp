#include "TarFixtures.h"
#include "engines/tar/DecoderReadAhead.h"
#include "engines/tar/FileByteSource.h"
#include "engines/tar/GzipStreamReader.h"
#include "engines/tar/TarReadFailure.h"
#include "engines/tar/XzStreamReader.h"
#include "engines/tar/ZstdRingReader.h"
#include "tests/support/TestSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace vexa::tar {
namespace {

using namespace testing::tar;

struct Codec {
    const char* name;
    const char* compress; // shell command: file on stdin, stream on stdout
    std::function<std::unique_ptr<ByteSource>(ByteSource&)> reader;
};

// A decoder read through small blocks on its own thread: data and failures arrive in order.
class GzipReadAhead : public ByteSource {
  public:
    explicit GzipReadAhead(ByteSource& in) : decoder_(in), ahead_(decoder_, 4096, 3) {}
    std::size_t read(char* buffer, std::size_t capacity) override {
        return ahead_.read(buffer, capacity);
    }

  private:
    GzipStreamReader decoder_;
    DecoderReadAhead ahead_;
};

const Codec codecs[] = {
    {"gzip", "gzip -c", [](ByteSource& in) { return std::make_unique<GzipStreamReader>(in); }},
    {"zstd", "zstd -q -c", [](ByteSource& in) { return std::make_unique<ZstdRingReader>(in); }},
    // A 128 KiB window in a ring without room to spare: the decoder goes round it many times
    // and waits for the reader at every turn.
    {"zstd_small_ring", "zstd -q -c --zstd=wlog=17",
     [](ByteSource& in) { return std::make_unique<ZstdRingReader>(in, 0); }},
    {"xz_blocks", "xz -T2 --block-size=300KiB -c",
     [](ByteSource& in) { return std::make_unique<XzStreamReader>(in); }},
    {"gzip_read_ahead", "gzip -c",
     [](ByteSource& in) { return std::make_unique<GzipReadAhead>(in); }},
};

class StreamReaderTest : public ::testing::TestWithParam<Codec> {
  protected:
    std::filesystem::path compress(const std::string& name, const std::string& bytes) {
        writeFile(dir / name, bytes);
        runChecked(std::string(GetParam().compress) + " < " + shellQuote(name) + " > " +
                       shellQuote(name + ".z"),
                   dir.path());
        return dir / (name + ".z");
    }

    // Everything the reader gives, read `chunk` bytes at a time.
    std::string decode(const std::filesystem::path& file, std::size_t chunk = 65536) {
        FileByteSource source(file, progress, false);
        std::unique_ptr<ByteSource> reader = GetParam().reader(source);
        std::string out;
        std::string buffer(chunk, '\0');
        while (std::size_t count = reader->read(buffer.data(), buffer.size()))
            out.append(buffer.data(), count);
        EXPECT_EQ(reader->read(buffer.data(), buffer.size()), 0u) << "the end stays the end";
        return out;
    }

    TemporaryDirectory dir;
    Progress progress;
};

TEST_P(StreamReaderTest, DecodesWhatTheToolWrote) {
    std::string bytes = sampleBytes(3'000'000, 7, true) + sampleBytes(500'000, 8, false);
    std::filesystem::path file = compress("data", bytes);
    EXPECT_EQ(decode(file), bytes);
    EXPECT_EQ(decode(file, 1), bytes) << "one byte per call";
}

TEST_P(StreamReaderTest, JoinsConcatenatedMembersOrFrames) {
    std::string first = sampleBytes(70'000, 1, true);
    std::string second = sampleBytes(90'000, 2, false);
    compress("a", first);
    compress("b", second);
    compress("empty", "");
    runChecked("cat a.z empty.z b.z > m.z", dir.path());
    EXPECT_EQ(decode(dir / "m.z"), first + second);
}

// Tape-style writers pad the last block with zeros; gzip reads such a file without complaint.
TEST(GzipStreamReaderTest, ZeroPaddingAfterTheLastMemberIsNoDamage) {
    TemporaryDirectory dir;
    writeFile(dir / "a", "primero\n");
    writeFile(dir / "b", "segundo\n");
    runChecked("gzip a b && cat a.gz b.gz > m.gz && head -c 300000 /dev/zero >> m.gz && "
               "cp m.gz bad.gz && printf x >> bad.gz && gzip -t m.gz",
               dir.path());
    auto decode = [&](const char* name) {
        Progress progress;
        FileByteSource source(dir / name, progress, false);
        GzipStreamReader reader(source);
        std::string out(64, '\0');
        out.resize(reader.read(out.data(), out.size()));
        return out;
    };
    EXPECT_EQ(decode("m.gz"), "primero\nsegundo\n");
    expectFailure([&] { decode("bad.gz"); },
                  ArchiveFailure::tarFailure("el archivo está dañado o incompleto."));
}

TEST(ZstdRingReaderTest, SkipsSkippableFrames) {
    TemporaryDirectory dir;
    std::string skippable("\x50\x2A\x4D\x18\x03\x00\x00\x00"
                          "abc",
                          11);
    writeFile(dir / "data", "contenido");
    runChecked("zstd -q -c data > data.zst", dir.path());
    writeFile(dir / "led.zst", skippable + readFile(dir / "data.zst"));
    char start[4];
    std::string led = readFile(dir / "led.zst");
    std::copy_n(led.data(), 4, start);
    EXPECT_TRUE(ZstdRingReader::hasMagic(start, 4));
    Progress progress;
    FileByteSource source(dir / "led.zst", progress, false);
    ZstdRingReader reader(source);
    std::string buffer(64, '\0');
    EXPECT_EQ(std::string(buffer.data(), reader.read(buffer.data(), buffer.size())), "contenido");
}

// The readers that decode pieces of an archive at once hold only its descriptor; a failed
// read still names the file.
TEST(TarReadFailureTest, AFailedReadNamesTheArchive) {
    TemporaryDirectory dir;
    writeFile(dir / "a.tar.xz", "x");
    files::FileDescriptor file(::open((dir / "a.tar.xz").c_str(), O_RDONLY | O_CLOEXEC));
    PlatformError failure = readFailure(file.get(), EIO);
    EXPECT_EQ(failure.path(), std::filesystem::canonical(dir / "a.tar.xz").string());
    EXPECT_EQ(failure.errorNumber(), EIO);
}

TEST_P(StreamReaderTest, RefusesDamagedInput) {
    const ArchiveFailure damaged =
        ArchiveFailure::tarFailure("el archivo está dañado o incompleto.");
    std::string whole = readFile(compress("data", sampleBytes(200'000, 4, false)));
    struct Damage {
        const char* what;
        std::string bytes;
    };
    std::string flipped = whole;
    flipped[whole.size() / 2] ^= 0x55;
    const Damage damages[] = {
        {"empty file", ""},
        {"cut in the header", whole.substr(0, 3)},
        {"cut in the middle", whole.substr(0, whole.size() / 2)},
        {"last byte missing", whole.substr(0, whole.size() - 1)},
        {"flipped byte", flipped},
        {"garbage after the end", whole + "garbage!"},
        {"not compressed at all", "just some text, long enough to look like data\n"},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        writeFile(dir / "bad", damage.bytes);
        expectFailure([&] { decode(dir / "bad"); }, damaged);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, StreamReaderTest, ::testing::ValuesIn(codecs),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vexa::tar
