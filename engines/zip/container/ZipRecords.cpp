#include "engines/zip/container/ZipRecords.h"

#include "engines/zip/container/ByteOrder.h"
#include "engines/zip/container/ZipStatus.h"

#include <ctime>
#include <mutex>

namespace vexa::ziprecords {

using zipbytes::get16;
using zipbytes::get32;
using zipbytes::get64;

namespace {

// The C library keeps one time zone state for the whole process, and mktime reloads it, freeing
// what the last call kept: extraction workers converting at once would race on it.
std::mutex timeZoneState;

int64_t convertDos(uint32_t dosDate) {
    const uint32_t date = dosDate >> 16;
    const uint32_t time = dosDate & 0xffff;
    std::tm parts{};
    parts.tm_year = static_cast<int>((date >> 9) & 0x7f) + 80;
    parts.tm_mon = static_cast<int>((date >> 5) & 0x0f) - 1;
    parts.tm_mday = static_cast<int>(date & 0x1f);
    parts.tm_hour = static_cast<int>(time >> 11);
    parts.tm_min = static_cast<int>((time >> 5) & 0x3f);
    parts.tm_sec = static_cast<int>(time & 0x1f) * 2;
    parts.tm_isdst = -1;
    std::time_t seconds;
    {
        std::lock_guard lock(timeZoneState);
        seconds = std::mktime(&parts);
    }
    return seconds == static_cast<std::time_t>(-1) ? 0 : static_cast<int64_t>(seconds);
}

} // namespace

int64_t unixTimeFromDos(uint32_t dosDate) {
    // mktime looks at the time zone file again on every call, and an archive's entries
    // mostly share their hour: the start of the last hour is kept. Clock changes fall on
    // whole hours, so the minutes and seconds only add.
    constexpr uint32_t hourBits = 0xfffff800;
    const uint32_t minutes = (dosDate >> 5) & 0x3f;
    const uint32_t seconds = (dosDate & 0x1f) * 2;
    if (minutes > 59)
        return convertDos(dosDate);
    thread_local uint32_t cachedHour = 0;
    thread_local int64_t cachedStart = 0;
    if (cachedHour != (dosDate & hourBits) || cachedHour == 0) {
        cachedStart = convertDos(dosDate & hourBits);
        cachedHour = dosDate & hourBits;
        if (cachedStart == 0) {
            cachedHour = 0;
            return convertDos(dosDate);
        }
    }
    return cachedStart + minutes * 60 + seconds;
}

uint32_t dosTimeFromUnix(int64_t seconds) {
    std::time_t value = static_cast<std::time_t>(seconds);
    std::tm parts{};
    std::unique_lock lock(timeZoneState);
    const bool converted = localtime_r(&value, &parts) != nullptr;
    lock.unlock();
    if (!converted || parts.tm_year < 80)
        return (1u << 21) | (1u << 16); // 1980-01-01 00:00, the earliest DOS time
    if (parts.tm_year > 207)
        return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
    uint32_t date = (static_cast<uint32_t>(parts.tm_year - 80) << 9) |
                    (static_cast<uint32_t>(parts.tm_mon + 1) << 5) |
                    static_cast<uint32_t>(parts.tm_mday);
    uint32_t time = (static_cast<uint32_t>(parts.tm_hour) << 11) |
                    (static_cast<uint32_t>(parts.tm_min) << 5) |
                    static_cast<uint32_t>(parts.tm_sec / 2);
    return (date << 16) | time;
}

void CentralEntry::bindPointers() {
    info.filename = filename.c_str();
    info.filename_size = static_cast<uint16_t>(filename.size());
    info.extrafield = reinterpret_cast<const uint8_t*>(extrafield.data());
    info.extrafield_size = static_cast<uint16_t>(extrafield.size());
    info.comment = comment.c_str();
    info.comment_size = static_cast<uint16_t>(comment.size());
    info.linkname = hasLinkname ? linkname.c_str() : nullptr;
}

void readCentralFixed(const uint8_t* p, CentralEntry& entry, size_t* nameLength,
                      size_t* extraLength, size_t* commentLength) {
    ZipFileInfo& info = entry.info;
    info = ZipFileInfo{};
    entry.hasLinkname = false;
    entry.linkname.clear();
    info.version_madeby = get16(p + 4);
    info.version_needed = get16(p + 6);
    info.flag = get16(p + 8);
    entry.storedMethod = get16(p + 10);
    info.compression_method = entry.storedMethod;
    info.dos_date = (static_cast<uint32_t>(get16(p + 14)) << 16) | get16(p + 12);
    info.crc = get32(p + 16);
    info.compressed_size = get32(p + 20);
    info.uncompressed_size = get32(p + 24);
    *nameLength = get16(p + 28);
    *extraLength = get16(p + 30);
    *commentLength = get16(p + 32);
    info.disk_number = get16(p + 34);
    info.internal_fa = get16(p + 36);
    info.external_fa = get32(p + 38);
    info.disk_offset = get32(p + 42);
}

namespace {

int64_t unixTimeFromFiletime(uint64_t filetime) {
    return static_cast<int64_t>(filetime / 10000000) - 11644473600LL;
}

int applyZip64(ZipFileInfo& info, const uint8_t* data, size_t length, uint32_t rawUncompressed,
               uint32_t rawCompressed, uint32_t rawOffset, uint16_t rawDisk) {
    size_t at = 0;
    auto take64 = [&](int64_t& field) {
        if (at + 8 > length)
            return false;
        field = static_cast<int64_t>(get64(data + at));
        at += 8;
        return true;
    };
    if (rawUncompressed == max32 && !take64(info.uncompressed_size))
        return zipstatus::format;
    if (rawCompressed == max32 && !take64(info.compressed_size))
        return zipstatus::format;
    if (rawOffset == max32 && !take64(info.disk_offset))
        return zipstatus::format;
    if (rawDisk == max16) {
        if (at + 4 > length)
            return zipstatus::format;
        info.disk_number = get32(data + at);
    }
    info.zip64 = 1;
    return zipstatus::ok;
}

} // namespace

int applyExtraFields(CentralEntry& entry) {
    ZipFileInfo& info = entry.info;
    const auto rawUncompressed = static_cast<uint32_t>(info.uncompressed_size);
    const auto rawCompressed = static_cast<uint32_t>(info.compressed_size);
    const auto rawOffset = static_cast<uint32_t>(info.disk_offset);
    const auto rawDisk = static_cast<uint16_t>(info.disk_number);
    bool sawZip64 = false;
    bool sawAes = false;
    bool timed = false;
    const auto* extra = reinterpret_cast<const uint8_t*>(entry.extrafield.data());
    const size_t total = entry.extrafield.size();
    size_t at = 0;
    while (at + 4 <= total) {
        const uint16_t id = get16(extra + at);
        const size_t length = get16(extra + at + 2);
        const uint8_t* data = extra + at + 4;
        if (at + 4 + length > total)
            break; // a cut field: the ones before it still count
        at += 4 + length;
        switch (id) {
        case extraZip64:
            if (!sawZip64) {
                sawZip64 = true;
                int status = applyZip64(info, data, length, rawUncompressed, rawCompressed,
                                        rawOffset, rawDisk);
                if (status != zipstatus::ok)
                    return status;
            }
            break;
        case extraNtfs:
            // Reserved word, then tagged attributes; tag 1 holds the three file times.
            for (size_t t = 4; t + 4 <= length;) {
                const uint16_t tag = get16(data + t);
                const size_t size = get16(data + t + 2);
                if (t + 4 + size > length)
                    break;
                if (tag == 1 && size >= 24) {
                    info.modified_date = unixTimeFromFiletime(get64(data + t + 4));
                    info.accessed_date = unixTimeFromFiletime(get64(data + t + 12));
                    info.creation_date = unixTimeFromFiletime(get64(data + t + 20));
                    timed = true;
                }
                t += 4 + size;
            }
            break;
        case extraTimestamp:
            if (length >= 5 && (data[0] & 1) != 0) {
                info.modified_date = get32(data + 1);
                timed = true;
            }
            break;
        case extraUnix:
            // atime, mtime, uid, gid, then the link target of a symbolic link.
            if (length > 12) {
                entry.linkname.assign(reinterpret_cast<const char*>(data + 12), length - 12);
                entry.hasLinkname = true;
            }
            break;
        case extraAes:
            if (entry.storedMethod == methodAes && !sawAes) {
                if (length < 7 || data[2] != 'A' || data[3] != 'E')
                    return zipstatus::format;
                sawAes = true;
                info.aes_version = get16(data);
                info.aes_strength = data[4];
                info.compression_method = get16(data + 5);
            }
            break;
        default:
            break;
        }
    }
    // Only now: converting local time costs a system call per entry (the C library checks the
    // time zone file each time), and most archives carry a time field that makes it needless.
    if (!timed)
        info.modified_date = unixTimeFromDos(info.dos_date);
    entry.bindPointers();
    return zipstatus::ok;
}

namespace {

template <typename Keep>
std::string extraFieldsWhere(const uint8_t* extra, size_t length, Keep keep) {
    std::string kept;
    size_t at = 0;
    while (extra != nullptr && at + 4 <= length) {
        const uint16_t id = get16(extra + at);
        const size_t size = get16(extra + at + 2);
        if (at + 4 + size > length)
            break;
        if (keep(id))
            kept.append(reinterpret_cast<const char*>(extra + at), 4 + size);
        at += 4 + size;
    }
    return kept;
}

} // namespace

std::string keptExtraFields(const uint8_t* extra, size_t length) {
    return extraFieldsWhere(extra, length, [](uint16_t id) {
        return id != extraZip64 && id != extraTimestamp && id != extraAes;
    });
}

std::string extraFieldsBesideZip64(const uint8_t* extra, size_t length) {
    return extraFieldsWhere(extra, length, [](uint16_t id) { return id != extraZip64; });
}

void readEnd(const uint8_t* p, EndRecord& end) {
    end = EndRecord{};
    end.lastDisk = get16(p + 4);
    end.cdDisk = get16(p + 6);
    end.entriesOnDisk = get16(p + 8);
    end.entries = get16(p + 10);
    end.cdSize = get32(p + 12);
    end.cdOffset = get32(p + 16);
}

void readZip64End(const uint8_t* p, EndRecord& end) {
    end.lastDisk = get32(p + 16);
    end.cdDisk = get32(p + 20);
    end.entriesOnDisk = get64(p + 24);
    end.entries = get64(p + 32);
    end.cdSize = get64(p + 40);
    end.cdOffset = get64(p + 48);
    end.zip64 = true;
}

} // namespace vexa::ziprecords
