// ZIP engine against Info-ZIP unzip, side by side in one run: extraction throughput for an
// archive of mixed compressible and incompressible data and for one of many small files, and
// listing time for the latter. Each measurement runs in a child process, so its peak resident
// memory is its own. Usage: zip_extract_bench [megabytes, default 200] [small files, default
// 100000].

#include "bench/support/BenchSupport.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/FileOperations.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vexa::bench;

namespace {

bool engineExtract(const fs::path& archive, const fs::path& destination) {
    return succeeds([&] {
        vexa::Progress progress;
        vexa::ZIPArchiveEngine().extract(archive, {}, destination, progress);
    });
}

bool engineList(const fs::path& archive) {
    bool listed = false;
    return succeeds([&] {
               vexa::Progress progress;
               listed = !vexa::ZIPArchiveEngine().list(archive, progress).entries.empty();
           }) &&
           listed;
}

// Both programs must have written the same bytes.
void sameTrees(const fs::path& engine, const fs::path& unzip) {
    const bool same = run("diff -r -q " + engine.string() + " " + unzip.string() + " >/dev/null");
    std::printf("  extracted trees %s\n", same ? "identical" : "DIFFER");
}

Measurement better(const Measurement& a, const Measurement& b) {
    Measurement best = a.seconds <= b.seconds ? a : b;
    best.peakKilobytes = std::max(a.peakKilobytes, b.peakKilobytes);
    best.ok = a.ok && b.ok;
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = megabytesArgument(argc, argv, 200);
    const std::size_t smallFiles = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100000;
    const fs::path work = makeWorkFolder("vexa-zip-bench-");
    if (work.empty())
        return 1;
    vexa::files::ScopedRemoval removal(work);
    std::mt19937 generator(7);

    const std::size_t total = writeMixedFolder(work / "mixed", megabytes, generator);
    if (!run("cd " + (work / "mixed").string() + " && zip -q -r ../mixed.zip ."))
        return 1;
    const double mixedMegabytes = static_cast<double>(total) / (1 << 20);

    // Many small files of 50 to 2000 bytes in folders of 1000.
    fs::create_directories(work / "small");
    std::size_t smallBytes = 0;
    for (std::size_t i = 0; i < smallFiles; ++i) {
        const fs::path folder = work / "small" / ("d" + std::to_string(i / 1000));
        if (i % 1000 == 0)
            fs::create_directories(folder);
        const std::size_t size = 50 + generator() % 1950;
        writeMixedSample(folder / ("f" + std::to_string(i) + ".txt"), size, true, generator);
        smallBytes += size;
    }
    if (!run("cd " + (work / "small").string() + " && zip -q -r ../small.zip ."))
        return 1;
    const double smallMegabytes = static_cast<double>(smallBytes) / (1 << 20);

    // ext4 slows the creation of files while it still remembers recently deleted inodes, so
    // nothing is removed before the end, and each side runs twice in alternating order.
    int runs = 0;
    const auto pair = [&](const fs::path& archive, Measurement& engine, Measurement& unzip) {
        std::vector<Measurement> engineRuns, unzipRuns;
        for (int round = 0; round < 2; ++round) {
            const fs::path engineOut = work / ("engine-" + std::to_string(++runs));
            const fs::path unzipOut = work / ("unzip-" + std::to_string(++runs));
            fs::create_directories(engineOut);
            const auto engineRun = [&] {
                engineRuns.push_back(
                    measureInChild([=] { return engineExtract(archive, engineOut); }));
            };
            const auto unzipRun = [&] {
                unzipRuns.push_back(measureInChild([=] {
                    return run("unzip -q -o " + archive.string() + " -d " + unzipOut.string());
                }));
            };
            if (round == 0) {
                engineRun();
                unzipRun();
            } else {
                unzipRun();
                engineRun();
            }
            if (round == 0)
                sameTrees(engineOut / archive.stem(), unzipOut);
        }
        engine = better(engineRuns[0], engineRuns[1]);
        unzip = better(unzipRuns[0], unzipRuns[1]);
    };

    std::printf("mixed archive: %.0f MB in %zu files, %.0f MB packed\n", mixedMegabytes,
                total / kMixedFileBytes,
                static_cast<double>(fs::file_size(work / "mixed.zip")) / (1 << 20));
    Measurement mixedEngine, mixedUnzip;
    pair(work / "mixed.zip", mixedEngine, mixedUnzip);
    reportAgainst("extraction, mixed data (best of two)", mixedMegabytes, mixedEngine, "unzip",
                  mixedUnzip);

    std::printf("small-files archive: %zu files, %.0f MB\n", smallFiles, smallMegabytes);
    Measurement smallEngine, smallUnzip;
    pair(work / "small.zip", smallEngine, smallUnzip);
    reportAgainst("extraction, small files (best of two)", smallMegabytes, smallEngine, "unzip",
                  smallUnzip);

    const Measurement listEngine = measureInChild([&] { return engineList(work / "small.zip"); });
    const Measurement listUnzip = measureInChild(
        [&] { return run("unzip -l " + (work / "small.zip").string() + " >/dev/null"); });
    std::printf("listing, small files\n");
    std::printf("  engine: %7.3f s  peak %6ld KiB%s\n", listEngine.seconds,
                listEngine.peakKilobytes, listEngine.ok ? "" : "  FAILED");
    std::printf("  unzip : %7.3f s  peak %6ld KiB%s\n", listUnzip.seconds, listUnzip.peakKilobytes,
                listUnzip.ok ? "" : "  FAILED");
    std::printf("  time ratio engine/unzip: %.2f\n", listEngine.seconds / listUnzip.seconds);
    return mixedEngine.ok && smallEngine.ok && listEngine.ok ? 0 : 1;
}
