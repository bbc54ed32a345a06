// ZIP engine writing against Info-ZIP zip, side by side in one run: creation of an archive from
// a folder of mixed compressible and incompressible files (deflate level 6 on both sides), and
// an edit that deletes one small entry from that archive, which the engine does by copying the
// kept entries raw. Each measurement runs in a child process, so its peak resident memory is
// its own. Usage: zip_write_bench [megabytes, default 200].

#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/FileOperations.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Measurement {
    double seconds = 0;
    long peakKilobytes = 0;
    bool ok = false;
};

Measurement measure(const std::function<bool()>& work) {
    ::sync(); // earlier writes are not billed to this run
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0)
        _exit(work() ? 0 : 1);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    Measurement result;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.peakKilobytes = usage.ru_maxrss;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

bool guarded(const std::function<void()>& work) {
    try {
        work();
        return true;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return false;
    }
}

void writeSample(const fs::path& location, std::size_t bytes, bool compressible,
                 std::mt19937& generator) {
    static const char* const words[] = {"archivo ", "carpeta ", "datos ", "copia ",
                                        "enero ",   "informe ", "\n",     "2026 "};
    std::ofstream out(location, std::ios::binary);
    std::string block;
    while (bytes > 0) {
        block.clear();
        while (block.size() < std::min<std::size_t>(bytes, 1 << 20))
            block += compressible ? std::string(words[generator() % 8])
                                  : std::string(1, static_cast<char>(generator()));
        block.resize(std::min(block.size(), bytes));
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
        bytes -= block.size();
    }
}

void report(const char* what, double megabytes, const Measurement& engine, const Measurement& zip) {
    std::printf("%s\n", what);
    std::printf("  engine: %7.2f s %9.1f MB/s  peak %6ld KiB%s\n", engine.seconds,
                megabytes / engine.seconds, engine.peakKilobytes, engine.ok ? "" : "  FAILED");
    std::printf("  zip   : %7.2f s %9.1f MB/s  peak %6ld KiB%s\n", zip.seconds,
                megabytes / zip.seconds, zip.peakKilobytes, zip.ok ? "" : "  FAILED");
    std::printf("  time ratio engine/zip: %.2f\n", engine.seconds / zip.seconds);
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
    std::string pattern = (fs::temp_directory_path() / "vexa-zip-write-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return 1;
    const fs::path work = pattern;
    vexa::files::ScopedRemoval removal(work);
    std::mt19937 generator(7);

    // Files of 8 MB, alternately text-like and random, and one small file to delete later.
    fs::create_directories(work / "mixed");
    const std::size_t fileBytes = 8u << 20;
    std::size_t total = 0;
    for (int i = 0; total < megabytes << 20; ++i, total += fileBytes)
        writeSample(work / "mixed" / ("part" + std::to_string(i) + ".bin"), fileBytes, i % 2 == 0,
                    generator);
    writeSample(work / "mixed" / "small.txt", 1000, true, generator);
    const double mixedMegabytes = static_cast<double>(total) / (1 << 20);
    std::printf("source folder: %.0f MB in %zu files\n", mixedMegabytes, total / fileBytes + 1);

    const Measurement createEngine = measure([&] {
        return guarded([&] {
            vexa::Progress progress;
            vexa::ZIPArchiveEngine().create({work / "mixed"}, work / "engine.zip", true, progress);
        });
    });
    const Measurement createZip =
        measure([&] { return run("cd " + work.string() + " && zip -q -6 -r zip.zip mixed"); });
    report("creation, deflate level 6", mixedMegabytes, createEngine, createZip);
    std::printf("  packed: engine %.1f MB, zip %.1f MB\n",
                static_cast<double>(fs::file_size(work / "engine.zip")) / (1 << 20),
                static_cast<double>(fs::file_size(work / "zip.zip")) / (1 << 20));

    const Measurement deleteEngine = measure([&] {
        return guarded([&] {
            vexa::Progress progress;
            vexa::ZIPArchiveEngine().deleteEntries({"mixed/small.txt"}, work / "engine.zip",
                                                   progress);
        });
    });
    const Measurement deleteZip = measure(
        [&] { return run("cd " + work.string() + " && zip -q -d zip.zip mixed/small.txt"); });
    report("deleting one entry (kept entries copied)", mixedMegabytes, deleteEngine, deleteZip);
    return createEngine.ok && createZip.ok && deleteEngine.ok && deleteZip.ok ? 0 : 1;
}
