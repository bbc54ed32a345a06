#include "PlacedStream.h"

#include "core/archive/ArchiveFailure.h"
#include "platform/Crc32.h"

#include <algorithm>

namespace vexa::tar {

namespace {

// The decoded stream as the borrowed spans of its source, consumed in order.
class Cursor {
  public:
    explicit Cursor(LendingSource& stream) : stream_(stream) {}

    std::int64_t position() const { return position_; }

    // Hands the next `count` bytes to `use` in pieces; an archive that ends before changed.
    template <typename Use> void take(std::int64_t count, Use&& use) {
        while (count > 0) {
            if (left_ == 0 && (left_ = stream_.lend(&data_)) == 0)
                throw ArchiveFailure::archiveChanged();
            std::size_t step = static_cast<std::size_t>(
                std::min<std::int64_t>(count, static_cast<std::int64_t>(left_)));
            use(data_, step);
            data_ += step;
            left_ -= step;
            count -= static_cast<std::int64_t>(step);
            position_ += static_cast<std::int64_t>(step);
        }
    }

  private:
    LendingSource& stream_;
    const char* data_ = nullptr;
    std::size_t left_ = 0;
    std::int64_t position_ = 0;
};

} // namespace

void extractAlongPlaces(LendingSource& stream, const std::vector<ArchiveItem>& entries,
                        const TarPlacements& places, const ChosenName& chosen, std::size_t wanted,
                        ExtractionTree& tree, ExtractionWriters& writers, Progress& progress) {
    Cursor cursor(stream);
    auto skip = [](const char*, std::size_t) {};
    for (std::size_t i = 0; i < entries.size() && wanted > 0; ++i) {
        std::optional<std::string> relative = chosen(entries[i]);
        if (!relative)
            continue;
        progress.throwIfCancelled();
        const ArchiveItem& item = entries[i];
        const TarPlacement& place = places[i];
        if (place.headerOffset < cursor.position())
            throw ArchiveFailure::archiveChanged();
        cursor.take(place.headerOffset - cursor.position(), skip);
        std::uint32_t crc = 0;
        cursor.take(
            place.dataOffset - place.headerOffset,
            [&](const char* data, std::size_t count) { crc = platform::crc32(crc, data, count); });
        if (crc != place.headerCrc)
            throw ArchiveFailure::archiveChanged();
        --wanted;
        if (item.isDirectory) {
            tree.makeFolders(*relative);
            progress.addCompletedUnits(1);
            continue;
        }
        tree.makeParentFolders(*relative);
        writers.begin(std::move(*relative), place.permissions, place.modificationTime, item.size);
        cursor.take(item.size, [&](const char* data, std::size_t count) {
            progress.throwIfCancelled();
            progress.addCompletedUnits(static_cast<std::int64_t>(count));
            while (count > 0) {
                std::size_t room = 0;
                char* buffer = writers.reserve(count, room);
                std::copy_n(data, room, buffer);
                writers.commit(room);
                data += room;
                count -= room;
            }
        });
        if (item.size == 0)
            progress.addCompletedUnits(1);
        writers.end();
    }
    writers.finish();
}

} // namespace vexa::tar
