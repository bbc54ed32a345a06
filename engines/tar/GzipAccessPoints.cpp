#include "GzipAccessPoints.h"

#include "TarReadFailure.h"
#include "platform/Crc32.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"
#include "platform/Processors.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace vexa::tar {

namespace {

constexpr std::size_t inputSize = 256 * 1024;
constexpr std::size_t maximumThreads = 8;

// What a decoded stretch found, for the check against the trailer.
struct StretchResult {
    bool decoded = false;
    std::uint32_t crc = 0;
    // The last stretch: the member's trailer.
    std::uint32_t trailerCrc = 0;
    std::uint32_t trailerSize = 0;
};

// Decodes one stretch: from the file's start through the gzip header, or raw deflate data
// from an access point, until `size` bytes; the last stretch goes on to the member's end and
// reads its trailer.
class StretchDecoder : public ByteSource {
  public:
    StretchDecoder(int descriptor, const GzipAccessPoint* point, std::int64_t size, bool last,
                   StretchResult& result)
        : descriptor_(descriptor), remaining_(size), last_(last), result_(result),
          input_(inputSize) {
        int status = inflateInit2(&stream_, point == nullptr ? 15 + 16 : -15);
        if (status == Z_MEM_ERROR)
            throw outOfMemory();
        if (status != Z_OK)
            throw damagedArchive();
        initialised_ = true;
        if (point == nullptr)
            return;
        position_ = point->input;
        if (point->bits > 0) {
            unsigned char byte = 0;
            if (::pread(descriptor_, &byte, 1, static_cast<off_t>(point->input - 1)) != 1)
                throw damagedArchive();
            if (inflatePrime(&stream_, point->bits, byte >> (8 - point->bits)) != Z_OK)
                throw damagedArchive();
        }
        if (inflateSetDictionary(&stream_, point->window.data(),
                                 static_cast<uInt>(point->window.size())) != Z_OK)
            throw damagedArchive();
    }

    ~StretchDecoder() override {
        if (initialised_)
            inflateEnd(&stream_);
    }

    std::size_t read(char* buffer, std::size_t capacity) override {
        capacity = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(capacity), remaining_));
        if (capacity == 0) {
            finish();
            return 0;
        }
        stream_.next_out = reinterpret_cast<Bytef*>(buffer);
        stream_.avail_out = static_cast<uInt>(capacity);
        while (stream_.avail_out > 0) {
            if (stream_.avail_in == 0)
                refill();
            int status = inflate(&stream_, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                ended_ = true;
                break;
            }
            if (status == Z_MEM_ERROR)
                throw outOfMemory();
            if (status != Z_OK)
                throw damagedArchive();
        }
        std::size_t count = capacity - stream_.avail_out;
        crc_ = platform::crc32(crc_, buffer, count);
        remaining_ -= static_cast<std::int64_t>(count);
        if (count == 0)
            throw damagedArchive(); // the data ended before the stretch did
        return count;
    }

  private:
    void refill() {
        ssize_t count = 0;
        do
            count =
                ::pread(descriptor_, input_.data(), input_.size(), static_cast<off_t>(position_));
        while (count < 0 && errno == EINTR);
        if (count < 0)
            throw readFailure(descriptor_, errno);
        if (count == 0)
            throw damagedArchive();
        position_ += count;
        stream_.next_in = input_.data();
        stream_.avail_in = static_cast<uInt>(count);
    }

    void finish() {
        if (done_)
            return;
        done_ = true;
        if (last_) {
            // The deflate data must end exactly here, followed by the trailer.
            if (!ended_) {
                unsigned char probe = 0;
                stream_.next_out = &probe;
                stream_.avail_out = 1;
                for (;;) {
                    if (stream_.avail_in == 0)
                        refill();
                    int status = inflate(&stream_, Z_NO_FLUSH);
                    if (status == Z_STREAM_END && stream_.avail_out == 1)
                        break;
                    if (status != Z_OK || stream_.avail_out == 0)
                        throw damagedArchive();
                }
            }
            unsigned char trailer[8];
            std::size_t have = std::min<std::size_t>(stream_.avail_in, 8);
            std::copy_n(stream_.next_in, have, trailer);
            if (have < 8 &&
                ::pread(descriptor_, trailer + have, 8 - have, static_cast<off_t>(position_)) !=
                    static_cast<ssize_t>(8 - have))
                throw damagedArchive();
            auto word = [&](int at) {
                return static_cast<std::uint32_t>(trailer[at]) |
                       static_cast<std::uint32_t>(trailer[at + 1]) << 8 |
                       static_cast<std::uint32_t>(trailer[at + 2]) << 16 |
                       static_cast<std::uint32_t>(trailer[at + 3]) << 24;
            };
            result_.trailerCrc = word(0);
            result_.trailerSize = word(4);
        }
        result_.crc = crc_;
        result_.decoded = true;
    }

    int descriptor_;
    std::int64_t remaining_;
    bool last_;
    StretchResult& result_;
    std::vector<unsigned char> input_;
    z_stream stream_{};
    bool initialised_ = false;
    std::int64_t position_ = 0;
    std::uint32_t crc_ = 0;
    bool ended_ = false;
    bool done_ = false;
};

} // namespace

bool extractGzipPieces(const std::filesystem::path& archive, const GzipAccessPoints& points,
                       const std::vector<PlacedEntry>& entries, const ExtractionTree& tree,
                       Progress& progress) {
    if (points.points.empty())
        return false;
    files::FileDescriptor file(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        throw PlatformError::fromErrno(errno, archive.string(), false);
    int descriptor = file.get();
    std::size_t count = points.points.size() + 1;
    std::vector<StretchResult> results(count);
    std::vector<DecodedPiece> pieces;
    for (std::size_t i = 0; i < count; ++i) {
        const GzipAccessPoint* point = i == 0 ? nullptr : &points.points[i - 1];
        std::int64_t start = point == nullptr ? 0 : point->output;
        std::int64_t end = i + 1 < count ? points.points[i].output : points.decodedSize;
        bool last = i + 1 == count;
        StretchResult* result = &results[i];
        pieces.push_back({start, end - start, [descriptor, point, start, end, last, result] {
                              return std::make_unique<StretchDecoder>(descriptor, point,
                                                                      end - start, last, *result);
                          }});
    }
    std::size_t threads = std::min<std::size_t>(platform::usableCores(), maximumThreads);
    if (!extractPieces(entries, std::move(pieces), threads, tree, progress))
        return false;
    // A whole extraction decoded every stretch: the member's checks then hold for them all.
    if (std::all_of(results.begin(), results.end(),
                    [](const StretchResult& result) { return result.decoded; })) {
        uLong crc = results.front().crc;
        for (std::size_t i = 1; i < count; ++i) {
            std::int64_t end = i + 1 < count ? points.points[i].output : points.decodedSize;
            crc = platform::crc32Combine(crc, results[i].crc, end - points.points[i - 1].output);
        }
        if (crc != results.back().trailerCrc ||
            static_cast<std::uint32_t>(points.decodedSize) != results.back().trailerSize)
            throw damagedArchive();
    }
    return true;
}

} // namespace vexa::tar
