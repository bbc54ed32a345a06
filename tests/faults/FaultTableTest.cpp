// Every write and rename that extraction, creation and each edit make, failed one at a time
// through the fault seam, in every format: the user gets a clear message about their own file,
// nothing partial appears, no work folder stays, and the original archive is byte-identical.
#include "core/archive/ArchiveFailure.h"
#include "core/archive/RarLocator.h"
#include "core/workspace/ArchiveCreation.h"
#include "core/workspace/ArchiveEdits.h"
#include "core/workspace/EditableCopy.h"
#include "engines/EngineFactory.h"
#include "engines/rar/RAREditor.h"
#include "platform/FaultInjection.h"
#include "platform/PlatformError.h"
#include "platform/Progress.h"
#include "tests/support/TestSupport.h"

#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <span>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;
using faults::Call;

struct Format {
    ArchiveFormat format;
    const char* name;     // the archive's file name
    const char* makeWith; // an independent tool's command, run in the work folder
};

const Format kFormats[] = {
    {ArchiveFormat::zip, "a.zip", "zip -q -r a.zip docs"},
    {ArchiveFormat::tar, "a.tar.gz", "bsdtar -czf a.tar.gz docs"},
    {ArchiveFormat::rar, "a.rar", "rar a -idq a.rar docs"},
    {ArchiveFormat::sevenZip, "a.7z", "bsdtar --format 7zip -cf a.7z docs"},
};

// Split sets, saved as one archive (TAR archives are never split).
const Format kSplitSets[] = {
    {ArchiveFormat::zip, "a.zip", "zip -q -r -s 64k a.zip docs"},
    {ArchiveFormat::rar, "a.part1.rar", "rar a -idq -v64k a.rar docs"},
    // A 7z set is the archive cut into numbered pieces.
    {ArchiveFormat::sevenZip, "a.7z.001",
     "bsdtar --format 7zip -cf a.7z docs && split -b 64k -d -a 3 --numeric-suffixes=1 a.7z a.7z. "
     "&& rm a.7z"},
};

enum class Operation { extract, create, rename, remove, add, saveAsSingle, repair };
const char* nameOf(Operation operation) {
    switch (operation) {
    case Operation::extract:
        return "extraer";
    case Operation::create:
        return "crear";
    case Operation::rename:
        return "renombrar";
    case Operation::remove:
        return "eliminar";
    case Operation::add:
        return "añadir";
    case Operation::saveAsSingle:
        return "guardar como archivo único";
    case Operation::repair:
        return "reparar";
    }
    return "";
}

// One folder per run: the archive and its sources, a destination, and the temporary folder.
struct Scene {
    explicit Scene(const Format& format) : format(format) {
        fs::create_directories(root / "docs");
        writeFile(root / "docs" / "a.txt", sampleBytes(40'000, 1, true));
        writeFile(root / "docs" / "b.bin", sampleBytes(70'000, 2, false));
        writeFile(root / "nuevo.txt", sampleBytes(30'000, 3, true));
        runChecked(format.makeWith, root.path());
        fs::create_directories(root / "destino");
        fs::create_directories(root / "tmp");
        original = readFile(archive());
    }
    fs::path archive() const { return root / format.name; }

    ArchiveSummary summary() const {
        const auto progress = Progress::make();
        return makeArchiveEngine(archive(), std::nullopt)->list(archive(), *progress);
    }

    void run(Operation operation, const ArchiveSummary& listed) {
        const auto progress = Progress::make();
        switch (operation) {
        case Operation::extract:
            makeArchiveEngine(archive(), std::nullopt)
                ->extract(archive(), {}, root / "destino", *progress);
            return;
        case Operation::create: {
            CreationRequest request;
            request.format = format.format;
            request.rarProgram = locateRARExecutable();
            request.level = format.format == ArchiveFormat::sevenZip ? 5 : 3;
            request.sources = {root / "docs"};
            request.destination = root / "destino" / (std::string("nueva.") + extension());
            createWithFormat(request, *progress);
            return;
        }
        case Operation::rename:
            renameInArchive(listed, std::nullopt, *progress, itemNamed(listed, "docs/a.txt"),
                            "c.txt");
            return;
        case Operation::remove:
            deleteFromArchive(listed, std::nullopt, *progress, {"docs/b.bin"});
            return;
        case Operation::add:
            addToArchive(listed, std::nullopt, *progress, {root / "nuevo.txt"}, "",
                         ArchiveConflictPolicy::ask);
            return;
        case Operation::saveAsSingle: {
            const char* suffix = format.format == ArchiveFormat::zip   ? "zip"
                                 : format.format == ArchiveFormat::rar ? "rar"
                                                                       : "7z";
            saveEditableCopy(format.format, archive(),
                             root / "destino" / (std::string("unico.") + suffix), *progress,
                             std::nullopt);
            return;
        }
        case Operation::repair:
            RAREditor{std::nullopt, locateRARExecutable()}.repair(
                archive(), root / "destino" / "reparado.rar", *progress);
            return;
        }
    }

    std::string extension() const {
        const std::string name = format.name;
        return name.substr(name.find('.') + 1);
    }
    static ArchiveItem itemNamed(const ArchiveSummary& listed, const std::string& path) {
        for (const auto& item : listed.entries)
            if (item.path == path)
                return item;
        ADD_FAILURE() << "no entry " << path;
        return {};
    }

    // Work folders and partial results anywhere in the scene.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with(".vexa-") || name.starts_with("vexa-enlaces-") ||
                name.starts_with("Vexa-preview-"))
                found.push_back(fs::relative(entry.path(), root.path()).string());
        }
        for (const auto& entry : fs::directory_iterator(root / "destino"))
            found.push_back(fs::relative(entry.path(), root.path()).string());
        return found;
    }

    const Format& format;
    TemporaryDirectory root;
    std::string original;
};

// What a message must and must not say for a failed system call.
void expectHonest(const std::string& message, int errorNumber, const std::string& context) {
    const char* phrase = errorNumber == ENOSPC  ? "no hay espacio suficiente"
                         : errorNumber == EROFS ? "el disco es de solo lectura"
                                                : "error de lectura o escritura del disco";
    EXPECT_NE(message.find(phrase), std::string::npos) << context << ": " << message;
    for (const char* hidden : {".vexa-", "vexa-enlaces", "código", "error del sistema"})
        EXPECT_EQ(message.find(hidden), std::string::npos) << context << ": " << message;
}

class ScopedTemporaryFolder {
  public:
    explicit ScopedTemporaryFolder(const fs::path& folder) {
        if (const char* value = std::getenv("TMPDIR"))
            saved_ = value;
        ::setenv("TMPDIR", folder.c_str(), 1);
    }
    ~ScopedTemporaryFolder() {
        if (saved_)
            ::setenv("TMPDIR", saved_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

  private:
    std::optional<std::string> saved_;
};

void runTable(Operation operation) {
    const auto formats = operation == Operation::saveAsSingle ? std::span<const Format>(kSplitSets)
                         : operation == Operation::repair
                             ? std::span<const Format>(kFormats).subspan(2, 1)
                             : std::span<const Format>(kFormats);
    for (const Format& format : formats) {
        if (format.format == ArchiveFormat::rar) {
            ASSERT_TRUE(toolInstalled("rar"));
        }
        // A clean run counts the calls that can fail.
        int writes = 0;
        int renames = 0;
        {
            Scene scene(format);
            ScopedTemporaryFolder temporary(scene.root / "tmp");
            const ArchiveSummary listed = scene.summary();
            faults::arm({Call::write, 0, 0, scene.root.path()});
            scene.run(operation, listed);
            writes = faults::matchedCalls(Call::write);
            renames = faults::matchedCalls(Call::rename);
            faults::disarm();
        }
        ASSERT_GT(writes + renames, 0) << format.name;
        // The rar program's own writes are out of reach here; its exit codes are tested apart.
        std::vector<std::pair<Call, int>> points;
        if (writes > 0)
            points = {{Call::write, 1}, {Call::write, (writes + 1) / 2}, {Call::write, writes}};
        for (int n = 1; n <= renames; ++n)
            points.emplace_back(Call::rename, n);
        // A read-only disk refuses the first folder: the work folder itself.
        points.emplace_back(Call::folder, 1);
        for (const auto& [call, nth] : points) {
            if (nth <= 0)
                continue;
            const int errorNumber = call == Call::folder                   ? EROFS
                                    : call == Call::write && nth != writes ? ENOSPC
                                                                           : EIO;
            const std::string context = std::string(nameOf(operation)) + " " + format.name +
                                        (call == Call::write    ? ", escritura "
                                         : call == Call::rename ? ", cambio "
                                                                : ", carpeta ") +
                                        std::to_string(nth);
            Scene scene(format);
            ScopedTemporaryFolder temporary(scene.root / "tmp");
            const ArchiveSummary listed = scene.summary();
            faults::arm({call, nth, errorNumber, scene.root.path()});
            std::string message = "(sin fallo)";
            try {
                scene.run(operation, listed);
            } catch (const std::exception& failure) {
                message = failure.what();
            }
            faults::disarm();
            expectHonest(message, errorNumber, context);
            EXPECT_EQ(scene.leftovers(), std::vector<std::string>{}) << context;
            EXPECT_TRUE(readFile(scene.archive()) == scene.original) << context;
        }
    }
}

TEST(FaultTable, Extraction) {
    runTable(Operation::extract);
}
TEST(FaultTable, Creation) {
    runTable(Operation::create);
}
TEST(FaultTable, Rename) {
    runTable(Operation::rename);
}
TEST(FaultTable, Delete) {
    runTable(Operation::remove);
}
TEST(FaultTable, Add) {
    runTable(Operation::add);
}
// Where the kernel will not copy between the two files (as across file systems), the kept
// entries go through a buffer instead and the edit still succeeds.
TEST(FaultTable, AKernelCopyRefusedGoesThroughABuffer) {
    Scene scene(kFormats[0]);
    const ArchiveSummary listed = scene.summary();
    faults::arm({Call::write, 1, EXDEV, scene.root.path()});
    scene.run(Operation::remove, listed);
    faults::disarm();
    runChecked("unzip -tq a.zip", scene.root.path());
    EXPECT_EQ(scene.summary().entries.size() + 1, listed.entries.size());
    EXPECT_EQ(scene.leftovers(), std::vector<std::string>{});
}
TEST(FaultTable, SaveAsSingle) {
    runTable(Operation::saveAsSingle);
}
TEST(FaultTable, Repair) {
    runTable(Operation::repair);
}

} // namespace
} // namespace vexa::testing

namespace vexa::testing {
namespace {

// An entry whose name the disk cannot hold is named in the message, with the reason.
TEST(FaultTable, ANameTooLongForTheDiskIsNamed) {
    const std::string name = std::string(300, 'n') + ".txt";
    const struct {
        const char* archive;
        const char* script;
    } formats[] = {
        {"largo.zip", "import zipfile\nwith zipfile.ZipFile('largo.zip', 'w') as z:\n"
                      "    z.write('a.txt', arcname=N)\n"},
        {"largo.tar", "import tarfile\nwith tarfile.open('largo.tar', 'w') as t:\n"
                      "    t.add('a.txt', arcname=N)\n"},
        {"largo.7z", "import py7zr\nwith py7zr.SevenZipFile('largo.7z', 'w') as z:\n"
                     "    z.write('a.txt', arcname=N)\n"},
    };
    for (const auto& format : formats) {
        TemporaryDirectory folder;
        writeFile(folder / "a.txt", "hola");
        writeFile(folder / "make.py", "N = '" + name + "'\n" + format.script);
        runChecked("/usr/bin/python3 make.py", folder.path());
        fs::create_directory(folder / "destino");
        std::string message = "(sin fallo)";
        try {
            const auto progress = Progress::make();
            makeArchiveEngine(folder / format.archive, std::nullopt)
                ->extract(folder / format.archive, {}, folder / "destino", *progress);
        } catch (const std::exception& failure) {
            message = failure.what();
        }
        EXPECT_EQ(message, "No se pudo guardar «" + name + "» porque el nombre es demasiado largo.")
            << format.archive;
        EXPECT_TRUE(fs::is_empty(folder / "destino")) << format.archive;
    }
}

} // namespace
} // namespace vexa::testing

namespace vexa::testing {
namespace {

// Large ZIP entries are written from other threads (in pieces at their offsets, or behind the
// inflating thread): a failed write there still gives the disk's reason and leaves nothing.
TEST(FaultTable, LargeZipEntriesWrittenFromOtherThreads) {
    const auto scene = [](TemporaryDirectory& folder) {
        writeFile(folder / "guardado.bin", sampleBytes(10 << 20, 4, false));
        writeFile(folder / "comprimido.txt", sampleBytes(10 << 20, 5, true));
        runChecked("zip -q -0 a.zip guardado.bin && zip -q -1 a.zip comprimido.txt", folder.path());
        fs::create_directory(folder / "destino");
    };
    const auto extract = [](TemporaryDirectory& folder) {
        const auto progress = Progress::make();
        makeArchiveEngine(folder / "a.zip", std::nullopt)
            ->extract(folder / "a.zip", {}, folder / "destino", *progress);
    };
    int writes = 0;
    {
        TemporaryDirectory folder;
        scene(folder);
        faults::arm({Call::write, 0, 0, folder / "destino"});
        extract(folder);
        writes = faults::matchedCalls(Call::write);
        faults::disarm();
    }
    ASSERT_GT(writes, 4);
    for (const int nth : {1, 2, writes / 2, writes}) {
        const int errorNumber = nth == writes ? EIO : ENOSPC;
        TemporaryDirectory folder;
        scene(folder);
        faults::arm({Call::write, nth, errorNumber, folder / "destino"});
        std::string message = "(sin fallo)";
        try {
            extract(folder);
        } catch (const std::exception& failure) {
            message = failure.what();
        }
        faults::disarm();
        expectHonest(message, errorNumber, "escritura " + std::to_string(nth));
        EXPECT_TRUE(fs::is_empty(folder / "destino")) << nth;
    }
}

} // namespace
} // namespace vexa::testing
