#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

// The file manager of the platform: the few file operations whose outcomes the model and the
// engines rely on. Failures throw PlatformError with the system's errno mapped.
namespace vexa::files {

using Path = std::filesystem::path;
using FileTime = std::chrono::system_clock::time_point;

enum class FileType { regular, directory, symbolicLink, other };

struct FileAttributes {
    FileType type = FileType::other;
    mode_t permissions = 0; // the low 12 bits of st_mode
    FileTime modificationDate{};
    std::int64_t size = 0;
    std::uint64_t fileNumber = 0; // inode number
    std::uint64_t deviceNumber = 0;
};

// lstat: a symbolic link reports itself, never its target.
FileAttributes attributesOfItem(const Path& location);
std::optional<FileAttributes> attributesIfExists(const Path& location);
// stat: the attributes of what a link leads to; none when nothing is there (a dangling link).
std::optional<FileAttributes> targetAttributesIfExists(const Path& location);
bool fileExists(const Path& location);       // without following a final link
bool isExecutableFile(const Path& location); // a regular file (links followed) we may execute
// Neither follows a final symbolic link: a link's mode is left as it is, its own date is set.
void setPermissions(const Path& location, mode_t permissions);
void setModificationDate(const Path& location, FileTime date);
// A system time as a file date.
FileTime fileTimeOf(const struct timespec& time);

// A new private folder (0700) beside `target` (beside the file it leads to when it is a link),
// so on its file system, for building a replacement; locked while in use (WorkFolders.h), and
// the unlocked leftovers of killed runs beside it are removed first. Its users remove it.
Path itemReplacementDirectory(const Path& target);
// Atomically puts `replacement` at `original` (rename within one file system): afterwards
// `original` is either the old or the new item, never a mix. The replacement is consumed; a
// replaced file keeps the original's permissions, and its owner and group where the process
// may set them. When `original` is a link, the file it leads to is replaced and the link stays.
// Across file systems the replacement is first copied beside the original.
void replaceItem(const Path& original, const Path& replacement);
// Moves an item; fails when the destination exists (even a dangling link). Across file
// systems it copies, then removes the source. A work folder moved into place loses its lock
// and gets the permissions of a new folder (0777 less the umask).
void moveItem(const Path& from, const Path& to);
// Puts a finished `item` at `destination`: replaceItem over whatever is there (a link
// included), else moveItem.
void placeItem(const Path& item, const Path& destination);
// Copies a file or a folder tree (links inside it as links, permissions and dates kept); a link
// given as `from` is followed. Fails when the destination exists.
void copyItem(const Path& from, const Path& to);
// Removes a file or a whole folder, never following a symbolic link out of it; read-only
// folders inside it are opened up first. Every error is ignored.
void removeItemIgnoringErrors(const Path& location) noexcept;
// One folder, no intermediates; fails when anything exists at the path. A work folder
// (WorkFolders.h) is locked while in use, after the leftovers beside it were swept.
void createDirectory(const Path& location, mode_t permissions = 0700);
// A new regular file opened for writing (O_CREAT | O_EXCL | O_NOFOLLOW); returns the descriptor.
int createFile(const Path& location, mode_t permissions = 0600);
// The same without setting the permissions: 0600 as the umask leaves it, for a caller that
// gives the file its final mode itself and so spares a system call per file.
int createPrivateFile(const Path& location);

// "A1B2C3D4-…" upper-case UUID text.
std::string newUUIDString();

// Writes all bytes or throws.
void writeAll(int fd, const void* data, std::size_t size, const Path& location);
// Writes all bytes at `offset` without moving the file position, or throws.
void writeAllAt(int fd, const void* data, std::size_t size, off_t offset, const Path& location);

// Closes a POSIX descriptor when it goes out of scope.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor();
    int get() const { return fd_; }
    int release() noexcept;
    // Closes now and reports a failed close (delayed write errors).
    void close();

  private:
    int fd_ = -1;
};

// Removes a folder (or file) when it goes out of scope unless dismissed; for staging folders.
class ScopedRemoval {
  public:
    explicit ScopedRemoval(Path location) : location_(std::move(location)) {}
    ScopedRemoval(const ScopedRemoval&) = delete;
    ScopedRemoval& operator=(const ScopedRemoval&) = delete;
    ~ScopedRemoval() {
        if (!dismissed_)
            removeItemIgnoringErrors(location_);
    }
    void dismiss() { dismissed_ = true; }
    const Path& location() const { return location_; }

  private:
    Path location_;
    bool dismissed_ = false;
};

} // namespace vexa::files
