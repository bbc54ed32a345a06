#include "platform/GuardedReplacement.h"

#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace vexa::files {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vexa::testing::readFile;
using vexa::testing::TemporaryDirectory;
using vexa::testing::writeFile;

struct ChangedMeanwhile : std::runtime_error {
    ChangedMeanwhile() : std::runtime_error("changed") {}
};

// Another program's lock on a file: its own open file, as a second process would hold it.
class ForeignLock {
  public:
    explicit ForeignLock(const Path& file) : fd_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
        EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0);
    }
    ~ForeignLock() { release(); }
    void release() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

bool lockedByOthers(const Path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return locked;
}

TEST(GuardedReplacement, ReplacesThroughALinkAndHoldsTheRealFileUntilTheRename) {
    TemporaryDirectory folder;
    writeFile(folder / "real.zip", "old");
    fs::create_symlink(folder / "real.zip", folder / "link.zip");
    Progress progress;
    int checks = 0;
    {
        GuardedReplacement replacement(folder / "link.zip", progress, [&] { ++checks; });
        EXPECT_EQ(checks, 1) << "compared once the lock is held";
        EXPECT_TRUE(lockedByOthers(folder / "real.zip"));
        EXPECT_EQ(replacement.folder().parent_path(), folder.path());
        writeFile(replacement.folder() / "new", "new");
        replacement.place(replacement.folder() / "new");
        EXPECT_EQ(checks, 2) << "compared again right before the rename";
        EXPECT_TRUE(fs::is_symlink(folder / "link.zip"));
        EXPECT_EQ(readFile(folder / "real.zip"), "new");
    }
    EXPECT_FALSE(lockedByOthers(folder / "real.zip"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 2);
}

TEST(GuardedReplacement, ASecondEditWaitsSayingSoThenSeesTheChange) {
    TemporaryDirectory folder;
    writeFile(folder / "a.zip", "first");
    const std::string before = readFile(folder / "a.zip");
    auto other = std::make_unique<ForeignLock>(folder / "a.zip");
    Progress progress;
    std::atomic<bool> entered{false};
    std::thread second([&] {
        try {
            GuardedReplacement replacement(folder / "a.zip", progress, [&] {
                if (readFile(folder / "a.zip") != before)
                    throw ChangedMeanwhile();
            });
            entered = true;
        } catch (const ChangedMeanwhile&) {
        }
    });
    std::string note;
    for (int i = 0; i < 200 && note.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        note = progress.additionalDescription();
    }
    EXPECT_EQ(note, "Esperando a que otra edición termine…");
    // The holder replaces the archive, then lets go: the waiting edit locks the new file and
    // its comparison fails.
    writeFile(folder / "b.zip", "second");
    fs::rename(folder / "b.zip", folder / "a.zip");
    other->release();
    second.join();
    EXPECT_FALSE(entered);
    EXPECT_EQ(progress.additionalDescription(), "");
    EXPECT_EQ(readFile(folder / "a.zip"), "second");
}

TEST(GuardedReplacement, WaitingIsCancelledThroughTheProgressAndNothingIsLeft) {
    TemporaryDirectory folder;
    writeFile(folder / "a.7z", "held");
    ForeignLock other(folder / "a.7z");
    auto parent = Progress::make(2);
    auto child = Progress::make(1);
    parent->addChild(child, 1);
    std::thread cancel([&] {
        while (parent->additionalDescription().empty())
            std::this_thread::sleep_for(5ms);
        parent->cancel();
    });
    EXPECT_THROW(GuardedReplacement(folder / "a.7z", *child), CancellationError);
    cancel.join();
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);
}

TEST(GuardedReplacement, CreationsLockWhatTheyReplaceAndNestedGuardsShareTheLock) {
    TemporaryDirectory folder;
    writeFile(folder / "source.rar", "source");
    Progress progress;
    {
        // A new destination: nothing to lock, the move still goes through the guard.
        GuardedReplacement outer(folder / "new.rar", progress, {}, {folder / "source.rar"});
        EXPECT_TRUE(lockedByOthers(folder / "source.rar"));
        // A step of the same operation guarding the same file does not wait for itself.
        GuardedReplacement inner(folder / "source.rar", progress);
        writeFile(outer.folder() / "made", "made");
        outer.place(outer.folder() / "made");
    }
    EXPECT_FALSE(lockedByOthers(folder / "source.rar"));
    EXPECT_EQ(readFile(folder / "new.rar"), "made");
}

TEST(GuardedReplacement, AFailedCheckOrACancelBeforeTheRenameChangesNothing) {
    struct Case {
        const char* name;
        bool cancel;
    };
    for (const Case& c : {Case{"changed", false}, Case{"cancelled", true}}) {
        TemporaryDirectory folder;
        writeFile(folder / "a.tar", "old");
        Progress progress;
        bool changed = false;
        GuardedReplacement replacement(folder / "a.tar", progress, [&] {
            if (changed)
                throw ChangedMeanwhile();
        });
        writeFile(replacement.folder() / "new", "new");
        if (c.cancel) {
            progress.cancel();
            EXPECT_THROW(replacement.place(replacement.folder() / "new"), CancellationError);
        } else {
            changed = true;
            EXPECT_THROW(replacement.place(replacement.folder() / "new"), ChangedMeanwhile);
        }
        EXPECT_EQ(readFile(folder / "a.tar"), "old") << c.name;
    }
}

} // namespace
} // namespace vexa::files
