// Reading throughput of the 7z engine over archives from bsdtar's 7z writer: extraction of one
// large entry (stored and LZMA2, whole and cut into 16 MiB parts) and the listing of many small
// entries, with the peak resident memory, which stays near libarchive's own decoder state because
// entry data is streamed block by block. Usage: sevenzip_bench [megabytes, default 64].

#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "platform/FileOperations.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

long peakResidentKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void writeSample(const fs::path& location, std::size_t megabytes) {
    std::ofstream out(location, std::ios::binary);
    std::mt19937 generator(42);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < megabytes; ++i) {
        // Half text-like, half noise: LZMA2 has work to do on both.
        for (std::size_t j = 0; j < block.size(); ++j)
            block[j] = j % 2 ? static_cast<char>("abcdefgh\n"[generator() % 9])
                             : static_cast<char>(generator());
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

template <typename Work> double seconds(Work&& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    std::string pattern = (fs::temp_directory_path() / "vexa-7z-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return 1;
    const fs::path work = pattern;
    vexa::files::ScopedRemoval removal(work);
    const fs::path sources = work / "src";
    fs::create_directories(sources);
    writeSample(sources / "data.bin", megabytes);

    std::printf("%-16s %8s %14s %12s\n", "archive", "MB", "extract MB/s", "peak RSS MB");
    for (const char* method : {"store", "lzma2"}) {
        const fs::path archive = work / (std::string(method) + ".7z");
        if (!run("bsdtar --format 7zip --options 7zip:compression=" + std::string(method) +
                 " -cf '" + archive.string() + "' -C '" + sources.string() + "' data.bin"))
            return 1;
        const fs::path parts = work / (std::string(method) + "-parts");
        fs::create_directories(parts);
        if (!run("cd '" + parts.string() + "' && split -b 16M -d -a 3 --numeric-suffixes=1 '" +
                 archive.string() + "' set.7z."))
            return 1;
        for (const fs::path& first : {archive, parts / "set.7z.001"}) {
            vexa::Progress progress;
            fs::path result;
            const double elapsed = seconds(
                [&] { result = vexa::SevenZipArchiveEngine().extract(first, {}, work, progress); });
            fs::remove_all(result);
            const std::string label = std::string(method) + (first == archive ? "" : " (parts)");
            std::printf("%-16s %8zu %14.1f %12.1f\n", label.c_str(), megabytes,
                        static_cast<double>(megabytes) / elapsed, peakResidentKilobytes() / 1024.0);
        }
        fs::remove_all(parts);
        fs::remove(archive);
    }

    // Listing cost per entry: 20000 small files in 100 folders.
    const fs::path many = work / "many";
    for (int folder = 0; folder < 100; ++folder) {
        const fs::path location = many / ("carpeta" + std::to_string(folder));
        fs::create_directories(location);
        for (int file = 0; file < 200; ++file)
            std::ofstream(location / ("f" + std::to_string(file) + ".txt")) << folder * file;
    }
    vexa::Progress progress;
    std::size_t count = 0;
    const fs::path clean = work / "clean.7z";
    if (!run("cd '" + many.string() + "' && bsdtar --format 7zip -cf '" + clean.string() +
             "' carpeta*"))
        return 1;
    const double elapsed = seconds(
        [&] { count = vexa::SevenZipArchiveEngine().list(clean, progress).entries.size(); });
    std::printf("%-16s %8zu %14.0f %12.1f  (entries, entries/s)\n", "list", count,
                static_cast<double>(count) / elapsed, peakResidentKilobytes() / 1024.0);
    return 0;
}
