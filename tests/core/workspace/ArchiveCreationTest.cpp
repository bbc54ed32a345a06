#include "OperationTestSupport.h"
#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "platform/Bookmarks.h"
#include "platform/Paths.h"
#include "tests/core/ScopedRarLocations.h"

#include <algorithm>
#include <tuple>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

class ArchiveCreationTest : public WorkspaceOperationTest {
  protected:
    ArchiveCreationTest() : noRar_(RarLocations{std::nullopt, {}}) {}

    // Creates from the current settings, saving at `destination` through the save panel.
    void createAt(const fs::path& destination) {
        harness.dialogs.answerSavePanel(destination);
        model().createArchive();
        waitUntilIdle();
    }
    const SavePanelRequest& lastSavePanel() { return harness.dialogs.savePanels.back(); }
    void expectSucceeded(const std::string& detail) {
        ASSERT_EQ(model().records().size(), 1u) << model().errorMessage().value_or("");
        EXPECT_TRUE(model().records().front().succeeded) << model().records().front().detail;
        EXPECT_EQ(model().records().front().detail, detail);
        EXPECT_FALSE(model().errorMessage());
    }

  private:
    ScopedRarLocations noRar_;
};

TEST_F(ArchiveCreationTest, SourcesAreListedOnceAndTheirAccessIsStoppedOnce) {
    const auto tree = sampleTree();
    const fs::path a = tree / "top.txt", b = tree / "docs";
    model().addSources({a, b, a, "relativo.txt"});
    EXPECT_EQ(model().sources(), (std::vector<fs::path>{a, b}));
    EXPECT_EQ(model().page(), WorkspacePage::create);
    model().addSources({b});
    EXPECT_EQ(model().sources().size(), 2u);
    EXPECT_EQ(bookmarks::accessCounts().starts, 2);

    model().removeSource(a);
    model().removeSource(a);
    EXPECT_EQ(model().sources(), std::vector<fs::path>{b});
    EXPECT_EQ(bookmarks::accessCounts().stops, 1);

    model().beginOperation("Otra", Progress::make());
    model().clearSources();
    model().addSources({a});
    EXPECT_EQ(model().sources(), std::vector<fs::path>{b}) << "sources are fixed while busy";
    model().endOperation();
    model().clearSources();
    EXPECT_TRUE(model().sources().empty());
    EXPECT_TRUE(bookmarks::openAccess().empty());
}

TEST_F(ArchiveCreationTest, SuffixFollowsFormatAndSingleFileMode) {
    const auto tree = sampleTree();
    struct Row {
        ArchiveFormat format;
        bool selfExtracting;
        TarCompression compression;
        bool singleFile;
        std::vector<fs::path> sources;
        std::string suffix;
    };
    const fs::path file = tree / "top.txt";
    const std::vector<Row> rows = {
        {ArchiveFormat::zip, true, TarCompression::gzip, true, {file}, ".zip"},
        {ArchiveFormat::rar, false, TarCompression::gzip, true, {file}, ".rar"},
        {ArchiveFormat::rar, true, TarCompression::gzip, true, {file}, ".sfx"},
        {ArchiveFormat::sevenZip, false, TarCompression::gzip, true, {file}, ".7z"},
        {ArchiveFormat::tar, false, TarCompression::gzip, true, {file}, "(nombre del archivo).gz"},
        {ArchiveFormat::tar, false, TarCompression::zstd, true, {file}, "(nombre del archivo).zst"},
        {ArchiveFormat::tar, false, TarCompression::gzip, false, {file}, ".tar.gz"},
        {ArchiveFormat::tar, false, TarCompression::none, true, {file}, ".tar"},
        {ArchiveFormat::tar, false, TarCompression::xz, true, {file, tree / "docs"}, ".tar.xz"},
        {ArchiveFormat::tar, false, TarCompression::bzip2, true, {tree / "docs"}, ".tar.bz2"},
        {ArchiveFormat::tar, false, TarCompression::gzip, true, {tree / "docs/"}, ".tar.gz"},
    };
    for (const Row& row : rows) {
        model().clearSources();
        model().addSources(row.sources);
        model().setCreationFormat(row.format);
        model().setRarSelfExtracting(row.selfExtracting);
        model().setTarCompression(row.compression);
        model().setTarSingleFile(row.singleFile);
        EXPECT_EQ(model().outputNameSuffix(), row.suffix) << row.sources.size();
    }
}

TEST_F(ArchiveCreationTest, RefusalsOnlySetTheErrorMessage) {
    const auto tree = sampleTree();
    model().addSources({tree / "top.txt"});
    const std::string badName = "Escribe un nombre de archivo válido.";
    const std::string badPassword = "Escribe y confirma la misma contraseña.";
    struct Row {
        ArchiveFormat format;
        std::string name;
        bool protect;
        std::string password, confirmation;
        std::string message;
    };
    const std::vector<Row> rows = {
        {ArchiveFormat::zip, "a/b", false, "", "", badName},
        {ArchiveFormat::zip, "a:b", false, "", "", badName},
        {ArchiveFormat::sevenZip, "a\\b", false, "", "", badName},
        {ArchiveFormat::tar, ".", false, "", "", badName},
        {ArchiveFormat::zip, "..", false, "", "", badName},
        {ArchiveFormat::zip, "ok", true, "", "", badPassword},
        {ArchiveFormat::sevenZip, "ok", true, "uno", "dos", badPassword},
        {ArchiveFormat::zip, "ok", true, "clave", "Clave", badPassword},
    };
    for (const Row& row : rows) {
        model().setErrorMessage(std::nullopt);
        model().setCreationFormat(row.format);
        model().setArchiveName(row.name);
        model().setProtectWithPassword(row.protect);
        model().setCreationPassword(row.password);
        model().setPasswordConfirmation(row.confirmation);
        model().createArchive();
        EXPECT_EQ(model().errorMessage(), row.message) << row.name << " " << row.password;
        EXPECT_EQ(model().creationPassword(), row.password);
    }
    EXPECT_FALSE(model().isBusy());
    EXPECT_TRUE(model().records().empty());
    EXPECT_TRUE(harness.dialogs.savePanels.empty());
    EXPECT_TRUE(harness.dialogs.openPanels.empty());

    // Nothing to create, or a cancelled panel: no message at all.
    model().setErrorMessage(std::nullopt);
    model().setArchiveName("ok");
    model().setProtectWithPassword(false);
    harness.dialogs.answerSavePanel(std::nullopt);
    model().createArchive();
    model().clearSources();
    model().createArchive();
    EXPECT_FALSE(model().errorMessage());
    EXPECT_TRUE(model().records().empty());
    EXPECT_TRUE(harness.dialogs.scriptUsed());
}

TEST_F(ArchiveCreationTest, ZIPWithAnEmptyNameIsArchivoAndEmptiesThePasswords) {
    const auto tree = sampleTree();
    model().addSources({tree / "docs", tree / "top.txt"});
    model().setArchiveName("");
    model().setProtectWithPassword(true);
    // The same password typed in two Unicode forms.
    model().setCreationPassword("caf\xC3\xA9");
    model().setPasswordConfirmation("cafe\xCC\x81");
    createAt(work / "salida.zip");

    EXPECT_EQ(lastSavePanel().nameFieldStringValue, "Archivo.zip");
    EXPECT_EQ(lastSavePanel().prompt, "Crear ZIP");
    EXPECT_EQ(lastSavePanel().allowedContentTypes, std::vector<std::string>{"zip"});
    expectSucceeded("ZIP creado correctamente");
    EXPECT_EQ(model().records().front().title, "Creando salida.zip");
    EXPECT_EQ(model().lastOutput(), work / "salida.zip");
    EXPECT_EQ(model().creationPassword(), "");
    EXPECT_EQ(model().passwordConfirmation(), "");
    EXPECT_EQ(model().sources().size(), 2u) << "sources stay for another archive";

    const auto out = work / "fuera";
    fs::create_directory(out);
    runChecked("bsdtar -xf " + shellQuote((work / "salida.zip").string()) + " --passphrase " +
                   shellQuote("caf\xC3\xA9") + " -C " + shellQuote(out.string()),
               std::string());
    EXPECT_EQ(readFile(out / "docs/b/c.txt"), readFile(tree / "docs/b/c.txt"));
    EXPECT_EQ(readFile(out / "top.txt"), "arriba\n");
    EXPECT_TRUE(bookmarks::openAccess().size() == 2u) << "only the two sources keep access";
}

TEST_F(ArchiveCreationTest, SplitZIPAsksForAFolderAndPassesMebibytes) {
    writeFile(work / "grande.bin", sampleBytes(1500000, 5, false));
    const auto target = work / "destino";
    fs::create_directory(target);
    model().addSources({work / "grande.bin"});
    model().setArchiveName("partido");
    model().setSplitMegabytes(1);
    harness.dialogs.answerOpenPanel({target});
    model().createArchive();
    waitUntilIdle();

    ASSERT_EQ(harness.dialogs.openPanels.size(), 1u);
    EXPECT_TRUE(harness.dialogs.savePanels.empty());
    const auto& panel = harness.dialogs.openPanels.front();
    EXPECT_FALSE(panel.canChooseFiles);
    EXPECT_TRUE(panel.canChooseDirectories);
    EXPECT_EQ(panel.message, "Se creará una carpeta nueva con todas las partes del ZIP.");
    EXPECT_EQ(panel.prompt, "Guardar partes aquí");
    expectSucceeded("ZIP creado correctamente");
    ASSERT_TRUE(model().lastOutput());
    const fs::path parts = model().lastOutput()->parent_path();
    EXPECT_EQ(parts.parent_path(), target);
    EXPECT_TRUE(fs::exists(parts / "partido.z01")) << parts;
    EXPECT_EQ(fs::file_size(parts / "partido.z01"), 1048576u);
    // The folder's and the destination's access both ended.
    EXPECT_EQ(bookmarks::openAccess().size(), 1u);
}

TEST_F(ArchiveCreationTest, ImpossibleVolumeSizesAreRefusedBeforeAnyPanel) {
    const auto tree = sampleTree();
    model().addSources({tree / "top.txt"});
    for (std::int64_t megabytes : {std::int64_t{-1}, std::int64_t{1} << 50}) {
        model().setSplitMegabytes(megabytes);
        model().createArchive();
        EXPECT_EQ(model().errorMessage(), ArchiveFailure::unsupported().message());
    }
    EXPECT_TRUE(harness.dialogs.openPanels.empty());
    EXPECT_TRUE(harness.dialogs.savePanels.empty());
}

TEST_F(ArchiveCreationTest, TARSingleFileIsNamedAfterItsSourceAndTakesNoPassword) {
    writeFile(work / "informe.pdf", sampleBytes(30000, 2, true));
    model().addSources({work / "informe.pdf"});
    model().setCreationFormat(ArchiveFormat::tar);
    model().setTarSingleFile(true);
    model().setProtectWithPassword(true); // and no password typed: TAR never takes one
    model().setSplitMegabytes(100);
    createAt(work / "informe.pdf.gz");

    EXPECT_EQ(lastSavePanel().nameFieldStringValue, "informe.pdf.gz");
    EXPECT_EQ(lastSavePanel().allowedContentTypes, std::vector<std::string>{"gz"});
    EXPECT_TRUE(harness.dialogs.openPanels.empty()) << "TAR is never split";
    expectSucceeded("TAR creado correctamente");
    EXPECT_EQ(runChecked("gzip -dc informe.pdf.gz | cmp - informe.pdf && echo igual", work),
              "igual\n");
}

TEST_F(ArchiveCreationTest, TARAndSevenZipHoldTheWholeTree) {
    const auto tree = sampleTree();
    struct Row {
        ArchiveFormat format;
        TarCompression compression;
        std::string name;
        std::string detail;
    };
    for (const Row& row :
         {Row{ArchiveFormat::tar, TarCompression::xz, "copia.tar.xz", "TAR creado correctamente"},
          Row{ArchiveFormat::sevenZip, TarCompression::gzip, "copia.7z",
              "7z creado correctamente"}}) {
        model().clearSources();
        model().addSources({tree / "docs", tree / "top.txt"});
        model().setCreationFormat(row.format);
        model().setTarCompression(row.compression);
        model().setTarSingleFile(true); // two sources: still a container
        model().setArchiveName("copia");
        model().setSevenZipLevel(9);
        const auto destination = work / row.name;
        createAt(destination);
        EXPECT_EQ(lastSavePanel().nameFieldStringValue, row.name);
        ASSERT_TRUE(model().records().front().succeeded) << model().records().front().detail;
        EXPECT_EQ(model().records().front().detail, row.detail);
        const auto out = work / ("fuera-" + row.name);
        fs::create_directory(out);
        runChecked("bsdtar -xf " + shellQuote(destination.string()) + " -C " +
                   shellQuote(out.string()));
        EXPECT_EQ(readFile(out / "docs/b/c.txt"), readFile(tree / "docs/b/c.txt")) << row.name;
        EXPECT_EQ(readFile(out / "top.txt"), "arriba\n");
    }
}

class RarCreationTest : public ArchiveCreationTest {
  protected:
    void SetUp() override {
        // The application's own resources hold the program and its self-extracting module.
        const auto resources = harness.temporary / "resources";
        fs::create_directories(resources);
        fs::create_symlink("/usr/bin/rar", resources / "rar");
        fs::create_symlink("/usr/lib/default.sfx", resources / "default.sfx");
        rar_.emplace(RarLocations{resources, {}});
        tree = sampleTree();
        model().addSources({tree / "docs", tree / "top.txt"});
        model().setCreationFormat(ArchiveFormat::rar);
        model().setArchiveName("copia");
    }
    std::optional<ScopedRarLocations> rar_;
    fs::path tree;
};

TEST_F(RarCreationTest, OnlyAppleDoubleSidecarsAreLeftOutInEveryFormat) {
    const auto mac = work / "mac";
    fs::create_directories(mac);
    writeFile(mac / "foto.jpg", "jpeg");
    writeFile(mac / "._foto.jpg", std::string("\x00\x05\x16\x07", 4) + "metadatos");
    writeFile(mac / "._notas.txt", "un archivo corriente");
    model().clearSources();
    model().addSources({mac});
    for (const auto& [format, name, lister] :
         {std::tuple{ArchiveFormat::zip, "mac.zip", "bsdtar -tf"},
          std::tuple{ArchiveFormat::rar, "mac.rar", "unrar lb"},
          std::tuple{ArchiveFormat::tar, "mac.tar.gz", "bsdtar -tf"},
          std::tuple{ArchiveFormat::sevenZip, "mac.7z", "bsdtar -tf"}}) {
        model().setRecords({});
        model().setCreationFormat(format);
        model().setArchiveName("mac");
        createAt(work / name);
        expectSucceeded(rawValue(format) + " creado correctamente");
        const std::string listing = runChecked(std::string(lister) + " " + name, work);
        EXPECT_NE(listing.find("mac/._notas.txt"), std::string::npos) << name << listing;
        EXPECT_NE(listing.find("mac/foto.jpg"), std::string::npos) << name << listing;
        EXPECT_EQ(listing.find("._foto.jpg"), std::string::npos) << name << listing;
    }
}

TEST_F(RarCreationTest, PasswordHiddenNamesLevelAndRecoveryRecordReachTheArchive) {
    model().setProtectWithPassword(true);
    model().setCreationPassword("secreto");
    model().setPasswordConfirmation("secreto");
    model().setRarRecoveryRecord(true);
    model().setRarLevel(5);
    createAt(work / "copia.rar");

    EXPECT_EQ(lastSavePanel().nameFieldStringValue, "copia.rar");
    EXPECT_EQ(lastSavePanel().prompt, "Crear RAR");
    EXPECT_TRUE(harness.dialogs.openPanels.empty()) << "the program is the application's own";
    expectSucceeded("RAR creado correctamente");
    const std::string details = runChecked("unrar l -psecreto copia.rar", work);
    EXPECT_NE(details.find("recovery record"), std::string::npos) << details;
    EXPECT_NE(details.find("encrypted headers"), std::string::npos) << details;
    EXPECT_EQ(runChecked("unrar p -inul -psecreto copia.rar docs/b/c.txt | cmp - tree/docs/b/c.txt"
                         " && echo igual",
                         work),
              "igual\n");
}

TEST_F(RarCreationTest, SelfExtractingIsOneFileWhateverTheSplitSize) {
    model().setRarSelfExtracting(true);
    model().setSplitMegabytes(100);
    createAt(work / "copia.sfx");

    EXPECT_TRUE(harness.dialogs.openPanels.empty()) << "no folder for parts";
    EXPECT_EQ(lastSavePanel().nameFieldStringValue, "copia.sfx");
    EXPECT_EQ(lastSavePanel().allowedContentTypes, std::vector<std::string>{"sfx"});
    expectSucceeded("RAR creado correctamente");
    EXPECT_EQ(runChecked("unrar lb copia.sfx | sort", work),
              "docs\ndocs/a.txt\ndocs/b\ndocs/b/c.txt\ntop.txt\n");
}

TEST_F(ArchiveCreationTest, ACreatorFailureKeepsThePasswords) {
    const auto tree = sampleTree();
    model().addSources({tree / "docs"});
    // The 7z writer refuses a destination inside a source folder, and says so itself.
    model().setCreationFormat(ArchiveFormat::sevenZip);
    model().setProtectWithPassword(true);
    model().setCreationPassword("clave");
    model().setPasswordConfirmation("clave");
    createAt(tree / "docs" / "cifrado.7z");

    ASSERT_EQ(model().records().size(), 1u);
    EXPECT_FALSE(model().records().front().succeeded);
    EXPECT_EQ(model().errorMessage(),
              ArchiveFailure::sevenZipFailure(
                  "el RAR no puede guardarse dentro de una carpeta que se va a comprimir.")
                  .message());
    EXPECT_EQ(model().creationPassword(), "clave");
    EXPECT_EQ(model().passwordConfirmation(), "clave");
    EXPECT_FALSE(fs::exists(tree / "docs" / "cifrado.7z"));

    // With a valid destination the same settings write an encrypted archive and the
    // password fields are emptied.
    createAt(work / "cifrado.7z");
    ASSERT_EQ(model().records().size(), 2u);
    EXPECT_EQ(model().records().front().detail, "7z creado correctamente");
    EXPECT_EQ(model().creationPassword(), "");
    SevenZipArchiveEngine withPassword("clave");
    Progress progress;
    const auto entries = withPassword.list(work / "cifrado.7z", progress).entries;
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                            [](const ArchiveItem& item) { return item.isEncrypted; }));
}

TEST_F(ArchiveCreationTest, CancellingLeavesNothingBehind) {
    writeFile(work / "grande.bin", sampleBytes(24 << 20, 9, true));
    const auto target = work / "destino";
    fs::create_directory(target);
    model().addSources({work / "grande.bin"});
    harness.dialogs.answerSavePanel(target / "grande.zip");
    model().createArchive();
    ASSERT_TRUE(model().isBusy());
    model().cancelOperation();
    waitUntilIdle();

    ASSERT_EQ(model().records().size(), 1u);
    EXPECT_FALSE(model().records().front().succeeded);
    EXPECT_EQ(model().statusMessage(), WorkspaceModel::cancellationMessage());
    EXPECT_FALSE(model().errorMessage());
    EXPECT_TRUE(fs::is_empty(target)) << "no archive and no work folder are left";
}

} // namespace
} // namespace vexa::testing
