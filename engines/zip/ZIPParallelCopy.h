#pragma once

#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>

namespace vexa {

class ZipHandle;

// Copies the `size` stored bytes of the entry open on `zip` (one that ZipHandle::entryReadAt
// serves) to the start of `fd`, in pieces that `threads` threads read, check and write at their
// own offsets, and answers the CRC-32 of them all. Each written piece is added to the progress
// object, which is polled before every piece. A failure is the one a single pass would meet
// first: the earliest failing piece's, a short archive being corrupt("ZIP (código -101)").
std::uint32_t copyStoredInParallel(ZipHandle& zip, std::int64_t size, int fd,
                                   const std::filesystem::path& location, Progress& progress,
                                   unsigned threads);

} // namespace vexa
