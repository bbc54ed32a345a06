#include "engines/zip/container/ZipEntryWriter.h"

#include "engines/zip/container/ByteOrder.h"
#include "engines/zip/container/ZipRecords.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/Crc32.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <zlib.h>

namespace vexa {

using namespace ziprecords;
using zipbytes::append16;
using zipbytes::append32;
using zipbytes::append64;

namespace {

constexpr size_t scratchSize = 1 << 16;
constexpr uint16_t zip64Force = 1;
constexpr uint16_t zip64Disable = 2;
constexpr size_t largestOwnExtra = 20 + 9 + 11; // local ZIP64, timestamp and AES fields
constexpr size_t largestCentralZip64 = 4 + 28;

void appendField(std::string& out, uint16_t id, const std::string& data) {
    append16(out, id);
    append16(out, static_cast<uint16_t>(data.size()));
    out += data;
}

std::string timestampField(int64_t modified) {
    if (modified < 0 || modified > static_cast<int64_t>(max32))
        return {};
    std::string data(1, '\x01');
    append32(data, static_cast<uint32_t>(modified));
    std::string field;
    appendField(field, extraTimestamp, data);
    return field;
}

std::string aesField(uint16_t version, uint8_t strength, uint16_t method) {
    std::string data;
    append16(data, version);
    data += "AE";
    data += static_cast<char>(strength);
    append16(data, method);
    std::string field;
    appendField(field, extraAes, data);
    return field;
}

// Deflate can grow incompressible data a little; a size this close to 4 GiB may not fit.
bool mayNeedZip64(int64_t expectedSize) {
    if (expectedSize < 0)
        return true;
    const uint64_t size = static_cast<uint64_t>(expectedSize);
    return size + (size >> 10) + 65536 >= max32;
}

} // namespace

int ZipEntryWriter::open(const ZipFileInfo& info, int16_t level, bool raw, const char* password,
                         bool precompressed) {
    raw = raw && !precompressed;
    if (open_ || info.filename == nullptr)
        return zipstatus::param;
    nameLength_ = std::strlen(info.filename);
    const size_t commentLength = info.comment != nullptr ? std::strlen(info.comment) : 0;
    if (nameLength_ == 0 || nameLength_ > max16 || commentLength > max16)
        return zipstatus::param;
    if (raw && (info.compressed_size < 0 || info.uncompressed_size < 0))
        return zipstatus::param;
    const bool folder = info.filename[nameLength_ - 1] == '/';

    record_ = CentralRecord{};
    record_.name.assign(info.filename, nameLength_);
    record_.comment.assign(commentLength > 0 ? info.comment : "", commentLength);
    record_.versionMadeBy = info.version_madeby;
    record_.internalAttributes = info.internal_fa;
    record_.externalAttributes = info.external_fa;
    record_.dosDate = info.dos_date != 0 ? info.dos_date : dosTimeFromUnix(info.modified_date);
    raw_ = raw || precompressed;
    deflater_.reset();
    aes_.reset();
    crc_ = 0;
    written_ = 0;
    consumed_ = 0;

    uint16_t method = info.compression_method;
    uint16_t flag = info.flag & flagUtf8;
    uint8_t aesStrength = 0;
    aesVersion_ = 0;
    if (raw) {
        flag = info.flag & (flagUtf8 | flagEncrypted | 0x0006);
        if ((info.flag & flagEncrypted) != 0 && info.aes_version != 0) {
            aesVersion_ = info.aes_version;
            aesStrength = info.aes_strength;
        }
        // A traditionally encrypted entry's check byte may stand on its DOS time, which only
        // holds with the descriptor bit kept.
        descriptor_ = (info.flag & flagEncrypted) != 0 && aesVersion_ == 0 &&
                      (info.flag & flagDataDescriptor) != 0;
    } else {
        if (folder || level == 0)
            method = methodStore;
        if (method != methodStore && method != methodDeflate)
            return zipstatus::support;
        const bool encrypt =
            (precompressed ? info.aes_version != 0 : password != nullptr) && !folder;
        if (encrypt && info.aes_version == 0)
            return zipstatus::support; // traditional encryption is read, never written
        if (encrypt) {
            aesVersion_ = info.aes_version == 1 ? 1 : 2;
            aesStrength = WinZipAes::validStrength(info.aes_strength) ? info.aes_strength : 3;
            flag |= flagEncrypted;
        }
        if (method == methodDeflate) {
            int effective = level < 0 ? 6 : std::min<int>(level, 9);
            if (effective >= 8)
                flag |= 0x0002;
            else if (effective <= 2)
                flag |= effective == 1 ? 0x0006 : 0x0004;
            if (!precompressed) {
                deflater_ = std::make_unique<codec::Deflater>();
                if (!deflater_->start(effective))
                    return zipstatus::internal;
            }
        }
        // Split parts are never rewritten behind the writer, so the sizes follow the data.
        descriptor_ = output_.isSplit();
    }
    if (descriptor_)
        flag |= flagDataDescriptor;

    localZip64_ =
        info.zip64 == zip64Force || (info.zip64 != zip64Disable &&
                                     (raw ? (static_cast<uint64_t>(info.compressed_size) >= max32 ||
                                             static_cast<uint64_t>(info.uncompressed_size) >= max32)
                                          : mayNeedZip64(info.uncompressed_size)));
    record_.forceZip64 = info.zip64 == zip64Force;

    std::string kept = keptExtraFields(info.extrafield, info.extrafield_size);
    record_.extra = timestampField(info.modified_date);
    if (aesVersion_ != 0)
        record_.extra += aesField(aesVersion_, aesStrength, method);
    record_.extra += kept;
    if (record_.extra.size() + largestCentralZip64 > max16 ||
        record_.extra.size() + largestOwnExtra > max16)
        return zipstatus::param;
    record_.method = aesVersion_ != 0 ? methodAes : method;
    record_.flag = flag;
    record_.versionNeeded = aesVersion_ != 0 ? 51 : localZip64_ ? 45 : 20;
    if (raw) {
        record_.crc = info.crc;
        record_.compressedSize = static_cast<uint64_t>(info.compressed_size);
        record_.uncompressedSize = static_cast<uint64_t>(info.uncompressed_size);
    }

    int status =
        output_.keepTogether(1); // a header starting at a part's very end names the next part
    if (status != zipstatus::ok)
        return status;
    record_.disk = output_.disk();
    record_.offset = output_.offset();

    // Local header.
    std::string header;
    const bool known = raw && !descriptor_;
    append32(header, localHeaderSignature);
    append16(header, record_.versionNeeded);
    append16(header, flag);
    append16(header, record_.method);
    append32(header, record_.dosDate);
    append32(header, known ? record_.crc : 0);
    append32(header, localZip64_ ? max32
                     : known     ? static_cast<uint32_t>(record_.compressedSize)
                                 : 0);
    append32(header, localZip64_ ? max32
                     : known     ? static_cast<uint32_t>(record_.uncompressedSize)
                                 : 0);
    append16(header, static_cast<uint16_t>(nameLength_));
    std::string localExtra;
    if (localZip64_) {
        std::string sizes;
        append64(sizes, known ? record_.uncompressedSize : 0);
        append64(sizes, known ? record_.compressedSize : 0);
        appendField(localExtra, extraZip64, sizes);
    }
    localExtra += record_.extra;
    if (raw && info.source_data_offset >= 0) {
        const uint64_t data = record_.offset + localHeaderSize + nameLength_ + localExtra.size();
        uint64_t padding = (static_cast<uint64_t>(info.source_data_offset) - data) & 4095;
        if (padding != 0 && padding < 6)
            padding += 4096; // the field's own header and alignment word take six bytes
        if (padding != 0 && localExtra.size() + padding <= max16) {
            std::string alignment(padding - 4, '\0');
            alignment[0] = 1; // no alignment is claimed
            appendField(localExtra, extraAlignment, alignment);
        }
    }
    append16(header, static_cast<uint16_t>(localExtra.size()));
    header += record_.name;
    header += localExtra;

    status = output_.write(header.data(), header.size());
    if (status != zipstatus::ok)
        return status;

    if (aesVersion_ != 0 && !raw_) {
        uint8_t start[16 + WinZipAes::verifierSize];
        const size_t saltLength = WinZipAes::saltSize(aesStrength);
        aes_ = std::make_unique<WinZipAes>();
        if (!WinZipAes::randomSalt(start, saltLength) ||
            !aes_->start(password, aesStrength, start, start + saltLength))
            return zipstatus::crypt;
        status = output_.write(start, saltLength + WinZipAes::verifierSize);
        if (status != zipstatus::ok)
            return status;
        written_ += saltLength + WinZipAes::verifierSize;
    }
    if (!raw_ && (deflater_ || aes_))
        scratch_.resize(scratchSize);
    open_ = true;
    return zipstatus::ok;
}

int ZipEntryWriter::emit(const uint8_t* data, size_t length) {
    if (aes_) {
        // Encryption works in place, so the caller's bytes pass through the scratch buffer.
        while (length > 0) {
            size_t piece = std::min(length, scratch_.size());
            uint8_t* target = scratch_.data();
            if (data != scratch_.data())
                std::memcpy(target, data, piece);
            if (!aes_->encrypt(target, piece))
                return zipstatus::crypt;
            int status = output_.write(target, piece);
            if (status != zipstatus::ok)
                return status;
            written_ += piece;
            data += piece;
            length -= piece;
        }
        return zipstatus::ok;
    }
    written_ += length;
    return output_.write(data, length);
}

int32_t ZipEntryWriter::write(const void* buffer, int32_t length) {
    if (!open_ || length < 0 || (buffer == nullptr && length > 0))
        return zipstatus::param;
    const auto* data = static_cast<const uint8_t*>(buffer);
    int status;
    if (raw_) {
        written_ += static_cast<uint64_t>(length);
        status = output_.write(data, static_cast<size_t>(length));
    } else {
        crc_ = platform::crc32(crc_, data, static_cast<size_t>(length));
        consumed_ += static_cast<uint64_t>(length);
        if (deflater_)
            status = deflate(data, static_cast<size_t>(length), false);
        else
            status = emit(data, static_cast<size_t>(length));
    }
    return status == zipstatus::ok ? length : status;
}

int ZipEntryWriter::deflate(const uint8_t* data, size_t length, bool finish) {
    const int status =
        deflater_->deflate(data, length, finish, scratch_.data(), scratch_.size(),
                           [this](const uint8_t* piece, size_t size) { return emit(piece, size); });
    return status == codec::Deflater::refused ? zipstatus::internal : status;
}

int ZipEntryWriter::skipRaw(uint64_t length) {
    if (!open_ || !raw_)
        return zipstatus::param;
    const int status = output_.skip(length);
    if (status == zipstatus::ok)
        written_ += length;
    return status;
}

int ZipEntryWriter::close() {
    if (!open_ || raw_)
        return zipstatus::param;
    int status = zipstatus::ok;
    if (deflater_)
        status = deflate(nullptr, 0, true);
    if (status == zipstatus::ok && aes_) {
        uint8_t code[WinZipAes::authCodeSize];
        if (!aes_->authCode(code))
            status = zipstatus::crypt;
        else
            status = output_.write(code, sizeof code);
        written_ += sizeof code;
    }
    if (status != zipstatus::ok) {
        open_ = false;
        return status;
    }
    // AE-2 leaves the CRC out: the authentication code protects the data instead.
    return finish(aesVersion_ == 2 ? 0 : crc_, written_, consumed_);
}

int ZipEntryWriter::closeRaw(uint32_t crc, int64_t compressedSize, int64_t uncompressedSize) {
    if (!open_ || !raw_)
        return zipstatus::param;
    if (compressedSize < 0 || uncompressedSize < 0 ||
        static_cast<uint64_t>(compressedSize) != written_) {
        open_ = false;
        return zipstatus::param;
    }
    return finish(crc, written_, static_cast<uint64_t>(uncompressedSize));
}

int ZipEntryWriter::finish(uint32_t crc, uint64_t compressedSize, uint64_t uncompressedSize) {
    open_ = false;
    const bool large = compressedSize >= max32 || uncompressedSize >= max32;
    if (large && !localZip64_)
        return zipstatus::param; // the local header has no room for these sizes
    const bool changed = record_.crc != crc || record_.compressedSize != compressedSize ||
                         record_.uncompressedSize != uncompressedSize;
    record_.crc = crc;
    record_.compressedSize = compressedSize;
    record_.uncompressedSize = uncompressedSize;
    if (descriptor_) {
        std::string descriptor;
        append32(descriptor, dataDescriptorSignature);
        append32(descriptor, crc);
        if (localZip64_) {
            append64(descriptor, compressedSize);
            append64(descriptor, uncompressedSize);
        } else {
            append32(descriptor, static_cast<uint32_t>(compressedSize));
            append32(descriptor, static_cast<uint32_t>(uncompressedSize));
        }
        return output_.write(descriptor.data(), descriptor.size());
    }
    if (raw_ && !changed)
        return zipstatus::ok;
    uint8_t fields[12];
    zipbytes::put32(fields, crc);
    zipbytes::put32(fields + 4, localZip64_ ? max32 : static_cast<uint32_t>(compressedSize));
    zipbytes::put32(fields + 8, localZip64_ ? max32 : static_cast<uint32_t>(uncompressedSize));
    int status = output_.patch(record_.disk, record_.offset + 14, fields, sizeof fields);
    if (status != zipstatus::ok || !localZip64_)
        return status;
    uint8_t sizes[16];
    zipbytes::put64(sizes, uncompressedSize);
    zipbytes::put64(sizes + 8, compressedSize);
    return output_.patch(record_.disk, record_.offset + localHeaderSize + nameLength_ + 4, sizes,
                         sizeof sizes);
}

int writeCentralDirectory(SplitOutputStream& output, const std::vector<CentralRecord>& records,
                          const std::string& comment, uint32_t* diskWithCd) {
    int status = output.keepTogether(1);
    if (status != zipstatus::ok)
        return status;
    const uint32_t cdDisk = output.disk();
    const uint64_t cdOffset = output.offset();
    uint64_t cdSize = 0;
    std::map<uint32_t, uint64_t> recordsPerDisk;
    std::string bytes;
    for (const CentralRecord& record : records) {
        std::string zip64;
        const bool force = record.forceZip64;
        const bool bigUncompressed = force || record.uncompressedSize >= max32;
        const bool bigCompressed = force || record.compressedSize >= max32;
        const bool bigOffset = force || record.offset >= max32;
        const bool bigDisk = record.disk >= max16;
        if (bigUncompressed)
            append64(zip64, record.uncompressedSize);
        if (bigCompressed)
            append64(zip64, record.compressedSize);
        if (bigOffset)
            append64(zip64, record.offset);
        if (bigDisk)
            append32(zip64, record.disk);
        std::string extra;
        if (!zip64.empty())
            appendField(extra, extraZip64, zip64);
        extra += record.extra;
        const bool needs45 = !zip64.empty() && record.versionNeeded < 45;

        bytes.clear();
        append32(bytes, centralHeaderSignature);
        append16(bytes, record.versionMadeBy);
        append16(bytes, needs45 ? 45 : record.versionNeeded);
        append16(bytes, record.flag);
        append16(bytes, record.method);
        append32(bytes, record.dosDate);
        append32(bytes, record.crc);
        append32(bytes, bigCompressed ? max32 : static_cast<uint32_t>(record.compressedSize));
        append32(bytes, bigUncompressed ? max32 : static_cast<uint32_t>(record.uncompressedSize));
        append16(bytes, static_cast<uint16_t>(record.name.size()));
        append16(bytes, static_cast<uint16_t>(extra.size()));
        append16(bytes, static_cast<uint16_t>(record.comment.size()));
        append16(bytes, bigDisk ? max16 : static_cast<uint16_t>(record.disk));
        append16(bytes, record.internalAttributes);
        append32(bytes, record.externalAttributes);
        append32(bytes, bigOffset ? max32 : static_cast<uint32_t>(record.offset));
        bytes += record.name;
        bytes += extra;
        bytes += record.comment;
        status = output.keepTogether(1);
        if (status != zipstatus::ok)
            return status;
        ++recordsPerDisk[output.disk()];
        status = output.write(bytes.data(), bytes.size());
        if (status != zipstatus::ok)
            return status;
        cdSize += bytes.size();
    }

    const uint64_t entries = records.size();
    bool zip64 = entries >= max16 || cdSize >= max32 || cdOffset >= max32 || cdDisk >= max16;
    // The end records are read from the last part only, so they must not be cut.
    size_t blockSize = endSize + comment.size() + (zip64 ? zip64EndSize + zip64LocatorSize : 0);
    status = output.keepTogether(blockSize);
    if (status != zipstatus::ok)
        return status;
    const uint32_t lastDisk = output.disk();
    if (lastDisk >= max16 && !zip64) {
        zip64 = true;
        blockSize += zip64EndSize + zip64LocatorSize;
        status = output.keepTogether(blockSize);
        if (status != zipstatus::ok)
            return status;
    }
    const uint32_t finalDisk = output.disk();
    const uint64_t onLastDisk = recordsPerDisk.count(finalDisk) ? recordsPerDisk[finalDisk] : 0;
    std::string block;
    if (zip64) {
        const uint64_t recordOffset = output.offset();
        append32(block, zip64EndSignature);
        append64(block, zip64EndSize - 12);
        append16(block, 0x032d);
        append16(block, 45);
        append32(block, finalDisk);
        append32(block, cdDisk);
        append64(block, onLastDisk);
        append64(block, entries);
        append64(block, cdSize);
        append64(block, cdOffset);
        append32(block, zip64LocatorSignature);
        append32(block, finalDisk);
        append64(block, recordOffset);
        append32(block, finalDisk + 1);
    }
    append32(block, endSignature);
    append16(block, static_cast<uint16_t>(std::min<uint32_t>(finalDisk, max16)));
    append16(block, static_cast<uint16_t>(std::min<uint32_t>(cdDisk, max16)));
    append16(block, static_cast<uint16_t>(std::min<uint64_t>(onLastDisk, max16)));
    append16(block, static_cast<uint16_t>(std::min<uint64_t>(entries, max16)));
    append32(block, static_cast<uint32_t>(std::min<uint64_t>(cdSize, max32)));
    append32(block, static_cast<uint32_t>(std::min<uint64_t>(cdOffset, max32)));
    append16(block, static_cast<uint16_t>(comment.size()));
    block += comment;
    status = output.write(block.data(), block.size());
    if (status == zipstatus::ok)
        *diskWithCd = cdDisk;
    return status;
}

} // namespace vexa
