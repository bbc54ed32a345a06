#include "engines/EngineFactory.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEditor.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/sevenzip/SevenZipArchiveEditor.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "engines/tar/TarArchiveEditor.h"
#include "engines/tar/TarArchiveEngine.h"
#include "engines/zip/ZIPArchiveEditor.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <set>

namespace vexa {
namespace {

using testing::runChecked;
using testing::TemporaryDirectory;
using testing::writeFile;

enum class Kind { sevenZip, tar, rar, zip };

Kind kindOf(const ArchiveEngine& engine) {
    if (dynamic_cast<const SevenZipArchiveEngine*>(&engine))
        return Kind::sevenZip;
    if (dynamic_cast<const TarArchiveEngine*>(&engine))
        return Kind::tar;
    if (dynamic_cast<const RARArchiveEngine*>(&engine))
        return Kind::rar;
    EXPECT_NE(dynamic_cast<const ZIPArchiveEngine*>(&engine), nullptr);
    return Kind::zip;
}

// Files named against their content, from the tools that really make them.
class EngineFactoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(temporary / "nota.txt", "hola");
        runChecked("bsdtar --format 7zip -cf real.7z nota.txt && cp real.7z conFirma.001 && "
                   "bsdtar -czf real.tar.gz nota.txt && zip -q real.zip nota.txt && "
                   "cp real.zip partido.001",
                   temporary.path());
        ASSERT_TRUE(testing::toolInstalled("rar"));
        runChecked("rar a -idq real.rar nota.txt && cp real.rar rar_como.zip && "
                   "cp real.rar rar_sin_extension && "
                   "rar a -idq -sfx/usr/lib/default.sfx instalador nota.txt && "
                   "mv instalador.sfx instalador.exe",
                   temporary.path());
        writeFile(temporary / "programa.exe", std::string(1000, 'M'));
    }

    // The engine chosen, after checking that the detected format names the same engine.
    Kind choose(const std::string& name) {
        const Kind kind = kindOf(*makeArchiveEngine(temporary / name, std::string("clave")));
        EXPECT_EQ(kindOfFormat(detectArchiveFormat(temporary / name)), kind) << name;
        return kind;
    }

    static Kind kindOfFormat(ArchiveFormat format) {
        switch (format) {
        case ArchiveFormat::sevenZip:
            return Kind::sevenZip;
        case ArchiveFormat::tar:
            return Kind::tar;
        case ArchiveFormat::rar:
            return Kind::rar;
        case ArchiveFormat::zip:
            break;
        }
        return Kind::zip;
    }

    TemporaryDirectory temporary;
};

TEST_F(EngineFactoryTest, ChoosesByNameThenContentIn7zTarRarZipOrder) {
    const std::pair<const char*, Kind> cases[] = {
        {"real.7z", Kind::sevenZip},
        {"real.7z.001", Kind::sevenZip}, // missing, by name
        {"conFirma.001", Kind::sevenZip},
        {"partido.001", Kind::zip},
        {"real.tar.gz", Kind::tar},
        {"x.tar.zst", Kind::tar},
        {"x.gz", Kind::tar},
        {"x.tar", Kind::tar},
        {"x.TBZ2", Kind::tar},
        {"x.txz", Kind::tar},
        {"x.tzst", Kind::tar},
        {"notas.txt.bz2", Kind::tar},
        {"notas.txt.xz", Kind::tar},
        {"notas.txt.zst", Kind::tar},
        {"juego.7z.002", Kind::sevenZip},
        {"Backup.RAR", Kind::rar},
        {"x.part3.rar", Kind::rar},
        {"programa.exe", Kind::zip}, // an exe without the marker
        {"real.zip", Kind::zip},
        {"app.apk", Kind::zip},
        {"lib.jar", Kind::zip},
        {"sin_nombre_conocido", Kind::zip},
    };
    for (const auto& [name, kind] : cases)
        EXPECT_EQ(choose(name), kind) << name;
}

TEST_F(EngineFactoryTest, RarContentOnlyCountsForExeAndSfx) {
    EXPECT_EQ(choose("instalador.exe"), Kind::rar);
    EXPECT_EQ(choose("rar_como.zip"), Kind::zip);
    EXPECT_EQ(choose("rar_sin_extension"), Kind::zip);
}

TEST_F(EngineFactoryTest, EnginesCarryThePasswordWithExactOff) {
    const std::optional<std::string> password("contraseña");
    const auto sevenZip = makeArchiveEngine(temporary / "real.7z", password);
    const auto* seven = dynamic_cast<const SevenZipArchiveEngine*>(sevenZip.get());
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(seven->password, password);
    EXPECT_FALSE(seven->exact);

    const auto rarEngine = makeArchiveEngine(temporary / "x.rar", password);
    const auto* rar = dynamic_cast<const RARArchiveEngine*>(rarEngine.get());
    ASSERT_NE(rar, nullptr);
    EXPECT_EQ(rar->password, password);
    EXPECT_FALSE(rar->exact);

    const auto zipEngine = makeArchiveEngine(temporary / "real.zip", std::nullopt);
    const auto* zip = dynamic_cast<const ZIPArchiveEngine*>(zipEngine.get());
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(zip->password, std::nullopt);
    EXPECT_EQ(zip->splitSize, 0);
    EXPECT_FALSE(zip->resolved.has_value());
    EXPECT_EQ(zip->bufferSize, 262144);
}

// What each format's editor says it can do, and what it does when asked anyway.
struct EditorRow {
    ArchiveFormat format;
    bool (*isItsEditor)(const ArchiveEditor&);
    bool savesAsSingle;
    bool repairs;
    std::optional<ArchiveFailure> saveAsSingleRefusal;
};

template <typename Editor> bool is(const ArchiveEditor& editor) {
    return dynamic_cast<const Editor*>(&editor) != nullptr;
}

const EditorRow editorRows[] = {
    {ArchiveFormat::zip, is<ZIPArchiveEditor>, true, false, std::nullopt},
    {ArchiveFormat::rar, is<RARArchiveEditor>, true, true, std::nullopt},
    {ArchiveFormat::sevenZip, is<SevenZipArchiveEditor>, true, false, std::nullopt},
    {ArchiveFormat::tar, is<TarArchiveEditor>, false, false, ArchiveFailure::unsupportedTar("")},
};

template <typename Call> std::optional<ArchiveFailure> failureOf(const Call& call) {
    try {
        call();
    } catch (const ArchiveFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

TEST_F(EngineFactoryTest, EachFormatHasItsEditorAndSaysWhatItCannotDo) {
    const auto damaged = temporary / "real.zip";
    for (const EditorRow& row : editorRows) {
        SCOPED_TRACE(rawValue(row.format));
        const auto editor = makeArchiveEditor(row.format, std::string("clave"));
        ASSERT_NE(editor, nullptr);
        EXPECT_TRUE(row.isItsEditor(*editor));
        EXPECT_EQ(editor->savesAsSingle(), row.savesAsSingle);
        EXPECT_EQ(editor->repairs(), row.repairs);
        const auto output = temporary / "salida";
        if (!row.repairs) {
            EXPECT_EQ(failureOf([&] { editor->repair(damaged, output, *Progress::make()); }),
                      ArchiveFailure::unsupported());
        }
        if (row.saveAsSingleRefusal) {
            EXPECT_EQ(failureOf([&] { editor->saveAsSingle(damaged, output, *Progress::make()); }),
                      row.saveAsSingleRefusal);
        }
        EXPECT_FALSE(std::filesystem::exists(output));
    }
}

// The levels an editor announces for creation are exactly those its creation takes: the bounds
// are written, a level just beyond them is refused before anything is.
TEST_F(EngineFactoryTest, CreationTakesExactlyTheAnnouncedLevels) {
    writeFile(temporary / "a.txt", "hola");
    const std::pair<ArchiveFormat, const char*> rows[] = {{ArchiveFormat::rar, ".rar"},
                                                          {ArchiveFormat::sevenZip, ".7z"},
                                                          {ArchiveFormat::tar, ".tar.gz"}};
    for (const auto& [format, extension] : rows) {
        SCOPED_TRACE(rawValue(format));
        const auto editor = makeArchiveEditor(format, std::nullopt);
        const CreationAbilities can = editor->creationAbilities();
        ASSERT_TRUE(can.level);
        for (const int level :
             {can.lowestLevel - 1, can.lowestLevel, can.highestLevel, can.highestLevel + 1}) {
            CreationRequest request;
            request.format = format;
            request.sources = {temporary / "a.txt"};
            request.destination = temporary / ("nivel" + std::to_string(level) + extension);
            request.level = level;
            request.tarLevel = level;
            const bool taken = level >= can.lowestLevel && level <= can.highestLevel;
            EXPECT_EQ(failureOf([&] { editor->create(request, *Progress::make()); }).has_value(),
                      !taken)
                << level;
            EXPECT_EQ(std::filesystem::exists(request.destination), taken) << level;
        }
    }
}

TEST_F(EngineFactoryTest, EditsWithNothingChosenFailBeforeTheArchiveIsRead) {
    const auto missing = temporary / "no_existe";
    for (const ArchiveFormat format :
         {ArchiveFormat::rar, ArchiveFormat::sevenZip, ArchiveFormat::tar}) {
        SCOPED_TRACE(rawValue(format));
        const auto editor = makeArchiveEditor(format, std::nullopt);
        EXPECT_EQ(failureOf([&] { editor->deleteEntries(missing, {}, *Progress::make()); }),
                  ArchiveFailure::emptySelection());
        EXPECT_EQ(failureOf([&] {
                      editor->add(missing, {}, "", ArchiveConflictPolicy::ask, *Progress::make());
                  }),
                  ArchiveFailure::emptySelection());
    }
}

TEST_F(EngineFactoryTest, NewNamesIn7zAndRarAreOneSafeComponent) {
    ArchiveItem item;
    item.path = "nota.txt";
    const auto missing = temporary / "no_existe";
    for (const ArchiveFormat format : {ArchiveFormat::rar, ArchiveFormat::sevenZip}) {
        const auto editor = makeArchiveEditor(format, std::nullopt);
        for (const std::string name : {"", ".", "..", "a/b", "a\\b", "a:b"}) {
            SCOPED_TRACE(rawValue(format) + " «" + name + "»");
            EXPECT_EQ(failureOf([&] { editor->rename(missing, item, name, *Progress::make()); }),
                      ArchiveFailure::unsafePath(name));
        }
    }
}

TEST_F(EngineFactoryTest, OnlyRarNamesCanBeHiddenFromTheRepair) {
    ASSERT_TRUE(testing::toolInstalled("rar"));
    runChecked("rar a -idq -hpclave oculto.rar nota.txt && rar a -idq -pclave visible.rar nota.txt",
               temporary.path());
    const auto rar = makeArchiveEditor(ArchiveFormat::rar, std::nullopt);
    EXPECT_TRUE(rar->hidesNames(temporary / "oculto.rar"));
    EXPECT_FALSE(rar->hidesNames(temporary / "visible.rar"));
    EXPECT_FALSE(rar->hidesNames(temporary / "no_existe.rar"));
    for (const ArchiveFormat format :
         {ArchiveFormat::zip, ArchiveFormat::sevenZip, ArchiveFormat::tar})
        EXPECT_FALSE(makeArchiveEditor(format, std::nullopt)->hidesNames(temporary / "oculto.rar"));
}

// One archive per format made, edited and read through the editors alone: each operation
// reaches its format's writer with the editor's password.
TEST_F(EngineFactoryTest, EachEditorCreatesEditsAndHandsBackOneEntry) {
    ASSERT_TRUE(testing::toolInstalled("rar"));
    writeFile(temporary / "docs" / "a.txt", "hola");
    writeFile(temporary / "docs" / "b.txt", "adiós");
    writeFile(temporary / "nuevo.txt", "nuevo");
    const struct {
        ArchiveFormat format;
        const char* name;
        std::optional<std::string> password;
    } rows[] = {
        {ArchiveFormat::zip, "hecho.zip", "clave"},
        {ArchiveFormat::rar, "hecho.rar", "clave"},
        {ArchiveFormat::sevenZip, "hecho.7z", "clave"},
        {ArchiveFormat::tar, "hecho.tar.gz", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto archive = temporary / row.name;
        const auto editor = makeArchiveEditor(row.format, row.password);
        CreationRequest request;
        request.format = row.format;
        request.password = row.password;
        request.sources = {temporary / "docs"};
        request.destination = archive;
        request.level = 3;
        ASSERT_EQ(editor->create(request, *Progress::make()), archive);

        auto listed = [&] {
            return makeArchiveEngine(archive, row.password)->list(archive, *Progress::make());
        };
        auto item = [&](const std::string& path) {
            for (const ArchiveItem& entry : listed().entries)
                if (entry.path == path)
                    return entry;
            ADD_FAILURE() << "no entry " << path;
            return ArchiveItem{};
        };
        EXPECT_EQ(editor->rename(archive, item("docs/a.txt"), "c.txt", *Progress::make()), archive);
        EXPECT_EQ(editor->deleteEntries(archive, {"docs/b.txt"}, *Progress::make()), archive);
        EXPECT_EQ(editor->add(archive, {temporary / "nuevo.txt"}, "docs/",
                              ArchiveConflictPolicy::ask, *Progress::make()),
                  archive);
        std::set<std::string> files;
        for (const ArchiveItem& entry : listed().entries)
            if (!entry.isDirectory)
                files.insert(entry.path);
        EXPECT_EQ(files, (std::set<std::string>{"docs/c.txt", "docs/nuevo.txt"}));

        const auto out = temporary / (std::string("salida-") + row.name);
        editor->extractEntry(item("docs/c.txt"), archive, out, *Progress::make(), std::nullopt);
        EXPECT_EQ(testing::readFile(out), "hola");
        const auto failure = failureOf([&] {
            editor->extractEntry(item("docs/nuevo.txt"), archive, temporary / "grande",
                                 *Progress::make(), 1);
        });
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->kind(), ArchiveFailure::Case::previewTooLarge);
        if (row.password) {
            const auto locked = failureOf([&] {
                makeArchiveEditor(row.format, std::nullopt)
                    ->extractEntry(item("docs/c.txt"), archive, temporary / "sin_clave",
                                   *Progress::make(), std::nullopt);
            });
            ASSERT_TRUE(locked.has_value());
            EXPECT_TRUE(locked->kind() == ArchiveFailure::Case::passwordRequired ||
                        locked->kind() == ArchiveFailure::Case::wrongPassword)
                << locked->message();
        }
        EXPECT_FALSE(std::filesystem::exists(temporary / "grande"));
        EXPECT_FALSE(std::filesystem::exists(temporary / "sin_clave"));
    }
}

} // namespace
} // namespace vexa
