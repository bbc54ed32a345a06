// Extraction and checksum throughput of the RAR engine over an archive made by the rar program,
// with the peak resident memory, which stays near the library's own window because entry data
// is streamed block by block. Usage: rar_bench [megabytes, default 64].

#include "engines/rar/RARArchiveEngine.h"
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

void writeSample(const fs::path& location, std::size_t megabytes, bool compressible) {
    std::ofstream out(location, std::ios::binary);
    std::mt19937 generator(42);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < megabytes; ++i) {
        for (auto& byte : block)
            byte = compressible ? static_cast<char>("abcdefgh\n"[generator() % 9])
                                : static_cast<char>(generator());
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

template <typename Work> double seconds(Work&& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    std::string pattern = (fs::temp_directory_path() / "vexa-rar-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return 1;
    fs::path work = pattern;
    vexa::files::ScopedRemoval removal(work);

    struct Kind {
        const char* name;
        bool compressible;
        const char* switches;
    };
    std::printf("%-12s %8s %14s %14s %12s\n", "archive", "MB", "extract MB/s", "checksum MB/s",
                "peak RSS MB");
    for (const Kind& kind : {Kind{"stored", false, "-m0"}, Kind{"compressed", true, "-m3"}}) {
        fs::path sources = work / kind.name;
        fs::create_directories(sources);
        writeSample(sources / "data.bin", megabytes, kind.compressible);
        fs::path archive = work / (std::string(kind.name) + ".rar");
        std::string command = "cd '" + sources.string() + "' && rar a -idq " + kind.switches +
                              " '" + archive.string() + "' data.bin";
        if (std::system(command.c_str()) != 0)
            return 1;
        fs::remove(sources / "data.bin");

        vexa::Progress progress;
        fs::path result;
        double extractSeconds = seconds(
            [&] { result = vexa::RARArchiveEngine().extract(archive, {}, work, progress); });
        fs::remove_all(result);
        vexa::Progress checksumProgress;
        double checksumSeconds = seconds([&] {
            vexa::RARArchiveEngine::entryChecksums(archive, checksumProgress, std::nullopt, false);
        });
        std::printf("%-12s %8zu %14.1f %14.1f %12.1f\n", kind.name, megabytes,
                    static_cast<double>(megabytes) / extractSeconds,
                    static_cast<double>(megabytes) / checksumSeconds,
                    static_cast<double>(peakResidentKilobytes()) / 1024.0);
        fs::remove(archive);
    }
    return 0;
}
