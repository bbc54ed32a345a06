#pragma once

#include <ctime>
#include <sys/stat.h>
#include <sys/types.h>

namespace vexa::tar {

// What tells one state of a file from another: an archive written again, even with the same
// size and date, gets a new change time.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};

    static FileIdentity of(const struct stat& status);
    bool operator==(const FileIdentity& other) const;
};

} // namespace vexa::tar
