#pragma once

// What the reading benchmarks share: sample data, timing, the peak memory and a scratch folder.

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
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

} // namespace vexa::bench
