// RAR creation with the rar program, against the same program run alone: what the read-back and
// the comparison with the sources add, and the CRC-32 speed of source files. The peak resident
// memory stays flat because sources are hashed in 256 KiB blocks and the program works on links,
// never on copies. Usage: rar_creation_bench [megabytes, default 64].

#include "bench/support/BenchSupport.h"
#include "core/archive/SourceEntries.h"
#include "engines/rar/RARCreator.h"
#include "platform/FileOperations.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using namespace vexa::bench;

int main(int argc, char** argv) {
    const std::size_t megabytes = megabytesArgument(argc, argv, 64);
    const fs::path work = makeWorkFolder("vexa-rar-creation-bench-");
    if (work.empty() || !fs::exists("/usr/bin/rar"))
        return 1;
    vexa::files::ScopedRemoval removal(work);
    const fs::path sources = work / "datos";
    fs::create_directories(sources);
    writeSample(sources / "muestra.bin", megabytes);

    const double before = peakResidentMegabytes();
    vexa::Progress hashing;
    const double hashSeconds =
        seconds([&] { vexa::crc32OfFile(sources / "muestra.bin", hashing); });
    std::printf("crc32OfFile: %.1f MB/s, peak RSS %.1f MB before, %.1f MB after\n",
                static_cast<double>(megabytes) / hashSeconds, before, peakResidentMegabytes());

    std::printf("%-6s %8s %12s %12s %10s %12s\n", "level", "MB", "create s", "rar alone s",
                "overhead", "peak RSS MB");
    for (const int level : {0, 3}) {
        const std::string switches = "-m" + std::to_string(level);
        const fs::path alone = work / ("solo" + std::to_string(level) + ".rar");
        const double aloneSeconds = seconds([&] {
            run("cd '" + work.string() + "' && rar a -idq -r " + switches + " '" + alone.string() +
                "' datos");
        });
        fs::remove(alone);

        vexa::RARCreator creator;
        creator.selectedExecutable = "/usr/bin/rar";
        creator.level = level;
        vexa::Progress progress;
        const fs::path destination = work / ("creado" + std::to_string(level) + ".rar");
        const double createSeconds =
            seconds([&] { creator.create({sources}, destination, true, progress); });
        std::printf("%-6d %8zu %12.2f %12.2f %9.0f%% %12.1f\n", level, megabytes, createSeconds,
                    aloneSeconds, 100.0 * (createSeconds - aloneSeconds) / aloneSeconds,
                    peakResidentMegabytes());
        fs::remove(destination);
    }
    return 0;
}
