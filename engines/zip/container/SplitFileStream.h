#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace vexa {

// Name of part `disk` (0-based) of a split set whose last part is `mainPath`: the extension
// replaced by "z01", "z02", … ("z100" and so on past 99).
std::string splitPartPath(const std::string& mainPath, uint32_t disk);

// Reading side of a ZIP file or split set, addressed as (part, offset within part). Reads run on
// into the following parts the way split data does. Only the last part (the path given) stays
// open; the others are opened on demand, one at a time, so a set of thousands of parts never
// needs thousands of descriptors.
class SplitInputStream {
  public:
    SplitInputStream() = default;
    ~SplitInputStream();
    SplitInputStream(const SplitInputStream&) = delete;
    SplitInputStream& operator=(const SplitInputStream&) = delete;

    int open(const std::string& mainPath);
    // The set's last part number, as the end record declares it.
    void setLastDisk(uint32_t lastDisk) { lastDisk_ = lastDisk; }
    uint32_t lastDisk() const { return lastDisk_; }
    // Bytes found before the archive proper (a self-extracting stub), added to every offset of a
    // one-part archive.
    void setBias(int64_t bias) { bias_ = bias; }
    uint64_t mainSize() const { return mainSize_; }

    // Size of a part; open when it cannot be opened.
    int partSize(uint32_t disk, uint64_t* size);
    int seek(uint32_t disk, uint64_t offset);
    // Up to `length` bytes: their count (short only at the end of the set) or a negative status.
    int64_t read(void* buffer, size_t length);
    // Reads exactly `length` bytes or answers a negative status (endOfStream when the set ends).
    int readFully(void* buffer, size_t length);
    // One-part archive: up to `length` bytes at `position` of the file itself (bias included),
    // without moving the stream; several threads may read at once. Short only at the file's end.
    int64_t readAt(uint64_t position, void* buffer, size_t length) const;
    uint32_t disk() const { return disk_; }
    // Offset within the current part as the archive's records count it (without the bias).
    uint64_t offset() const {
        return lastDisk_ == 0 ? offset_ - static_cast<uint64_t>(bias_) : offset_;
    }
    int64_t bias() const { return lastDisk_ == 0 ? bias_ : 0; }

  private:
    int descriptorFor(uint32_t disk, int* fd);

    std::string mainPath_;
    int mainFd_ = -1;
    uint64_t mainSize_ = 0;
    int otherFd_ = -1;
    uint32_t otherDisk_ = 0;
    std::map<uint32_t, uint64_t> sizes_;
    uint32_t lastDisk_ = 0;
    int64_t bias_ = 0;
    uint32_t disk_ = 0;
    uint64_t offset_ = 0;
};

// Writing side: one file, or parts of exactly `diskSize` bytes. The part being written always
// lies at the final path and is renamed to its ".zNN" name when the next one starts, so that the
// set is complete and correctly named whenever it ends. A failed open, write, rename or close of
// a part throws its PlatformError, naming the path given; the other calls answer zipstatus codes.
class SplitOutputStream {
  public:
    SplitOutputStream() = default;
    ~SplitOutputStream();
    SplitOutputStream(const SplitOutputStream&) = delete;
    SplitOutputStream& operator=(const SplitOutputStream&) = delete;

    int open(const std::string& path, int64_t diskSize);
    bool isOpen() const { return fd_ >= 0; }
    bool isSplit() const { return diskSize_ > 0; }
    uint32_t disk() const { return disk_; }
    uint64_t offset() const { return offset_ + pending_.size(); }
    // Starts a new part unless `length` bytes still fit into the current one, so that a record
    // that readers expect whole is never cut. param when it could not fit even in a new part.
    int keepTogether(size_t length);
    int write(const void* buffer, size_t length);
    // Leaves the next `length` bytes for another descriptor to write; what is written next
    // follows them. One file only (param for a split set).
    int skip(uint64_t length);
    // Overwrites bytes already written to the current part.
    int patch(uint32_t disk, uint64_t offset, const void* buffer, size_t length);
    // Flushes and closes; a split set that stayed in one part loses its split marker.
    int close();

  private:
    int flush();
    int startNextPart();

    std::string path_;
    int fd_ = -1;
    int64_t diskSize_ = 0;
    uint32_t disk_ = 0;
    uint64_t offset_ = 0; // bytes of the current part already in the file
    std::string pending_;
};

} // namespace vexa
