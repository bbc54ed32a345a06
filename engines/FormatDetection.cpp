#include "engines/FormatDetection.h"

#include "core/archive/JavaArchive.h"
#include "core/archive/TarCompression.h"
#include "platform/Paths.h"
#include "platform/ReadWrite.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>
#include <vector>

namespace vexa {

namespace {

std::string lowerExtension(const std::filesystem::path& location) {
    return text::lowercased(paths::pathExtension(location));
}

// Numbered parts may be written in any script's digits, as the file manager shows them.
bool isAllNumbers(const std::string& text) {
    if (text.empty())
        return false;
    std::int32_t offset = 0;
    const auto length = static_cast<std::int32_t>(text.size());
    while (offset < length) {
        UChar32 character = 0;
        U8_NEXT(text.data(), offset, length, character);
        if (character < 0 || u_getIntPropertyValue(character, UCHAR_NUMERIC_TYPE) == U_NT_NONE)
            return false;
    }
    return true;
}

// Closes on every way out; the probes ignore close errors.
class ReadOnlyFile {
  public:
    explicit ReadOnlyFile(const std::filesystem::path& location)
        : fd_(::open(location.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool isOpen() const { return fd_ >= 0; }

    // One read of up to `size` bytes; -1 on error, 0 at the end.
    ssize_t read(unsigned char* buffer, std::size_t size) {
        return platform::readSome(fd_, buffer, size);
    }

  private:
    int fd_;
};

bool startsWithSevenZipSignature(const std::filesystem::path& location) {
    ReadOnlyFile file(location);
    if (!file.isOpen())
        return false;
    std::array<unsigned char, sevenZipSignature.size()> head{};
    std::size_t filled = 0;
    while (filled < head.size()) {
        const ssize_t count = file.read(head.data() + filled, head.size() - filled);
        if (count < 0)
            return false;
        if (count == 0)
            break;
        filled += static_cast<std::size_t>(count);
    }
    return filled == head.size() && head == sevenZipSignature;
}

bool containsRARMarker(const std::filesystem::path& location) {
    ReadOnlyFile file(location);
    if (!file.isOpen())
        return false;
    constexpr std::size_t carry = rarMarker.size() - 1;
    // The window is the previous chunk's tail followed by the new chunk, so a marker that
    // straddles two reads is still found.
    std::vector<unsigned char> window(carry + rarMarkerChunkSize);
    std::size_t tail = 0;
    for (int reads = 0; reads < rarMarkerMaximumReads; ++reads) {
        const ssize_t count = file.read(window.data() + tail, rarMarkerChunkSize);
        if (count <= 0)
            return false;
        const auto end = window.begin() + static_cast<std::ptrdiff_t>(tail + count);
        if (std::search(window.begin(), end, rarMarker.begin(), rarMarker.end()) != end)
            return true;
        const std::size_t kept = std::min(carry, static_cast<std::size_t>(count));
        std::copy(end - static_cast<std::ptrdiff_t>(kept), end, window.begin());
        tail = kept;
    }
    return false;
}

} // namespace

const std::set<std::string>& supportedArchiveExtensions() {
    static const std::set<std::string> extensions{"zip", "rar", "sfx", "exe", "7z"};
    return extensions;
}

bool isSevenZipArchive(const std::filesystem::path& location) {
    const std::string extension = lowerExtension(location);
    if (extension == "7z")
        return true;
    if (!isAllNumbers(extension))
        return false;
    if (lowerExtension(paths::deletingPathExtension(location)) == "7z")
        return true;
    return startsWithSevenZipSignature(location);
}

bool isRARArchive(const std::filesystem::path& location) {
    const std::string extension = lowerExtension(location);
    if (extension == "rar")
        return true;
    if (extension != "sfx" && extension != "exe")
        return false;
    return containsRARMarker(location);
}

bool isSupportedArchive(const std::filesystem::path& location) {
    const std::string extension = lowerExtension(location);
    if (supportedArchiveExtensions().contains(extension))
        return true;
    if (javaExtensions().contains(extension))
        return true;
    if (isSevenZipArchive(location))
        return true;
    return detectTarCompression(location).has_value();
}

} // namespace vexa
