// Adding to, deleting from and renaming in archives made by Python's zipfile and Info-ZIP zip:
// kept entries stay byte-identical, conflicts follow the policy, and a refused or overtaken edit
// leaves the archive as it was.
#include "ZIPTestSupport.h"
#include "ZIPWritingTestSupport.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPListingCache.h"
#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

namespace vexa {
namespace {

using Case = ArchiveFailure::Case;
using namespace ziptest;

class ZIPEditTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "new/fotos");
        std::filesystem::create_directories(dir / "new/docs");
        writeFile(dir / "new/foto.jpg", "new photo");
        writeFile(dir / "new/README", "new readme");
        writeFile(dir / "new/fotos/y.txt", "new y");
        writeFile(dir / "new/docs/n.txt", "new n");
        writeFile(dir / "new/nuevo.txt", sampleBytes(50000, 5, true));
        ziptest::runPython(R"(
with zipfile.ZipFile('base.zip', 'w') as zf:
    add(zf, b'a.txt', b'root a')
    add(zf, b'b.txt', b'root b')
    add(zf, b'docs/', mode=0o040755)
    add(zf, b'docs/a.txt', b'text ' * 4000, method=zipfile.ZIP_DEFLATED)
    add(zf, b'docs/b.bin', os.urandom(3000))
    add(zf, b'docsx.txt', b'beside docs')
    add(zf, b'sub/a.txt', b'sub a')
    add(zf, b'foto.jpg', b'old photo')
    add(zf, b'fotos/x.txt', b'old x')
    add(zf, b'README', b'old readme')
)",
                           dir.path());
    }

    std::filesystem::path archive() const { return dir / "base.zip"; }
    std::vector<std::string> paths(const std::filesystem::path& location) const {
        Progress progress;
        std::vector<std::string> result;
        for (const ArchiveItem& item : ZIPArchiveEngine().list(location, progress).entries)
            result.push_back(item.path);
        return result;
    }
    std::filesystem::path add(const std::vector<std::string>& names, const std::string& folder,
                              ArchiveConflictPolicy policy,
                              std::optional<std::string> password = std::nullopt,
                              std::optional<std::filesystem::path> target = std::nullopt) {
        std::vector<std::filesystem::path> sources;
        for (const std::string& name : names)
            sources.push_back(dir / "new" / name);
        Progress progress;
        return ZIPArchiveEngine(std::move(password))
            .add(sources, target.value_or(archive()), folder, policy, progress);
    }
    std::filesystem::path rename(const std::string& path, const std::string& newName,
                                 std::optional<std::filesystem::path> target = std::nullopt) {
        Progress progress;
        return ZIPArchiveEngine().rename(ArchiveItem{path, 0, 0, path.ends_with('/'), false},
                                         target.value_or(archive()), newName, progress);
    }
    // Kept entries are compared by stored bytes and CRC. One that keeps its name is copied as it
    // lies, local header and descriptor included; a renamed one gets a new local header, whose
    // name carries the UTF-8 flag.
    void expectCopiedRaw(const std::map<std::string, ziptest::WrittenEntry>& before,
                         const std::map<std::string, ziptest::WrittenEntry>& after,
                         const std::map<std::string, std::string>& renamed = {}) {
        for (const auto& [name, entry] : before) {
            const auto found = renamed.find(name);
            const std::string newName = found != renamed.end() ? found->second : name;
            ASSERT_TRUE(after.count(newName)) << newName;
            const auto& copy = after.at(newName);
            EXPECT_EQ(copy.rawDigest, entry.rawDigest) << name;
            EXPECT_EQ(copy.crc, entry.crc) << name;
            EXPECT_EQ(copy.method, entry.method) << name;
            EXPECT_EQ(copy.externalAttributes, entry.externalAttributes) << name;
            if (found == renamed.end()) {
                EXPECT_EQ(copy.flag, entry.flag) << name;
                EXPECT_EQ(copy.localHeader, entry.localHeader) << name;
            } else {
                // Whether sizes trail the data (bit 3) is the writer's layout, not the entry's.
                EXPECT_EQ(copy.flag & ~0x0008u, (entry.flag | 0x0800u) & ~0x0008u) << name;
            }
        }
    }

    TemporaryDirectory dir;
};

TEST_F(ZIPEditTest, AddCopiesKeptEntriesRawAndAppendsTheNewOnes) {
    const auto before = writtenEntries(archive());
    EXPECT_EQ(add({"nuevo.txt"}, "docs/", ArchiveConflictPolicy::ask), archive());
    const auto after = writtenEntries(archive());
    expectCopiedRaw(before, after);
    EXPECT_EQ(paths(archive()).back(), "docs/nuevo.txt");
    EXPECT_EQ(after.at("docs/nuevo.txt").method, 8u);
    runChecked("unzip -tq " + shellQuote(archive().string()));
    EXPECT_TRUE(extractedByPython(archive()).at("docs/nuevo.txt") ==
                readFile(dir / "new/nuevo.txt"));
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

TEST_F(ZIPEditTest, AddFollowsTheConflictPolicy) {
    const struct {
        const char* label;
        std::vector<std::string> sources;
        ArchiveConflictPolicy policy;
        std::vector<std::string> added;   // new paths in the archive
        std::vector<std::string> removed; // old paths no longer there
    } cases[] = {
        {"numbered file", {"foto.jpg"}, ArchiveConflictPolicy::keepBoth, {"foto 2.jpg"}, {}},
        {"numbered folder",
         {"fotos"},
         ArchiveConflictPolicy::keepBoth,
         {"fotos 2/", "fotos 2/y.txt"},
         {}},
        {"numbered name without extension",
         {"README"},
         ArchiveConflictPolicy::keepBoth,
         {"README 2"},
         {}},
        {"unknown policy value numbers too",
         {"foto.jpg"},
         static_cast<ArchiveConflictPolicy>(9),
         {"foto 2.jpg"},
         {}},
        {"replaced folder loses its content",
         {"docs"},
         ArchiveConflictPolicy::replace,
         {"docs/", "docs/n.txt"},
         {"docs/", "docs/a.txt", "docs/b.bin"}},
        {"replaced file", {"foto.jpg"}, ArchiveConflictPolicy::replace, {"foto.jpg"}, {}},
        {"skipped repeat beside a new file",
         {"foto.jpg", "nuevo.txt"},
         ArchiveConflictPolicy::skip,
         {"nuevo.txt"},
         {}},
    };
    const std::string original = readFile(archive());
    for (const auto& c : cases) {
        writeFile(archive(), original);
        const std::vector<std::string> before = paths(archive());
        add(c.sources, "", c.policy);
        const std::vector<std::string> after = paths(archive());
        std::vector<std::string> expected;
        for (const std::string& path : before)
            if (std::find(c.removed.begin(), c.removed.end(), path) == c.removed.end() &&
                std::find(c.added.begin(), c.added.end(), path) == c.added.end())
                expected.push_back(path);
        expected.insert(expected.end(), c.added.begin(), c.added.end());
        EXPECT_EQ(after, expected) << c.label;
    }
    writeFile(archive(), original);
    add({"foto.jpg"}, "", ArchiveConflictPolicy::replace);
    EXPECT_EQ(extractedByPython(archive()).at("foto.jpg"), "new photo");
    add({"foto.jpg"}, "", ArchiveConflictPolicy::keepBoth);
    add({"foto.jpg"}, "", ArchiveConflictPolicy::keepBoth);
    EXPECT_EQ(paths(archive()).back(), "foto 3.jpg");
}

TEST_F(ZIPEditTest, RepeatedNamesAskOrAreSkippedWithoutWriting) {
    const std::string fingerprint = ZIPArchiveEngine::snapshot(archive());
    EXPECT_EQ(failureOf([&] { add({"foto.jpg"}, "", ArchiveConflictPolicy::ask); }),
              ArchiveFailure::conflict("foto.jpg"));
    EXPECT_EQ(add({"foto.jpg", "fotos"}, "", ArchiveConflictPolicy::skip), archive());
    EXPECT_EQ(ZIPArchiveEngine::snapshot(archive()), fingerprint);

    // Case differences collide in a ZIP archive but not in a Java archive.
    writeFile(dir / "new/FOTO.JPG", "upper");
    EXPECT_EQ(failureOf([&] { add({"FOTO.JPG"}, "", ArchiveConflictPolicy::ask); }),
              ArchiveFailure::conflict("FOTO.JPG"));
    std::filesystem::copy_file(archive(), dir / "base.jar");
    add({"FOTO.JPG"}, "", ArchiveConflictPolicy::ask, std::nullopt, dir / "base.jar");
    EXPECT_EQ(paths(dir / "base.jar").back(), "FOTO.JPG");
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

TEST_F(ZIPEditTest, AddRefusesBadTargetsAndTheArchiveItself) {
    std::filesystem::copy_file(archive(), dir / "new/base.zip");
    const std::string original = readFile(archive());
    const struct {
        const char* label;
        std::vector<std::filesystem::path> sources;
        std::string folder;
        ArchiveFailure expected;
    } cases[] = {
        {"no sources", {}, "", ArchiveFailure::emptySelection()},
        {"folder without slash", {dir / "new/README"}, "docs", ArchiveFailure::unsafePath("docs")},
        {"missing folder", {dir / "new/README"}, "nada/", ArchiveFailure::unsafePath("nada/")},
        {"unsafe folder", {dir / "new/README"}, "../", ArchiveFailure::unsafePath("../")},
        {"the archive itself", {archive()}, "", ArchiveFailure::sourceIsArchive()},
        {"the archive inside a folder", {dir.path()}, "", ArchiveFailure::sourceIsArchive()},
    };
    for (const auto& c : cases) {
        Progress progress;
        const auto failure = failureOf([&] {
            ZIPArchiveEngine().add(c.sources, archive(), c.folder, ArchiveConflictPolicy::ask,
                                   progress);
        });
        EXPECT_EQ(failure, c.expected) << c.label;
        EXPECT_TRUE(readFile(archive()) == original) << c.label;
    }
    // A folder known only from the entries below it takes new files too.
    add({"README"}, "sub/", ArchiveConflictPolicy::ask);
    EXPECT_EQ(paths(archive()).back(), "sub/README");
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

TEST_F(ZIPEditTest, AddToAnEncryptedArchiveUsesItsPassword) {
    std::filesystem::create_directories(dir / "enc");
    writeFile(dir / "enc/secreto.txt", sampleBytes(20000, 9, true));
    runChecked("zip -q -P clave ../enc.zip secreto.txt", dir / "enc");
    const auto encrypted = dir / "enc.zip";
    const auto before = writtenEntries(encrypted);

    EXPECT_EQ(failureOf([&] {
                  add({"nuevo.txt"}, "", ArchiveConflictPolicy::ask, std::nullopt, encrypted);
              }),
              ArchiveFailure::passwordRequired());
    EXPECT_EQ(
        failureOf([&] { add({"nuevo.txt"}, "", ArchiveConflictPolicy::ask, "otra", encrypted); }),
        ArchiveFailure::wrongPassword());

    add({"nuevo.txt"}, "", ArchiveConflictPolicy::ask, "clave", encrypted);
    const auto after = writtenEntries(encrypted);
    expectCopiedRaw(before, after);
    EXPECT_EQ(after.at("nuevo.txt").method, 99u);
    runChecked("mkdir x && bsdtar -x --passphrase clave -f enc.zip -C x", dir.path());
    EXPECT_TRUE(readFile(dir / "x/secreto.txt") == readFile(dir / "enc/secreto.txt"));
    EXPECT_TRUE(readFile(dir / "x/nuevo.txt") == readFile(dir / "new/nuevo.txt"));
}

TEST_F(ZIPEditTest, DeleteKeepsStreamedAESEntriesOpenable) {
    // bsdtar streams its entries with data descriptors behind the data.
    std::filesystem::create_directories(dir / "aes");
    writeFile(dir / "aes/uno.txt", sampleBytes(30000, 21, true));
    writeFile(dir / "aes/dos.bin", sampleBytes(20000, 22, false));
    writeFile(dir / "aes/tres.txt", "tres");
    runChecked("bsdtar --format zip --options zip:encryption=aes256 --passphrase clave -cf "
               "../aes.zip uno.txt dos.bin tres.txt",
               dir / "aes");
    auto kept = writtenEntries(dir / "aes.zip");
    kept.erase("dos.bin");

    Progress progress;
    ZIPArchiveEngine().deleteEntries({"dos.bin"}, dir / "aes.zip", progress);
    expectCopiedRaw(kept, writtenEntries(dir / "aes.zip"));
    EXPECT_EQ(paths(dir / "aes.zip"), (std::vector<std::string>{"uno.txt", "tres.txt"}));
    runChecked("mkdir x && bsdtar -x --passphrase clave -f aes.zip -C x", dir.path());
    EXPECT_TRUE(readFile(dir / "x/uno.txt") == readFile(dir / "aes/uno.txt"));
    EXPECT_EQ(readFile(dir / "x/tres.txt"), "tres");
}

TEST_F(ZIPEditTest, DeleteRemovesFoldersWithTheirContent) {
    const auto before = writtenEntries(archive());
    Progress progress;
    ZIPArchiveEngine().deleteEntries({"docs/"}, archive(), progress);
    const std::vector<std::string> expected{"a.txt",    "b.txt",       "docsx.txt", "sub/a.txt",
                                            "foto.jpg", "fotos/x.txt", "README"};
    EXPECT_EQ(paths(archive()), expected);
    auto kept = before;
    std::erase_if(kept, [](const auto& entry) { return entry.first.starts_with("docs/"); });
    expectCopiedRaw(kept, writtenEntries(archive()));
    runChecked("unzip -tq " + shellQuote(archive().string()));

    ZIPArchiveEngine().deleteEntries(
        {"a.txt", "b.txt", "docsx.txt", "sub", "foto.jpg", "fotos/", "README"}, archive(),
        progress);
    EXPECT_TRUE(paths(archive()).empty());
    EXPECT_TRUE(writtenEntries(archive()).empty());
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

TEST_F(ZIPEditTest, DeleteOfNothingLeavesTheArchiveAlone) {
    const std::string fingerprint = ZIPArchiveEngine::snapshot(archive());
    for (const std::set<std::string>& chosen :
         {std::set<std::string>{}, std::set<std::string>{"nada.txt"}}) {
        Progress progress;
        EXPECT_EQ(failureOf([&] { ZIPArchiveEngine().deleteEntries(chosen, archive(), progress); }),
                  ArchiveFailure::emptySelection());
    }
    EXPECT_EQ(ZIPArchiveEngine::snapshot(archive()), fingerprint);
}

TEST_F(ZIPEditTest, RenameChecksTheNewName) {
    std::filesystem::copy_file(archive(), dir / "base.jar");
    const std::string original = readFile(archive());
    const struct {
        const char* label;
        std::string path;
        std::string newName;
        ArchiveFailure expected;
    } cases[] = {
        {"taken name", "a.txt", "b.txt", ArchiveFailure::conflict("b.txt")},
        {"taken name in another case", "a.txt", "B.TXT", ArchiveFailure::conflict("B.TXT")},
        {"name of a folder", "a.txt", "docs", ArchiveFailure::conflict("docs")},
        {"name of an implied folder", "a.txt", "sub", ArchiveFailure::conflict("sub")},
        {"path", "a.txt", "x/y", ArchiveFailure::unsafePath("x/y")},
        {"parent", "a.txt", "..", ArchiveFailure::unsafePath("..")},
        {"empty", "a.txt", "", ArchiveFailure::unsafePath("")},
        {"backslash", "a.txt", "a\\b", ArchiveFailure::unsafePath("a\\b")},
        {"colon", "a.txt", "a:b", ArchiveFailure::unsafePath("a:b")},
        {"missing item", "nada.txt", "c.txt", ArchiveFailure::emptySelection()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { rename(c.path, c.newName); }), c.expected) << c.label;
        EXPECT_TRUE(readFile(archive()) == original) << c.label;
    }
    rename("a.txt", "B.TXT", dir / "base.jar");
    EXPECT_EQ(paths(dir / "base.jar")[0], "B.TXT");
    rename("a.txt", "A.txt");
    EXPECT_EQ(paths(archive())[0], "A.txt");
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

TEST_F(ZIPEditTest, RenameKeepsTheFolderAndTheStoredBytes) {
    const auto before = writtenEntries(archive());
    rename("sub/a.txt", "c.txt");
    EXPECT_EQ(paths(archive())[6], "sub/c.txt");

    rename("docs/", "papeles");
    const std::vector<std::string> expected{
        "a.txt",     "b.txt",     "papeles/", "papeles/a.txt", "papeles/b.bin",
        "docsx.txt", "sub/c.txt", "foto.jpg", "fotos/x.txt",   "README"};
    EXPECT_EQ(paths(archive()), expected);
    expectCopiedRaw(before, writtenEntries(archive()),
                    {{"sub/a.txt", "sub/c.txt"},
                     {"docs/", "papeles/"},
                     {"docs/a.txt", "papeles/a.txt"},
                     {"docs/b.bin", "papeles/b.bin"}});
    runChecked("unzip -tq base.zip && mkdir x && bsdtar -xf - -C x < base.zip", dir.path());
    EXPECT_EQ(readFile(dir / "x/sub/c.txt"), "sub a");
}

// The entries after a removed one are copied as they lie, wherever that puts them within a
// page; they stay readable in stream order too.
TEST_F(ZIPEditTest, EntriesAfterARemovedOneStayReadable) {
    ziptest::runPython(R"(
with zipfile.ZipFile('hueco.zip', 'w') as zf:
    add(zf, b'hueco.bin', b'x' * 4047)
    add(zf, b'siguiente.txt', b'texto ' * 3000, method=zipfile.ZIP_DEFLATED)
    add(zf, b'ultimo.txt', b'fin')
)",
                       dir.path());
    auto kept = writtenEntries(dir / "hueco.zip");
    kept.erase("hueco.bin");
    Progress progress;
    ZIPArchiveEngine().deleteEntries({"hueco.bin"}, dir / "hueco.zip", progress);
    expectCopiedRaw(kept, writtenEntries(dir / "hueco.zip"));
    runChecked("unzip -tq hueco.zip && mkdir x && bsdtar -xf - -C x < hueco.zip", dir.path());
    EXPECT_EQ(readFile(dir / "x/ultimo.txt"), "fin");
    EXPECT_EQ(readFile(dir / "x/siguiente.txt").size(), 18000u);
}

// A name read as code page 437, or as UTF-8 without the flag that says so, keeps its bytes and
// its flag, so it keeps the meaning it was listed with; Info-ZIP's test finds every local header
// in agreement with its record.
TEST_F(ZIPEditTest, KeptNamesKeepTheirMeaning) {
    ziptest::runPython(R"(
with zipfile.ZipFile('nombres.zip', 'w') as zf:
    add(zf, b'caf\x82.txt', b'cp437')
    add(zf, b'ni\xc3\xb1o.txt', b'utf-8 sin marca')
    add(zf, b'se\xc3\xb1al.txt', b'utf-8 marcado', utf8=True)
    add(zf, b'otro.txt', b'sobra')
)",
                       dir.path());
    const auto before = writtenEntries(dir / "nombres.zip");
    Progress progress;
    ZIPArchiveEngine().deleteEntries({"otro.txt"}, dir / "nombres.zip", progress);
    EXPECT_EQ(paths(dir / "nombres.zip"),
              (std::vector<std::string>{"caf\u00e9.txt", "ni\u00f1o.txt", "se\u00f1al.txt"}));
    runChecked("unzip -tq nombres.zip", dir.path());
    const auto after = writtenEntries(dir / "nombres.zip");
    EXPECT_EQ(after.at("ni\u251c\u2592o.txt").flag & 0x0800u, 0u);
    auto kept = before;
    kept.erase("otro.txt");
    expectCopiedRaw(kept, after);
    EXPECT_EQ(extractedByPython(dir / "nombres.zip").at("caf\u00e9.txt"), "cp437");
}

// Info-ZIP's zip stores accented names without the UTF-8 flag, with a data descriptor after
// streamed data and time fields in every local header. Every edit copies the entries it does not
// touch exactly as they lay, so the archive grows only by what the edit adds.
TEST_F(ZIPEditTest, UntouchedEntriesOfInfoZipArchivesStayAsTheyLay) {
    std::filesystem::create_directories(dir / "acentos");
    for (int i = 0; i < 120; ++i)
        writeFile(dir / "acentos" / ("canci\u00f3n " + std::to_string(i) + " \u00f1and\u00fa.txt"),
                  "letra " + std::to_string(i * i) + "\n");
    const auto archive = dir / "acentos.zip";
    const auto pythonName = [](int i) {
        return "canci\u251c\u2502n " + std::to_string(i) + " \u251c\u2592and\u251c\u2551.txt";
    };
    const struct {
        const char* label;
        std::function<void()> edit;
        std::vector<std::string> touched; // as Python reads the names
        std::map<std::string, std::string> renamed;
        std::int64_t largestGrowth;
    } cases[] = {
        // The new entry's local header, data and central record.
        {"add",
         [&] {
             Progress progress;
             ZIPArchiveEngine().add({dir / "new/README"}, archive, "", ArchiveConflictPolicy::ask,
                                    progress);
         },
         {},
         {},
         2 * (46 + 6 + 64) + 10},
        {"delete",
         [&] {
             Progress progress;
             ZIPArchiveEngine().deleteEntries({"canci\u00f3n 7 \u00f1and\u00fa.txt"}, archive,
                                              progress);
         },
         {pythonName(7)},
         {},
         0},
        // The renamed entry's header may lose the fields the writer does not make.
        {"rename",
         [&] { rename("canci\u00f3n 3 \u00f1and\u00fa.txt", "otra canci\u00f3n.txt", archive); },
         {},
         {{pythonName(3), "otra canci\u00f3n.txt"}},
         0},
    };
    // Written to a file, and streamed, which puts a data descriptor after every entry.
    for (const char* output : {"../acentos.zip", "- | cat > ../acentos.zip"}) {
        std::filesystem::remove(archive);
        runChecked(std::string("ls | LC_ALL=C.UTF-8 zip -q -@ ") + output, dir / "acentos");
        const std::string original = readFile(archive);
        const auto made = writtenEntries(archive);
        ASSERT_EQ(made.size(), 120u);
        ASSERT_EQ(made.at(pythonName(0)).flag & 0x0800u, 0u);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.label) + " " + output);
            writeFile(archive, original);
            auto before = made;
            for (const std::string& name : c.touched)
                before.erase(name);
            c.edit();
            expectCopiedRaw(before, writtenEntries(archive), c.renamed);
            EXPECT_LE(static_cast<std::int64_t>(std::filesystem::file_size(archive)),
                      static_cast<std::int64_t>(original.size()) + c.largestGrowth);
            EXPECT_NE(runChecked("unzip -t acentos.zip", dir.path()).find("No errors detected"),
                      std::string::npos);
        }
    }
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

// The listing an edit leaves behind for the next open is the one the written archive gives.
TEST_F(ZIPEditTest, EditsLeaveTheListingOfTheArchiveTheyWrote) {
    const std::vector<std::function<void()>> edits = {
        [&] { add({"nuevo.txt"}, "docs/", ArchiveConflictPolicy::ask); },
        [&] {
            Progress progress;
            ZIPArchiveEngine().deleteEntries({"docs/a.txt", "b.txt"}, archive(), progress);
        },
        [&] { rename("docs/", "papeles"); },
    };
    const std::string original = readFile(archive());
    for (std::size_t i = 0; i < edits.size(); ++i) {
        writeFile(archive(), original);
        edits[i]();
        Progress remembered;
        const ArchiveSummary given = ZIPArchiveEngine().list(archive(), remembered);
        ziplistingcache::forget();
        Progress read;
        EXPECT_EQ(given, ZIPArchiveEngine().list(archive(), read)) << i;
    }
    // An archive written anew is read anew.
    const auto other = dir / "otro.zip";
    std::filesystem::copy_file(archive(), other);
    EXPECT_EQ(paths(other)[2], "papeles/");
    writeFile(other, original);
    EXPECT_EQ(paths(other)[2], "docs/");
}

TEST_F(ZIPEditTest, JavaArchiveReadBackKeepsCaseSensitiveNames) {
    ziptest::runPython(R"(
with zipfile.ZipFile('app.jar', 'w') as zf:
    add(zf, b'A.class', b'upper')
    add(zf, b'a.class', b'lower')
)",
                       dir.path());
    rename("A.class", "B.class", dir / "app.jar");
    EXPECT_EQ(paths(dir / "app.jar"), (std::vector<std::string>{"B.class", "a.class"}));
}

TEST_F(ZIPEditTest, SnapshotJoinsFileNumberSizeAndTime) {
    runChecked("touch -d @1600000000.5 base.zip", dir.path());
    const std::string expected = runChecked(
        "python3 -c 'import os; s = os.stat(\"base.zip\"); print(f\"{s.st_ino}|{s.st_size}|\", "
        "end=\"\")'",
        dir.path());
    EXPECT_EQ(ZIPArchiveEngine::snapshot(archive()), expected + "1600000000.5");
    runChecked("touch -d @1600000000 base.zip", dir.path());
    EXPECT_EQ(ZIPArchiveEngine::snapshot(archive()), expected + "1600000000.0");
}

TEST_F(ZIPEditTest, ArchiveChangedByAnotherProgramIsNotReplaced) {
    Progress listing;
    const ArchiveSummary summary = ZIPArchiveEngine().list(archive(), listing);
    const std::string fingerprint = ZIPArchiveEngine::snapshot(archive());
    // Another program rewrites the archive with the same entries after the edit began.
    runChecked("cp base.zip other.zip && touch -d @1500000000 other.zip && mv other.zip base.zip",
               dir.path());
    const std::string other = readFile(archive());
    Progress progress;
    EXPECT_EQ(failureOf([&] {
                  ZIPArchiveEngine().rewrite(archive(), {summary.entries[0]}, {}, {}, progress,
                                             fingerprint, std::nullopt);
              }),
              ArchiveFailure::archiveChanged());
    EXPECT_TRUE(readFile(archive()) == other);
    EXPECT_EQ(ZIPArchiveEngine::snapshot(archive()).substr(fingerprint.rfind('|')),
              "|1500000000.0");
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

TEST_F(ZIPEditTest, SplitSetIsEditedOnlyIntoANewFile) {
    std::filesystem::create_directories(dir / "set");
    writeFile(dir / "set/big.bin", sampleBytes(150000, 3, false));
    ZIPArchiveEngine splitter;
    splitter.splitSize = 65536;
    Progress progress;
    const auto split = splitter.create({dir / "set/big.bin", dir / "new/nuevo.txt"},
                                       dir / "set/partes.zip", true, progress);

    EXPECT_EQ(failureOf([&] { ZIPArchiveEngine().deleteEntries({"nuevo.txt"}, split, progress); }),
              ArchiveFailure::splitEditing());
    EXPECT_EQ(
        failureOf([&] { add({"README"}, "", ArchiveConflictPolicy::ask, std::nullopt, split); }),
        ArchiveFailure::splitEditing());

    Progress listing;
    const ArchiveSummary summary = ZIPArchiveEngine().list(split, listing);
    const auto single = dir / "single.zip";
    EXPECT_EQ(ZIPArchiveEngine().rewrite(split, summary.entries, {}, {}, progress,
                                         ZIPArchiveEngine::snapshot(split), single),
              single);
    runChecked("unzip -tq single.zip", dir.path());
    EXPECT_TRUE(extractedByPython(single).at("big.bin") == readFile(dir / "set/big.bin"));
}

TEST_F(ZIPEditTest, CancelledEditKeepsTheArchive) {
    const std::string original = readFile(archive());
    Progress progress;
    progress.cancel();
    EXPECT_THROW(ZIPArchiveEngine().deleteEntries({"a.txt"}, archive(), progress),
                 CancellationError);
    EXPECT_THROW(ZIPArchiveEngine().add({dir / "new/nuevo.txt"}, archive(), "",
                                        ArchiveConflictPolicy::ask, progress),
                 CancellationError);
    EXPECT_TRUE(readFile(archive()) == original);
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

// Each edit keeps the archive comment and a self-extracting stub in front of the entries, with
// offsets that Info-ZIP's own test accepts, whether zip adjusted the stub's offsets or not.
TEST_F(ZIPEditTest, EditsKeepTheCommentAndTheStub) {
    writeFile(dir / "stub.bin", sampleBytes(3000, 9, false));
    writeFile(dir / "new/extra.txt", "extra");
    const std::vector<std::function<void(const std::filesystem::path&)>> edits = {
        [&](const std::filesystem::path& target) {
            add({"extra.txt"}, "", ArchiveConflictPolicy::ask, std::nullopt, target);
        },
        [&](const std::filesystem::path& target) {
            Progress progress;
            ZIPArchiveEngine().deleteEntries({paths(target).back()}, target, progress);
        },
        [&](const std::filesystem::path& target) { rename(paths(target).back(), "otro", target); },
    };
    for (const bool adjusted : {true, false}) {
        for (std::size_t i = 0; i < edits.size(); ++i) {
            runChecked("cp base.zip plain.zip && printf 'nota de prueba\\n' | zip -q -z plain.zip"
                       " && cat stub.bin plain.zip > sfx.zip" +
                           std::string(adjusted ? " && zip -q -A sfx.zip" : ""),
                       dir.path());
            edits[i](dir / "sfx.zip");
            const std::string context = std::to_string(i) + (adjusted ? " adjusted" : "");
            EXPECT_TRUE(readFile(dir / "sfx.zip").substr(0, 3000) == readFile(dir / "stub.bin"))
                << context;
            EXPECT_NE(runChecked("unzip -t sfx.zip", dir.path()).find("No errors detected"),
                      std::string::npos)
                << context;
            EXPECT_EQ(runChecked("unzip -z sfx.zip | tail -n 1", dir.path()), "nota de prueba\n")
                << context;
        }
    }
}

} // namespace
} // namespace vexa
