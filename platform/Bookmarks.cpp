#include "platform/Bookmarks.h"

#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa::bookmarks {

namespace fs = std::filesystem;

namespace {

// Layout: magic, device (8 bytes, little-endian), inode (8 bytes), then the path's bytes. A
// binary form keeps any path byte sequence, which JSON text could not. The identity is kept
// for a future check of replaced items; resolving goes by the path alone.
constexpr std::string_view magic = "VXBM1";
constexpr std::size_t headerSize = magic.size() + 16;

void appendNumber(Data& data, std::uint64_t value) {
    for (int i = 0; i < 8; ++i)
        data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

fs::path normalized(const fs::path& location) {
    std::error_code error;
    fs::path absolute = fs::absolute(location, error);
    if (error)
        absolute = location;
    absolute = absolute.lexically_normal();
    // "/a/b/" and "/a/b" name the same item.
    if (!absolute.has_filename() && absolute.has_parent_path() && absolute != absolute.root_path())
        absolute = absolute.parent_path();
    return absolute;
}

struct AccessLedger {
    std::mutex mutex;
    AccessCounts counts;
    std::map<fs::path, std::int64_t> balance;
};

AccessLedger& ledger() {
    static AccessLedger instance;
    return instance;
}

} // namespace

Data bookmarkData(const fs::path& location) {
    const fs::path absolute = normalized(location);
    struct stat info {};
    if (::stat(absolute.c_str(), &info) != 0)
        throw PlatformError::fromErrno(errno, absolute.string(), false);
    Data data(magic.begin(), magic.end());
    appendNumber(data, static_cast<std::uint64_t>(info.st_dev));
    appendNumber(data, static_cast<std::uint64_t>(info.st_ino));
    const std::string& path = absolute.native();
    data.insert(data.end(), path.begin(), path.end());
    return data;
}

fs::path resolveBookmark(const Data& data) {
    if (data.size() <= headerSize || !std::equal(magic.begin(), magic.end(), data.begin()))
        throw PlatformError(PlatformError::Code::fileReadUnknown, "");
    const fs::path location(std::string(data.begin() + headerSize, data.end()));
    if (!location.is_absolute() ||
        std::find(data.begin() + headerSize, data.end(), 0) != data.end())
        throw PlatformError(PlatformError::Code::fileReadUnknown, "");
    struct stat info {};
    if (::stat(location.c_str(), &info) != 0)
        throw PlatformError::fromErrno(errno, location.string(), false);
    return location;
}

bool startAccessing(const fs::path& location) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(location, error)))
        return false;
    AccessLedger& book = ledger();
    std::lock_guard lock(book.mutex);
    ++book.counts.starts;
    ++book.balance[normalized(location)];
    return true;
}

void stopAccessing(const fs::path& location) {
    AccessLedger& book = ledger();
    std::lock_guard lock(book.mutex);
    ++book.counts.stops;
    const fs::path key = normalized(location);
    if (--book.balance[key] == 0)
        book.balance.erase(key);
}

AccessCounts accessCounts() {
    AccessLedger& book = ledger();
    std::lock_guard lock(book.mutex);
    return book.counts;
}

std::map<fs::path, std::int64_t> openAccess() {
    AccessLedger& book = ledger();
    std::lock_guard lock(book.mutex);
    return book.balance;
}

void resetAccessCounts() {
    AccessLedger& book = ledger();
    std::lock_guard lock(book.mutex);
    book.counts = {};
    book.balance.clear();
}

bool grantedWithoutAsking(const fs::path& folder) {
    std::error_code error;
    return fs::is_directory(folder, error) && ::access(folder.c_str(), R_OK | X_OK) == 0;
}

} // namespace vexa::bookmarks
