#pragma once

#include "platform/Progress.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace vexa::files {

using Path = std::filesystem::path;

// What the progress of an operation says while it waits for another one's replacement.
inline constexpr const char* kWaitingForOtherEdit = "Esperando a que otra edición termine…";

// The one way a file the program wrote takes the place of the user's archive: every edit,
// creation, repair and save-as-single goes through it. It locks the archive (flock, on the
// file a link leads to) before anything is compared, so that two programs editing one archive
// take turns; it checks that the archive is still the one the operation began from; the new
// file is staged and verified by the caller in a work folder beside the target; right before
// the final rename the check runs once more, and the lock is held until the new file is in
// place. Another program that holds the lock is waited for, the progress saying so, until it
// lets go or the operation is cancelled.
class GuardedReplacement {
  public:
    // Throws the operation's own failure when a guarded file is no longer as the operation
    // found it.
    using Check = std::function<void()>;

    // Locks `target` when a file is there (a creation may find none), and each of `alsoLocked`
    // (the archive a copy is made from), runs `check`, then makes the work folder beside
    // `target`. Throws the cancellation error when cancelled while waiting.
    GuardedReplacement(const Path& target, Progress& progress, Check check = {},
                       const std::vector<Path>& alsoLocked = {});
    ~GuardedReplacement();
    GuardedReplacement(const GuardedReplacement&) = delete;
    GuardedReplacement& operator=(const GuardedReplacement&) = delete;

    // The work folder beside the target, removed with this object.
    const Path& folder() const { return folder_; }

    // Puts `staged`, a finished and verified item in folder(), at the target (or at
    // `destination`, a new place such as a folder of parts): polls the cancellation, runs the
    // check again, then replaces or moves in one rename. Nothing is changed when it throws.
    void place(const Path& staged);
    void place(const Path& staged, const Path& destination);

  private:
    struct Lock;

    Path target_;
    Progress& progress_;
    Check check_;
    std::vector<std::unique_ptr<Lock>> locks_;
    Path folder_;
};

} // namespace vexa::files
