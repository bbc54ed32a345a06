#include "TarFixtures.h"
#include "engines/tar/SourceReadAhead.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::tar;
using vexa::tar::SourceReadAhead;

SourceEntryMap collect(const fs::path& location) {
    std::set<std::string> keys;
    SourceEntryMap entries;
    std::int64_t units = 0;
    Progress progress;
    collectSourceEntries(location, location.filename().string(), progress, keys, entries, units);
    return entries;
}

// Every item comes back whole and in order, its pieces contiguous, whatever the room: a ring
// barely larger than two pieces wraps in the middle of files, and a handful of pieces in flight
// makes the readers wait for the writer.
TEST(SourceReadAhead, PiecesComeInOrderAndMakeUpEachFile) {
    TemporaryDirectory folder;
    const std::size_t piece = SourceReadAhead::pieceSize;
    const std::vector<std::size_t> sizes = {0, 1, 65, piece - 1, piece, piece + 1, 3 * piece + 17};
    std::map<std::string, std::string> expected;
    fs::create_directories(folder / "raiz" / "vacía");
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        std::string name = "raiz/f" + std::to_string(i);
        expected[name] = sampleBytes(sizes[i], static_cast<std::uint32_t>(i), false);
        writeFile(folder / name, expected[name]);
    }
    const SourceEntryMap entries = collect(folder / "raiz");
    struct Room {
        std::size_t ring, pieces;
        unsigned readers;
    };
    for (const Room room : {Room{4u << 20, 2048, 4}, Room{2 * piece + 100, 3, 3}, Room{0, 1, 1}}) {
        SCOPED_TRACE(room.ring);
        Progress progress;
        SourceReadAhead ahead(entries, progress, room.ring, room.pieces, room.readers);
        std::vector<std::string> order;
        std::map<std::string, std::string> read;
        while (const SourceReadAhead::Piece* item = ahead.next()) {
            ASSERT_FALSE(item->failure);
            std::string& bytes = read[*item->path];
            EXPECT_EQ(item->first, order.empty() || order.back() != *item->path);
            EXPECT_EQ(item->offset, static_cast<std::int64_t>(bytes.size()));
            EXPECT_EQ(item->length, item->wanted);
            if (item->first)
                order.push_back(*item->path);
            bytes.append(item->data == nullptr ? "" : std::string(item->data, item->length));
            EXPECT_EQ(item->last, static_cast<std::int64_t>(bytes.size()) == item->source->size);
        }
        std::vector<std::string> paths;
        for (const auto& [path, source] : entries)
            paths.push_back(path);
        EXPECT_EQ(order, paths);
        for (const auto& [name, bytes] : expected)
            EXPECT_EQ(read[name], bytes) << name;
    }
}

// A file that cannot be read any more fails in its turn, after the items before it; a file
// that shrank gives what is left of it; a cancel stops the readers and the writer.
TEST(SourceReadAhead, TroublesArriveInTheirTurn) {
    TemporaryDirectory folder;
    writeFile(folder / "raiz/a", "uno");
    writeFile(folder / "raiz/b", sampleBytes(1000, 1, false));
    writeFile(folder / "raiz/c", "tres");
    const SourceEntryMap entries = collect(folder / "raiz");
    fs::remove(folder / "raiz/c");
    fs::create_symlink("a", folder / "raiz/c");
    writeFile(folder / "raiz/b", "corto");
    {
        Progress progress;
        SourceReadAhead ahead(entries, progress);
        std::vector<std::string> seen;
        while (const SourceReadAhead::Piece* item = ahead.next()) {
            seen.push_back(*item->path + (item->failure ? "!" : ""));
            if (*item->path == "raiz/b") {
                EXPECT_EQ(std::string(item->data, item->length), "corto");
            }
        }
        EXPECT_EQ(seen, (std::vector<std::string>{"raiz/", "raiz/a", "raiz/b", "raiz/c!"}));
    }
    Progress cancelled;
    cancelled.cancel();
    SourceReadAhead ahead(entries, cancelled);
    EXPECT_THROW(while (ahead.next()){}, CancellationError);
}

} // namespace
} // namespace vexa
