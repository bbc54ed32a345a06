// Extraction and checksum throughput of the RAR engine over an archive made by the rar program,
// with the peak resident memory, which stays near the library's own window because entry data
// is streamed block by block. Usage: rar_bench [megabytes, default 64].

#include "bench/support/BenchSupport.h"
#include "engines/rar/RARArchiveEngine.h"
#include "platform/FileOperations.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vexa::bench;

namespace {

// All text or all noise: the two ends of what the decoder sees.
void writeUniformSample(const fs::path& location, std::size_t megabytes, bool compressible) {
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

} // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = megabytesArgument(argc, argv, 64);
    fs::path work = makeWorkFolder("vexa-rar-bench-");
    if (work.empty())
        return 1;
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
        writeUniformSample(sources / "data.bin", megabytes, kind.compressible);
        fs::path archive = work / (std::string(kind.name) + ".rar");
        std::string command = "cd '" + sources.string() + "' && rar a -idq " + kind.switches +
                              " '" + archive.string() + "' data.bin";
        if (!run(command))
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
                    static_cast<double>(megabytes) / checksumSeconds, peakResidentMegabytes());
        fs::remove(archive);
    }
    return 0;
}
