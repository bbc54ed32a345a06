#include "TarFixtures.h"

#include "tests/support/TestSupport.h"

#include <chrono>
#include <gtest/gtest.h>

namespace vexa::testing::tar {

namespace fs = std::filesystem;

std::string sampleContent(const std::string& relative) {
    if (relative == "a.txt")
        return "hola desde a\n";
    if (relative == "run.sh")
        return "#!/bin/sh\necho hola\n";
    if (relative == "docs/b.txt")
        return sampleBytes(5000, 2, true);
    if (relative == "docs/sub/c.bin")
        return sampleBytes(100000, 3, false);
    if (relative == "docsx.txt")
        return "x\n";
    return "";
}

fs::path makeSampleTree(const fs::path& parent) {
    fs::path root = parent / "fotos";
    fs::create_directories(root / "docs/sub");
    fs::create_directories(root / "empty-dir");
    for (const char* name :
         {"a.txt", "run.sh", "docs/b.txt", "docs/sub/c.bin", "docsx.txt", "vacío.txt"})
        writeFile(root / name, sampleContent(name));
    fs::permissions(root / "a.txt", fs::perms(0644));
    fs::permissions(root / "run.sh", fs::perms(0755));
    runChecked("touch -d @1000000000 a.txt", root);
    return root;
}

void pythonTars(const fs::path& folder,
                const std::vector<std::pair<std::string, std::string>>& archivesAndScripts) {
    std::string script = "import io, os, sys, tarfile\n"
                         "os.chdir(sys.argv[1])\n"
                         "def add(info, data=None):\n"
                         "    t.addfile(info, io.BytesIO(data) if data is not None else None)\n"
                         "def add_file(name, data=b'x'):\n"
                         "    info = tarfile.TarInfo(name)\n"
                         "    info.size = len(data)\n"
                         "    add(info, data)\n";
    for (const auto& [archive, body] : archivesAndScripts) {
        script += "t = tarfile.open(" + shellQuote(archive) + ", 'w', format=tarfile.PAX_FORMAT)\n";
        script += body + "\nt.close()\n";
    }
    fs::path file = folder / "make-archives.py";
    writeFile(file, script);
    runChecked("python3 " + shellQuote(file.string()) + " " + shellQuote(folder.string()));
    fs::remove(file);
}

void pythonTar(const fs::path& archive, const std::string& body) {
    pythonTars(archive.parent_path(), {{archive.filename().string(), body}});
}

std::map<std::string, std::string> treeContents(const fs::path& root) {
    std::map<std::string, std::string> contents;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        std::string name = fs::relative(item.path(), root).string();
        if (item.is_directory())
            contents[name + "/"] = "";
        else
            contents[name] = readFile(item.path());
    }
    return contents;
}

void expectFailure(const std::function<void()>& work, const ArchiveFailure& expected) {
    try {
        work();
        ADD_FAILURE() << "expected: " << expected.message();
    } catch (const ArchiveFailure& failure) {
        EXPECT_EQ(failure, expected) << failure.message() << "\nexpected: " << expected.message();
    }
}

CancelWhenPast::CancelWhenPast(Progress& progress, std::int64_t threshold) : progress_(progress) {
    // Cancelling from the reporting thread lands at an exact point, however loaded the machine.
    progress.setCompletionObserver([&progress, threshold](std::int64_t completed) {
        if (completed > threshold)
            progress.cancel();
    });
}

CancelWhenPast::~CancelWhenPast() {
    progress_.setCompletionObserver(nullptr);
}

int countNamesStartingWith(const fs::path& folder, const std::string& prefix) {
    int count = 0;
    for (const auto& item : fs::directory_iterator(folder))
        if (item.path().filename().string().rfind(prefix, 0) == 0)
            ++count;
    return count;
}

} // namespace vexa::testing::tar
