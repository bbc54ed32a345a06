#pragma once

#include "platform/Progress.h"

#include <cstdint>
#include <exception>
#include <filesystem>

namespace vexa {

// Receives the data of the entry being tested. With a file, the bytes are written to it up to
// `limit` (the listed size); without one they are folded into `crc` when `tally` is set, or
// dropped. The bridge only borrows the context; its reader owns it.
struct RARStreamContext {
    explicit RARStreamContext(Progress& progress) : progress(progress) {}

    Progress& progress;
    int file = -1; // descriptor of the file being written, -1 when only testing
    std::filesystem::path filePath;
    std::int64_t written = 0;
    std::int64_t limit = 0;
    bool tally = false;
    std::uint32_t crc = 0;
    // The first failure met inside the callback; the reader reports it after the library call.
    std::exception_ptr error;

    // 1 to go on, -1 to stop the library.
    std::int32_t receive(const std::uint8_t* data, std::int32_t length) noexcept;
};

// The bridge's data callback; `user` is a RARStreamContext.
extern "C" std::int32_t rarStreamCallback(void* user, const std::uint8_t* data,
                                          std::int32_t length);

} // namespace vexa
