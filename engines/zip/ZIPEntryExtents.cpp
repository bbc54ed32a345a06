#include "core/archive/ArchiveFailure.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPReader.h"
#include "engines/zip/container/ZipStatus.h"

#include <algorithm>
#include <numeric>

namespace vexa {

void ZIPArchiveEngine::checkExtents(ZIPReader& reader, const std::vector<EntryExtent>& extents,
                                    const std::vector<ArchiveItem>& items) {
    std::uint64_t directory = 0;
    check(reader.zip->getSetPosition(0, 0, true, &directory));
    struct Placed {
        std::uint64_t start;
        std::uint64_t end;
        std::size_t item;
    };
    std::vector<Placed> placed;
    placed.reserve(extents.size());
    for (std::size_t i = 0; i < extents.size(); ++i) {
        std::uint64_t start = 0, end = 0;
        if (reader.zip->getSetPosition(extents[i].disk, extents[i].offset, false, &start) !=
                zipstatus::ok ||
            __builtin_add_overflow(start, extents[i].span, &end) || end > directory)
            throw ArchiveFailure::corrupt(items[i].path);
        placed.push_back({start, end, i});
    }
    const auto before = [](const Placed& a, const Placed& b) {
        return a.start != b.start ? a.start < b.start : a.item < b.item;
    };
    // Writers lay entries out in the directory's order, so the sort is mostly not needed.
    if (!std::is_sorted(placed.begin(), placed.end(), before))
        std::sort(placed.begin(), placed.end(), before);
    for (std::size_t i = 1; i < placed.size(); ++i)
        if (placed[i].start < placed[i - 1].end)
            throw ArchiveFailure::corrupt(items[std::max(placed[i].item, placed[i - 1].item)].path);
}

} // namespace vexa
