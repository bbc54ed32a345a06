#include "engines/rar/RARStreamContext.h"

#include "core/archive/ArchiveFailure.h"
#include "platform/Crc32.h"
#include "platform/FileOperations.h"

namespace vexa {

std::int32_t RARStreamContext::receive(const std::uint8_t* data, std::int32_t length) noexcept {
    if (progress.isCancelled())
        return -1;
    // The bridge probes with no data before every library callback.
    if (length < 1 || data == nullptr)
        return 1;
    if (file >= 0) {
        if (limit - written < length) {
            error = std::make_exception_ptr(ArchiveFailure::corrupt("RAR"));
            return -1;
        }
        try {
            files::writeAll(file, data, static_cast<std::size_t>(length), filePath);
        } catch (...) {
            error = std::current_exception();
            return -1;
        }
        written += length;
        progress.addCompletedUnits(length);
        return 1;
    }
    if (tally) {
        crc = platform::crc32(crc, data, static_cast<std::size_t>(length));
        progress.addCompletedUnits(length);
    }
    return 1;
}

extern "C" std::int32_t rarStreamCallback(void* user, const std::uint8_t* data,
                                          std::int32_t length) {
    if (user == nullptr)
        return -1;
    return static_cast<RARStreamContext*>(user)->receive(data, length);
}

} // namespace vexa
