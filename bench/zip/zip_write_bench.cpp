// ZIP engine writing against Info-ZIP zip, side by side in one run: creation of an archive from
// a folder of mixed compressible and incompressible files (deflate level 6 on both sides), and
// an edit that deletes one small entry from that archive, which the engine does by copying the
// kept entries raw. Each measurement runs in a child process, so its peak resident memory is
// its own. Usage: zip_write_bench [megabytes, default 200].

#include "bench/support/BenchSupport.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/FileOperations.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

namespace fs = std::filesystem;
using namespace vexa::bench;

int main(int argc, char** argv) {
    const std::size_t megabytes = megabytesArgument(argc, argv, 200);
    const fs::path work = makeWorkFolder("vexa-zip-write-bench-");
    if (work.empty())
        return 1;
    vexa::files::ScopedRemoval removal(work);
    std::mt19937 generator(7);

    const std::size_t total = writeMixedFolder(work / "mixed", megabytes, generator);
    // Deleted from the archive later.
    writeMixedSample(work / "mixed" / "small.txt", 1000, true, generator);
    const double mixedMegabytes = static_cast<double>(total) / (1 << 20);
    std::printf("source folder: %.0f MB in %zu files\n", mixedMegabytes,
                total / kMixedFileBytes + 1);

    const Measurement createEngine = measureInChild([&] {
        return succeeds([&] {
            vexa::Progress progress;
            vexa::ZIPArchiveEngine().create({work / "mixed"}, work / "engine.zip", true, progress);
        });
    });
    const Measurement createZip = measureInChild(
        [&] { return run("cd " + work.string() + " && zip -q -6 -r zip.zip mixed"); });
    reportAgainst("creation, deflate level 6", mixedMegabytes, createEngine, "zip", createZip);
    std::printf("  packed: engine %.1f MB, zip %.1f MB\n",
                static_cast<double>(fs::file_size(work / "engine.zip")) / (1 << 20),
                static_cast<double>(fs::file_size(work / "zip.zip")) / (1 << 20));

    const Measurement deleteEngine = measureInChild([&] {
        return succeeds([&] {
            vexa::Progress progress;
            vexa::ZIPArchiveEngine().deleteEntries({"mixed/small.txt"}, work / "engine.zip",
                                                   progress);
        });
    });
    const Measurement deleteZip = measureInChild(
        [&] { return run("cd " + work.string() + " && zip -q -d zip.zip mixed/small.txt"); });
    reportAgainst("deleting one entry (kept entries copied)", mixedMegabytes, deleteEngine, "zip",
                  deleteZip);
    return createEngine.ok && createZip.ok && deleteEngine.ok && deleteZip.ok ? 0 : 1;
}
