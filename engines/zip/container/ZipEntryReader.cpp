#include "engines/zip/container/ZipEntryReader.h"

#include "engines/codec/PullStream.h"
#include "engines/zip/container/ByteOrder.h"
#include "engines/zip/container/ZipStatus.h"

#include <algorithm>
#include <cstring>
#include <openssl/crypto.h>

namespace vexa {

using namespace ziprecords;

namespace {

constexpr size_t bufferSize = 1 << 16;
// The local extra field may be a little longer than the central one (Info-ZIP's timestamp field
// holds three times there, one here); reading this much more spares a second read.
constexpr size_t localSlack = 128;

int formatAtEnd(int status) {
    return status == zipstatus::endOfStream ? zipstatus::format : status;
}

} // namespace

int ZipEntryReader::locateData(const CentralEntry& entry) {
    const ZipFileInfo& info = entry.info;
    if (info.disk_offset < 0 || info.compressed_size < 0 || info.disk_number > input_.lastDisk())
        return zipstatus::format;
    const auto compressed = static_cast<uint64_t>(info.compressed_size);
    buffer_.resize(bufferSize);
    const uint64_t guess = localHeaderSize + info.filename_size + info.extrafield_size +
                           localSlack + std::min<uint64_t>(compressed, bufferSize);
    uint64_t want = std::min<uint64_t>(guess, bufferSize);
    int status = zipstatus::ok;
    if (input_.lastDisk() != 0) {
        // The guess stops at the part's end: the next part is opened only when the entry really
        // goes on there (it may be missing while this entry is whole).
        uint64_t partLength = 0;
        status = input_.partSize(info.disk_number, &partLength);
        if (status != zipstatus::ok)
            return status;
        if (static_cast<uint64_t>(info.disk_offset) < partLength)
            want = std::min(want, partLength - static_cast<uint64_t>(info.disk_offset));
    }
    status = input_.seek(info.disk_number, static_cast<uint64_t>(info.disk_offset));
    if (status != zipstatus::ok)
        return status;
    const int64_t got = input_.read(buffer_.data(), want);
    if (got < 0)
        return static_cast<int>(got);
    const auto have = static_cast<size_t>(got);
    if (have < localHeaderSize || zipbytes::get32(buffer_.data()) != localHeaderSignature)
        return zipstatus::format;
    // The local name and extra field are skipped; the central record is the one trusted.
    const uint64_t headerLength = localHeaderSize + zipbytes::get16(buffer_.data() + 26) +
                                  zipbytes::get16(buffer_.data() + 28);
    if (input_.lastDisk() == 0) {
        const uint64_t dataStart =
            static_cast<uint64_t>(info.disk_offset) + static_cast<uint64_t>(input_.bias());
        if (compressed > input_.mainSize() || dataStart > input_.mainSize() - compressed ||
            headerLength > input_.mainSize() - compressed - dataStart)
            return zipstatus::format;
        storedStart_ = dataStart + headerLength;
    }
    disk_ = input_.disk();
    offset_ = input_.offset();
    if (headerLength <= have) {
        pendingStart_ = static_cast<size_t>(headerLength);
        pendingEnd_ = static_cast<size_t>(std::min<uint64_t>(have, headerLength + compressed));
        unfetched_ = compressed - (pendingEnd_ - pendingStart_);
        return zipstatus::ok;
    }
    pendingStart_ = pendingEnd_ = 0;
    unfetched_ = compressed;
    // Walk over part ends the way the data itself continues.
    offset_ += headerLength - have;
    for (;;) {
        uint64_t size = 0;
        status = input_.partSize(disk_, &size);
        if (status != zipstatus::ok)
            return status;
        if (offset_ <= size && (offset_ < size || disk_ == input_.lastDisk()))
            return zipstatus::ok;
        if (disk_ == input_.lastDisk())
            return zipstatus::format;
        offset_ -= size;
        ++disk_;
    }
}

int ZipEntryReader::fill() {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer_.size(), unfetched_));
    if (want == 0)
        return zipstatus::endOfStream;
    int status = input_.seek(disk_, offset_);
    if (status != zipstatus::ok)
        return status;
    const int64_t got = input_.read(buffer_.data(), want);
    if (got < 0)
        return static_cast<int>(got);
    if (got == 0)
        return zipstatus::endOfStream; // the archive ends inside the entry
    disk_ = input_.disk();
    offset_ = input_.offset();
    unfetched_ -= static_cast<uint64_t>(got);
    pendingStart_ = 0;
    pendingEnd_ = static_cast<size_t>(got);
    return zipstatus::ok;
}

int ZipEntryReader::takeExact(uint8_t* out, size_t length) {
    const size_t buffered = std::min(length, pendingEnd_ - pendingStart_);
    std::memcpy(out, buffer_.data() + pendingStart_, buffered);
    pendingStart_ += buffered;
    length -= buffered;
    if (length == 0)
        return zipstatus::ok;
    if (length > unfetched_)
        return zipstatus::format;
    int status = input_.seek(disk_, offset_);
    if (status == zipstatus::ok)
        status = input_.readFully(out + buffered, length);
    if (status != zipstatus::ok)
        return formatAtEnd(status);
    disk_ = input_.disk();
    offset_ = input_.offset();
    unfetched_ -= length;
    return zipstatus::ok;
}

int ZipEntryReader::decrypt(uint8_t* data, size_t length) {
    if (pkware_)
        pkware_->decrypt(data, length);
    if (aes_ && !aes_->decrypt(data, length))
        return zipstatus::crypt;
    return zipstatus::ok;
}

int ZipEntryReader::takeDataInPlace(const uint8_t** piece, size_t* length) {
    if (pendingStart_ == pendingEnd_) {
        int status = fill();
        if (status != zipstatus::ok)
            return status;
    }
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(pendingEnd_ - pendingStart_, dataLeft_));
    uint8_t* data = buffer_.data() + pendingStart_;
    pendingStart_ += n;
    dataLeft_ -= n;
    *piece = data;
    *length = n;
    return decrypt(data, n);
}

int ZipEntryReader::open(const CentralEntry& entry, bool raw, const char* password) {
    if (open_)
        return zipstatus::param;
    const ZipFileInfo& info = entry.info;
    pkware_.reset();
    aes_.reset();
    inflater_.reset();
    finished_ = false;
    positional_ = false;
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
    int status = locateData(entry);
    if (status != zipstatus::ok)
        return status;
    dataLeft_ = static_cast<uint64_t>(info.compressed_size);

    if (!raw && encrypted && info.aes_version != 0) {
        const int strength = info.aes_strength;
        const size_t saltLength = WinZipAes::saltSize(strength);
        const size_t overhead = saltLength + WinZipAes::verifierSize + WinZipAes::authCodeSize;
        if (dataLeft_ < overhead)
            return zipstatus::format;
        uint8_t header[16 + WinZipAes::verifierSize];
        status = takeExact(header, saltLength + WinZipAes::verifierSize);
        if (status != zipstatus::ok)
            return status;
        aes_ = std::make_unique<WinZipAes>();
        uint8_t verifier[WinZipAes::verifierSize];
        if (!aes_->start(password, strength, header, verifier))
            return zipstatus::crypt;
        if (std::memcmp(verifier, header + saltLength, WinZipAes::verifierSize) != 0)
            return zipstatus::password;
        dataLeft_ -= overhead;
    } else if (!raw && encrypted) {
        if (dataLeft_ < PkwareDecryptor::headerSize)
            return zipstatus::format;
        uint8_t header[PkwareDecryptor::headerSize];
        status = takeExact(header, sizeof header);
        if (status != zipstatus::ok)
            return status;
        pkware_ = std::make_unique<PkwareDecryptor>(password);
        // With a data descriptor the CRC was unknown when the header was made: the time stands in.
        const uint8_t check = (info.flag & flagDataDescriptor) != 0
                                  ? static_cast<uint8_t>((info.dos_date >> 8) & 0xff)
                                  : static_cast<uint8_t>(info.crc >> 24);
        if (!pkware_->acceptHeader(header, check))
            return zipstatus::password;
        dataLeft_ -= PkwareDecryptor::headerSize;
    }

    deflated_ = !raw && info.compression_method == methodDeflate;
    positional_ = input_.lastDisk() == 0 && (raw || (!encrypted && !deflated_));
    storedLength_ = static_cast<uint64_t>(info.compressed_size);
    if (deflated_) {
        inflater_ = std::make_unique<codec::InflateDecoder>();
        inflateInput_ = nullptr;
        inflateAvailable_ = 0;
    }
    open_ = true;
    return zipstatus::ok;
}

int64_t ZipEntryReader::readStored(uint8_t* out, size_t length) {
    length = static_cast<size_t>(std::min<uint64_t>(length, dataLeft_));
    if (length == 0)
        return 0;
    size_t n = 0;
    if (pendingStart_ == pendingEnd_ && length >= buffer_.size()) {
        // Large reads go straight into the caller's buffer.
        int status = input_.seek(disk_, offset_);
        if (status != zipstatus::ok)
            return status;
        const int64_t got = input_.read(out, length);
        if (got < 0)
            return got;
        if (got == 0)
            return zipstatus::endOfStream; // the archive ends inside the entry
        n = static_cast<size_t>(got);
        disk_ = input_.disk();
        offset_ = input_.offset();
        unfetched_ -= n;
    } else {
        if (pendingStart_ == pendingEnd_) {
            int status = fill();
            if (status != zipstatus::ok)
                return status;
        }
        n = std::min(length, pendingEnd_ - pendingStart_);
        std::memcpy(out, buffer_.data() + pendingStart_, n);
        pendingStart_ += n;
    }
    dataLeft_ -= n;
    int status = decrypt(out, n);
    return status == zipstatus::ok ? static_cast<int64_t>(n) : status;
}

int32_t ZipEntryReader::readInflated(uint8_t* out, size_t length) {
    size_t total = 0;
    while (total < length && !finished_) {
        if (inflateAvailable_ == 0 && dataLeft_ > 0) {
            int status = takeDataInPlace(&inflateInput_, &inflateAvailable_);
            if (status != zipstatus::ok)
                return status;
        }
        codec::CodecBuffers io{inflateInput_, inflateAvailable_, out + total, length - total};
        bool ended = false;
        try {
            ended = inflater_->decode(io, dataLeft_ == 0);
        } catch (const codec::DataError&) {
            return zipstatus::format;
        }
        const size_t produced = length - total - io.outSize;
        inflateInput_ = io.in;
        inflateAvailable_ = io.inSize;
        total += produced;
        if (ended) {
            finished_ = true;
        } else if (produced == 0 && (inflateAvailable_ != 0 || dataLeft_ == 0)) {
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

int64_t ZipEntryReader::readAt(uint64_t position, void* buffer, size_t length) const {
    if (!open_ || !positional_)
        return zipstatus::support;
    if (position >= storedLength_)
        return 0;
    length = static_cast<size_t>(std::min<uint64_t>(length, storedLength_ - position));
    return input_.readAt(storedStart_ + position, buffer, length);
}

int ZipEntryReader::close() {
    if (!open_)
        return zipstatus::param;
    open_ = false;
    inflater_.reset();
    if (!aes_ || !finished_)
        return zipstatus::ok;
    // Whatever the inflater left unread still counts for the authentication code.
    while (dataLeft_ > 0) {
        const uint8_t* piece = nullptr;
        size_t n = 0;
        int status = takeDataInPlace(&piece, &n);
        if (status != zipstatus::ok)
            return formatAtEnd(status);
    }
    uint8_t stored[WinZipAes::authCodeSize];
    uint8_t computed[WinZipAes::authCodeSize];
    int status = takeExact(stored, sizeof stored);
    if (status != zipstatus::ok)
        return status;
    if (!aes_->authCode(computed))
        return zipstatus::crypt;
    return CRYPTO_memcmp(stored, computed, sizeof stored) == 0 ? zipstatus::ok : zipstatus::hash;
}

} // namespace vexa
