#include "engines/sevenzip/container/SevenZipHeader.h"

#include "engines/sevenzip/container/SevenZipFormat.h"

#include <algorithm>
#include <numeric>

namespace vexa::sevenzip {

std::uint64_t Folder::totalInStreams() const {
    return std::accumulate(coders.begin(), coders.end(), std::uint64_t{0},
                           [](std::uint64_t sum, const Coder& c) { return sum + c.inStreams; });
}

std::uint64_t Folder::totalOutStreams() const {
    return std::accumulate(coders.begin(), coders.end(), std::uint64_t{0},
                           [](std::uint64_t sum, const Coder& c) { return sum + c.outStreams; });
}

std::optional<std::uint64_t> Folder::mainOutStream() const {
    const std::uint64_t outs = totalOutStreams();
    for (std::uint64_t index = 0; index < outs; ++index)
        if (std::none_of(bindPairs.begin(), bindPairs.end(),
                         [&](const BindPair& pair) { return pair.outIndex == index; }))
            return index;
    return std::nullopt;
}

std::uint64_t Folder::unpackSize() const {
    const auto main = mainOutStream();
    return main && *main < unpackSizes.size() ? unpackSizes[*main] : 0;
}

bool FileEntry::isDirectory() const {
    return !hasStream && !emptyFile;
}

std::optional<std::uint32_t> FileEntry::unixMode() const {
    if (!attributes || !(*attributes & attribute::unixExtension))
        return std::nullopt;
    return *attributes >> 16;
}

} // namespace vexa::sevenzip
