#include "core/archive/JavaArchive.h"

#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/ReadWrite.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace vexa {

namespace {

const std::array<std::string, 6>& rawValues() {
    static const std::array<std::string, 6> values{"JAR", "AAR", "WAR", "EAR", "APK", "AAB"};
    return values;
}

std::vector<std::string> nonEmptyParts(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

} // namespace

const std::string& rawValue(JavaArchive kind) {
    return rawValues()[static_cast<std::size_t>(kind)];
}

std::optional<JavaArchive> javaArchiveFromRawValue(const std::string& raw) {
    const auto& values = rawValues();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i] == raw)
            return static_cast<JavaArchive>(i);
    }
    return std::nullopt;
}

std::optional<JavaArchive> javaArchive(const std::filesystem::path& location) {
    const std::string extension = text::lowercased(paths::pathExtension(location));
    if (!javaExtensions().contains(extension))
        return std::nullopt;
    return javaArchiveFromRawValue(text::uppercased(extension));
}

const std::set<std::string>& javaExtensions() {
    static const std::set<std::string> extensions{"jar", "aar", "war", "ear", "apk", "aab"};
    return extensions;
}

bool isEditableJavaKind(std::optional<JavaArchive> kind) {
    return kind != JavaArchive::apk && kind != JavaArchive::aab;
}

namespace {

// A path whose first piece is ASCII other than "META-INF" in any case: upper-casing cannot
// make it that folder's name, so the pieces need not be made.
bool outsideMetaInf(const std::string& path) {
    const std::size_t start = path.find_first_not_of('/');
    if (start == std::string::npos)
        return true;
    const std::size_t end = std::min(path.find('/', start), path.size());
    constexpr std::string_view folder = "META-INF";
    bool ascii = true;
    bool same = end - start == folder.size();
    for (std::size_t i = start; i < end; ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        ascii = ascii && c < 0x80;
        same = same && std::toupper(c) == folder[i - start];
    }
    return ascii && !same;
}

} // namespace

bool isSignedJavaArchive(const std::vector<ArchiveItem>& entries) {
    static const std::set<std::string> signatureExtensions{"SF", "RSA", "DSA", "EC"};
    for (const ArchiveItem& entry : entries) {
        if (outsideMetaInf(entry.path))
            continue;
        const auto parts = nonEmptyParts(entry.path);
        if (parts.size() != 2 || text::uppercased(parts[0]) != "META-INF")
            continue;
        const std::size_t dot = parts[1].rfind('.');
        if (dot == std::string::npos)
            continue;
        if (signatureExtensions.contains(text::uppercased(parts[1].substr(dot + 1))))
            return true;
    }
    return false;
}

bool hasZIPSignature(const std::filesystem::path& location) {
    // Non-blocking, so that a FIFO named like an archive cannot hang the listing.
    files::FileDescriptor fd(::open(location.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        return false;
    unsigned char bytes[4];
    if (platform::readFully(fd.get(), bytes, sizeof bytes) != sizeof bytes)
        return false;
    static const unsigned char localHeader[4] = {0x50, 0x4B, 0x03, 0x04};
    static const unsigned char endRecord[4] = {0x50, 0x4B, 0x05, 0x06};
    return std::memcmp(bytes, localHeader, 4) == 0 || std::memcmp(bytes, endRecord, 4) == 0;
}

} // namespace vexa
