#include "engines/sevenzip/SevenZipReadBack.h"

#include "engines/sevenzip/SevenZipReader.h"

#include <algorithm>
#include <vector>
#include <zlib.h>

namespace vexa {

ReadBackEntries readSevenZipBack(const std::vector<std::filesystem::path>& volumes,
                                 Progress& progress, const std::optional<std::string>& password) {
    ReadBackEntries entries;
    std::vector<unsigned char> buffer(256 * 1024);
    SevenZipReader reader(volumes, progress, password, true);
    while (auto entry = reader.next()) {
        std::optional<std::uint32_t> checksum;
        if (!entry->item.isDirectory) {
            uLong crc = ::crc32(0L, Z_NULL, 0);
            while (true) {
                progress.throwIfCancelled();
                const std::size_t count = reader.read(buffer.data(), buffer.size());
                if (count == 0)
                    break;
                crc = ::crc32(crc, buffer.data(), static_cast<uInt>(count));
                progress.addCompletedUnits(static_cast<std::int64_t>(count));
            }
            checksum = static_cast<std::uint32_t>(crc);
        }
        if (entry->item.size == 0)
            progress.addCompletedUnits(1);
        // A path met twice would hide the first entry from every later comparison.
        if (!entries.emplace(entry->item.path, std::make_pair(entry->item, checksum)).second)
            entries[entry->item.path].second.reset();
    }
    return entries;
}

bool sameSevenZipContent(const ReadBackEntries& expected, const ReadBackEntries& actual) {
    return std::equal(expected.begin(), expected.end(), actual.begin(), actual.end(),
                      [](const auto& a, const auto& b) {
                          return a.first == b.first &&
                                 a.second.first.isDirectory == b.second.first.isDirectory &&
                                 a.second.first.size == b.second.first.size &&
                                 a.second.second == b.second.second;
                      });
}

} // namespace vexa
