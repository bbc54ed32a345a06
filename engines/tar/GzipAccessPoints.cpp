#include "GzipAccessPoints.h"

#include "TarReadFailure.h"
#include "platform/Crc32.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"
#include "platform/Processors.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <thread>
#include <unistd.h>

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
    StretchDecoder(int descriptor, const codec::InflateAccessPoint* point, std::int64_t size,
                   bool last, StretchResult& result)
        : descriptor_(descriptor), remaining_(size), last_(last), result_(result),
          input_(inputSize), decoder_(asTarDecoding([&] { return startDecoder(point); })) {}

    std::size_t read(char* buffer, std::size_t capacity) override {
        capacity = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(capacity), remaining_));
        if (capacity == 0) {
            finish();
            return 0;
        }
        io_.out = reinterpret_cast<std::uint8_t*>(buffer);
        io_.outSize = capacity;
        while (io_.outSize > 0 && !ended_) {
            if (io_.inSize == 0)
                refill();
            ended_ = decodeStep();
        }
        std::size_t count = capacity - io_.outSize;
        crc_ = platform::crc32(crc_, buffer, count);
        remaining_ -= static_cast<std::int64_t>(count);
        if (count == 0)
            throw damagedArchive(); // the data ended before the stretch did
        return count;
    }

  private:
    std::unique_ptr<codec::BlockInflateDecoder>
    startDecoder(const codec::InflateAccessPoint* point) {
        if (point == nullptr)
            return std::make_unique<codec::BlockInflateDecoder>(
                codec::InflateDecoder::Framing::gzip);
        position_ = point->input;
        unsigned char byte = 0;
        if (point->bits > 0 &&
            ::pread(descriptor_, &byte, 1, static_cast<off_t>(point->input - 1)) != 1)
            throw damagedArchive();
        return std::make_unique<codec::BlockInflateDecoder>(*point, byte);
    }

    // One decoding step over the input held; true once the deflate data has ended.
    bool decodeStep() {
        const std::size_t offered = io_.inSize;
        const std::size_t room = io_.outSize;
        const bool end = asTarDecoding([&] { return decoder_->decode(io_, false); });
        if (!end && io_.inSize == offered && io_.outSize == room)
            throw damagedArchive();
        return end;
    }

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
        io_.in = input_.data();
        io_.inSize = static_cast<std::size_t>(count);
    }

    void finish() {
        if (done_)
            return;
        done_ = true;
        if (last_) {
            // The deflate data must end exactly here, followed by the trailer.
            if (!ended_) {
                std::uint8_t probe = 0;
                io_.out = &probe;
                io_.outSize = 1;
                while (!ended_) {
                    if (io_.inSize == 0)
                        refill();
                    ended_ = decodeStep();
                    if (io_.outSize == 0)
                        throw damagedArchive();
                }
            }
            std::array<std::uint8_t, 8> trailer{};
            std::size_t have = std::min<std::size_t>(io_.inSize, trailer.size());
            std::copy_n(io_.in, have, trailer.begin());
            if (have < trailer.size() &&
                ::pread(descriptor_, trailer.data() + have, trailer.size() - have,
                        static_cast<off_t>(position_)) !=
                    static_cast<ssize_t>(trailer.size() - have))
                throw damagedArchive();
            const codec::GzipTrailer read = codec::GzipTrailer::from(trailer);
            result_.trailerCrc = read.crc;
            result_.trailerSize = read.size;
        }
        result_.crc = crc_;
        result_.decoded = true;
    }

    int descriptor_;
    std::int64_t remaining_;
    bool last_;
    StretchResult& result_;
    std::vector<std::uint8_t> input_;
    std::int64_t position_ = 0;
    std::unique_ptr<codec::BlockInflateDecoder> decoder_;
    codec::CodecBuffers io_;
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
        const codec::InflateAccessPoint* point = i == 0 ? nullptr : &points.points[i - 1];
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
        std::uint32_t crc = results.front().crc;
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
