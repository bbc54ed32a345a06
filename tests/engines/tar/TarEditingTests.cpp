#include "TarFixtures.h"
#include "engines/tar/TarArchiveEngine.h"
#include "tests/support/TestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <set>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::tar;

const std::string insideSource =
    "el RAR no puede guardarse dentro de una carpeta que se va a comprimir.";

// The sample tree "fotos" packed by GNU tar, so every edit starts from another tool's archive.
class TarEditing : public ::testing::Test {
  protected:
    void SetUp() override {
        makeSampleTree(folder.path());
        pack("fotos.tar.gz", "-czf");
    }

    void pack(const std::string& name, const std::string& options) {
        archive = folder / name;
        runChecked("tar " + options + " " + shellQuote(name) + " fotos", folder.path());
    }

    // The archive's members as GNU tar lists them, one per line, sorted.
    std::string members() const {
        return runChecked("tar -tf " + shellQuote(archive.string()) + " | sort");
    }

    std::string member(const std::string& name) const {
        return runChecked("tar -xOf " + shellQuote(archive.string()) + " " + shellQuote(name));
    }

    fs::path addFrom(const std::vector<fs::path>& sources, const std::string& target,
                     ArchiveConflictPolicy policy) {
        Progress progress;
        return TarArchiveEngine().add(archive, progress,
                                      [&](const ArchiveSummary& listing, Progress& stepProgress) {
                                          return TarArchiveEngine::collectSources(
                                              sources, target, policy, listing, stepProgress);
                                      });
    }

    TemporaryDirectory folder;
    fs::path archive;
};

TEST_F(TarEditing, RenamingAFolderMovesEverythingBelowItAndNothingBeside) {
    Progress progress;
    fs::path result = TarArchiveEngine().rename(
        archive, progress, ArchiveItem{"fotos/docs/", 0, 0, true, false}, "papeles");

    EXPECT_EQ(result, archive);
    EXPECT_EQ(members(), "fotos/\nfotos/a.txt\nfotos/docsx.txt\nfotos/empty-dir/\n"
                         "fotos/papeles/\nfotos/papeles/b.txt\nfotos/papeles/sub/\n"
                         "fotos/papeles/sub/c.bin\nfotos/run.sh\nfotos/vacío.txt\n");
    EXPECT_EQ(member("fotos/papeles/sub/c.bin"), readFile(folder / "fotos/docs/sub/c.bin"));
    runChecked("gzip -t " + shellQuote(archive.string()));
    EXPECT_EQ(countNamesStartingWith(folder.path(), ".vexa-replace-"), 0);
}

TEST_F(TarEditing, RenamingAFileKeepsItsDataAndMode) {
    Progress progress;
    TarArchiveEngine().rename(archive, progress, ArchiveItem{"fotos/run.sh", 20, 20, false, false},
                              "Ejecutar.sh");
    EXPECT_NE(members().find("fotos/Ejecutar.sh\n"), std::string::npos);
    EXPECT_EQ(member("fotos/Ejecutar.sh"), readFile(folder / "fotos/run.sh"));
    EXPECT_EQ(
        runChecked("tar -tvf " + shellQuote(archive.string()) + " fotos/Ejecutar.sh | cut -c1-10"),
        "-rwxr-xr-x\n");
}

TEST_F(TarEditing, RefusedRenamesLeaveTheArchiveAsItWas) {
    const std::string before = readFile(archive);
    const ArchiveItem file{"fotos/a.txt", 13, 13, false, false};
    struct Case {
        ArchiveItem entry;
        std::string name;
        ArchiveFailure expected;
    };
    const std::vector<Case> cases = {
        {file, "", ArchiveFailure::unsafePath("")},
        {file, "..", ArchiveFailure::unsafePath("..")},
        {file, "x/y.txt", ArchiveFailure::unsafePath("x/y.txt")},
        {file, "c:d", ArchiveFailure::unsafePath("c:d")},
        {file, "DOCSX.TXT", ArchiveFailure::conflict("DOCSX.TXT")},
        {file, "Docs", ArchiveFailure::conflict("Docs")},
        {ArchiveItem{"fotos/otro.txt", 1, 1, false, false}, "b.txt",
         ArchiveFailure::archiveChanged()},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        Progress progress;
        expectFailure([&] { TarArchiveEngine().rename(archive, progress, item.entry, item.name); },
                      item.expected);
    }
    EXPECT_EQ(readFile(archive), before);
    EXPECT_EQ(countNamesStartingWith(folder.path(), ".vexa-replace-"), 0);
}

TEST_F(TarEditing, DeletingTakesAFoldersContentsAndLeavesItsNamesakes) {
    Progress progress;
    TarArchiveEngine().deleteEntries(archive, {"fotos/docs/", "fotos/a.txt"}, progress);
    EXPECT_EQ(members(), "fotos/\nfotos/docsx.txt\nfotos/empty-dir/\nfotos/run.sh\n"
                         "fotos/vacío.txt\n");

    TarArchiveEngine().deleteEntries(archive, {"fotos/"}, progress);
    EXPECT_EQ(members(), "");
    EXPECT_TRUE(TarArchiveEngine().list(archive, progress).entries.empty());

    expectFailure([&] { TarArchiveEngine().deleteEntries(archive, {}, progress); },
                  ArchiveFailure::emptySelection());
    expectFailure([&] { TarArchiveEngine().deleteEntries(archive, {"fotos/a.txt"}, progress); },
                  ArchiveFailure::archiveChanged());
}

TEST_F(TarEditing, KeptEntriesKeepOwnersModesTimesAndExtendedAttributes) {
    // What Python's tarfile, an independent reader, sees of the entries an edit keeps.
    const std::string describe =
        "import sys, tarfile\n"
        "for m in tarfile.open(sys.argv[1]):\n"
        "    if m.name.startswith('datos'):\n"
        "        h = m.pax_headers\n"
        "        print(m.name, oct(m.mode), m.uid, m.gid, m.uname, m.gname, m.mtime,\n"
        "              h.get('atime'), h.get('SCHILY.xattr.user.color'))\n";
    writeFile(folder / "describe.py", describe);
    writeFile(folder / "nuevo.txt", "nuevo");
    struct Edit {
        const char* name;
        std::function<void()> run;
    };
    Progress progress;
    const Edit edits[] = {
        {"rename",
         [&] {
             TarArchiveEngine().rename(archive, progress, {"otro.txt", 1, 1, false, false},
                                       "cambiado.txt");
         }},
        {"delete", [&] { TarArchiveEngine().deleteEntries(archive, {"otro.txt"}, progress); }},
        {"add", [&] { addFrom({folder / "nuevo.txt"}, "", ArchiveConflictPolicy::ask); }},
    };
    for (const Edit& edit : edits) {
        SCOPED_TRACE(edit.name);
        archive = folder / "meta.tar";
        pythonTar(archive,
                  "i = tarfile.TarInfo('datos'); i.type = tarfile.DIRTYPE; i.mode = 0o750\n"
                  "i.uid, i.gid, i.uname, i.gname = 1234, 5678, 'ana', 'equipo'\n"
                  "i.mtime = 1234567890\n"
                  "i.pax_headers = {'SCHILY.xattr.user.color': 'azul', 'atime': '1300000000'}\n"
                  "add(i)\n"
                  "i = tarfile.TarInfo('datos/informe.txt'); i.size = 3; i.mode = 0o4640\n"
                  "i.uid, i.gid, i.uname, i.gname = 2000, 3000, 'luis', 'contables'\n"
                  "i.mtime = 1500000000\n"
                  "add(i, b'abc')\n"
                  "add_file('otro.txt')");
        const std::string command =
            "python3 " + shellQuote((folder / "describe.py").string()) + " ";
        const std::string before = runChecked(command + shellQuote(archive.string()));
        ASSERT_EQ(before, "datos 0o750 1234 5678 ana equipo 1234567890 1300000000 azul\n"
                          "datos/informe.txt 0o4640 2000 3000 luis contables 1500000000 None "
                          "None\n");
        edit.run();
        EXPECT_EQ(runChecked(command + shellQuote(archive.string())), before);
    }
}

// An untouched entry keeps the extended-attribute records its tool wrote, once each: GNU tar
// writes SCHILY.xattr only, bsdtar LIBARCHIVE.xattr beside it. The tool's own extraction of the
// edited archive still gives the file its attribute.
TEST_F(TarEditing, UntouchedEntriesKeepTheirExtendedAttributeRecordsOnce) {
    fs::create_directory(folder / "s");
    writeFile(folder / "s/marcado.txt", "a");
    writeFile(folder / "s/otro.txt", "b");
    runChecked("/usr/bin/python3 -c \"import os; os.setxattr('s/marcado.txt', 'user.color', "
               "b'rojo')\"",
               folder.path());
    // Every extended-header record of the entry, as they stand in its header.
    const std::string records = "import sys, tarfile\n"
                                "data = open(sys.argv[1], 'rb').read()\n"
                                "for m in tarfile.open(sys.argv[1]):\n"
                                "    if m.name == 's/marcado.txt':\n"
                                "        print(sorted(k for k in m.pax_headers if 'xattr' in k))\n"
                                "print(data.count(b'xattr.user.color='))\n";
    writeFile(folder / "records.py", records);
    const std::string show = "python3 " + shellQuote((folder / "records.py").string()) + " ";
    writeFile(folder / "nuevo.txt", "nuevo");
    struct Maker {
        const char* name;
        const char* command;
        const char* expected;
    };
    const Maker makers[] = {
        {"gnu", "tar --format=posix --xattrs -cf x.tar s", "['SCHILY.xattr.user.color']\n1\n"},
        {"bsdtar", "bsdtar --format=pax -cf x.tar s",
         "['LIBARCHIVE.xattr.user.color', 'SCHILY.xattr.user.color']\n2\n"},
    };
    for (const Maker& maker : makers) {
        SCOPED_TRACE(maker.name);
        runChecked(std::string("rm -f x.tar && ") + maker.command, folder.path());
        archive = folder / "x.tar";
        ASSERT_EQ(runChecked(show + "x.tar", folder.path()), maker.expected);
        Progress progress;
        TarArchiveEngine().rename(archive, progress, {"s/otro.txt", 1, 1, false, false},
                                  "cambiado.txt");
        EXPECT_EQ(runChecked(show + "x.tar", folder.path()), maker.expected);
        addFrom({folder / "nuevo.txt"}, "s/", ArchiveConflictPolicy::ask);
        TarArchiveEngine().deleteEntries(archive, {"s/cambiado.txt"}, progress);
        EXPECT_EQ(runChecked(show + "x.tar", folder.path()), maker.expected);
        fs::create_directory(folder / "fuera");
        runChecked("tar --xattrs --xattrs-include='*' -xf x.tar -C fuera", folder.path());
        EXPECT_EQ(runChecked("/usr/bin/python3 -c \"import os; "
                             "print(os.getxattr('fuera/s/marcado.txt', 'user.color'))\"",
                             folder.path()),
                  "b'rojo'\n");
        fs::remove_all(folder / "fuera");
    }
}

// Hard links written by GNU tar and bsdtar survive edits: a kept link names its file's new path,
// and when its file goes the first kept link takes the data. GNU tar's extraction of each
// result holds what the names held before.
TEST_F(TarEditing, HardLinksFollowTheirFileThroughEdits) {
    fs::create_directories(folder / "h/d");
    const std::string data = sampleBytes(30000, 9, true);
    writeFile(folder / "h/original.txt", data);
    writeFile(folder / "nuevo.txt", "nuevo");
    runChecked("ln h/original.txt h/d/segundo.txt && ln h/original.txt h/tercero.txt",
               folder.path());
    for (const char* maker : {"tar --format=posix -czf", "bsdtar -cf"}) {
        SCOPED_TRACE(maker);
        runChecked(std::string("rm -f x.tar && ") + maker + " x.tar h", folder.path());
        archive = folder / "x.tar";
        // GNU tar stores the first name it meets; whichever it is, rename it and then delete it.
        const std::string first =
            runChecked("tar -tvf x.tar | grep -v '^h' | grep '\\.txt' | head -1 | "
                       "awk '{print $NF}'",
                       folder.path());
        const std::string stored = first.substr(0, first.size() - 1);
        const std::string renamed = stored.substr(0, stored.rfind('/') + 1) + "cambiado.txt";
        Progress progress;
        TarArchiveEngine().rename(archive, progress, {stored, 30000, 30000, false, false},
                                  "cambiado.txt");
        addFrom({folder / "nuevo.txt"}, "h/", ArchiveConflictPolicy::ask);
        TarArchiveEngine().deleteEntries(archive, {renamed}, progress);
        std::set<std::string> names;
        for (const ArchiveItem& item : TarArchiveEngine().list(archive, progress).entries)
            names.insert(item.path);
        std::set<std::string> expected{
            "h/", "h/d/", "h/d/segundo.txt", "h/original.txt", "h/tercero.txt", "h/nuevo.txt"};
        expected.erase(stored);
        EXPECT_EQ(names, expected);
        fs::create_directory(folder / "fuera");
        runChecked("tar -xf x.tar -C fuera", folder.path());
        for (const std::string& name : expected) {
            if (name.ends_with(".txt") && name != "h/nuevo.txt") {
                EXPECT_EQ(readFile(folder / "fuera" / name), data) << name;
            }
        }
        fs::remove_all(folder / "fuera");
    }
}

TEST_F(TarEditing, EditsKeepTheArchivesCompression) {
    pack("fotos.tar.zst", "--zstd -cf");
    Progress progress;
    TarArchiveEngine().deleteEntries(archive, {"fotos/docs/"}, progress);
    runChecked("zstd -t " + shellQuote(archive.string()));
    EXPECT_EQ(member("fotos/a.txt"), readFile(folder / "fotos/a.txt"));
}

// An edit has no level of the user's: each compressor writes at its program's default (gzip 6,
// bzip2 9, xz 6), whatever level the archive was made at.
TEST_F(TarEditing, EditsCompressAtEachCompressorsDefaultLevel) {
    const struct {
        const char* name;
        const char* options;
        const char* tester;
    } archives[] = {{"fotos1.tar.gz", "-I 'gzip -1' -cf", "gzip"},
                    {"fotos1.tar.bz2", "-I 'bzip2 -1' -cf", "bzip2"},
                    {"fotos1.tar.xz", "-I 'xz -1' -cf", "xz"}};
    for (const auto& item : archives) {
        ASSERT_TRUE(testing::toolInstalled(item.tester));
        SCOPED_TRACE(item.name);
        pack(item.name, item.options);
        Progress progress;
        TarArchiveEngine().deleteEntries(archive, {"fotos/docs/"}, progress);
        runChecked(std::string(item.tester) + " -t " + shellQuote(archive.string()));
        EXPECT_EQ(member("fotos/a.txt"), readFile(folder / "fotos/a.txt"));
        const std::string bytes = readFile(archive);
        if (std::string(item.tester) == "gzip") {
            EXPECT_EQ(bytes.at(8), '\0'); // neither the fastest level's flag nor the best's
        } else if (std::string(item.tester) == "bzip2") {
            EXPECT_EQ(bytes.substr(0, 4), "BZh9");
        } else {
            EXPECT_NE(runChecked("xz -lvv " + shellQuote(archive.string())).find("dict=8MiB"),
                      std::string::npos);
        }
    }
}

// Each policy against a file and a folder whose names (in another case) are taken.
TEST_F(TarEditing, AddResolvesTakenNamesByThePolicy) {
    writeFile(folder / "nuevo" / "A.TXT", "reemplazo");
    fs::create_directories(folder / "nuevo" / "docs");
    writeFile(folder / "nuevo" / "docs" / "n.txt", "n");
    const std::vector<fs::path> sources = {folder / "nuevo" / "A.TXT", folder / "nuevo" / "docs"};
    const std::string original = readFile(archive);

    expectFailure([&] { addFrom(sources, "fotos/", ArchiveConflictPolicy::ask); },
                  ArchiveFailure::conflict("A.TXT"));
    addFrom(sources, "fotos/", ArchiveConflictPolicy::skip);
    EXPECT_EQ(readFile(archive), original);

    addFrom(sources, "fotos/", ArchiveConflictPolicy::keepBoth);
    EXPECT_EQ(member("fotos/A 2.TXT"), "reemplazo");
    EXPECT_EQ(member("fotos/docs 2/n.txt"), "n");
    EXPECT_EQ(member("fotos/a.txt"), readFile(folder / "fotos/a.txt"));

    addFrom(sources, "fotos/", ArchiveConflictPolicy::replace);
    EXPECT_EQ(members(),
              "fotos/\nfotos/A 2.TXT\nfotos/A.TXT\nfotos/docs 2/\nfotos/docs 2/n.txt\n"
              "fotos/docs/\nfotos/docs/n.txt\nfotos/docsx.txt\nfotos/empty-dir/\nfotos/run.sh\n"
              "fotos/vacío.txt\n");
    EXPECT_EQ(member("fotos/A.TXT"), "reemplazo");
}

TEST_F(TarEditing, AddPutsNewItemsIntoTheTargetFolder) {
    writeFile(folder / "nota.md", "hola");
    addFrom({folder / "nota.md"}, "", ArchiveConflictPolicy::ask);
    addFrom({folder / "nota.md"}, "fotos/docs/sub/", ArchiveConflictPolicy::ask);
    EXPECT_EQ(member("nota.md"), "hola");
    EXPECT_EQ(member("fotos/docs/sub/nota.md"), "hola");
    EXPECT_EQ(member("fotos/docs/sub/c.bin"), readFile(folder / "fotos/docs/sub/c.bin"));
}

TEST_F(TarEditing, AddRefusesUnsafeTargetsAndSources) {
    writeFile(folder / "uno" / "x.txt", "1");
    writeFile(folder / "dos" / "X.txt", "2");
    fs::create_directory(folder / "contiene");
    fs::path inner = folder / "contiene" / "dentro.tar";
    runChecked("tar -cf contiene/dentro.tar fotos/a.txt", folder.path());
    const std::string before = readFile(archive);
    struct Case {
        std::string name;
        std::vector<fs::path> sources;
        std::string target;
        ArchiveFailure expected;
    };
    const std::vector<Case> cases = {
        {"folder without slash",
         {folder / "uno/x.txt"},
         "fotos",
         ArchiveFailure::unsafePath("fotos")},
        {"missing folder", {folder / "uno/x.txt"}, "nada/", ArchiveFailure::unsafePath("nada/")},
        {"repeated new names",
         {folder / "uno/x.txt", folder / "dos/X.txt"},
         "",
         ArchiveFailure::duplicate("X.txt")},
        {"the archive itself", {archive}, "", ArchiveFailure::sourceIsArchive()},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        expectFailure([&] { addFrom(item.sources, item.target, ArchiveConflictPolicy::ask); },
                      item.expected);
    }
    EXPECT_EQ(readFile(archive), before);

    archive = inner;
    expectFailure([&] { addFrom({folder / "contiene"}, "", ArchiveConflictPolicy::ask); },
                  ArchiveFailure::tarFailure(insideSource));
}

// Python's tarfile writes no entries for the folders above a file; such a folder still moves,
// and is still replaced, as a whole.
TEST_F(TarEditing, FoldersWithoutEntriesOfTheirOwnAreEditedAsWholes) {
    archive = folder / "implicito.tar";
    pythonTar(archive, "add_file('docs/a.txt', b'viejo')\nadd_file('docs/sub/b.txt')\n"
                       "add_file('otro.txt')");
    Progress progress;
    TarArchiveEngine().rename(archive, progress, ArchiveItem{"docs/", 0, 0, true, false},
                              "papeles");
    EXPECT_EQ(members(), "otro.txt\npapeles/a.txt\npapeles/sub/b.txt\n");

    writeFile(folder / "nuevo" / "Papeles" / "c.txt", "c");
    addFrom({folder / "nuevo" / "Papeles"}, "", ArchiveConflictPolicy::replace);
    EXPECT_EQ(members(), "Papeles/\nPapeles/c.txt\notro.txt\n");
}

// Someone else writes the archive while the add runs: the add keeps its hands off.
TEST_F(TarEditing, AnArchiveChangedDuringTheEditIsNotReplaced) {
    writeFile(folder / "nota.md", "hola");
    Progress progress;
    expectFailure(
        [&] {
            TarArchiveEngine().add(
                archive, progress, [&](const ArchiveSummary& listing, Progress& stepProgress) {
                    runChecked("cat /dev/null >> " + shellQuote(archive.string()) +
                               " && touch -d '2001-01-01' " + shellQuote(archive.string()));
                    return TarArchiveEngine::collectSources({folder / "nota.md"}, "",
                                                            ArchiveConflictPolicy::ask, listing,
                                                            stepProgress);
                });
        },
        ArchiveFailure::archiveChanged());
    EXPECT_EQ(members().find("nota.md"), std::string::npos);
    EXPECT_EQ(countNamesStartingWith(folder.path(), ".vexa-replace-"), 0);
}

TEST_F(TarEditing, ACancelledEditLeavesTheArchiveAsItWas) {
    writeFile(folder / "fotos" / "grande.bin", sampleBytes(4 << 20, 2, false));
    pack("fotos.tar.xz", "-cJf");
    const std::string before = readFile(archive);
    Progress progress;
    {
        CancelWhenPast cancel(progress, 1 << 20);
        EXPECT_THROW(TarArchiveEngine().deleteEntries(archive, {"fotos/a.txt"}, progress),
                     CancellationError);
    }
    EXPECT_EQ(readFile(archive), before);
    EXPECT_EQ(countNamesStartingWith(folder.path(), ".vexa-replace-"), 0);
}

TEST_F(TarEditing, ASingleCompressedFileIsNotEdited) {
    writeFile(folder / "notas.txt", "texto");
    runChecked("gzip -k notas.txt", folder.path());
    Progress progress;
    expectFailure(
        [&] { TarArchiveEngine().deleteEntries(folder / "notas.txt.gz", {"notas.txt"}, progress); },
        ArchiveFailure::readOnlySingle());
}

} // namespace
} // namespace vexa
