// Reading throughput of the TAR engine over files from GNU tar, gzip and zstd: listing and
// extraction of one large entry, in a TAR archive and as a single compressed file, with the
// peak resident memory, which stays near the decoders' own state because data is streamed
// through fixed buffers. Usage: tar_bench [megabytes, default 256].

#include "bench/support/BenchSupport.h"
#include "engines/tar/TarArchiveEngine.h"
#include "platform/FileOperations.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using namespace vexa::bench;

int main(int argc, char** argv) {
    const std::size_t megabytes = megabytesArgument(argc, argv, 256);
    const fs::path work = makeWorkFolder("vexa-tar-bench-");
    if (work.empty())
        return 1;
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
                    size / extracted, peakResidentMegabytes());
        fs::remove_all(out);
        fs::remove(archive);
    }
    return 0;
}
