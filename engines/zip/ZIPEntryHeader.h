#pragma once

#include "engines/zip/container/WinZipAes.h"
#include "engines/zip/container/ZipFileInfo.h"
#include "platform/FileOperations.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexa {

// The header of a new entry for an item with `attributes`: Unix host, UTF-8 name, deflate when
// `useCompression` (else stored), the item's modification time and permissions. A file also
// gets its expected size and, when `encrypted`, AES-256 (AE-2); a folder is never encrypted.
ZipFileInfo newEntryHeader(const files::FileAttributes& attributes, bool useCompression,
                           bool encrypted);

// The WinZip AES strength of new entries: 3, keys of 256 bits.
inline constexpr int newEntryAesStrength = 3;
// Starts `aes` for a new entry's data under `password` with a fresh salt, and puts the salt and
// the password verifier that go before the data into `start` (32 bytes at least); answers their
// length. A failure of the cipher is the container's crypt status (ZIPArchiveEngine::check).
std::size_t startNewEntryAes(WinZipAes& aes, const std::string& password, std::uint8_t* start);

} // namespace vexa
