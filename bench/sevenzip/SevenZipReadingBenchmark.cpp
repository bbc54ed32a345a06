// Reading throughput of the 7z engine over archives from bsdtar's 7z writer: extraction of one
// large entry (stored and LZMA2, whole and cut into 16 MiB parts) and the listing of many small
// entries, with the peak resident memory, which stays near libarchive's own decoder state because
// entry data is streamed block by block. Usage: sevenzip_bench [megabytes, default 64].

#include "bench/support/BenchSupport.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "platform/FileOperations.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace vexa::bench;

int main(int argc, char** argv) {
    const std::size_t megabytes = megabytesArgument(argc, argv, 64);
    const fs::path work = makeWorkFolder("vexa-7z-bench-");
    if (work.empty())
        return 1;
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
                        static_cast<double>(megabytes) / elapsed, peakResidentMegabytes());
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
                static_cast<double>(count) / elapsed, peakResidentMegabytes());
    return 0;
}
