#include "engines/zip/container/ZipCentralDirectory.h"

#include "engines/zip/container/ByteOrder.h"
#include "engines/zip/container/ZipStatus.h"

#include <algorithm>
#include <vector>

namespace vexa {

using namespace ziprecords;
using zipbytes::get16;
using zipbytes::get32;
using zipbytes::get64;

namespace {

constexpr size_t directoryBlockSize = 1 << 16;

} // namespace

int ZipCentralDirectory::findEnd(uint64_t* endPosition) {
    const uint64_t size = input_.mainSize();
    if (size < endSize)
        return zipstatus::format;
    // The end record is the last thing in the file but for its comment of at most 64 KiB.
    const uint64_t window = std::min<uint64_t>(size, endSize + maxCommentSize);
    std::vector<uint8_t> tail(window);
    input_.setLastDisk(0);
    int status = input_.seek(0, size - window);
    if (status == zipstatus::ok)
        status = input_.readFully(tail.data(), tail.size());
    if (status != zipstatus::ok)
        return status == zipstatus::endOfStream ? zipstatus::format : status;
    // Prefer a record whose comment reaches the end exactly; else accept one followed by junk.
    int64_t loose = -1;
    for (int64_t at = static_cast<int64_t>(window - endSize); at >= 0; --at) {
        const uint8_t* p = tail.data() + at;
        if (get32(p) != endSignature)
            continue;
        const uint64_t recordEnd = static_cast<uint64_t>(at) + endSize + get16(p + 20);
        if (recordEnd == window) {
            loose = at;
            break;
        }
        if (recordEnd < window && loose < 0)
            loose = at;
    }
    if (loose < 0)
        return zipstatus::format;
    readEnd(tail.data() + loose, end_);
    const size_t commentStart = static_cast<size_t>(loose) + endSize;
    comment_.assign(reinterpret_cast<const char*>(tail.data()) + commentStart,
                    std::min<size_t>(get16(tail.data() + loose + 20), window - commentStart));
    *endPosition = size - window + static_cast<uint64_t>(loose);
    return zipstatus::ok;
}

int ZipCentralDirectory::readZip64End(uint64_t endPosition, uint64_t* recordStart) {
    if (endPosition < zip64LocatorSize)
        return zipstatus::ok;
    uint8_t locator[zip64LocatorSize];
    input_.setLastDisk(0);
    int status = input_.seek(0, endPosition - zip64LocatorSize);
    if (status == zipstatus::ok)
        status = input_.readFully(locator, sizeof locator);
    if (status != zipstatus::ok || get32(locator) != zip64LocatorSignature)
        return zipstatus::ok; // no ZIP64 records
    const uint32_t recordDisk = get32(locator + 4);
    const uint64_t recordOffset = get64(locator + 8);
    const uint32_t totalDisks = get32(locator + 16);
    if (totalDisks == 0 || recordDisk >= totalDisks)
        return zipstatus::format;
    const uint32_t lastDisk = totalDisks - 1;
    // A one-part archive's record sits right before the locator, whatever its stated offset
    // says (stub bytes in front shift every offset).
    uint64_t candidates[2] = {recordOffset, endPosition - zip64LocatorSize - zip64EndSize};
    for (int i = 0; i < (lastDisk == 0 ? 2 : 1); ++i) {
        if (lastDisk == 0 &&
            (candidates[i] > endPosition || endPosition < zip64LocatorSize + zip64EndSize))
            continue;
        uint8_t record[zip64EndSize];
        input_.setLastDisk(lastDisk);
        input_.setBias(0);
        status = input_.seek(recordDisk, candidates[i]);
        if (status == zipstatus::ok)
            status = input_.readFully(record, sizeof record);
        if (status == zipstatus::ok && get32(record) == zip64EndSignature) {
            ziprecords::readZip64End(record, end_);
            if (end_.lastDisk != lastDisk && lastDisk != 0)
                end_.lastDisk = lastDisk;
            *recordStart = candidates[i];
            return zipstatus::ok;
        }
        if (status != zipstatus::ok && status != zipstatus::endOfStream &&
            status != zipstatus::format)
            return status;
    }
    return zipstatus::format;
}

int ZipCentralDirectory::open() {
    uint64_t endPosition = 0;
    int status = findEnd(&endPosition);
    if (status != zipstatus::ok)
        return status;
    uint64_t directoryEnd = endPosition;
    status = readZip64End(endPosition, &directoryEnd);
    if (status != zipstatus::ok)
        return status;
    if (end_.cdDisk > end_.lastDisk || end_.entriesOnDisk > end_.entries)
        return zipstatus::format;
    // Every record takes 46 bytes at least: a count the directory cannot hold is a lie.
    if (end_.entries > end_.cdSize / centralHeaderSize)
        return zipstatus::format;
    input_.setLastDisk(end_.lastDisk);
    input_.setBias(0);
    if (end_.lastDisk == 0) {
        if (end_.cdSize > directoryEnd)
            return zipstatus::format;
        const uint64_t actual = directoryEnd - end_.cdSize;
        if (end_.cdOffset != actual) {
            if (end_.cdOffset > actual)
                return zipstatus::format;
            // Bytes in front of the archive (a self-extracting stub) shift every offset.
            input_.setBias(static_cast<int64_t>(actual - end_.cdOffset));
        }
    } else {
        uint64_t size = 0;
        status = input_.partSize(end_.cdDisk, &size);
        if (status != zipstatus::ok)
            return status;
        if (end_.cdOffset > size)
            return zipstatus::format;
    }
    valid_ = false;
    return zipstatus::ok;
}

int ZipCentralDirectory::setPosition(uint32_t disk, uint64_t offset, uint64_t* position) {
    if (disk > end_.lastDisk)
        return zipstatus::format;
    if (partStarts_.empty())
        partStarts_.push_back(0);
    while (partStarts_.size() <= disk) {
        const auto part = static_cast<uint32_t>(partStarts_.size() - 1);
        uint64_t size = 0;
        const int status = input_.partSize(part, &size);
        if (status != zipstatus::ok)
            return status;
        partStarts_.push_back(partStarts_.back() + size);
    }
    if (__builtin_add_overflow(partStarts_[disk], offset, position))
        return zipstatus::format;
    return zipstatus::ok;
}

int ZipCentralDirectory::need(size_t length) {
    if (blockEnd_ - blockStart_ >= length)
        return zipstatus::ok;
    const uint64_t unread = end_.cdSize - fetched_;
    const size_t missing = length - (blockEnd_ - blockStart_);
    if (missing > unread)
        return zipstatus::format;
    // Unparsed bytes move to the front; a record longer than a block (at most 46 bytes plus
    // three 64 KiB fields) grows the block to its size.
    std::copy(block_.begin() + static_cast<std::ptrdiff_t>(blockStart_),
              block_.begin() + static_cast<std::ptrdiff_t>(blockEnd_), block_.begin());
    blockEnd_ -= blockStart_;
    blockStart_ = 0;
    const size_t want = static_cast<size_t>(
        std::min<uint64_t>(std::max(directoryBlockSize, length) - blockEnd_, unread));
    if (block_.size() < blockEnd_ + want)
        block_.resize(blockEnd_ + want);
    int status = input_.seek(fetchDisk_, fetchOffset_);
    if (status == zipstatus::ok)
        status = input_.readFully(block_.data() + blockEnd_, want);
    if (status != zipstatus::ok)
        return status == zipstatus::endOfStream ? zipstatus::format : status;
    fetchDisk_ = input_.disk();
    fetchOffset_ = input_.offset();
    fetched_ += want;
    blockEnd_ += want;
    return zipstatus::ok;
}

int ZipCentralDirectory::readRecordAtCursor() {
    valid_ = false;
    int status = need(centralHeaderSize);
    if (status != zipstatus::ok)
        return status;
    const uint8_t* fixed = block_.data() + blockStart_;
    if (get32(fixed) != centralHeaderSignature)
        return zipstatus::format;
    size_t nameLength = 0, extraLength = 0, commentLength = 0;
    readCentralFixed(fixed, entry_, &nameLength, &extraLength, &commentLength);
    const size_t recordSize = centralHeaderSize + nameLength + extraLength + commentLength;
    status = need(recordSize);
    if (status != zipstatus::ok)
        return status;
    const char* variable =
        reinterpret_cast<const char*>(block_.data() + blockStart_ + centralHeaderSize);
    entry_.filename.assign(variable, nameLength);
    entry_.extrafield.assign(variable + nameLength, extraLength);
    entry_.comment.assign(variable + nameLength + extraLength, commentLength);
    blockStart_ += recordSize;
    status = applyExtraFields(entry_);
    if (status != zipstatus::ok)
        return status;
    valid_ = true;
    return zipstatus::ok;
}

int ZipCentralDirectory::gotoFirstEntry() {
    valid_ = false;
    index_ = 0;
    fetched_ = 0;
    blockStart_ = blockEnd_ = 0;
    fetchDisk_ = end_.cdDisk;
    fetchOffset_ = end_.cdOffset;
    if (end_.cdSize == 0)
        return zipstatus::endOfList;
    return readRecordAtCursor();
}

int ZipCentralDirectory::gotoNextEntry() {
    if (!valid_)
        return zipstatus::param;
    // The walk ends where the directory's bytes end, not at the declared count: writers without
    // ZIP64 store the count modulo 65,536, and entries past a short count would stay hidden.
    if (fetched_ == end_.cdSize && blockStart_ == blockEnd_) {
        valid_ = false;
        return index_ + 1 < end_.entries ? zipstatus::format : zipstatus::endOfList;
    }
    ++index_;
    return readRecordAtCursor();
}

} // namespace vexa
