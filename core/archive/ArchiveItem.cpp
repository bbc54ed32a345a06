#include "core/archive/ArchiveItem.h"

namespace {

// The boost::hash_combine mix: cheap, and order-sensitive so that swapped sizes differ.
void combine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

} // namespace

std::size_t std::hash<vexa::ArchiveItem>::operator()(const vexa::ArchiveItem& item) const noexcept {
    std::size_t seed = std::hash<std::string>{}(item.path);
    combine(seed, std::hash<std::int64_t>{}(item.size));
    combine(seed, std::hash<std::int64_t>{}(item.compressedSize));
    combine(seed, std::hash<bool>{}(item.isDirectory));
    combine(seed, std::hash<bool>{}(item.isEncrypted));
    return seed;
}
