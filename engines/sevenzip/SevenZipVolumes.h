#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

// The part files of a 7z archive, by name: a set is name.7z.001, name.7z.002, ... (or name.001,
// ... when the first part carries the 7z signature), all in one folder.
namespace vexa {

// The parts in order. A first numbered part brings every following part that exists, numbered
// with the same width; a file without a numbered extension is its own only part. A later part
// (name.7z.002) throws ArchiveFailure::notFirstVolume while the set's first part exists.
std::vector<std::filesystem::path> sevenZipVolumes(const std::filesystem::path& archive);

// The file of part `number` of the set that `firstPart` begins, or nothing when `firstPart` is
// not a numbered part.
std::optional<std::filesystem::path> sevenZipPartLocation(const std::filesystem::path& firstPart,
                                                          std::uint64_t number);

// The archive name without its volume number and its ".7z": the name of the extraction folder.
std::string sevenZipBaseName(const std::filesystem::path& archive);

} // namespace vexa
