#pragma once

#include "core/archive/ArchiveItem.h"
#include "engines/rar/RARBridge.h"
#include "engines/rar/RARStreamContext.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vexa {

// One open bridge handle and the context that receives its data. While a reader exists it
// holds the process-wide RAR lock, so an operation must release one reader before it opens
// the next. After nextEntry gave an entry, exactly one processEntry (or bridge process call)
// must follow before the next nextEntry.
class RARReader {
  public:
    // Throws the mapped failure, or CancellationError when the progress is cancelled.
    RARReader(const std::filesystem::path& archive, std::optional<std::string> password,
              Progress& progress);
    ~RARReader();
    RARReader(const RARReader&) = delete;
    RARReader& operator=(const RARReader&) = delete;

    // The next entry, or none at the end. A file continued from an earlier volume is skipped,
    // so each file is seen once; folders end with "/" and have size 0; compressedSize is -1
    // for a file that continues in the next volume.
    std::optional<ArchiveItem> nextEntry(Progress& progress);

    // Tests (data flows to the context) or skips the current entry, then reports, in this
    // order, a failure stored by the context, cancellation, a missing volume, the bridge code.
    void processEntry(bool test);

    // Throws missingVolume with the absent volume's file name for code 1003.
    void missingVolumeError(std::int32_t code);

    VXRarHandle* handle() const { return handle_; }
    RARStreamContext& context() { return *context_; }
    const std::optional<std::string>& password() const { return password_; }

  private:
    std::unique_ptr<RARStreamContext> context_;
    std::optional<std::string> password_;
    VXRarHandle* handle_ = nullptr;
};

// Throws the ArchiveFailure for a bridge code; nothing for 0. Code 12 (bad data) reads as a
// wrong password when a password was given.
void throwRARError(std::int32_t code, const std::optional<std::string>& password);

} // namespace vexa
