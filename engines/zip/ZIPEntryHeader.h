#pragma once

#include "engines/zip/container/ZipFileInfo.h"
#include "platform/FileOperations.h"

namespace vexa {

// The header of a new entry for an item with `attributes`: Unix host, UTF-8 name, deflate when
// `useCompression` (else stored), the item's modification time and permissions. A file also
// gets its expected size and, when `encrypted`, AES-256 (AE-2); a folder is never encrypted.
ZipFileInfo newEntryHeader(const files::FileAttributes& attributes, bool useCompression,
                           bool encrypted);

} // namespace vexa
