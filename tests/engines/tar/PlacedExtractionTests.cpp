// Extraction from the places a listing noted: a zstd stream read once through its ring, and the
// pieces of a stream (xz blocks, arbitrary stretches) decoded each by itself. Entries whose
// headers and data straddle the edges of frames, blocks, pieces and the ring come out as bsdtar
// extracts them; a header that differs from the listing's stops the work.
#include "TarFixtures.h"
#include "engines/tar/ExtractionTree.h"
#include "engines/tar/ExtractionWriters.h"
#include "engines/tar/FileByteSource.h"
#include "engines/tar/ListingCache.h"
#include "engines/tar/PlacedExtraction.h"
#include "engines/tar/PlacedStream.h"
#include "engines/tar/TarArchiveEngine.h"
#include "engines/tar/ZstdRingReader.h"

#include <cstring>
#include <gtest/gtest.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::tar;

// Bytes in memory from `start`, as a decoder of one piece gives them, `step` at a time.
class MemoryPiece : public vexa::tar::ByteSource {
  public:
    MemoryPiece(const std::string& bytes, std::size_t start, std::size_t size, std::size_t step)
        : bytes_(bytes), at_(start), end_(start + size), step_(step) {}
    std::size_t read(char* buffer, std::size_t capacity) override {
        const std::size_t count = std::min({capacity, step_, end_ - at_});
        std::memcpy(buffer, bytes_.data() + at_, count);
        at_ += count;
        return count;
    }

  private:
    const std::string& bytes_;
    std::size_t at_;
    std::size_t end_;
    std::size_t step_;
};

class PlacedExtractionTest : public ::testing::Test {
  protected:
    // "datos/": 120 small files, a few larger than any ring, block or piece used below, an
    // empty file and a folder; archived by GNU tar as x.tar.
    void SetUp() override {
        fs::create_directories(dir / "datos/sub/vacía");
        for (int i = 0; i < 120; ++i)
            writeFile(dir / "datos" / ("f" + std::to_string(i) + ".txt"),
                      sampleBytes(static_cast<std::size_t>(37 * i + 1), i, i % 2 == 0));
        writeFile(dir / "datos/sub/grande1.bin", sampleBytes(300'000, 900, false));
        writeFile(dir / "datos/sub/grande2.bin", sampleBytes(1'100'000, 901, true));
        writeFile(dir / "datos/sub/cero.txt", "");
        runChecked("touch -d @1000000000 datos/sub/grande1.bin && "
                   "tar --format=gnu --sort=name -cf x.tar datos",
                   dir.path());
    }

    // Lists `archive` with the engine; its entries and where the listing placed them.
    std::pair<std::vector<ArchiveItem>, vexa::tar::TarPlacements> listed(const fs::path& archive) {
        TarArchiveEngine().list(archive, progress);
        std::shared_ptr<const ArchiveSummary> listing = vexa::tar::rememberedListing(archive);
        EXPECT_TRUE(listing);
        if (!listing)
            return {};
        std::shared_ptr<const vexa::tar::TarPlacements> places =
            vexa::tar::rememberedPlacements(*listing);
        EXPECT_TRUE(places && places->size() == listing->entries.size());
        if (!places)
            return {};
        return {listing->entries, *places};
    }

    // The few entries chosen from many: every 23rd small file, the large ones, the empty file
    // and the folder.
    static bool isChosen(const ArchiveItem& item) {
        const std::string& name = item.path;
        if (name.find("sub/") != std::string::npos)
            return true;
        if (!name.starts_with("datos/f"))
            return false;
        return std::stoi(name.substr(7)) % 23 == 5;
    }

    // Extracts the chosen entries from the zstd stream of `archive` through a ring of `ahead`.
    void alongPlaces(const fs::path& archive, const std::vector<ArchiveItem>& entries,
                     const vexa::tar::TarPlacements& places, const fs::path& target,
                     std::size_t ahead, Progress& work) {
        fs::create_directories(target);
        vexa::tar::ExtractionTree tree(target);
        // The file is read under a progress of its own, so that only the extraction itself can
        // notice a cancellation of `work`.
        vexa::tar::FileByteSource file(archive, progress, false);
        vexa::tar::ZstdRingReader stream(file, ahead);
        vexa::tar::ExtractionWriters writers(tree, 2);
        std::size_t wanted = 0;
        for (const ArchiveItem& item : entries)
            wanted += isChosen(item) ? 1 : 0;
        vexa::tar::extractAlongPlaces(
            stream, entries, places,
            [](const ArchiveItem& item) -> std::optional<std::string> {
                if (!isChosen(item))
                    return std::nullopt;
                return item.path;
            },
            wanted, tree, writers, work);
    }

    // The chosen entries as placed entries, their folders made below `target`.
    std::vector<vexa::tar::PlacedEntry> placedEntries(const std::vector<ArchiveItem>& entries,
                                                      const vexa::tar::TarPlacements& places,
                                                      vexa::tar::ExtractionTree& target) {
        std::vector<vexa::tar::PlacedEntry> placed;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const ArchiveItem& item = entries[i];
            if (!isChosen(item))
                continue;
            item.isDirectory ? (void)target.makeFolders(item.path)
                             : target.makeParentFolders(item.path);
            placed.push_back({item.path, item.isDirectory, item.size, places[i]});
        }
        return placed;
    }

    // What bsdtar extracts of x.tar, reduced to the chosen entries and their folders.
    std::map<std::string, std::string> expected() {
        if (!fs::exists(dir / "juez")) {
            fs::create_directory(dir / "juez");
            runChecked("bsdtar -xf ../x.tar", dir / "juez");
        }
        std::map<std::string, std::string> all = treeContents(dir / "juez");
        std::map<std::string, std::string> chosen;
        for (const auto& [name, bytes] : all) {
            ArchiveItem item;
            item.path = name.ends_with('/') ? name.substr(0, name.size() - 1) : name;
            if (isChosen(item) || name == "datos/" || name == "datos/sub/")
                chosen[name] = bytes;
        }
        return chosen;
    }

    void expectChosenOnly(const fs::path& target) {
        std::map<std::string, std::string> got = treeContents(target);
        std::map<std::string, std::string> want = expected();
        for (const auto& [name, bytes] : got)
            EXPECT_TRUE(want.count(name)) << "not chosen: " << name;
        for (const auto& [name, bytes] : want) {
            SCOPED_TRACE(name);
            ASSERT_TRUE(got.count(name));
            EXPECT_EQ(got[name], bytes);
        }
        struct stat status {};
        ASSERT_EQ(::stat((target / "datos/sub/grande1.bin").c_str(), &status), 0);
        EXPECT_EQ(status.st_mtime, 1000000000);
    }

    TemporaryDirectory dir;
    Progress progress;
};

// Skippable frames of 4 bytes ("abcd") between the frames of a split stream.
const char* const skippable = "printf '\\120\\052\\115\\030\\004\\000\\000\\000abcd'";

TEST_F(PlacedExtractionTest, ZstdStreamsOfEveryShapeGiveTheChosenEntriesAsBsdtar) {
    const std::pair<const char*, std::string> variants[] = {
        {"un marco", "zstd -q -3 -c x.tar > v.tar.zst"},
        {"formato zstd explícito", "zstd -q --format=zstd -1 -c x.tar > v.tar.zst"},
        // Frame edges fall inside headers and data: 100 001 is no multiple of 512.
        {"marcos concatenados",
         "split -b 100001 x.tar parte. && for p in parte.*; do zstd -q -c $p; done > v.tar.zst "
         "&& rm parte.*"},
        {"marcos saltables",
         std::string(skippable) +
             " > v.tar.zst && split -b 70001 x.tar parte. && for p in parte.*; do zstd -q -c $p; " +
             skippable + "; done >> v.tar.zst && rm parte.*"},
    };
    for (const auto& [name, command] : variants) {
        SCOPED_TRACE(name);
        runChecked(command, dir.path());
        auto [entries, places] = listed(dir / "v.tar.zst");
        ASSERT_GT(entries.size(), 120u);
        // A ring smaller than the large entries wraps many times inside each of them.
        for (std::size_t ahead : {std::size_t(64) << 10, std::size_t(4) << 20}) {
            SCOPED_TRACE(ahead);
            fs::path target = dir / "salida";
            alongPlaces(dir / "v.tar.zst", entries, places, target, ahead, progress);
            expectChosenOnly(target);
            fs::remove_all(target);
        }
        fs::remove(dir / "v.tar.zst");
    }
}

// Headers and data straddle the edges of arbitrary pieces, each decoded by itself on several
// threads, and of xz blocks as the xz program cut them.
TEST_F(PlacedExtractionTest, PiecesAndXzBlocksGiveTheChosenEntriesAsBsdtar) {
    runChecked("xz -q -1 -T1 --block-size=50001 -c x.tar > x.tar.xz", dir.path());
    auto [entries, places] = listed(dir / "x.tar.xz");
    ASSERT_GT(entries.size(), 120u);
    {
        fs::create_directory(dir / "bloques");
        vexa::tar::ExtractionTree target(dir / "bloques");
        std::vector<vexa::tar::PlacedEntry> placed = placedEntries(entries, places, target);
        EXPECT_TRUE(vexa::tar::extractXzBlocks(dir / "x.tar.xz", placed, target, progress));
    }
    expectChosenOnly(dir / "bloques");

    const std::string stream = readFile(dir / "x.tar");
    for (std::size_t pieceSize : {std::size_t(700), std::size_t(4099), std::size_t(65537)}) {
        SCOPED_TRACE(pieceSize);
        fs::path folder = dir / "piezas";
        fs::create_directory(folder);
        {
            vexa::tar::ExtractionTree target(folder);
            std::vector<vexa::tar::PlacedEntry> placed = placedEntries(entries, places, target);
            std::vector<vexa::tar::DecodedPiece> pieces;
            for (std::size_t start = 0; start < stream.size(); start += pieceSize) {
                const std::size_t size = std::min(pieceSize, stream.size() - start);
                pieces.push_back({static_cast<std::int64_t>(start), static_cast<std::int64_t>(size),
                                  [&stream, start, size] {
                                      return std::make_unique<MemoryPiece>(stream, start, size,
                                                                           333);
                                  }});
            }
            EXPECT_TRUE(vexa::tar::extractPieces(placed, std::move(pieces), 4, target, progress));
        }
        expectChosenOnly(folder);
        fs::remove_all(folder);
    }
}

// The archive was made again after its listing, one header different (a later modification
// time), every entry where it was: extracting that entry fails as a changed archive, whichever
// way it is read; extracting only entries whose headers did not change still works.
TEST_F(PlacedExtractionTest, AHeaderUnlikeTheListingsIsAChangedArchive) {
    runChecked("zstd -q -c x.tar > x.tar.zst && xz -q -1 --block-size=50001 -c x.tar > x.tar.xz "
               "&& touch -d @1200000000 datos/f28.txt "
               "&& tar --format=gnu --sort=name -cf y.tar datos "
               "&& zstd -q -c y.tar > y.tar.zst && xz -q -1 --block-size=50001 -c y.tar > "
               "y.tar.xz && cmp -s x.tar y.tar; test $? = 1 "
               "&& test $(stat -c %s x.tar) = $(stat -c %s y.tar)",
               dir.path());
    ASSERT_TRUE(isChosen(ArchiveItem{.path = "datos/f28.txt"}));
    {
        auto [entries, places] = listed(dir / "x.tar.zst");
        expectFailure(
            // Bindings are captured by name: older compilers refuse them in a lambda.
            [&, &entries = entries, &places = places] {
                alongPlaces(dir / "y.tar.zst", entries, places, dir / "z", 64 << 10, progress);
            },
            ArchiveFailure::archiveChanged());
        fs::remove_all(dir / "z");
    }
    {
        auto [entries, places] = listed(dir / "x.tar.xz");
        fs::create_directory(dir / "xz");
        vexa::tar::ExtractionTree target(dir / "xz");
        std::vector<vexa::tar::PlacedEntry> placed = placedEntries(entries, places, target);
        expectFailure(
            [&] { vexa::tar::extractXzBlocks(dir / "y.tar.xz", placed, target, progress); },
            ArchiveFailure::archiveChanged());
        // The unchanged entries alone come out whole.
        std::erase_if(placed, [](const vexa::tar::PlacedEntry& entry) {
            return entry.relative == "datos/f28.txt";
        });
        fs::remove_all(dir / "xz");
        fs::create_directory(dir / "xz");
        vexa::tar::ExtractionTree again(dir / "xz");
        for (const vexa::tar::PlacedEntry& entry : placed)
            entry.isDirectory ? (void)again.makeFolders(entry.relative)
                              : again.makeParentFolders(entry.relative);
        EXPECT_TRUE(vexa::tar::extractXzBlocks(dir / "y.tar.xz", placed, again, progress));
        EXPECT_EQ(readFile(dir / "xz/datos/sub/grande2.bin"),
                  readFile(dir / "datos/sub/grande2.bin"));
        fs::remove_all(dir / "xz");
    }
}

// Cancelled inside the data of a large entry, the extraction stops with the cancellation error;
// through the engine, the result holds no partial file.
TEST_F(PlacedExtractionTest, CancellationInsideAnEntryStopsAndLeavesNoPartialFile) {
    runChecked("split -b 100001 x.tar parte. && for p in parte.*; do zstd -q -c $p; done > "
               "x.tar.zst && rm parte.* && xz -q -1 --block-size=50001 -c x.tar > x.tar.xz",
               dir.path());
    {
        auto [entries, places] = listed(dir / "x.tar.zst");
        Progress cancelled;
        // Inside grande1.bin's 300 000 bytes, which follow some 10 000 of the small files.
        CancelWhenPast canceller(cancelled, 40'000);
        EXPECT_THROW(
            alongPlaces(dir / "x.tar.zst", entries, places, dir / "z", 64 << 10, cancelled),
            CancellationError);
        EXPECT_LT(cancelled.completedUnitCount(), 290'000);
        fs::remove_all(dir / "z");
    }
    for (const char* name : {"x.tar.zst", "x.tar.xz"}) {
        SCOPED_TRACE(name);
        listed(dir / name);
        fs::create_directory(dir / "fuera");
        Progress cancelled;
        {
            CancelWhenPast canceller(cancelled, 300'000);
            EXPECT_THROW(TarArchiveEngine().extract(dir / name, {"datos/sub/grande2.bin"},
                                                    dir / "fuera", cancelled),
                         CancellationError);
        }
        EXPECT_LT(cancelled.completedUnitCount(), cancelled.totalUnitCount());
        EXPECT_TRUE(fs::is_empty(dir / "fuera"));
        fs::remove_all(dir / "fuera");
    }
}

} // namespace
} // namespace vexa
