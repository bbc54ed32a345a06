#include "engines/zip/container/ZipEntryReader.h"

#include "engines/zip/container/ByteOrder.h"
#include "engines/zip/container/ZipStatus.h"

#include <algorithm>
#include <cstring>
#include <openssl/crypto.h>

namespace vexa {

using namespace ziprecords;

namespace {

constexpr size_t inputBufferSize = 1 << 16;

} // namespace

int ZipEntryReader::locateData(const CentralEntry& entry, uint64_t* dataDisk,
                               uint64_t* dataOffset) {
    const ZipFileInfo& info = entry.info;
    if (info.disk_offset < 0 || info.compressed_size < 0 || info.disk_number > input_.lastDisk())
        return zipstatus::format;
    int status = input_.seek(info.disk_number, static_cast<uint64_t>(info.disk_offset));
    if (status != zipstatus::ok)
        return status;
    uint8_t local[localHeaderSize];
    status = input_.readFully(local, sizeof local);
    if (status != zipstatus::ok)
        return status == zipstatus::endOfStream ? zipstatus::format : status;
    if (zipbytes::get32(local) != localHeaderSignature)
        return zipstatus::format;
    // Skip the local name and extra field; the central record is the one trusted for the rest.
    uint64_t skip =
        static_cast<uint64_t>(zipbytes::get16(local + 26)) + zipbytes::get16(local + 28);
    uint64_t offset = input_.offset() + skip;
    uint32_t disk = input_.disk();
    // Walk over part ends the way the data itself continues.
    for (;;) {
        uint64_t size = 0;
        status = input_.partSize(disk, &size);
        if (status != zipstatus::ok)
            return status;
        if (offset <= size && (offset < size || disk == input_.lastDisk()))
            break;
        if (disk == input_.lastDisk())
            return zipstatus::format;
        offset -= size;
        ++disk;
    }
    if (input_.lastDisk() == 0) {
        const uint64_t physicalEnd = offset + static_cast<uint64_t>(input_.bias()) +
                                     static_cast<uint64_t>(info.compressed_size);
        if (physicalEnd > input_.mainSize() || physicalEnd < offset)
            return zipstatus::format;
    }
    *dataDisk = disk;
    *dataOffset = offset;
    return zipstatus::ok;
}

int ZipEntryReader::open(const CentralEntry& entry, bool raw, const char* password) {
    if (open_)
        return zipstatus::param;
    const ZipFileInfo& info = entry.info;
    pkware_.reset();
    aes_.reset();
    inflater_.reset();
    finished_ = false;
    raw_ = raw;
    const bool encrypted = (info.flag & flagEncrypted) != 0;
    if (!raw) {
        if (encrypted && (info.flag & flagStrongEncryption) != 0)
            return zipstatus::support;
        if (info.compression_method != methodStore && info.compression_method != methodDeflate)
            return zipstatus::support;
        if (encrypted && entry.storedMethod == methodAes && info.aes_version == 0)
            return zipstatus::support;
        if (encrypted && info.aes_version != 0 && !WinZipAes::validStrength(info.aes_strength))
            return zipstatus::support;
        if (encrypted && password == nullptr)
            return zipstatus::param;
    }
    uint64_t dataDisk = 0, dataOffset = 0;
    int status = locateData(entry, &dataDisk, &dataOffset);
    if (status != zipstatus::ok)
        return status;
    disk_ = static_cast<uint32_t>(dataDisk);
    offset_ = dataOffset;
    remaining_ = static_cast<uint64_t>(info.compressed_size);
    status = input_.seek(disk_, offset_);
    if (status != zipstatus::ok)
        return status;

    if (!raw && encrypted && info.aes_version != 0) {
        const int strength = info.aes_strength;
        const size_t saltLength = WinZipAes::saltSize(strength);
        const size_t overhead = saltLength + WinZipAes::verifierSize + WinZipAes::authCodeSize;
        if (remaining_ < overhead)
            return zipstatus::format;
        uint8_t header[16 + WinZipAes::verifierSize];
        status = input_.readFully(header, saltLength + WinZipAes::verifierSize);
        if (status != zipstatus::ok)
            return status == zipstatus::endOfStream ? zipstatus::format : status;
        aes_ = std::make_unique<WinZipAes>();
        uint8_t verifier[WinZipAes::verifierSize];
        if (!aes_->start(password, strength, header, verifier))
            return zipstatus::crypt;
        if (std::memcmp(verifier, header + saltLength, WinZipAes::verifierSize) != 0)
            return zipstatus::password;
        remaining_ -= overhead;
    } else if (!raw && encrypted) {
        if (remaining_ < PkwareDecryptor::headerSize)
            return zipstatus::format;
        uint8_t header[PkwareDecryptor::headerSize];
        status = input_.readFully(header, sizeof header);
        if (status != zipstatus::ok)
            return status == zipstatus::endOfStream ? zipstatus::format : status;
        pkware_ = std::make_unique<PkwareDecryptor>(password);
        // With a data descriptor the CRC was unknown when the header was made: the time stands in.
        const uint8_t check = (info.flag & flagDataDescriptor) != 0
                                  ? static_cast<uint8_t>((info.dos_date >> 8) & 0xff)
                                  : static_cast<uint8_t>(info.crc >> 24);
        if (!pkware_->acceptHeader(header, check))
            return zipstatus::password;
        remaining_ -= PkwareDecryptor::headerSize;
    }
    disk_ = input_.disk();
    offset_ = input_.offset();

    deflated_ = !raw && info.compression_method == methodDeflate;
    if (deflated_) {
        inflater_ = std::make_unique<Inflater>();
        if (!inflater_->start())
            return zipstatus::internal;
        inputBuffer_.resize(inputBufferSize);
    }
    open_ = true;
    return zipstatus::ok;
}

int64_t ZipEntryReader::readStored(uint8_t* out, size_t length) {
    length = static_cast<size_t>(std::min<uint64_t>(length, remaining_));
    if (length == 0)
        return 0;
    int status = input_.seek(disk_, offset_);
    if (status != zipstatus::ok)
        return status;
    int64_t n = input_.read(out, length);
    if (n < 0)
        return n;
    if (n == 0)
        return zipstatus::endOfStream; // the archive ends inside the entry
    disk_ = input_.disk();
    offset_ = input_.offset();
    remaining_ -= static_cast<uint64_t>(n);
    if (pkware_)
        pkware_->decrypt(out, static_cast<size_t>(n));
    if (aes_ && !aes_->decrypt(out, static_cast<size_t>(n)))
        return zipstatus::crypt;
    return n;
}

int32_t ZipEntryReader::readInflated(uint8_t* out, size_t length) {
    size_t total = 0;
    while (total < length && !finished_) {
        if (inflater_->availableInput() == 0 && remaining_ > 0) {
            int64_t n = readStored(inputBuffer_.data(), inputBuffer_.size());
            if (n < 0)
                return static_cast<int32_t>(n);
            inflater_->setInput(inputBuffer_.data(), static_cast<size_t>(n));
        }
        size_t produced = 0;
        bool ended = false;
        int status = inflater_->inflate(out + total, length - total, &produced, &ended);
        if (status != zipstatus::ok)
            return status;
        total += produced;
        if (ended) {
            finished_ = true;
        } else if (produced == 0 && (inflater_->availableInput() != 0 || remaining_ == 0)) {
            // No progress: either a broken stream, or the stored data ended before the deflate
            // stream did. What came before is handed out first; the next call reports it.
            return total > 0 ? static_cast<int32_t>(total) : zipstatus::format;
        }
    }
    return static_cast<int32_t>(total);
}

int32_t ZipEntryReader::read(void* buffer, int32_t length) {
    if (!open_ || length < 0 || (buffer == nullptr && length > 0))
        return zipstatus::param;
    auto* out = static_cast<uint8_t*>(buffer);
    if (deflated_)
        return readInflated(out, static_cast<size_t>(length));
    int64_t n = readStored(out, static_cast<size_t>(length));
    if (n == 0)
        finished_ = true;
    return static_cast<int32_t>(n);
}

int ZipEntryReader::close() {
    if (!open_)
        return zipstatus::param;
    open_ = false;
    inflater_.reset();
    if (!aes_ || !finished_)
        return zipstatus::ok;
    // Whatever the inflater left unread still counts for the authentication code.
    while (remaining_ > 0) {
        inputBuffer_.resize(inputBufferSize);
        int64_t n = readStored(inputBuffer_.data(), inputBuffer_.size());
        if (n <= 0)
            return n < 0 ? static_cast<int>(n) : zipstatus::format;
    }
    uint8_t stored[WinZipAes::authCodeSize];
    uint8_t computed[WinZipAes::authCodeSize];
    int status = input_.seek(disk_, offset_);
    if (status == zipstatus::ok)
        status = input_.readFully(stored, sizeof stored);
    if (status != zipstatus::ok)
        return status == zipstatus::endOfStream ? zipstatus::format : status;
    if (!aes_->authCode(computed))
        return zipstatus::crypt;
    return CRYPTO_memcmp(stored, computed, sizeof stored) == 0 ? zipstatus::ok : zipstatus::hash;
}

} // namespace vexa
