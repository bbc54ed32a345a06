#include "ZstdStreamReader.h"

#include "TarReadFailure.h"

#include <cstring>
#include <zstd_errors.h>

namespace vexa::tar {

ZstdStreamReader::ZstdStreamReader(ByteSource& input)
    : input_(input), inputBuffer_(ZSTD_DStreamInSize()) {
    stream_ = ZSTD_createDStream();
    if (stream_ == nullptr)
        throw outOfMemory();
    if (ZSTD_isError(ZSTD_initDStream(stream_))) {
        ZSTD_freeDStream(stream_);
        throw outOfMemory();
    }
}

ZstdStreamReader::~ZstdStreamReader() {
    ZSTD_freeDStream(stream_);
}

bool ZstdStreamReader::hasMagic(const char* bytes, std::size_t count) {
    static constexpr unsigned char frame[] = {0x28, 0xB5, 0x2F, 0xFD};
    // Skippable frames (0x184D2A50 to 0x184D2A5F, little-endian) may lead a valid file.
    static constexpr unsigned char skippable[] = {0x2A, 0x4D, 0x18};
    if (count < sizeof frame)
        return false;
    return std::memcmp(bytes, frame, sizeof frame) == 0 ||
           ((static_cast<unsigned char>(bytes[0]) & 0xF0) == 0x50 &&
            std::memcmp(bytes + 1, skippable, sizeof skippable) == 0);
}

std::size_t ZstdStreamReader::decode(ZSTD_outBuffer& output) {
    std::size_t hint = ZSTD_decompressStream(stream_, &output, &pending_);
    if (ZSTD_isError(hint)) {
        if (ZSTD_getErrorCode(hint) == ZSTD_error_memory_allocation)
            throw outOfMemory();
        throw damagedArchive();
    }
    frameOpen_ = hint != 0;
    return hint;
}

std::size_t ZstdStreamReader::read(char* buffer, std::size_t capacity) {
    if (outputEnded_ || capacity == 0)
        return 0;
    ZSTD_outBuffer output{buffer, capacity, 0};
    while (output.pos < output.size) {
        if (pending_.pos == pending_.size && !inputEnded_) {
            std::size_t count = input_.read(inputBuffer_.data(), inputBuffer_.size());
            pending_ = {inputBuffer_.data(), count, 0};
            inputEnded_ = count == 0;
        }
        if (pending_.pos < pending_.size) {
            anyFrame_ = true;
            decode(output);
            continue;
        }
        // No input left: an empty file holds no frame; an open frame may still have output to
        // flush, and is truncated when it has none.
        if (!anyFrame_)
            throw damagedArchive();
        if (!frameOpen_) {
            outputEnded_ = true;
            break;
        }
        std::size_t before = output.pos;
        decode(output);
        if (output.pos == before) {
            if (frameOpen_)
                throw damagedArchive();
            outputEnded_ = true;
            break;
        }
    }
    return output.pos;
}

} // namespace vexa::tar
