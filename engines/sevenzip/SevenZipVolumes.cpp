#include "engines/sevenzip/SevenZipVolumes.h"

#include "core/archive/ArchiveFailure.h"
#include "platform/Paths.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <string>
#include <system_error>

namespace vexa {

namespace {

struct Numbering {
    std::filesystem::path stem; // the location without its number
    std::size_t width = 0;
    std::uint64_t number = 0;
};

std::optional<Numbering> numbering(const std::filesystem::path& location) {
    const std::string extension = paths::pathExtension(location);
    // Beyond 18 digits the number would not fit; such a name is not a part of a set.
    if (extension.empty() || extension.size() > 18 ||
        !std::all_of(extension.begin(), extension.end(),
                     [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return Numbering{paths::deletingPathExtension(location), extension.size(),
                     std::stoull(extension)};
}

std::filesystem::path partLocation(const Numbering& set, std::uint64_t number) {
    std::string digits = std::to_string(number);
    if (digits.size() < set.width)
        digits.insert(0, set.width - digits.size(), '0');
    std::filesystem::path location = set.stem;
    location += "." + digits;
    return location;
}

// A part that exists but cannot be read still belongs to the set: opening it reports it.
bool partExists(const std::filesystem::path& location) {
    std::error_code error;
    return std::filesystem::symlink_status(location, error).type() !=
           std::filesystem::file_type::not_found;
}

} // namespace

std::vector<std::filesystem::path> sevenZipVolumes(const std::filesystem::path& archive) {
    const auto set = numbering(archive);
    if (!set || set->number == 0)
        return {archive};
    // A lone file that merely ends in a number ("informe.2024") is an archive of its own.
    if (set->number > 1) {
        if (partExists(partLocation(*set, 1)))
            throw ArchiveFailure::notFirstVolume();
        return {archive};
    }
    std::vector<std::filesystem::path> parts{archive};
    for (std::uint64_t number = 2;; ++number) {
        auto location = partLocation(*set, number);
        if (!partExists(location))
            break;
        parts.push_back(std::move(location));
    }
    return parts;
}

std::optional<std::filesystem::path> sevenZipPartLocation(const std::filesystem::path& firstPart,
                                                          std::uint64_t number) {
    const auto set = numbering(firstPart);
    if (!set)
        return std::nullopt;
    return partLocation(*set, number);
}

std::string sevenZipBaseName(const std::filesystem::path& archive) {
    std::filesystem::path location = archive;
    if (numbering(location))
        location = paths::deletingPathExtension(location);
    if (text::lowercased(paths::pathExtension(location)) == "7z")
        location = paths::deletingPathExtension(location);
    std::string name = paths::lastPathComponent(location);
    return name.empty() ? paths::lastPathComponent(archive) : name;
}

} // namespace vexa
