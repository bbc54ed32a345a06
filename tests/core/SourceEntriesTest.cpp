#include "core/archive/SourceEntries.h"

#include "core/archive/SourceChecksums.h"
#include "platform/PlatformError.h"
#include "platform/TextRules.h"
#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <time.h>
#include <zlib.h>

namespace vexa {
namespace {

using testing::TemporaryDirectory;
using testing::writeFile;

struct Walk {
    std::set<std::string> keys;
    SourceEntryMap entries;
    std::int64_t units = 0;
    Progress progress;

    void add(const std::filesystem::path& location, const std::string& name) {
        collectSourceEntries(location, name, progress, keys, entries, units);
    }
};

std::uint32_t zlibCRC(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

template <typename Action> ArchiveFailure failureOf(Action action) {
    try {
        action();
    } catch (const ArchiveFailure& failure) {
        return failure;
    }
    ADD_FAILURE() << "no ArchiveFailure thrown";
    return ArchiveFailure::unsupported();
}

TEST(CollectSourceEntries, WalksFoldersSkippingResourceForkChildren) {
    TemporaryDirectory dir;
    std::filesystem::create_directories(dir / "Fotos/vacio");
    writeFile(dir / "Fotos/a.jpg", std::string(1000, 'x'));
    writeFile(dir / "Fotos/._a.jpg", std::string("\x00\x05\x16\x07", 4) + "fork");
    writeFile(dir / "Fotos/._propio.txt", "un archivo como otro cualquiera");
    writeFile(dir / "Fotos/.oculto", "");
    writeFile(dir / "._suelto", "abc");

    Walk walk;
    walk.add(dir / "Fotos", "Fotos");
    walk.add(dir / "._suelto", "._suelto");

    std::set<std::string> paths;
    for (const auto& [path, entry] : walk.entries)
        paths.insert(path);
    EXPECT_EQ(paths, (std::set<std::string>{"Fotos/", "Fotos/a.jpg", "Fotos/.oculto",
                                            "Fotos/._propio.txt", "Fotos/vacio/", "._suelto"}));
    EXPECT_EQ(walk.entries.at("Fotos/a.jpg"), (RARSourceEntry{dir / "Fotos/a.jpg", 1000, false}));
    EXPECT_TRUE(walk.entries.at("Fotos/vacio/").isDirectory);
    EXPECT_EQ(walk.entries.at("Fotos/vacio/").size, 0);
    // Folders and empty files count one unit each, files their bytes.
    EXPECT_EQ(walk.units, 1 + 1000 + 1 + 1 + 3 + 31);
}

TEST(CollectSourceEntries, SidecarsAreToldByTheirBytesAndKeptOnRequest) {
    TemporaryDirectory dir;
    const std::string magic("\x00\x05\x16\x07", 4);
    std::filesystem::create_directories(dir / "Fotos/._carpeta");
    writeFile(dir / "Fotos/._a.jpg", magic + "metadatos");
    writeFile(dir / "Fotos/._corto", magic.substr(0, 3));
    writeFile(dir / "Fotos/._b.jpg", "\x00\x05\x16\x08");
    writeFile(dir / "Fotos/x._c", magic);
    ASSERT_EQ(mkfifo((dir / "Fotos/._tubo").c_str(), 0600), 0);
    EXPECT_TRUE(isAppleDoubleSidecar(dir / "Fotos/._a.jpg", "._a.jpg"));
    for (const std::string name : {"._carpeta", "._corto", "._b.jpg", "x._c", "._tubo"})
        EXPECT_FALSE(isAppleDoubleSidecar(dir / "Fotos" / name, name)) << name;
    std::filesystem::remove(dir / "Fotos/._tubo");

    for (const bool keep : {false, true}) {
        Walk walk;
        std::vector<std::string> leftOut;
        collectSourceEntries(dir / "Fotos", "Fotos", walk.progress, walk.keys, walk.entries,
                             walk.units, {ArchiveFormat::tar, keep, &leftOut});
        EXPECT_EQ(walk.entries.count("Fotos/._a.jpg"), keep ? 1u : 0u);
        EXPECT_EQ(walk.entries.size(), 5u + (keep ? 1u : 0u));
        EXPECT_EQ(leftOut,
                  keep ? std::vector<std::string>{} : std::vector<std::string>{"Fotos/._a.jpg"});
    }
}

TEST(CollectSourceEntries, RefusesWhatCannotBeArchived) {
    TemporaryDirectory dir;
    std::filesystem::create_directories(dir / "carpeta");
    writeFile(dir / "carpeta/bien.txt", "x");
    std::filesystem::create_symlink(dir / "carpeta/bien.txt", dir / "carpeta/enlace");
    std::filesystem::create_directories(dir / "otra");
    ASSERT_EQ(mkfifo((dir / "otra/tubo").c_str(), 0600), 0);
    writeFile(dir / "plano.txt", "x");

    EXPECT_EQ(failureOf([&] { Walk().add(dir / "carpeta", "carpeta"); }),
              ArchiveFailure::symbolicLink("carpeta/enlace"));
    const std::vector<std::pair<ArchiveFormat, ArchiveFailure>> specialFile = {
        {ArchiveFormat::rar, ArchiveFailure::unsupportedRAR()},
        {ArchiveFormat::tar, ArchiveFailure::unsupportedTar("otra/tubo")},
        {ArchiveFormat::sevenZip, ArchiveFailure::unsupported7z()},
    };
    for (const auto& [format, failure] : specialFile) {
        Walk walk;
        EXPECT_EQ(failureOf([&, format = format] {
                      collectSourceEntries(dir / "otra", "otra", walk.progress, walk.keys,
                                           walk.entries, walk.units, {format});
                  }),
                  failure);
    }

    for (const std::string& name : std::vector<std::string>{
             "", "a\\b", "c:d", std::string("n\0ul", 4), "..", "x/../y", "x//.."}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(failureOf([&] { Walk().add(dir / "plano.txt", name); }),
                  ArchiveFailure::unsafePath(name));
    }
    // Dots that are no parent step are ordinary names.
    Walk walk;
    walk.add(dir / "plano.txt", "...");
    walk.add(dir / "plano.txt", "a..b");
    EXPECT_EQ(walk.entries.size(), 2u);
}

TEST(CollectSourceEntries, NamesEqualAfterNormalisingAndCaseFoldingCollide) {
    TemporaryDirectory dir;
    std::filesystem::create_directories(dir / "uno");
    std::filesystem::create_directories(dir / "dos");
    writeFile(dir / "uno/Informe.txt", "a");
    writeFile(dir / "dos/informe.TXT", "b");
    Walk walk;
    walk.add(dir / "uno/Informe.txt", "Informe.txt");
    EXPECT_EQ(failureOf([&] { walk.add(dir / "dos/informe.TXT", "informe.TXT"); }),
              ArchiveFailure::duplicate("informe.TXT"));

    const std::string composed = "Canci\xC3\xB3n";
    const std::string decomposed = text::nfd(composed);
    ASSERT_NE(composed, decomposed);
    writeFile(dir / "uno" / composed, "a");
    writeFile(dir / "dos" / decomposed, "b");
    walk.add(dir / "uno" / composed, composed);
    EXPECT_EQ(failureOf([&] { walk.add(dir / "dos" / decomposed, decomposed); }),
              ArchiveFailure::duplicate(decomposed));

    // A folder and a file of the same name collide as well.
    std::filesystem::create_directories(dir / "tres/Informe.txt");
    EXPECT_EQ(failureOf([&] { walk.add(dir / "tres/Informe.txt", "Informe.txt"); }),
              ArchiveFailure::duplicate("Informe.txt"));
}

TEST(CollectSourceEntries, MissingItemAndCancellationStopTheWalk) {
    TemporaryDirectory dir;
    EXPECT_THROW(Walk().add(dir / "no-existe", "no-existe"), PlatformError);
    writeFile(dir / "a", "x");
    Walk walk;
    walk.progress.cancel();
    EXPECT_THROW(walk.add(dir / "a", "a"), CancellationError);
    EXPECT_TRUE(walk.entries.empty());
}

TEST(LiesWithinSource, TheSourceAndEverythingBelowItButNotItsNeighbours) {
    TemporaryDirectory folder;
    const auto source = folder.path() / "Fotos";
    std::filesystem::create_directories(source / "2026");
    std::filesystem::create_directory_symlink(source, folder.path() / "Enlace");
    struct Case {
        std::filesystem::path destination;
        std::filesystem::path source;
        bool within;
    };
    const Case cases[] = {
        {source, source, true},
        {source / "2026" / "nuevo.rar", source, true},
        {folder.path() / "Enlace" / "nuevo.rar", source, true},
        {source / "nuevo.rar", folder.path() / "Enlace" / ".", true},
        {folder.path() / "Fotos 2.rar", source, false},
        {folder.path() / "FotosX" / "nuevo.rar", source, false},
        {folder.path() / "nuevo.rar", source, false},
        {folder.path() / "nuevo.rar", "/", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(liesWithinSource(c.destination, c.source), c.within)
            << c.destination << " in " << c.source;
}

TEST(Crc32OfFile, MatchesZlibAcrossBlockBoundariesAndCountsBytes) {
    TemporaryDirectory dir;
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{262144},
                                   std::size_t{262145}, std::size_t{700001}}) {
        SCOPED_TRACE(size);
        const std::string bytes = testing::sampleBytes(size, 7, false);
        writeFile(dir / "f", bytes);
        Progress progress;
        EXPECT_EQ(crc32OfFile(dir / "f", progress), zlibCRC(bytes));
        EXPECT_EQ(progress.completedUnitCount(), static_cast<std::int64_t>(size));
    }
    Progress progress;
    EXPECT_THROW(crc32OfFile(dir / "falta", progress), PlatformError);
    progress.cancel();
    EXPECT_THROW(crc32OfFile(dir / "f", progress), CancellationError);
}

class VerifyAgainstSources : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "d");
        writeFile(dir / "d/a.txt", "hola");
        writeFile(dir / "d/vacio", "");
        Walk walk;
        walk.add(dir / "d", "d");
        sources = walk.entries;
        archived["d/"] = {ArchiveItem{"d/", 0, 0, true, false}, std::nullopt};
        archived["d/a.txt"] = {ArchiveItem{"d/a.txt", 4, 4, false, false}, zlibCRC("hola")};
        archived["d/vacio"] = {ArchiveItem{"d/vacio", 0, 0, false, false}, 0u};
    }

    TemporaryDirectory dir;
    SourceEntryMap sources;
    ReadBackEntries archived;
};

TEST_F(VerifyAgainstSources, MatchingArchiveAdvancesByEveryUnit) {
    Progress progress;
    verifyRARAgainstSources(archived, sources, progress, ArchiveFailure::Case::tarFailure);
    // The folder and the empty file one each, the file its 4 bytes.
    EXPECT_EQ(progress.completedUnitCount(), 6);
}

TEST_F(VerifyAgainstSources, EachMismatchIsReportedInTheCallersKind) {
    const std::string changed =
        "«d/a.txt» no coincide con el original. Puede haber cambiado durante la compresión.";
    struct Case {
        const char* what;
        std::function<void(ReadBackEntries&)> spoil;
        std::string payload;
    };
    const std::vector<Case> cases = {
        {"missing entry", [](auto& a) { a.erase("d/vacio"); }, ""},
        {"folder read as file", [](auto& a) { a["d/"].first.isDirectory = false; }, ""},
        {"file read as folder", [](auto& a) { a["d/a.txt"].first.isDirectory = true; }, ""},
        {"size differs", [](auto& a) { a["d/a.txt"].first.size = 5; }, changed},
        {"no checksum", [](auto& a) { a["d/a.txt"].second.reset(); }, changed},
        {"checksum differs", [](auto& a) { a["d/a.txt"].second = zlibCRC("hol@"); }, changed},
    };
    // A wrong set of entries names the caller's format.
    const std::map<ArchiveFailure::Case, std::string> contentMismatch = {
        {ArchiveFailure::Case::rarCreation,
         "el contenido del RAR no coincide con los archivos seleccionados."},
        {ArchiveFailure::Case::rarEdit,
         "el contenido del RAR no coincide con los archivos seleccionados."},
        {ArchiveFailure::Case::sevenZipFailure,
         "el contenido del 7z no coincide con los archivos seleccionados."},
        {ArchiveFailure::Case::tarFailure,
         "el contenido del TAR no coincide con los archivos seleccionados."}};
    for (const auto& [kind, mismatch] : contentMismatch) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            ReadBackEntries spoiled = archived;
            c.spoil(spoiled);
            Progress progress;
            EXPECT_EQ(failureOf([&, kind = kind] {
                          verifyRARAgainstSources(spoiled, sources, progress, kind);
                      }),
                      ArchiveFailure::make(kind, c.payload.empty() ? mismatch : c.payload));
        }
    }
}

TEST_F(VerifyAgainstSources, SourceChangedAfterTheWalkIsCaught) {
    writeFile(dir / "d/a.txt", "HOLA");
    Progress progress;
    EXPECT_EQ(failureOf([&] {
                  verifyRARAgainstSources(archived, sources, progress,
                                          ArchiveFailure::Case::rarCreation);
              }).kind(),
              ArchiveFailure::Case::rarCreation);
    Progress cancelled;
    cancelled.cancel();
    EXPECT_THROW(
        verifyRARAgainstSources(archived, sources, cancelled, ArchiveFailure::Case::rarCreation),
        CancellationError);
}

TEST_F(VerifyAgainstSources, ChecksumsTakenInAdvanceStillSeeLaterChanges) {
    const auto verify = [&](SourceChecksums& checksums) {
        Progress progress;
        verifyRARAgainstSources(archived, sources, progress, ArchiveFailure::Case::rarCreation,
                                &checksums);
        // The folder and the empty file one each, the file its 4 bytes.
        EXPECT_EQ(progress.completedUnitCount(), 6);
    };
    const std::string changed =
        "«d/a.txt» no coincide con el original. Puede haber cambiado durante la compresión.";
    {
        Progress walk;
        SourceChecksums unchanged(sources, walk, std::chrono::nanoseconds(0));
        unchanged.waitUntilRead();
        unchanged.writerEnded();
        verify(unchanged);
    }
    // Changed after it was read while the writer ran, to the same size: only its times tell.
    Progress walk;
    SourceChecksums stale(sources, walk, std::chrono::nanoseconds(0));
    stale.waitUntilRead();
    writeFile(dir / "d/a.txt", "HOLA");
    stale.writerEnded();
    EXPECT_EQ(failureOf([&] { verify(stale); }), ArchiveFailure::rarCreation(changed));
}

// A writer's own checksum of a file stands for the file while it stays as the writer saw it,
// so nothing is read again; once the file changed, it is read anew.
TEST_F(VerifyAgainstSources, OfferedChecksumsStandUntilTheFileChanges) {
    const std::string changed =
        "«d/a.txt» no coincide con el original. Puede haber cambiado durante la compresión.";
    const RARSourceEntry& file = sources.at("d/a.txt");
    struct stat status {};
    ASSERT_EQ(::stat(file.url.c_str(), &status), 0);
    timespec later{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &later);
    later.tv_sec += 1;
    const auto verify = [&](SourceChecksums& checksums) {
        Progress progress;
        verifyRARAgainstSources(archived, sources, progress, ArchiveFailure::Case::tarFailure,
                                &checksums);
    };
    for (const bool changeIt : {false, true}) {
        SCOPED_TRACE(changeIt);
        Progress walk;
        SourceChecksums checksums(sources, walk, std::chrono::nanoseconds(0),
                                  SourceChecksums::Early::offered);
        // Not the file's checksum: taken as offered, the file is not read.
        checksums.offer(file, zlibCRC("otro"), status, status, later);
        if (changeIt) {
            // The same bytes again: only its date tells.
            writeFile(dir / "d/a.txt", "hola");
            const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, file.url.c_str(), past, 0), 0);
        }
        checksums.writerEnded();
        if (changeIt)
            verify(checksums);
        else
            EXPECT_EQ(failureOf([&] { verify(checksums); }), ArchiveFailure::tarFailure(changed));
    }
}

TEST_F(VerifyAgainstSources, AnOfferForAFileThatGrewSinceTheWalkIsNotTaken) {
    // The writer archives the walked size; a grown file's first bytes must not pass for it.
    const RARSourceEntry& file = sources.at("d/a.txt");
    writeFile(dir / "d/a.txt", "hola mundo");
    struct stat status {};
    ASSERT_EQ(::stat(file.url.c_str(), &status), 0);
    timespec later{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &later);
    later.tv_sec += 1;
    Progress walk;
    SourceChecksums checksums(sources, walk, std::chrono::nanoseconds(0),
                              SourceChecksums::Early::offered);
    checksums.offer(file, zlibCRC("hola"), status, status, later);
    checksums.writerEnded();
    Progress progress;
    EXPECT_EQ(failureOf([&] {
                  verifyRARAgainstSources(archived, sources, progress,
                                          ArchiveFailure::Case::tarFailure, &checksums);
              }),
              ArchiveFailure::tarFailure("«d/a.txt» no coincide con el original. Puede haber "
                                         "cambiado durante la compresión."));
}

} // namespace
} // namespace vexa
