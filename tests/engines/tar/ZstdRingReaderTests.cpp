// The zstd ring reader against files written by the zstd program: every byte comes back in
// order whatever the frames, windows, ring size and way of reading; damage reaches the reader
// after the bytes before it; the reader can be dropped at any point.
#include "TarFixtures.h"
#include "engines/codec/ZstdBlocks.h"
#include "engines/tar/TarReadFailure.h"
#include "engines/tar/ZstdRingReader.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::tar;
using vexa::tar::ByteSource;
using vexa::tar::ZstdRingReader;

// Bytes in memory, handed out `step` at a time, so that reads end anywhere in a block; it
// fails, like a file whose disk fails, once `failAt` bytes are read.
class MemorySource : public ByteSource {
  public:
    explicit MemorySource(std::string bytes, std::size_t step = 1 << 20,
                          std::size_t failAt = std::string::npos)
        : bytes_(std::move(bytes)), step_(step), failAt_(failAt) {}
    std::size_t read(char* buffer, std::size_t capacity) override {
        if (at_ >= failAt_)
            throw std::runtime_error("disco roto");
        const std::size_t count = std::min({capacity, step_, bytes_.size() - at_, failAt_ - at_});
        std::memcpy(buffer, bytes_.data() + at_, count);
        at_ += count;
        return count;
    }

  private:
    std::string bytes_;
    std::size_t step_;
    std::size_t failAt_;
    std::size_t at_ = 0;
};

enum class Way { read1, readOdd, readLarge, lend, lendSlowly };

// Everything the reader gives, in the given way; the failure, if any, in `failure`.
std::string drain(ZstdRingReader& reader, Way way, std::exception_ptr* failure = nullptr) {
    std::string out;
    std::vector<char> buffer(1 << 20);
    const std::size_t capacity = way == Way::read1 ? 1 : way == Way::readOdd ? 4093 : buffer.size();
    try {
        for (int round = 0;; ++round) {
            if (way == Way::lend || way == Way::lendSlowly) {
                const char* data = nullptr;
                const std::size_t count = reader.lend(&data);
                if (count == 0)
                    break;
                out.append(data, count);
                // A reader slower than the decoder keeps the ring full, so the decoder waits
                // for the bytes it holds at every turn of the ring.
                if (way == Way::lendSlowly && round % 8 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            } else {
                const std::size_t count = reader.read(buffer.data(), capacity);
                if (count == 0)
                    break;
                out.append(buffer.data(), count);
            }
        }
    } catch (...) {
        if (failure == nullptr)
            throw;
        *failure = std::current_exception();
    }
    return out;
}

std::string compress(const fs::path& folder, const std::string& bytes, const std::string& options) {
    writeFile(folder / "entrada", bytes);
    fs::remove(folder / "entrada.zst");
    runChecked("zstd -q " + options + " entrada -o entrada.zst", folder);
    return readFile(folder / "entrada.zst");
}

// A skippable frame, as any zstd decoder must pass over.
std::string skippable(unsigned variant, const std::string& payload) {
    std::string frame(8, '\0');
    const std::uint32_t magic = 0x184D2A50u + variant;
    const auto size = static_cast<std::uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) {
        frame[i] = static_cast<char>(magic >> (8 * i));
        frame[4 + i] = static_cast<char>(size >> (8 * i));
    }
    return frame + payload;
}

struct Stream {
    std::string name;
    std::string compressed;
    std::string plain;
};

std::vector<Stream> streams(const fs::path& folder) {
    EXPECT_TRUE(toolInstalled("zstd"));
    const std::string text = sampleBytes((2 << 20) + 100000, 1, true);
    const std::string noise = sampleBytes((1 << 20) + 77, 2, false);
    const std::string small = sampleBytes(1000, 3, true);
    // A window of 1 KiB gives a ring of a few blocks, which turns many times.
    const std::string tinyWindow = compress(folder, text, "-3 --zstd=wlog=10");
    const std::string wideWindow = compress(folder, text, "-19 --zstd=wlog=23");
    const std::string stored = compress(folder, noise, "-1");
    const std::string middleWindow = compress(folder, text, "-3 --zstd=wlog=17");
    const std::string empty = compress(folder, "", "");
    const std::string smallFrame = compress(folder, small, "--no-check");
    // Without the content size, as a pipe is compressed.
    writeFile(folder / "entrada", noise);
    runChecked("zstd -q -c < entrada > tubo.zst", folder);
    const std::string piped = readFile(folder / "tubo.zst");
    // Frames of uneven sizes end on short blocks, so the ring's passes end anywhere before
    // its end, and a slow reader still holds the end of one pass when the next one turns.
    std::string uneven;
    std::string unevenPlain;
    std::string names;
    for (int i = 0; i < 120; ++i) {
        const std::string piece = sampleBytes(1 + (i * 7919) % 5000, 100 + i, i % 3 != 0);
        writeFile(folder / "tramas" / std::to_string(i), piece);
        unevenPlain += piece;
        names += " " + std::to_string(i);
    }
    runChecked("zstd -q -3 --zstd=wlog=10" + names, folder / "tramas");
    for (int i = 0; i < 120; ++i)
        uneven += readFile(folder / "tramas" / (std::to_string(i) + ".zst"));
    return {
        {"tramas de tamaños desiguales", uneven, unevenPlain},
        {"una trama, ventana mínima", tinyWindow, text},
        {"una trama, ventana amplia", wideWindow, text},
        {"datos sin comprimir", stored, noise},
        {"sin tamaño de contenido", piped, noise},
        {"tramas concatenadas, de ventana creciente y decreciente",
         tinyWindow + wideWindow + stored + tinyWindow, text + text + noise + text},
        // Blocks of the small window are written up to the ring's very end, where the next
        // frame's larger blocks do not fit.
        {"ventanas alternas", middleWindow + tinyWindow + middleWindow + tinyWindow + middleWindow,
         text + text + text + text + text},
        {"trama vacía", empty, ""},
        {"trama vacía entre otras", smallFrame + empty + smallFrame, small + small},
        {"tramas saltables delante, en medio y detrás",
         skippable(0, "") + smallFrame + skippable(15, std::string(70000, 'x')) + tinyWindow +
             skippable(7, "fin"),
         small + text},
        {"sólo una trama saltable", skippable(3, "nada"), ""},
    };
}

TEST(ZstdRingReader, EveryByteComesBackWhateverTheFramesRingAndReading) {
    TemporaryDirectory folder;
    for (const Stream& stream : streams(folder.path())) {
        for (const std::size_t ahead : {std::size_t{4} << 20, std::size_t{0}, std::size_t{5000}}) {
            for (const Way way :
                 {Way::read1, Way::readOdd, Way::readLarge, Way::lend, Way::lendSlowly}) {
                if (way == Way::read1 && stream.plain.size() > (1 << 20))
                    continue;
                for (const std::size_t step : {std::size_t{1} << 20, std::size_t{7}}) {
                    SCOPED_TRACE(stream.name + ", adelanto " + std::to_string(ahead) +
                                 ", lectura " + std::to_string(static_cast<int>(way)) +
                                 ", entrada de " + std::to_string(step));
                    if (step == 7 && stream.compressed.size() > (1 << 20))
                        continue;
                    MemorySource source(stream.compressed, step);
                    ZstdRingReader reader(source, ahead);
                    const std::string out = drain(reader, way);
                    ASSERT_EQ(out.size(), stream.plain.size());
                    ASSERT_TRUE(out == stream.plain);
                    // The end stays the end.
                    char byte;
                    EXPECT_EQ(reader.read(&byte, 1), 0u);
                }
            }
        }
    }
}

// A reader a whole turn of the ring behind the decoder. Small blocks fill one pass of the ring
// up to its very end, and the reader, which takes a span at a time and waits before the next,
// still holds the last span of that pass when the decoder's next frame, of large blocks, has
// filled the front up to it: a large block no longer fits before the end, yet the front holds
// this pass's unread bytes, so the decoder must wait for the reader to leave the pass before.
TEST(ZstdRingReader, ADecoderAPassAheadKeepsTheUnreadFrontWhenItsBlocksGrow) {
    TemporaryDirectory folder;
    ASSERT_TRUE(toolInstalled("zstd"));
    constexpr std::size_t large = std::size_t{128} << 10;
    const std::string first = sampleBytes(2 << 20, 11, true);
    const std::string small = sampleBytes((2 << 20) + 2048, 12, true);
    const std::string second = sampleBytes(3 << 20, 13, false);
    const std::string largeBlocks = "-3 --zstd=wlog=17";
    const std::string frames = compress(folder.path(), first, largeBlocks) +
                               compress(folder.path(), small, "-3 --zstd=wlog=10") +
                               compress(folder.path(), second, largeBlocks);
    const std::string plain = first + small + second;
    // Rings whose end lies a little past a multiple of the largest span the reader is lent
    // (512 KiB), so that the small blocks' last span starts within a large block of the end.
    for (const std::size_t past : {std::size_t{8} << 10, std::size_t{32} << 10}) {
        SCOPED_TRACE(past);
        const std::size_t ring = (std::size_t{2} << 20) + past;
        MemorySource source(frames);
        ZstdRingReader reader(source, ring - vexa::codec::ZstdBlockDecoder::bufferSize(large));
        std::string out;
        for (;;) {
            // Time for the decoder to fill the ring as far as the reader lets it.
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
            const char* data = nullptr;
            const std::size_t count = reader.lend(&data);
            if (count == 0)
                break;
            out.append(data, count);
        }
        ASSERT_EQ(out.size(), plain.size());
        EXPECT_TRUE(out == plain);
    }
}

TEST(ZstdRingReader, DamageReachesTheReaderAfterTheBytesBeforeIt) {
    TemporaryDirectory folder;
    ASSERT_TRUE(toolInstalled("zstd"));
    const std::string text = sampleBytes(2 << 20, 4, true);
    const std::string frame = compress(folder.path(), text, "-3 --zstd=wlog=12");
    std::string flipped = frame;
    flipped[frame.size() / 2] = static_cast<char>(~flipped[frame.size() / 2]);
    // A window the library's own streaming decoder refuses, declared by a frame made from a
    // pipe, whose size the compressor cannot know.
    writeFile(folder / "entrada", sampleBytes(1000, 5, true));
    runChecked("zstd -q --long=30 -c < entrada > ancha.zst", folder.path());
    const std::string wide = readFile(folder / "ancha.zst");
    struct Case {
        std::string name;
        std::string bytes;
        std::string before; // what the reader gets first, at least in part
    };
    const Case cases[] = {
        {"archivo vacío", "", ""},
        {"no es zstd", std::string(1000, 'a'), ""},
        {"cortado en medio de la trama", frame.substr(0, frame.size() / 2), text},
        {"cortado en la cabecera de la segunda trama", frame + frame.substr(0, 3), text},
        {"un byte cambiado", flipped, text},
        {"basura detrás de la trama", frame + "basura", text},
        {"trama saltable cortada", frame + skippable(1, "abcdef").substr(0, 10), text},
        {"ventana mayor que el límite", wide, ""},
    };
    for (const Case& c : cases) {
        for (const Way way : {Way::readOdd, Way::lend}) {
            SCOPED_TRACE(c.name);
            MemorySource source(c.bytes, 4096);
            ZstdRingReader reader(source, 0);
            std::exception_ptr failure;
            const std::string out = drain(reader, way, &failure);
            ASSERT_TRUE(failure);
            try {
                std::rethrow_exception(failure);
            } catch (const ArchiveFailure& error) {
                EXPECT_EQ(error, vexa::tar::damagedArchive());
            }
            ASSERT_LE(out.size(), c.before.size());
            EXPECT_TRUE(c.before.compare(0, out.size(), out) == 0);
        }
    }
    // The bytes of whole frames before the damage are all given.
    MemorySource source(frame + frame.substr(0, 3));
    ZstdRingReader reader(source, 0);
    std::exception_ptr failure;
    EXPECT_TRUE(drain(reader, Way::lend, &failure) == text);
    EXPECT_TRUE(failure);
}

TEST(ZstdRingReader, AFailedReadOfTheFileReachesTheReaderAsItself) {
    TemporaryDirectory folder;
    ASSERT_TRUE(toolInstalled("zstd"));
    const std::string text = sampleBytes(1 << 20, 6, true);
    const std::string frame = compress(folder.path(), text, "-3 --zstd=wlog=12");
    MemorySource source(frame, 1000, frame.size() / 2);
    ZstdRingReader reader(source, 0);
    std::exception_ptr failure;
    const std::string out = drain(reader, Way::lend, &failure);
    ASSERT_TRUE(failure);
    EXPECT_THROW(std::rethrow_exception(failure), std::runtime_error);
    EXPECT_TRUE(text.compare(0, out.size(), out) == 0);
}

// Dropping the reader stops its thread wherever either side is: before any read, while the
// decoder waits for room behind a span the reader holds, in the middle of a span.
TEST(ZstdRingReader, TheReaderCanBeDroppedMidway) {
    TemporaryDirectory folder;
    ASSERT_TRUE(toolInstalled("zstd"));
    const std::string text = sampleBytes(8 << 20, 7, true);
    const std::string frames = compress(folder.path(), text, "-1 --zstd=wlog=14");
    for (const std::size_t taken : {std::size_t{0}, std::size_t{1}, std::size_t{3} << 20}) {
        for (const std::size_t ahead : {std::size_t{0}, std::size_t{4} << 20}) {
            SCOPED_TRACE(std::to_string(taken) + " " + std::to_string(ahead));
            MemorySource source(frames + frames);
            std::string out;
            {
                ZstdRingReader reader(source, ahead);
                std::vector<char> buffer(4093);
                while (out.size() < taken) {
                    const std::size_t count = reader.read(buffer.data(), buffer.size());
                    ASSERT_GT(count, 0u);
                    out.append(buffer.data(), count);
                }
                if (taken > 0) {
                    const char* data = nullptr;
                    ASSERT_GT(reader.lend(&data), 0u);
                }
                // Let the decoder fill the ring and wait.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            EXPECT_TRUE(text.compare(0, out.size(), out) == 0);
        }
    }
}

TEST(ZstdRingReader, MagicOfFramesAndSkippableFrames) {
    struct Case {
        std::string bytes;
        bool magic;
    };
    const Case cases[] = {
        {std::string("\x28\xB5\x2F\xFD", 4), true},
        {skippable(0, ""), true},
        {skippable(15, "x"), true},
        {std::string("\x60\x2A\x4D\x18", 4), false},
        {std::string("\x28\xB5\x2F", 3), false},
        {std::string("\xFD\x2F\xB5\x28", 4), false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ZstdRingReader::hasMagic(c.bytes.data(), c.bytes.size()), c.magic)
            << ::testing::PrintToString(c.bytes);
}

} // namespace
} // namespace vexa
