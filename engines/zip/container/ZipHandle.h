#pragma once

#include "engines/zip/container/ZipFileInfo.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vexa {

class ZipArchiveState;

// The archive handle of an open ZipFileReader or ZipFileWriter: entry navigation and the entry
// data calls. Obtained with getZipHandle and owned by that reader or writer; it is valid until the
// owner is closed or destroyed. Every call answers a zipstatus code (the data calls a byte count
// >= 0 on success); read calls on a writer's handle, and write calls on a reader's, answer
// zipstatus::param. A failed write of the output file throws its PlatformError.
class ZipHandle {
  public:
    explicit ZipHandle(std::unique_ptr<ZipArchiveState> state);
    ~ZipHandle();
    ZipHandle(const ZipHandle&) = delete;
    ZipHandle& operator=(const ZipHandle&) = delete;

    // Entry count of the central directory (as declared by the end record for a reader; entries
    // written so far for a writer).
    int getNumberEntry(uint64_t* count) const;
    // Reader: whether the count came from a ZIP64 end record (a classic record's count may be
    // the real one modulo 65,536). Writer: false.
    int getZip64(bool* zip64) const;
    // 0-based number of the part that holds the start of the central directory; 0 for an
    // ordinary archive. A writer answers the value of the last archive it closed.
    int getDiskNumberWithCd(uint32_t* disk) const;

    // Reader: where `offset` within part `disk` lies when the parts are laid end to end, in
    // the frame of the records' offsets; format for a part beyond the set. With `disk` and
    // `offset` of the central directory's start when `directory` is true (the arguments are then
    // ignored).
    int getSetPosition(uint32_t disk, uint64_t offset, bool directory, uint64_t* position);

    // Reader: the archive comment. Writer: the comment the end record will carry.
    int getComment(std::string* comment) const;
    // Reader of one file: how many bytes in front of the archive its offsets leave out (a stub
    // added without adjusting them); 0 when the offsets count every byte.
    int getBias(uint64_t* bias) const;
    // Writer: the archive comment (at most 65,535 bytes), written by close.
    int setComment(const std::string& comment);
    // Writer of one file: bytes that go before the first entry (a self-extracting stub); the
    // entries' offsets count them, as those of an archive whose stub was always there. param
    // once an entry was begun or for a split set.
    int writePrefix(const void* data, size_t length);

    // Central-directory navigation (reader): ok while there is an entry, endOfList after the last
    // record of the directory's bytes (which may be more records than the declared count),
    // format when the directory is damaged or holds fewer records than it declares.
    int gotoFirstEntry();
    int gotoNextEntry();
    // Record of the current entry (see ZipFileInfo for its lifetime); exist when there is none.
    int entryGetInfo(const ZipFileInfo** info) const;
    // ok when the current entry is a folder (name ending in "/" or folder attributes), exist when
    // it is not.
    int entryIsDir() const;

    // Opens the current entry's data. raw != 0 gives the stored bytes exactly as they lie in the
    // archive (compressed and still encrypted, encryption header and trailer included) for any
    // method; otherwise the data is decrypted with `password` (NUL-terminated bytes; null for
    // none) and inflated. Answers support for a method other than store and deflate or an
    // encryption other than traditional PKWARE and WinZip AES, param for an encrypted entry
    // without a password, password when the password check fails.
    int entryReadOpen(uint8_t raw, const char* password);
    // Up to `length` bytes into `buffer`: their count, 0 at the end of the data, < 0 on failure.
    int32_t entryRead(void* buffer, int32_t length);
    // Reads the open entry's stored bytes from `position` on without moving entryRead: for a raw
    // read, or an entry stored without encryption, in a one-part archive. Answers their count
    // (short only at the data's end) or < 0, support for any other entry; it may run on several
    // threads at once, while no other call runs on the handle.
    int64_t entryReadAt(uint64_t position, void* buffer, size_t length) const;
    // Ends the read. Each non-null pointer receives the entry's CRC-32 and sizes as recorded.
    // The CRC-32 is not compared here; for a non-raw WinZip AES read that reached the end, a
    // wrong authentication code answers hash.
    int entryReadClose(uint32_t* crc, int64_t* compressedSize, int64_t* uncompressedSize);

    // Starts a new entry (writer) described by `info`. level: 0 stores, 1-9 deflate (-1 = 6) when
    // the record's method is deflate; folders (names ending in "/") are always stored. raw != 0:
    // the data given is the entry's stored bytes, and the record's method, CRC-32, sizes and
    // encryption fields (flag bit 0, aes_version, aes_strength) are written as they are.
    // Otherwise, with `password` given and a record asking for AES (aes_version != 0), the entry
    // is encrypted with WinZip AES (AE-2 unless aes_version is 1; strength from aes_strength,
    // 256 bits when it is 0) under a fresh random salt; a password with aes_version 0 answers
    // support. raw == 2: the data given is what a normal write with this record and level would
    // store (deflated, then encrypted when aes_version != 0, salt and code included), made by the
    // caller; the header is laid out as for a normal write and completed from the CRC-32 and
    // sizes given to entryWriteClose.
    int entryWriteOpen(const ZipFileInfo* info, int16_t level, uint8_t raw, const char* password);
    // Writes `length` bytes of entry data; answers how many were taken (all of them) or < 0.
    int32_t entryWrite(const void* buffer, int32_t length);
    // Ends a normal write: CRC-32 and sizes are those of the data written. On a reader's handle
    // the same as entryReadClose without results.
    int entryClose();
    // Ends a raw write with the entry's CRC-32 and sizes, as entryReadClose gave them (param when
    // the stored bytes written differ from compressedSize); after a normal write the values are
    // ignored, as in entryClose.
    int entryWriteClose(uint32_t crc, int64_t compressedSize, int64_t uncompressedSize);

    // Writer of one file: leaves the next `length` bytes for the caller to write through a
    // descriptor of its own, at any time before the archive is used; what is written next
    // follows them. Inside a raw entry they are its stored bytes; outside any entry they are
    // whole entries (local header, data, descriptor) copied as they lie, which addCopiedEntry
    // then declares. param for a split set.
    int skipData(uint64_t length);
    // Writer: room for the records of `count` entries, made once instead of growing.
    int reserveEntries(uint64_t count);
    // Writer: the offset at which the next byte goes, as records count it.
    int getWriteOffset(uint64_t* offset) const;
    // Writer: declares an entry whose bytes are copied unchanged (into bytes skipData left) to
    // `offset` of this archive; its central record is `info` as a reader gave it, with the new
    // offset, the ZIP64 field made anew and `info.flag` as given. Records keep the order of the
    // calls that add them.
    int addCopiedEntry(const ZipFileInfo* info, uint64_t offset);

    ZipArchiveState& state() { return *state_; }

  private:
    std::unique_ptr<ZipArchiveState> state_;
};

// ok when external attributes `attrib` written by host `versionMadeBy >> 8` describe a symbolic
// link, exist when they do not (the same sense as ZipHandle::entryIsDir).
int zipAttribIsSymlink(uint32_t attrib, int32_t versionMadeBy);

} // namespace vexa
