// Writing throughput of the TAR engine: creation of a TAR archive under each compression and
// of single compressed files, each including the read-back against the source, then one
// rename of the entry in the zstd archive; with the peak resident memory, which stays near
// the compressors' own state because data is streamed through fixed buffers.
// Usage: tar_write_bench [megabytes, default 256].

#include "bench/support/BenchSupport.h"
#include "engines/tar/TarArchiveEngine.h"
#include "platform/FileOperations.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using namespace vexa::bench;
using vexa::TarCompression;

int main(int argc, char** argv) {
    const std::size_t megabytes = megabytesArgument(argc, argv, 256);
    const fs::path work = makeWorkFolder("vexa-tar-write-bench-");
    if (work.empty())
        return 1;
    vexa::files::ScopedRemoval removal(work);
    writeSample(work / "data.bin", megabytes);

    struct Case {
        const char* name;
        TarCompression compression;
        int level;
        bool single;
    };
    const Case cases[] = {
        {"data.tar", TarCompression::none, 1, false},
        {"data.tar.gz", TarCompression::gzip, 1, false},
        {"data.tar.bz2", TarCompression::bzip2, 1, false},
        {"data.tar.xz", TarCompression::xz, 1, false},
        {"data.tar.zst", TarCompression::zstd, 3, false},
        {"data.bin.gz", TarCompression::gzip, 1, true},
        {"data.bin.zst", TarCompression::zstd, 3, true},
    };
    const double size = static_cast<double>(megabytes);
    std::printf("%-14s %8s %14s %12s\n", "file", "MB", "create MB/s", "peak RSS MB");
    for (const Case& item : cases) {
        const fs::path archive = work / item.name;
        vexa::Progress progress;
        const double created = seconds([&] {
            vexa::TarArchiveEngine().create({work / "data.bin"}, archive, progress,
                                            item.compression, item.level, item.single);
        });
        std::printf("%-14s %8zu %14.1f %12.1f\n", item.name, megabytes, size / created,
                    peakResidentMegabytes());
        if (item.compression == TarCompression::zstd && !item.single) {
            vexa::Progress renaming;
            const double renamed = seconds([&] {
                vexa::TarArchiveEngine().rename(archive, renaming, {"data.bin", 0, 0, false, false},
                                                "datos.bin");
            });
            std::printf("%-14s %8zu %14.1f %12.1f  (rename)\n", item.name, megabytes,
                        size / renamed, peakResidentMegabytes());
        }
        fs::remove(archive);
    }
    return 0;
}
