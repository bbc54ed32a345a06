#include "WorkspaceHarness.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using testing::WorkspaceHarness;
namespace fs = std::filesystem;

const char* const allTypes[] = {"application/zip",
                                "application/vnd.rar",
                                "application/x-7z-compressed",
                                "application/x-tar",
                                "application/gzip",
                                "application/x-compressed-tar",
                                "application/x-bzip",
                                "application/x-bzip-compressed-tar",
                                "application/x-xz",
                                "application/x-xz-compressed-tar",
                                "application/zstd"};

const std::string advice = ". Puedes hacerlo en el gestor de archivos: Propiedades › Abrir con › "
                           "Establecer como predeterminada.";

// The installed desktop entry in private XDG folders, with a `vexa` program on PATH so that
// xdg-mime accepts the entry; optionally an xdg-mime wrapper that misbehaves for some types.
class DefaultApplicationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const fs::path root = harness.temporary.path();
        fs::create_directories(root / "bin");
        fs::create_symlink("/bin/true", root / "bin/vexa");
        fs::create_symlink("/bin/true", root / "bin/otra");
        fs::copy_file(fs::path(VEXA_SOURCE_DIR) / "resources/vexa.desktop",
                      root / "xdg/data/applications/vexa.desktop");
        const char* path = std::getenv("PATH");
        harness.desktop.xdgMime = "xdg-mime";
        harness.desktop.environment["PATH"] =
            (root / "bin").string() + ":" + (path ? path : "/usr/bin:/bin");
        // Another program claims every type and is the default opener to begin with.
        std::string types, defaults;
        for (const char* type : allTypes) {
            types += std::string(type) + ";";
            defaults += std::string(type) + "=otra.desktop\n";
        }
        testing::writeFile(root / "xdg/data/applications/otra.desktop",
                           "[Desktop Entry]\nType=Application\nName=Otra\nExec=otra %f\n"
                           "MimeType=" +
                               types + "\n");
        testing::writeFile(root / "xdg/config/mimeapps.list",
                           "[Default Applications]\n" + defaults);
        useDatabase({"vnd.rar", "x-7z-compressed", "x-tar", "x-xz"});
    }

    // A MIME database that knows only these application types (ZIP is offered regardless).
    void useDatabase(const std::vector<std::string>& types) {
        const fs::path data = harness.temporary / "small-db";
        fs::remove_all(data);
        fs::create_directories(data / "mime/application");
        for (const auto& type : types)
            fs::copy_file(fs::path("/usr/share/mime/application") / (type + ".xml"),
                          data / "mime/application" / (type + ".xml"));
        harness.desktop.environment["XDG_DATA_DIRS"] = data.string();
        harness.restart();
    }

    void useSharedDatabase() {
        harness.desktop.environment["XDG_DATA_DIRS"] =
            (harness.temporary / "xdg/data-dirs").string();
        harness.restart();
    }

    // A wrapper around the real xdg-mime: `script` runs first with "$@" and may exit. Queries
    // go through it too, so that it can hold their answers back or change them.
    void wrapXdgMime(const std::string& script) {
        // A program started meanwhile by a pending check could inherit the script's open
        // descriptor and make running it fail ("text file busy").
        harness.loop.runUntilIdle();
        const fs::path wrapper = harness.temporary / "bin/xdg-mime-wrapper";
        testing::writeFile(wrapper,
                           "#!/bin/sh\necho \"$*\" >> " +
                               testing::shellQuote((harness.temporary / "calls").string()) + "\n" +
                               script + "\nexec xdg-mime \"$@\"\n");
        fs::permissions(wrapper, fs::perms::owner_all);
        harness.desktop.xdgMime = wrapper;
        harness.desktop.queryThroughTool = true;
        harness.restart();
    }

    std::string mimeapps() {
        const auto file = harness.temporary / "xdg/config/mimeapps.list";
        return fs::exists(file) ? testing::readFile(file) : std::string();
    }

    void registerAndWait() {
        bool done = false;
        harness.model().registerAsDefaultApp([&] { done = true; });
        ASSERT_TRUE(harness.loop.runUntil([&] { return done; }));
    }

    std::vector<std::string> identifiers() {
        std::vector<std::string> result;
        for (const auto& type : harness.model().handledContentTypes())
            result.push_back(type.identifier);
        return result;
    }

    WorkspaceHarness harness;
};

TEST_F(DefaultApplicationTest, HandledTypesAreTheArchiveTypesOfTheDatabase) {
    useSharedDatabase();
    std::vector<std::string> extensions;
    for (const auto& type : harness.model().handledContentTypes())
        extensions.push_back(type.preferredFilenameExtension);
    EXPECT_EQ(extensions, (std::vector<std::string>{"zip", "rar", "7z", "tar", "gz", "tar.gz",
                                                    "bz2", "tar.bz2", "xz", "tar.xz", "zst"}));
    EXPECT_EQ(identifiers().front(), "application/zip");

    // The installed desktop entry claims every handled type and passes the desktop's checks.
    const auto entry = fs::path(VEXA_SOURCE_DIR) / "resources/vexa.desktop";
    const std::string text = testing::readFile(entry);
    for (const auto& type : identifiers())
        EXPECT_NE(text.find(type + ";"), std::string::npos) << type;
    ASSERT_TRUE(testing::toolInstalled("desktop-file-validate"));
    testing::runChecked("desktop-file-validate " + testing::shellQuote(entry.string()));
}

TEST_F(DefaultApplicationTest, TypesTheDatabaseLacksAreLeftOut) {
    useDatabase({"x-tar", "x-xz"});
    // ZIP is always offered, even unknown to this database.
    EXPECT_EQ(identifiers(), (std::vector<std::string>{"application/zip", "application/x-tar",
                                                       "application/x-xz"}));
    registerAndWait();
    // The types left out do not count against being the default opener.
    EXPECT_TRUE(harness.model().isDefaultApp());
    EXPECT_NE(mimeapps().find("application/x-7z-compressed=otra.desktop"), std::string::npos);
}

TEST_F(DefaultApplicationTest, RegistrationMakesEveryTypeOpenWithVexa) {
    useSharedDatabase();
    harness.model().setErrorMessage("previo");
    EXPECT_FALSE(harness.model().isDefaultApp());
    registerAndWait();
    EXPECT_TRUE(harness.model().isDefaultApp());
    EXPECT_EQ(harness.model().statusMessage(), "Vexa abrirá los archivos ZIP, RAR, 7z y TAR");
    EXPECT_EQ(harness.model().errorMessage(), "previo");
    const std::string list = mimeapps();
    for (const auto& type : identifiers())
        EXPECT_NE(list.find(type + "=vexa.desktop"), std::string::npos) << type;
    EXPECT_EQ(harness.changesOf(WorkspaceField::isDefaultApp), 1u);

    // The next run finds itself the default at start-up, answered on the loop, not while the
    // model is being made.
    harness.restart();
    EXPECT_FALSE(harness.model().isDefaultApp());
    EXPECT_TRUE(harness.loop.runUntil([&] { return harness.model().isDefaultApp(); }));
}

TEST_F(DefaultApplicationTest, ALateStartUpAnswerDoesNotUndoARegistration) {
    // The very first query (the start-up check's) waits for the test, then names the old opener.
    const fs::path first = harness.temporary / "first-query";
    const fs::path gate = harness.temporary / "gate";
    wrapXdgMime("if [ \"$1\" = query ] && [ ! -e " + testing::shellQuote(first.string()) +
                " ]; then\n  touch " + testing::shellQuote(first.string()) +
                "\n  for i in $(seq 200); do [ -e " + testing::shellQuote(gate.string()) +
                " ] && break; sleep 0.05; done\n  echo otra.desktop; exit 0\nfi");
    ASSERT_TRUE(harness.loop.runUntil([&] { return fs::exists(first); }));
    registerAndWait();
    EXPECT_TRUE(harness.model().isDefaultApp());
    testing::writeFile(gate, "");
    harness.loop.runUntilIdle();
    EXPECT_TRUE(harness.model().isDefaultApp());
    EXPECT_EQ(harness.model().errorMessage(), std::nullopt);
}

TEST_F(DefaultApplicationTest, FailedTypesAreNamedAndTheOthersStillSent) {
    const std::string before = mimeapps();
    wrapXdgMime("case \"$*\" in\n"
                "  'default vexa.desktop application/x-7z-compressed'|"
                "'default vexa.desktop application/x-xz') exit 4;;\nesac");
    registerAndWait();
    EXPECT_FALSE(harness.model().isDefaultApp());
    EXPECT_EQ(harness.model().errorMessage(),
              "No se cambió la app predeterminada para 7Z y XZ" + advice +
                  "\nxdg-mime no aceptó el cambio para esos tipos.");
    EXPECT_EQ(harness.model().statusMessage(), std::nullopt);
    const std::string calls = testing::readFile(harness.temporary / "calls");
    EXPECT_NE(calls.find("default vexa.desktop application/vnd.rar"), std::string::npos);
    EXPECT_NE(calls.find("default vexa.desktop application/x-tar"), std::string::npos);
    // A registration that failed leaves the user's associations exactly as they were.
    EXPECT_EQ(mimeapps(), before);
}

TEST_F(DefaultApplicationTest, WithoutItsDesktopFileNothingIsWritten) {
    fs::remove(harness.temporary / "xdg/data/applications/vexa.desktop");
    fs::remove(harness.temporary / "xdg/config/mimeapps.list");
    wrapXdgMime("");
    fs::remove(harness.temporary / "calls");
    registerAndWait();
    EXPECT_FALSE(harness.model().isDefaultApp());
    EXPECT_EQ(harness.model().errorMessage(),
              "No se cambió la app predeterminada para ZIP y RAR y 7Z y TAR y XZ" + advice +
                  "\nNo se encontró la entrada de escritorio vexa.desktop en las carpetas de datos "
                  "($XDG_DATA_HOME, $XDG_DATA_DIRS) ni en la instalación (share/applications): "
                  "instala Vexa con «cmake --install».");
    EXPECT_FALSE(fs::exists(harness.temporary / "xdg/config/mimeapps.list"));
    EXPECT_EQ(testing::readFile(harness.temporary / "calls").find("default vexa.desktop"),
              std::string::npos);
}

TEST_F(DefaultApplicationTest, AnEntryInstalledOutOfTheDesktopsSightIsCopiedForTheUser) {
    // As `cmake --install --prefix /opt/x` leaves it: beside the resources, in no data folder.
    const fs::path installed = harness.temporary / "opt/x/share/applications/vexa.desktop";
    fs::create_directories(installed.parent_path());
    fs::rename(harness.temporary / "xdg/data/applications/vexa.desktop", installed);
    harness.desktop.installedDesktopFile = installed;
    harness.restart();
    registerAndWait();
    EXPECT_TRUE(harness.model().isDefaultApp()) << harness.model().errorMessage().value_or("");
    EXPECT_EQ(testing::readFile(harness.temporary / "xdg/data/applications/vexa.desktop"),
              testing::readFile(installed));

    // A user data folder that cannot take it: the reason follows the message.
    fs::remove(harness.temporary / "xdg/data/applications/vexa.desktop");
    fs::remove_all(harness.temporary / "xdg/data/applications");
    testing::writeFile(harness.temporary / "xdg/data/applications", "not a folder");
    registerAndWait();
    EXPECT_FALSE(harness.model().isDefaultApp());
    const auto message = harness.model().errorMessage().value_or("");
    EXPECT_EQ(message.rfind("No se cambió la app predeterminada para ", 0), 0u) << message;
    EXPECT_NE(message.find(advice + "\n"), std::string::npos) << message;
    EXPECT_NE(message.find("xdg/data/applications"), std::string::npos) << message;
    fs::remove(harness.temporary / "xdg/data/applications");
}

TEST_F(DefaultApplicationTest, AnotherOpenerAfterSuccessNamesAllKinds) {
    wrapXdgMime("[ \"$*\" = 'query default application/x-tar' ] && { echo otra.desktop; exit 0; }");
    registerAndWait();
    EXPECT_FALSE(harness.model().isDefaultApp());
    EXPECT_EQ(harness.model().errorMessage(),
              "No se cambió la app predeterminada para ZIP, RAR, 7z y TAR" + advice +
                  "\nxdg-mime aceptó el cambio, pero el escritorio sigue abriendo alguno de esos "
                  "tipos con otra aplicación.");
}

TEST_F(DefaultApplicationTest, RunningTwiceSendsEveryRequestAgain) {
    wrapXdgMime("");
    fs::remove(harness.temporary / "calls");
    registerAndWait();
    registerAndWait();
    const std::string calls = testing::readFile(harness.temporary / "calls");
    std::size_t requests = 0;
    for (std::size_t at = calls.find("default vexa.desktop"); at != std::string::npos;
         at = calls.find("default vexa.desktop", at + 1))
        ++requests;
    EXPECT_EQ(requests, 2 * identifiers().size());
    EXPECT_TRUE(harness.model().isDefaultApp());
}

TEST_F(DefaultApplicationTest, AMissingToolFailsEveryType) {
    useSharedDatabase();
    harness.desktop.xdgMime = harness.temporary / "bin/no-such-tool";
    harness.restart();
    registerAndWait();
    EXPECT_FALSE(harness.model().isDefaultApp());
    EXPECT_EQ(harness.model().errorMessage(),
              "No se cambió la app predeterminada para ZIP y RAR y 7Z y TAR y GZ y TAR.GZ y BZ2 y "
              "TAR.BZ2 y XZ y TAR.XZ y ZST" +
                  advice +
                  "\nNo se encontró xdg-mime (del paquete xdg-utils), que registra las "
                  "asociaciones.");
}

// The lists are read as xdg-mime reads them: each layout answers what the tool answers.
TEST_F(DefaultApplicationTest, QueriesAnswerAsTheDesktopToolDoes) {
    const fs::path root = harness.temporary.path();
    struct Layout {
        const char* file;
        const char* type;
        const char* text;
    };
    const Layout layouts[] = {
        {"xdg/config/mimeapps.list", "application/zip",
         "[Default Applications]\napplication/zip=vexa.desktop;\n"},
        // An id without a desktop file is passed over; a desktop's own list comes first.
        {"xdg/config/mimeapps.list", "application/zip",
         "[Added Associations]\napplication/zip=otra.desktop\n"
         "[Default Applications]\napplication/zip=falta.desktop\n"},
        {"xdg/config/foo-mimeapps.list", "application/zip",
         "[Default Applications]\napplication/zip=otra.desktop\n"},
        {"xdg/data/applications/mimeapps.list", "application/x-tar",
         "[Default Applications]\napplication/x-tar=vexa.desktop\n"},
        {"xdg/data/applications/defaults.list", "application/x-xz",
         "[Default Applications]\napplication/x-xz=otra.desktop;vexa.desktop\n"},
        {"xdg/data/applications/mimeinfo.cache", "application/x-7z-compressed",
         "[MIME Cache]\napplication/x-7z-compressed=vexa.desktop;\n"},
    };
    harness.desktop.environment["XDG_CURRENT_DESKTOP"] = "Foo";
    fs::remove(root / "xdg/config/mimeapps.list");
    for (const auto& layout : layouts) {
        testing::writeFile(root / layout.file, layout.text);
        // Each layout's own type, and one only the desktop files' own lists name.
        for (const char* type : {layout.type, "application/vnd.rar"})
            EXPECT_EQ(harness.desktop.queryDefault(type),
                      harness.desktop.queryDefaultThroughTool(type))
                << layout.file << " " << type;
    }
}

} // namespace
} // namespace vexa
