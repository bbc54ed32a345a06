#include "engines/sevenzip/SevenZipReadBack.h"

#include "engines/sevenzip/SevenZipFolderData.h"
#include "engines/sevenzip/SevenZipFolderDecoding.h"
#include "engines/sevenzip/SevenZipOpening.h"
#include "engines/sevenzip/SevenZipReader.h"
#include "platform/Crc32.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace vexa {

namespace {

// A path met twice would hide the first entry from every later comparison.
void record(ReadBackEntries& entries, const ArchiveItem& item,
            std::optional<std::uint32_t> checksum) {
    if (!entries.emplace(item.path, std::make_pair(item, checksum)).second)
        entries[item.path].second.reset();
}

// Counts each file's bytes and keeps the CRC-32 that the decoding checked.
class ReadBackSink : public SevenZipFileSink {
  public:
    ReadBackSink(const SevenZipOpenArchive& open, Progress& progress, ReadBackEntries& entries,
                 std::mutex& mutex)
        : open_(open), progress_(progress), entries_(entries), mutex_(mutex) {}

    void begin(std::size_t file) override { file_ = file; }

    void data(const std::uint8_t*, std::size_t size) override {
        progress_.addCompletedUnits(static_cast<std::int64_t>(size));
    }

    void end(std::uint32_t crc) override {
        const auto& item = open_.entries[file_]->item;
        if (item.size == 0)
            progress_.addCompletedUnits(1);
        std::lock_guard lock(mutex_);
        record(entries_, item, crc);
    }

  private:
    const SevenZipOpenArchive& open_;
    Progress& progress_;
    ReadBackEntries& entries_;
    std::mutex& mutex_;
    std::size_t file_ = 0;
};

ReadBackEntries readSequentially(SevenZipOpenArchive open, Progress& progress) {
    ReadBackEntries entries;
    std::vector<unsigned char> buffer(256 * 1024);
    SevenZipReader reader(std::move(open), progress);
    while (auto entry = reader.next()) {
        std::optional<std::uint32_t> checksum;
        if (!entry->item.isDirectory) {
            std::uint32_t crc = 0;
            while (true) {
                progress.throwIfCancelled();
                const std::size_t count = reader.read(buffer.data(), buffer.size());
                if (count == 0)
                    break;
                crc = platform::crc32(crc, buffer.data(), static_cast<std::size_t>(count));
                progress.addCompletedUnits(static_cast<std::int64_t>(count));
            }
            checksum = static_cast<std::uint32_t>(crc);
        }
        if (entry->item.size == 0)
            progress.addCompletedUnits(1);
        record(entries, entry->item, checksum);
    }
    return entries;
}

} // namespace

ReadBackEntries readSevenZipBack(const std::vector<std::filesystem::path>& volumes,
                                 Progress& progress, const std::optional<std::string>& password) {
    auto open = openSevenZipArchive(volumes, password, true, progress);
    if (!open.decodable())
        return readSequentially(std::move(open), progress);

    // The archives Vexa writes decode here: their folders are read back at once, and the
    // CRC-32 each file is checked against is the one kept.
    ReadBackEntries entries;
    std::vector<std::size_t> withData;
    const auto empty = static_cast<std::uint32_t>(0);
    for (std::size_t file = 0; file < open.entries.size(); ++file) {
        const auto& entry = open.entries[file];
        if (!entry)
            continue;
        if (open.archive->fileStreams()[file]) {
            withData.push_back(file);
            continue;
        }
        if (entry->item.size == 0)
            progress.addCompletedUnits(1);
        record(entries, entry->item,
               entry->item.isDirectory ? std::nullopt : std::optional<std::uint32_t>(empty));
    }
    if (!withData.empty()) {
        const auto dataPassword = resolveSevenZipDataPassword(open, progress);
        std::mutex mutex;
        decodeSevenZipFiles(open, dataPassword, withData, progress, [&] {
            return std::make_unique<ReadBackSink>(open, progress, entries, mutex);
        });
    }
    progress.throwIfCancelled();
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
