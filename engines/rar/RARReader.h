#pragma once

#include "core/archive/ArchiveItem.h"
#include "engines/rar/RARChildSession.h"
#include "engines/rar/RARStreamContext.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// One open archive, walked by the reading child (RARChildSession) along `plan`, and the
// context that receives its data. While a reader exists it holds the process-wide RAR lock, so
// an operation must release one reader before it opens the next. After nextEntry gave an
// entry, exactly one processEntry must follow before the next nextEntry.
class RARReader {
  public:
    // Throws the mapped failure, or CancellationError when the progress is cancelled.
    RARReader(const std::filesystem::path& archive, std::optional<std::string> password,
              Progress& progress, const RARWalkPlan& plan = {});
    ~RARReader();
    RARReader(const RARReader&) = delete;
    RARReader& operator=(const RARReader&) = delete;

    // The next entry, or none at the end. A file continued from an earlier volume is skipped,
    // so each file is seen once; folders end with "/" and have size 0; compressedSize is -1
    // for a file that continues in the next volume.
    std::optional<ArchiveItem> nextEntry(Progress& progress);

    // The current entry's test (data flows to the context) or skip, as the plan chose, then
    // reports, in this order, a failure stored by the context, cancellation, a missing volume,
    // the bridge code.
    void processEntry();

    // Throws missingVolume with the absent volume's file name for code 1003.
    void missingVolumeError(std::int32_t code);

    // The current entry's permission bits (0644 when not made on Unix) and modification time
    // (seconds since 1970 UTC, 0 when unknown).
    std::uint32_t entryMode() const { return header_.mode; }
    std::int64_t entryModificationTime() const { return header_.modificationTime; }
    // The volumes opened after the first one so far, each once.
    const std::vector<std::string>& volumes() const;
    bool hasRecoveryRecord() const { return sessions_.front()->hasRecoveryRecord(); }
    bool isLocked() const { return sessions_.front()->isLocked(); }

    RARStreamContext& context() { return *context_; }
    const std::optional<std::string>& password() const { return password_; }

  private:
    std::unique_lock<std::mutex> lock_;
    std::unique_ptr<RARStreamContext> context_;
    std::optional<std::string> password_;
    // One walker, or several sharing the tests of an archive that is not solid.
    std::vector<std::unique_ptr<RARChildSession>> sessions_;
    RARChildSession::Header header_;
    static constexpr std::size_t noOwner = SIZE_MAX;
    std::size_t owner_ = noOwner;
    std::uint64_t ordinal_ = 0;
};

// Throws the ArchiveFailure for a bridge code; nothing for 0. Code 12 (bad data) reads as a
// wrong password when a password was given.
void throwRARError(std::int32_t code, const std::optional<std::string>& password);

} // namespace vexa
