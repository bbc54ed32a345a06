#include "engines/rar/RARCreator.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "platform/PlatformError.h"
#include "tests/core/ScopedRarLocations.h"
#include "tests/engines/rar/RAREditTestSupport.h"
#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace vexa {
namespace {

using testing::readFile;
using testing::runChecked;
using testing::runCommand;
using testing::shellQuote;
using testing::TemporaryDirectory;
using testing::writeFile;
using testing::rar::failureOf;
using testing::rar::namesIn;

const std::filesystem::path kRar = "/usr/bin/rar";
const std::string kMismatch = "el contenido del RAR no coincide con los archivos seleccionados.";

// Sources, destination folder and a private temporary folder (where the links folder goes)
// for each test; the real rar program does the writing, unrar checks the result.
class RARCreation : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(kRar)) << "the program " << kRar << " is not installed";
        ASSERT_TRUE(testing::toolInstalled("unrar"));
        std::filesystem::create_directories(sources / "Fotos/vacia");
        writeFile(sources / "Fotos/a.jpg", testing::sampleBytes(150000, 1, false));
        writeFile(sources / "Fotos/._a.jpg", std::string("\x00\x05\x16\x07", 4) + "fork");
        writeFile(sources / "Fotos/vacio.txt", "");
        writeFile(sources / "Informe.txt", testing::sampleBytes(20000, 2, true));
        if (const char* previous = std::getenv("TMPDIR"))
            previousTemporary = previous;
        ::setenv("TMPDIR", temporary.path().c_str(), 1);
        creator.selectedExecutable = kRar;
    }
    void TearDown() override {
        if (previousTemporary)
            ::setenv("TMPDIR", previousTemporary->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

    std::vector<std::filesystem::path> chosen() const {
        return {sources / "Fotos", sources / "Informe.txt"};
    }

    // A program that notes its arguments and then runs the real one with `extra` switches.
    std::filesystem::path wrapper(const std::string& extra = "", const std::string& after = "") {
        const auto location = tools / "rar";
        writeFile(location, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
                                shellQuote((tools / "args").string()) + "\n" + kRar.string() +
                                " \"$@\" " + extra + " > /dev/null\nstatus=$?\n" + after +
                                "\nexit $status\n");
        std::filesystem::permissions(location, std::filesystem::perms::owner_all);
        return location;
    }

    std::vector<std::string> recordedArguments() {
        std::vector<std::string> lines;
        std::istringstream text(readFile(tools / "args"));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }

    void expectNothingLeftBehind() {
        EXPECT_TRUE(namesIn(temporary.path()).empty());
        for (const auto& name : namesIn(output.path()))
            EXPECT_FALSE(name.starts_with(".")) << name;
    }

    TemporaryDirectory sources;
    TemporaryDirectory output;
    TemporaryDirectory tools;
    TemporaryDirectory temporary;
    std::optional<std::string> previousTemporary;
    RARCreator creator;
    Progress progress;
};

TEST_F(RARCreation, WritesWhatUnrarAndOurReaderAgreeOn) {
    const auto destination = output / "Fotos.rar";
    creator.level = 5;
    creator.recoveryRecord = true;
    EXPECT_EQ(creator.create(chosen(), destination, true, progress), destination);

    runChecked("unrar t -idq " + shellQuote(destination.string()));
    EXPECT_EQ(runChecked("unrar lb " + shellQuote(destination.string()) + " | sort"),
              "Fotos\nFotos/a.jpg\nFotos/vacia\nFotos/vacio.txt\nInforme.txt\n");
    runChecked("unrar x -idq " + shellQuote(destination.string()) + " " +
                   shellQuote(output.path().string() + "/"),
               output.path());
    EXPECT_EQ(readFile(output / "Fotos/a.jpg"), readFile(sources / "Fotos/a.jpg"));
    EXPECT_EQ(readFile(output / "Informe.txt"), readFile(sources / "Informe.txt"));

    Progress listing;
    EXPECT_TRUE(RARArchiveEngine().list(destination, listing).hasRecoveryRecord);
    // Units: Fotos/ 1, a.jpg 150000, vacia/ 1, vacio.txt 1, Informe.txt 20000.
    EXPECT_EQ(progress.totalUnitCount(), 3 * 170003);
    EXPECT_GE(progress.completedUnitCount(), 2 * 170003);
    std::filesystem::remove_all(output / "Fotos");
    std::filesystem::remove(output / "Informe.txt");
    EXPECT_EQ(namesIn(output.path()), std::set<std::string>{"Fotos.rar"});
    expectNothingLeftBehind();
}

TEST_F(RARCreation, SettingsBecomeTheProgramsSwitches) {
    struct Case {
        const char* what;
        std::function<void(RARCreator&)> set;
        bool compress;
        std::vector<std::string> switches; // between "-w…" and the archive path
    };
    const std::vector<Case> cases = {
        {"store", [](RARCreator&) {}, false, {"-m0"}},
        {"compress", [](RARCreator&) {}, true, {"-m3"}},
        {"level wins over the flag", [](RARCreator& c) { c.level = 5; }, false, {"-m5"}},
        {"level 0", [](RARCreator& c) { c.level = 0; }, true, {"-m0"}},
        {"smallest split", [](RARCreator& c) { c.splitSize = 65536; }, false, {"-m0", "-v65536b"}},
        {"password", [](RARCreator& c) { c.password = "clave secreta"; }, false, {"-m0", "-p"}},
        {"hidden names",
         [](RARCreator& c) {
             c.password = "clave secreta";
             c.encryptNames = true;
         },
         true,
         {"-m3", "-hp"}},
        {"recovery record",
         [](RARCreator& c) { c.recoveryRecord = true; },
         false,
         {"-m0", "-rr5%"}},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RARCreator settings;
        settings.selectedExecutable = wrapper();
        c.set(settings);
        const auto destination = output / ("prueba" + std::to_string(++round) + ".rar");
        Progress each;
        const auto result = settings.create(chosen(), destination, c.compress, each);
        const auto arguments = recordedArguments();
        ASSERT_GE(arguments.size(), 10u);
        EXPECT_EQ(std::vector<std::string>(arguments.begin(), arguments.begin() + 6),
                  (std::vector<std::string>{"a", "-cfg-", "-idcd", "-y", "-r", "-qo-"}));
        EXPECT_EQ(arguments[6], "-xFotos/._a.jpg");
        EXPECT_TRUE(arguments[7].starts_with("-w/")) << arguments[7];
        EXPECT_EQ(std::vector<std::string>(arguments.begin() + 8, arguments.end() - 2), c.switches);
        EXPECT_EQ(std::filesystem::path(arguments[arguments.size() - 2]).filename(),
                  destination.filename());
        EXPECT_EQ(arguments.back(), "*");
        EXPECT_EQ(readFile(tools / "args").find("secreta"), std::string::npos);
        EXPECT_TRUE(std::filesystem::exists(result));
    }
}

TEST_F(RARCreation, HiddenNamesNeedThePasswordToBeListed) {
    const auto destination = output / "secreto.rar";
    // Typed in decomposed form; the program and the reader get the precomposed one.
    const std::string composed = "contrase\xC3\xB1"
                                 "a";
    creator.password = "contrasen\xCC\x83"
                       "a";
    creator.encryptNames = true;
    creator.create(chosen(), destination, true, progress);
    EXPECT_NE(runCommand("unrar t -idq -p- " + shellQuote(destination.string())).exitStatus, 0);
    runChecked("unrar t -idq -p" + shellQuote(composed) + " " + shellQuote(destination.string()));
    EXPECT_NE(runCommand("unrar t -idq -p" + shellQuote(*creator.password) + " " +
                         shellQuote(destination.string()))
                  .exitStatus,
              0);
    EXPECT_TRUE(rarArchiveHidesNames(destination));
}

TEST_F(RARCreation, SplitArchiveLandsInAFreePartsFolder) {
    const auto destination = output / "Viaje.rar";
    std::filesystem::create_directory(output / "Viaje \xE2\x80\x94 partes");
    creator.splitSize = 65536;
    const auto result = creator.create(chosen(), destination, false, progress);

    const auto folder = output / "Viaje \xE2\x80\x94 partes 2";
    EXPECT_EQ(result.parent_path(), folder);
    EXPECT_EQ(result, RARCreator::firstVolume(folder, folder / "Viaje.rar"));
    EXPECT_TRUE(result.filename().string().starts_with("Viaje.part"));
    EXPECT_GE(namesIn(folder).size(), 3u);
    // Readable like any folder the user makes there, not private like the work folder.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(std::filesystem::status(folder).permissions()), 0755 & ~mask);
    EXPECT_FALSE(std::filesystem::exists(destination));
    runChecked("unrar t -idq " + shellQuote(result.string()));
    EXPECT_TRUE(namesIn(output / "Viaje \xE2\x80\x94 partes").empty());
    expectNothingLeftBehind();
}

TEST_F(RARCreation, ExistingDestinationIsReplacedAndSelfExtractingWorks) {
    const auto destination = output / "Instalador.sfx";
    writeFile(destination, "viejo");
    TemporaryDirectory resources(tools.path());
    std::filesystem::create_symlink("/usr/lib/default.sfx", resources / "default.sfx");
    testing::ScopedRarLocations locations(RarLocations{resources.path(), {}});
    creator.selfExtracting = true;
    creator.selectedExecutable = wrapper();
    EXPECT_EQ(creator.create(chosen(), destination, true, progress), destination);
    EXPECT_NE(readFile(destination), "viejo");
    runChecked("unrar t -idq " + shellQuote(destination.string()));
    const auto arguments = recordedArguments();
    EXPECT_NE(std::find(arguments.begin(), arguments.end(),
                        "-sfx" + (resources / "default.sfx").string()),
              arguments.end());
    expectNothingLeftBehind();
}

TEST_F(RARCreation, RefusalsComeBeforeAnythingRuns) {
    const auto neverRun = tools / "nunca";
    writeFile(neverRun, "#!/bin/sh\n: > " + shellQuote((tools / "ran").string()) + "\n");
    std::filesystem::permissions(neverRun, std::filesystem::perms::owner_all);
    writeFile(sources / "Fotos.rar", "");

    struct Case {
        const char* what;
        std::function<void(RARCreator&)> set;
        std::vector<std::filesystem::path> chosen;
        std::filesystem::path destination;
        ArchiveFailure expected;
    };
    const auto rarHere = output / "x.rar";
    const auto rule = ArchiveFailure::rarCreation(
        "la contraseña debe tener entre 1 y 127 caracteres, sin saltos de línea.");
    const auto inside = ArchiveFailure::rarCreation(
        "el RAR no puede guardarse dentro de una carpeta que se va a comprimir.");
    const std::vector<Case> cases = {
        {"nothing chosen", [](RARCreator&) {}, {}, rarHere, ArchiveFailure::emptySelection()},
        {"split just too small", [](RARCreator& c) { c.splitSize = 65535; }, chosen(), rarHere,
         ArchiveFailure::unsupported()},
        {"negative split", [](RARCreator& c) { c.splitSize = -1; }, chosen(), rarHere,
         ArchiveFailure::unsupported()},
        {"level 6", [](RARCreator& c) { c.level = 6; }, chosen(), rarHere,
         ArchiveFailure::unsupported()},
        {"level -1", [](RARCreator& c) { c.level = -1; }, chosen(), rarHere,
         ArchiveFailure::unsupported()},
        {"self-extracting named .rar", [](RARCreator& c) { c.selfExtracting = true; }, chosen(),
         rarHere, ArchiveFailure::unsupported()},
        {"self-extracting split",
         [](RARCreator& c) {
             c.selfExtracting = true;
             c.splitSize = 65536;
         },
         chosen(), output / "x.SFX", ArchiveFailure::unsupported()},
        {"empty password", [](RARCreator& c) { c.password = ""; }, chosen(), rarHere, rule},
        {"password with a line break", [](RARCreator& c) { c.password = "a\nb"; }, chosen(),
         rarHere, rule},
        {"destination inside a chosen folder", [](RARCreator&) {}, chosen(),
         sources / "Fotos/dentro.rar", inside},
        {"destination is a chosen item",
         [](RARCreator&) {},
         {sources / "Fotos.rar"},
         sources / "Fotos.rar",
         inside},
        {"symbolic link chosen",
         [](RARCreator&) {},
         {sources / "enlace"},
         rarHere,
         ArchiveFailure::symbolicLink("enlace")},
    };
    std::filesystem::create_symlink(sources / "Informe.txt", sources / "enlace");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RARCreator settings;
        settings.selectedExecutable = neverRun;
        c.set(settings);
        Progress each;
        EXPECT_EQ(failureOf([&] { settings.create(c.chosen, c.destination, true, each); }),
                  c.expected);
        EXPECT_FALSE(std::filesystem::exists(tools / "ran"));
    }
    EXPECT_TRUE(namesIn(output.path()).empty());
    expectNothingLeftBehind();
}

TEST_F(RARCreation, MissingProgramOrModuleIsReported) {
    TemporaryDirectory empty;
    testing::ScopedRarLocations locations(RarLocations{empty.path(), {}});
    RARCreator settings;
    EXPECT_EQ(failureOf([&] { settings.create(chosen(), output / "x.rar", true, progress); }),
              ArchiveFailure::rarCreation(
                  "Para crear RAR, instala y activa el comando RAR oficial en este equipo."));
    settings.selectedExecutable = kRar;
    settings.selfExtracting = true;
    EXPECT_EQ(failureOf([&] { settings.create(chosen(), output / "x.sfx", true, progress); }),
              ArchiveFailure::rarCreation(
                  "falta el módulo de autoextraíbles (default.sfx) del programa RAR."));
}

TEST_F(RARCreation, ResultThatDiffersFromTheSourcesIsNotPlaced) {
    const auto destination = output / "x.rar";
    struct Case {
        const char* what;
        std::string extra;
        std::string after;
        std::string payload;
    };
    const std::vector<Case> cases = {
        {"an entry left out", "-xInforme.txt", "", kMismatch},
        {"a source changed while compressing", "",
         "printf cambiado > " + shellQuote((sources / "Informe.txt").string()),
         "«Informe.txt» no coincide con el original. Puede haber cambiado durante la "
         "compresión."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        creator.selectedExecutable = wrapper(c.extra, c.after);
        Progress each;
        EXPECT_EQ(failureOf([&] { creator.create(chosen(), destination, true, each); }),
                  ArchiveFailure::rarCreation(c.payload));
        EXPECT_FALSE(std::filesystem::exists(destination));
        expectNothingLeftBehind();
    }
}

TEST_F(RARCreation, FailedOrCancelledRunLeavesNothing) {
    creator.selectedExecutable = wrapper("", "exit 7");
    EXPECT_EQ(failureOf([&] { creator.create(chosen(), output / "x.rar", true, progress); }),
              ArchiveFailure::rarCreation("el compresor terminó con el código 7."));
    expectNothingLeftBehind();
    EXPECT_TRUE(namesIn(output.path()).empty());

    creator.selectedExecutable = kRar;
    progress.cancel();
    EXPECT_THROW(creator.create(chosen(), output / "x.rar", true, progress), CancellationError);
    EXPECT_TRUE(namesIn(output.path()).empty());
    expectNothingLeftBehind();
}

TEST_F(RARCreation, CancellationWhileTheProgramRunsLeavesNothing) {
    const auto started = tools / "started";
    const auto program = tools / "lento";
    writeFile(program,
              "#!/bin/sh\n: > " + shellQuote(started.string()) + "\nexec /bin/sleep 600\n");
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    creator.selectedExecutable = program;
    auto running = std::async(std::launch::async,
                              [&] { creator.create(chosen(), output / "x.rar", true, progress); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::exists(started) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    progress.cancel();
    EXPECT_THROW(running.get(), CancellationError);
    EXPECT_TRUE(std::filesystem::exists(started));
    EXPECT_TRUE(namesIn(output.path()).empty());
    expectNothingLeftBehind();
}

TEST(RARFirstVolume, PicksVolumeOneInAnyPaddingElseTheArchive) {
    struct Case {
        std::vector<std::string> names;
        std::string expected; // empty: the archive itself
    };
    const std::vector<Case> cases = {
        {{"x.part1.rar", "x.part2.rar"}, "x.part1.rar"},
        {{"x.part01.rar", "x.part02.rar"}, "x.part01.rar"},
        {{"x.part001.rar"}, "x.part001.rar"},
        {{"x.part2.rar", "x.part0.rar", "x.part.rar", "x.part10.rar", "x.partA1.rar", "X.part1.rar",
          "x.part1.RAR", "y.part1.rar", "x.part1.rar.tmp"},
         ""},
        {{}, ""},
    };
    for (const Case& c : cases) {
        TemporaryDirectory folder;
        for (const auto& name : c.names)
            writeFile(folder / name, "");
        const auto archive = folder / "x.rar";
        EXPECT_EQ(RARCreator::firstVolume(folder.path(), archive),
                  c.expected.empty() ? archive : folder / c.expected);
    }
    TemporaryDirectory folder;
    EXPECT_THROW(RARCreator::firstVolume(folder / "no-existe", folder / "x.rar"), PlatformError);
}

} // namespace
} // namespace vexa
