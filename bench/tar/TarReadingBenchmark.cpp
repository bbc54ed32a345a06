// Reading throughput of the TAR engine over files from GNU tar, gzip and zstd: listing and
// extraction of one large entry, in a TAR archive and as a single compressed file, with the
// peak resident memory, which stays near the decoders' own state because data is streamed
// through fixed buffers. Usage: tar_bench [megabytes, default 256].

#include "engines/tar/TarArchiveEngine.h"
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
        // Half text-like, half noise: the decoders have work to do on both.
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
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    std::string pattern = (fs::temp_directory_path() / "vexa-tar-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return 1;
    const fs::path work = pattern;
    vexa::files::ScopedRemoval removal(work);
    writeSample(work / "data.bin", megabytes);

    const std::pair<const char*, const char*> archives[] = {
        {"data.tar", "tar -cf data.tar data.bin"},
        {"data.tar.gz", "tar -cf - data.bin | gzip -1 > data.tar.gz"},
        {"data.tar.xz", "tar -cf - data.bin | xz -1 -T0 > data.tar.xz"},
        {"data.tar.zst", "tar -cf - data.bin | zstd -q -3 -T0 > data.tar.zst"},
        {"data.bin.gz", "gzip -1 -k data.bin"},
        {"data.bin.zst", "zstd -q -3 -T0 data.bin"},
    };
    std::printf("%-14s %8s %12s %14s %12s\n", "file", "MB", "list MB/s", "extract MB/s",
                "peak RSS MB");
    for (const auto& [name, command] : archives) {
        if (!run("cd '" + work.string() + "' && " + command))
            return 1;
        const fs::path archive = work / name;
        const fs::path out = work / "out";
        fs::create_directories(out);
        vexa::Progress listing;
        vexa::Progress extraction;
        const double listed = seconds([&] { vexa::TarArchiveEngine().list(archive, listing); });
        const double extracted =
            seconds([&] { vexa::TarArchiveEngine().extract(archive, {}, out, extraction); });
        const double size = static_cast<double>(megabytes);
        std::printf("%-14s %8zu %12.1f %14.1f %12.1f\n", name, megabytes, size / listed,
                    size / extracted, static_cast<double>(peakResidentKilobytes()) / 1024.0);
        fs::remove_all(out);
        fs::remove(archive);
    }
    return 0;
}
