// Throughput of the ZIP container layer against Info-ZIP on the same data: writing against
// `zip`, reading against `unzip -p`, for stored, deflated and AES-256 entries. Info-ZIP has no
// AES, so the AES figures are set against its plain deflate of the same data.
//
// Usage: zip_container_throughput [megabytes]   (default 100)
#include "engines/zip/container/ZipFileReader.h"
#include "engines/zip/container/ZipFileWriter.h"
#include "engines/zip/container/ZipStatus.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr size_t chunk = 1 << 18;

double seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Text-like data with some randomness: deflate shrinks it to roughly a third.
void makeSource(const fs::path& path, size_t bytes) {
    static const char* words[] = {"archivo ",   "carpeta ", "datos ",    "zip ", "vexa ",
                                  "comprimir ", "leer ",    "escribir ", "\n",   "0123 "};
    std::mt19937 random(42);
    std::ofstream out(path, std::ios::binary);
    std::string block;
    size_t written = 0;
    while (written < bytes) {
        block.clear();
        while (block.size() < chunk) {
            if (random() % 4 == 0)
                block += static_cast<char>('a' + random() % 26);
            else
                block += words[random() % 10];
        }
        size_t take = std::min(block.size(), bytes - written);
        out.write(block.data(), static_cast<std::streamsize>(take));
        written += take;
    }
}

double run(const std::string& command) {
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return seconds(start);
}

double writeWithLayer(const fs::path& source, const fs::path& archive, int level, bool aes) {
    auto start = Clock::now();
    auto writer = vexa::ZipFileWriter::create();
    vexa::ZipHandle* zip = nullptr;
    if (writer->openFile(archive.c_str(), 0) != 0 || writer->getZipHandle(&zip) != 0)
        std::exit(1);
    vexa::ZipFileInfo info;
    info.version_madeby = 0x033F;
    info.flag = 0x0800;
    info.compression_method = level == 0 ? 0 : 8;
    info.modified_date = 1700000000;
    info.uncompressed_size = static_cast<int64_t>(fs::file_size(source));
    info.external_fa = 0x81A40000;
    info.filename = "data.txt";
    if (aes) {
        info.aes_version = 2;
        info.aes_strength = 3;
    }
    if (zip->entryWriteOpen(&info, static_cast<int16_t>(level), 0, aes ? "benchmark" : nullptr) !=
        0)
        std::exit(1);
    std::ifstream in(source, std::ios::binary);
    std::vector<char> buffer(chunk);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        auto n = static_cast<int32_t>(in.gcount());
        if (n > 0 && zip->entryWrite(buffer.data(), n) != n)
            std::exit(1);
    }
    if (zip->entryClose() != 0 || writer->close() != 0)
        std::exit(1);
    return seconds(start);
}

double readWithLayer(const fs::path& archive, const char* password) {
    auto start = Clock::now();
    auto reader = vexa::ZipFileReader::create();
    vexa::ZipHandle* zip = nullptr;
    if (reader->openFile(archive.c_str()) != 0 || reader->getZipHandle(&zip) != 0)
        std::exit(1);
    std::vector<char> buffer(chunk);
    for (int status = reader->gotoFirstEntry(); status == 0; status = reader->gotoNextEntry()) {
        if (zip->entryReadOpen(0, password) != 0)
            std::exit(1);
        // The engine checks every entry's CRC-32, as unzip does, so the figure includes it.
        uLong crc = crc32(0, nullptr, 0);
        int32_t n;
        while ((n = zip->entryRead(buffer.data(), static_cast<int32_t>(buffer.size()))) > 0)
            crc =
                crc32_z(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<size_t>(n));
        if (n < 0 || zip->entryReadClose(nullptr, nullptr, nullptr) != 0)
            std::exit(1);
        const vexa::ZipFileInfo* info = nullptr;
        if (reader->entryGetInfo(&info) != 0 || (info->aes_version != 2 && info->crc != crc))
            std::exit(1);
    }
    return seconds(start);
}

} // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    char pattern[] = "/tmp/vexa-zip-bench-XXXXXX";
    const char* folder = mkdtemp(pattern);
    if (folder == nullptr)
        return 1;
    const fs::path dir = folder;
    const fs::path source = dir / "data.txt";
    makeSource(source, megabytes << 20);
    const double mb = static_cast<double>(megabytes);
    const std::string quoted = "'" + dir.string() + "'";

    std::printf("%zu MB of text-like data; throughput in MB/s of uncompressed data; ratio > 1 "
                "means the layer is faster\n\n",
                megabytes);
    std::printf("%-22s %10s %10s %8s\n", "case", "layer", "Info-ZIP", "ratio");
    auto line = [&](const char* name, double ours, double theirs) {
        std::printf("%-22s %10.1f %10.1f %8.2f\n", name, mb / ours, mb / theirs, theirs / ours);
    };

    struct Case {
        const char* name;
        int level;
        bool aes;
        const char* zipOption;
    };
    for (Case c : {Case{"store", 0, false, "-0"}, Case{"deflate (level 6)", 6, false, "-6"},
                   Case{"AES-256 + deflate", 6, true, "-6"}}) {
        const fs::path ours = dir / "ours.zip";
        const fs::path theirs = dir / "theirs.zip";
        fs::remove(ours);
        fs::remove(theirs);
        double writeOurs = writeWithLayer(source, ours, c.level, c.aes);
        double writeTheirs =
            run("cd " + quoted + " && zip -q -X " + c.zipOption + " theirs.zip data.txt");
        line((std::string("write ") + c.name).c_str(), writeOurs, writeTheirs);
        // Reading: both programs read Info-ZIP's archive, except for AES, which only the
        // layer can read (set against unzip on the same data deflated).
        double readOurs = readWithLayer(c.aes ? ours : theirs, c.aes ? "benchmark" : nullptr);
        double readTheirs = run("unzip -p " + quoted + "/theirs.zip > /dev/null");
        line((std::string("read ") + c.name).c_str(), readOurs, readTheirs);
    }
    fs::remove_all(dir);
    return 0;
}
