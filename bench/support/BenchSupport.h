#pragma once

// What the benchmarks share: sample data, timing, the peak memory and a scratch folder.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vexa::bench {

inline long peakResidentKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

inline double peakResidentMegabytes() {
    return static_cast<double>(peakResidentKilobytes()) / 1024.0;
}

// Half text-like, half noise, always the same: the decoders have work to do on both.
inline void writeSample(const std::filesystem::path& location, std::size_t megabytes) {
    std::ofstream out(location, std::ios::binary);
    std::mt19937 generator(42);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < megabytes; ++i) {
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

inline bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// A new folder in the temporary folder named `prefix` + a unique tail; empty on failure.
inline std::filesystem::path makeWorkFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr)
        return {};
    return pattern;
}

// The size argument in megabytes, or `fallback` when none is given.
inline std::size_t megabytesArgument(int argc, char** argv, std::size_t fallback) {
    return argc > 1 ? std::strtoul(argv[1], nullptr, 10) : fallback;
}

// Text-like words or pure noise, `bytes` long, drawn from `generator`: comparisons against
// another tool need both sides to see the same mix.
inline void writeMixedSample(const std::filesystem::path& location, std::size_t bytes,
                             bool compressible, std::mt19937& generator) {
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

inline constexpr std::size_t kMixedFileBytes = 8u << 20;

// Files of kMixedFileBytes in `folder`, alternately text-like and noise, until `megabytes` are
// reached; returns the bytes written.
inline std::size_t writeMixedFolder(const std::filesystem::path& folder, std::size_t megabytes,
                                    std::mt19937& generator) {
    std::filesystem::create_directories(folder);
    std::size_t total = 0;
    for (int i = 0; total < megabytes << 20; ++i, total += kMixedFileBytes)
        writeMixedSample(folder / ("part" + std::to_string(i) + ".bin"), kMixedFileBytes,
                         i % 2 == 0, generator);
    return total;
}

struct Measurement {
    double seconds = 0;
    long peakKilobytes = 0;
    bool ok = false;
};

// Runs `work` in a child process, so the peak memory is its own; its exit status says whether
// it succeeded.
inline Measurement measureInChild(const std::function<bool()>& work) {
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

// False, with the reason on stderr, when `work` throws.
inline bool succeeds(const std::function<void()>& work) {
    try {
        work();
        return true;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return false;
    }
}

// Our engine's figures beside the other tool's, for `megabytes` of data.
inline void reportAgainst(const char* what, double megabytes, const Measurement& engine,
                          const char* tool, const Measurement& other) {
    std::printf("%s\n", what);
    std::printf("  %-6s: %7.2f s %9.1f MB/s  peak %6ld KiB%s\n", "engine", engine.seconds,
                megabytes / engine.seconds, engine.peakKilobytes, engine.ok ? "" : "  FAILED");
    std::printf("  %-6s: %7.2f s %9.1f MB/s  peak %6ld KiB%s\n", tool, other.seconds,
                megabytes / other.seconds, other.peakKilobytes, other.ok ? "" : "  FAILED");
    std::printf("  time ratio engine/%s: %.2f\n", tool, engine.seconds / other.seconds);
}

} // namespace vexa::bench
