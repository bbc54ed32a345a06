#include "engines/rar/RARBridge.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <unrar/dll.hpp>
#include <vector>

static_assert(VXRarSuccess == ERAR_SUCCESS && VXRarEndOfArchive == ERAR_END_ARCHIVE &&
              VXRarBadData == ERAR_BAD_DATA && VXRarMissingPassword == ERAR_MISSING_PASSWORD &&
              VXRarBadPassword == ERAR_BAD_PASSWORD);

namespace {

// Serialises all RAR reading in the process; held from open to close of one handle.
// std::mutex is constant-initialised, so it is usable before any start-up code runs.
std::mutex VXRarProcessMutex;

constexpr std::size_t nameBufferSize = 4096;
constexpr unsigned int unixHost = 3;

// How the library widens a name it cannot decode in the current locale (every non-ASCII
// byte in the C locale this program runs in): a mark, then each such byte as 0xE000 + byte.
constexpr std::uint32_t mappedNameMark = 0xFFFE;
constexpr std::uint32_t mappedByteBase = 0xE000;

// wchar_t is UTF-32 here. Writes at most capacity - 1 bytes and a NUL, never cutting a
// character in two. With `restoreMapped`, bytes the library mapped are given back as they
// were, so a path it widened names the same file again.
void wideToUtf(const wchar_t* source, char* target, std::size_t capacity,
               bool restoreMapped = false) {
    restoreMapped =
        restoreMapped && std::wcschr(source, static_cast<wchar_t>(mappedNameMark)) != nullptr;
    std::size_t used = 0;
    for (; *source != 0; ++source) {
        auto c = static_cast<std::uint32_t>(*source);
        char bytes[4];
        std::size_t count;
        if (restoreMapped && c == mappedNameMark)
            continue;
        if (restoreMapped && c >= mappedByteBase + 0x80 && c <= mappedByteBase + 0xFF) {
            bytes[0] = static_cast<char>(c - mappedByteBase);
            count = 1;
        } else if (c < 0x80) {
            bytes[0] = static_cast<char>(c);
            count = 1;
        } else if (c < 0x800) {
            bytes[0] = static_cast<char>(0xC0 | (c >> 6));
            bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
            count = 2;
        } else if (c < 0x10000) {
            bytes[0] = static_cast<char>(0xE0 | (c >> 12));
            bytes[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
            count = 3;
        } else if (c < 0x110000) {
            bytes[0] = static_cast<char>(0xF0 | (c >> 18));
            bytes[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
            count = 4;
        } else {
            // Not a character at all: an invalid byte keeps the name from passing as UTF-8.
            bytes[0] = static_cast<char>(0xFF);
            count = 1;
        }
        if (used + count + 1 > capacity)
            break;
        std::memcpy(target + used, bytes, count);
        used += count;
    }
    target[used] = 0;
}

// Decodes UTF-8 into at most capacity - 1 wide characters and a NUL; malformed bytes become
// U+FFFD so that a bad password fails as a wrong one instead of reading past the text.
void utfToWide(const char* source, wchar_t* target, std::size_t capacity) {
    if (capacity == 0)
        return;
    std::size_t used = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(source);
    while (*p != 0 && used + 1 < capacity) {
        std::uint32_t c = *p;
        int extra = c < 0x80           ? 0
                    : (c >> 5) == 0x6  ? 1
                    : (c >> 4) == 0xE  ? 2
                    : (c >> 3) == 0x1E ? 3
                                       : -1;
        if (extra < 0) {
            target[used++] = 0xFFFD;
            ++p;
            continue;
        }
        c &= extra == 0 ? 0x7F : (0x3F >> extra);
        int i = 1;
        for (; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                break;
            c = (c << 6) | (p[i] & 0x3F);
        }
        if (i <= extra) {
            target[used++] = 0xFFFD;
            p += i;
            continue;
        }
        target[used++] = static_cast<wchar_t>(c);
        p += extra + 1;
    }
    target[used] = 0;
}

void strncpyz(char* target, const char* source, std::size_t capacity) {
    if (capacity == 0)
        return;
    std::strncpy(target, source, capacity - 1);
    target[capacity - 1] = 0;
}

} // namespace

struct VXRarHandle {
    std::unique_lock<std::mutex> lock{VXRarProcessMutex, std::defer_lock};
    HANDLE archive = nullptr;
    RARHeaderDataEx header{};
    std::string password;
    std::string name;
    VXRarDataCallback callback = nullptr;
    void* user = nullptr;
    std::string missing;
    std::vector<std::string> volumes;
    std::int32_t passwordRequested = 0;
    std::uint32_t archiveFlags = 0;
};

namespace {

void tearDown(VXRarHandle* handle) {
    if (handle->archive != nullptr) {
        RARCloseArchive(handle->archive);
        handle->archive = nullptr;
    }
    // volatile keeps the compiler from dropping the wipe of memory about to be freed.
    volatile char* bytes = handle->password.data();
    for (std::size_t i = 0; i < handle->password.size(); ++i)
        bytes[i] = 0;
    handle->password.clear();
    handle->password.shrink_to_fit();
    handle->volumes.clear();
    handle->name.clear();
    handle->missing.clear();
    if (handle->lock.owns_lock())
        handle->lock.unlock();
}

int CALLBACK VXRarUnrarCallback(UINT message, LPARAM userData, LPARAM p1, LPARAM p2) {
    auto* handle = reinterpret_cast<VXRarHandle*>(userData);
    // Without a data callback nothing can be cancelled and tested data is dropped.
    if (handle->callback != nullptr && handle->callback(handle->user, nullptr, 0) < 0)
        return -1;
    switch (message) {
    case UCM_PROCESSDATA:
        if (handle->callback == nullptr)
            return 1;
        return handle->callback(handle->user, reinterpret_cast<const std::uint8_t*>(p1),
                                static_cast<std::int32_t>(p2));
    case UCM_NEEDPASSWORD:
    case UCM_NEEDPASSWORDW:
        handle->passwordRequested = 1;
        if (handle->password.empty())
            return -1;
        if (message == UCM_NEEDPASSWORDW)
            utfToWide(handle->password.c_str(), reinterpret_cast<wchar_t*>(p1),
                      static_cast<std::size_t>(p2));
        else
            strncpyz(reinterpret_cast<char*>(p1), handle->password.c_str(),
                     static_cast<std::size_t>(p2));
        return 1;
    case UCM_CHANGEVOLUME:
    case UCM_CHANGEVOLUMEW: {
        char volume[nameBufferSize] = {};
        if (message == UCM_CHANGEVOLUMEW)
            wideToUtf(reinterpret_cast<const wchar_t*>(p1), volume, sizeof volume, true);
        else
            strncpyz(volume, reinterpret_cast<const char*>(p1), sizeof volume);
        if (p2 == RAR_VOL_ASK) {
            handle->missing = volume;
            return -1;
        }
        if (handle->volumes.empty() || handle->volumes.back() != volume)
            handle->volumes.emplace_back(volume);
        return 1;
    }
    default:
        return -1;
    }
}

} // namespace

extern "C" {

VXRarHandle* VXRarOpen(const char* path, const char* password, VXRarDataCallback callback,
                       void* user, int32_t* error) {
    auto* handle = new VXRarHandle();
    handle->lock.lock();
    handle->callback = callback;
    handle->user = user;
    handle->password = password != nullptr ? password : "";

    RAROpenArchiveDataEx data{};
    data.ArcName = const_cast<char*>(path);
    data.OpenMode = RAR_OM_EXTRACT;
    data.Callback = VXRarUnrarCallback;
    data.UserData = reinterpret_cast<LPARAM>(handle);
    handle->archive = RAROpenArchiveEx(&data);
    *error = static_cast<std::int32_t>(data.OpenResult);
    handle->archiveFlags = data.Flags;

    bool laterVolume = (data.Flags & ROADF_VOLUME) != 0 && (data.Flags & ROADF_FIRSTVOLUME) == 0;
    if (laterVolume)
        *error = VXRarNotFirstVolume;
    else if (handle->archive != nullptr && data.OpenResult == ERAR_SUCCESS)
        return handle;

    if (handle->passwordRequested == 1 && handle->password.empty())
        *error = ERAR_MISSING_PASSWORD;
    tearDown(handle);
    delete handle;
    return nullptr;
}

int32_t VXRarNextHeader(VXRarHandle* handle) {
    handle->header = RARHeaderDataEx{};
    int result = RARReadHeaderEx(handle->archive, &handle->header);
    if (!handle->missing.empty())
        return VXRarVolumeMissing;
    if (result != ERAR_SUCCESS)
        return result;
    if (handle->header.RedirType != 0)
        return VXRarUnsupportedEntry;
    if (handle->header.HostOS == unixHost) {
        unsigned int type = handle->header.FileAttr & 0xF000;
        if (type != 0x8000 && type != 0x4000)
            return VXRarUnsupportedEntry;
    }
    char name[nameBufferSize] = {};
    // The wide name is always filled in; the narrow one is in the locale's encoding.
    constexpr std::size_t wideCapacity = sizeof(RARHeaderDataEx::FileNameW) / sizeof(wchar_t);
    wchar_t wide[wideCapacity + 1] = {};
    std::wmemcpy(wide, handle->header.FileNameW, wideCapacity);
    // Names the library could not decode (UTF-8 names of a RAR 4 archive, in the C locale)
    // get their bytes back, as volume names do.
    wideToUtf(wide, name, sizeof name, true);
    handle->name = name;
    std::replace(handle->name.begin(), handle->name.end(), '\\', '/');
    return 0;
}

const char* VXRarEntryName(VXRarHandle* handle) {
    return handle->name.c_str();
}

int64_t VXRarEntryUnpackedSize(VXRarHandle* handle) {
    return static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(handle->header.UnpSizeHigh) << 32) | handle->header.UnpSize);
}

int64_t VXRarEntryPackedSize(VXRarHandle* handle) {
    return static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(handle->header.PackSizeHigh) << 32) | handle->header.PackSize);
}

uint32_t VXRarEntryFlags(VXRarHandle* handle) {
    return handle->header.Flags;
}

uint32_t VXRarEntryMode(VXRarHandle* handle) {
    if (handle->header.HostOS == unixHost)
        return handle->header.FileAttr & 0777;
    return 0644;
}

int64_t VXRarEntryModTime(VXRarHandle* handle) {
    std::uint64_t ticks =
        (static_cast<std::uint64_t>(handle->header.MtimeHigh) << 32) | handle->header.MtimeLow;
    if (ticks == 0)
        return 0;
    return static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;
}

int32_t VXRarProcessEntry(VXRarHandle* handle, int32_t test) {
    int result = RARProcessFile(handle->archive, test != 0 ? RAR_TEST : RAR_SKIP, nullptr, nullptr);
    if (!handle->missing.empty())
        return VXRarVolumeMissing;
    return result;
}

const char* VXRarMissingVolume(VXRarHandle* handle) {
    return handle->missing.c_str();
}

int32_t VXRarVolumeCount(VXRarHandle* handle) {
    return static_cast<std::int32_t>(handle->volumes.size());
}

const char* VXRarVolumeName(VXRarHandle* handle, int32_t index) {
    // An index out of range gives the empty text rather than reading past the list.
    if (index < 0 || static_cast<std::size_t>(index) >= handle->volumes.size())
        return "";
    return handle->volumes[static_cast<std::size_t>(index)].c_str();
}

int32_t VXRarHasRecoveryRecord(VXRarHandle* handle) {
    return (handle->archiveFlags & ROADF_RECOVERY) != 0 ? 1 : 0;
}

uint32_t VXRarArchiveFlags(VXRarHandle* handle) {
    return handle->archiveFlags;
}

void VXRarClose(VXRarHandle* handle) {
    if (handle == nullptr)
        return;
    tearDown(handle);
    delete handle;
}

} // extern "C"
