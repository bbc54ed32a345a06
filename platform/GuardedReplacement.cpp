#include "platform/GuardedReplacement.h"

#include "platform/FileOperations.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace vexa::files {

namespace {

using namespace std::chrono_literals;

constexpr auto waitStep = 50ms;

// A lock is per open file, so a second lock of one file by the same thread (a save-as-single
// that runs a creation onto the same destination) would wait for itself; it shares the first.
using LockKey = std::tuple<dev_t, ino_t, std::thread::id>;

struct HeldLock {
    int descriptor = -1;
    int users = 0;
};

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<LockKey, HeldLock>& registry() {
    static std::map<LockKey, HeldLock> locks;
    return locks;
}

// Says what the operation waits for while it waits, and stops saying it afterwards.
class WaitingNote {
  public:
    explicit WaitingNote(Progress& progress) : progress_(progress) {}
    ~WaitingNote() {
        if (shown_)
            progress_.setAdditionalDescription({});
    }
    WaitingNote(const WaitingNote&) = delete;
    WaitingNote& operator=(const WaitingNote&) = delete;
    void show() {
        if (!shown_)
            progress_.setAdditionalDescription(kWaitingForOtherEdit);
        shown_ = true;
    }

  private:
    Progress& progress_;
    bool shown_ = false;
};

} // namespace

struct GuardedReplacement::Lock {
    LockKey key;
    ~Lock() {
        const std::lock_guard guard(registryMutex());
        const auto found = registry().find(key);
        if (found != registry().end() && --found->second.users == 0) {
            ::close(found->second.descriptor);
            registry().erase(found);
        }
    }

    // Locks the regular file at `location` (through links); none when nothing is there or it
    // cannot be opened, so nothing can be guarded.
    static std::unique_ptr<Lock> take(const Path& location, Progress& progress) {
        const Path real = paths::resolvingSymlinks(location);
        WaitingNote note(progress);
        for (;;) {
            FileDescriptor file(::open(real.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            if (file.get() < 0)
                return nullptr;
            struct stat opened {};
            if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
                return nullptr;
            auto lock = std::make_unique<Lock>();
            lock->key = {opened.st_dev, opened.st_ino, std::this_thread::get_id()};
            {
                const std::lock_guard guard(registryMutex());
                if (const auto found = registry().find(lock->key); found != registry().end()) {
                    ++found->second.users;
                    return lock;
                }
            }
            while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
                if (errno == EINTR)
                    continue;
                if (errno != EWOULDBLOCK)
                    return nullptr; // a file system without locks: unguarded, as before
                note.show();
                progress.throwIfCancelled();
                std::this_thread::sleep_for(waitStep);
            }
            // The holder may have put a new file in the old one's place: that one is locked
            // next, and the old one, locked now, is no longer the archive.
            struct stat now {};
            if (::stat(real.c_str(), &now) != 0 || now.st_ino != opened.st_ino ||
                now.st_dev != opened.st_dev)
                continue;
            const std::lock_guard guard(registryMutex());
            registry()[lock->key] = HeldLock{file.release(), 1};
            return lock;
        }
    }
};

GuardedReplacement::GuardedReplacement(const Path& target, Progress& progress, Check check,
                                       const std::vector<Path>& alsoLocked)
    : target_(target), progress_(progress), check_(std::move(check)) {
    // One order for every program, so that two of them locking the same pair never wait for
    // each other.
    std::vector<Path> locked{paths::resolvingSymlinks(target)};
    for (const Path& other : alsoLocked)
        locked.push_back(paths::resolvingSymlinks(other));
    std::sort(locked.begin(), locked.end());
    locked.erase(std::unique(locked.begin(), locked.end()), locked.end());
    for (const Path& file : locked)
        if (auto lock = Lock::take(file, progress_))
            locks_.push_back(std::move(lock));
    if (check_)
        check_();
    folder_ = itemReplacementDirectory(target_);
}

GuardedReplacement::~GuardedReplacement() {
    removeItemIgnoringErrors(folder_);
}

void GuardedReplacement::place(const Path& staged) {
    place(staged, target_);
}

void GuardedReplacement::place(const Path& staged, const Path& destination) {
    progress_.throwIfCancelled();
    if (check_)
        check_();
    placeItem(staged, destination);
}

} // namespace vexa::files
