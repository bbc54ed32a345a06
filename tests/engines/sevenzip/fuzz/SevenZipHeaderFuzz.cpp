// Fuzz entry for the 7z container reader: any bytes as an archive, its header read (and
// decrypted with a fixed password), then every folder decoded, output per input capped so that
// bombs stay cheap. Only the container's own failures may come out.
#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/container/SevenZipArchive.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

constexpr std::size_t outputCap = 8 << 20;

class MemoryInput : public vexa::sevenzip::SevenZipInput {
  public:
    MemoryInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint64_t size() const override { return size_; }
    void readAt(std::uint64_t offset, void* buffer, std::size_t size) const override {
        // The reader checks every range against size() first: one outside is a bug.
        if (offset > size_ || size > size_ - offset)
            throw std::logic_error("read outside the archive");
        std::memcpy(buffer, data_ + offset, size);
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto input = std::make_shared<MemoryInput>(data, size);
    vexa::Progress progress;
    std::size_t budget = outputCap;
    static std::uint8_t buffer[16384];
    try {
        const vexa::sevenzip::SevenZipArchive archive(input, std::string("pw"), progress);
        for (std::size_t folder = 0; folder < archive.folderCount() && budget > 0; ++folder) {
            if (!archive.folderDecodable(folder))
                continue;
            archive.folderMemory(folder);
            try {
                auto reader = archive.openFolder(folder, std::string("pw"));
                std::size_t count = 0;
                while (budget > 0 && (count = reader->read(buffer, sizeof buffer)) > 0)
                    budget -= std::min(budget, count);
            } catch (const vexa::sevenzip::SevenZipDataError&) {
            } catch (const vexa::ArchiveFailure&) {
            }
        }
    } catch (const vexa::ArchiveFailure&) {
    }
    return 0;
}
