#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <set>
#include <string>

// The probes behind the engine choice. Detection is by file name except for two bounded reads:
// a numbered part (".001") is tested for the 7z signature and an "sfx" or "exe" file is searched
// for the RAR marker. No probe fails: every read error counts as a negative answer.
namespace vexa {

inline constexpr std::array<unsigned char, 6> sevenZipSignature{0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
// "Rar!" 0x1A 0x07: the prefix of both the RAR 4 and RAR 5 signatures.
inline constexpr std::array<unsigned char, 6> rarMarker{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07};

// The RAR marker search reads at most this many chunks of this size.
inline constexpr std::size_t rarMarkerChunkSize = 262144;
inline constexpr int rarMarkerMaximumReads = 16;

// "zip", "rar", "sfx", "exe", "7z"; the Java kinds are javaExtensions().
const std::set<std::string>& supportedArchiveExtensions();

// "7z" by name; a numbered part (every character of its extension a number) when the name
// before it ends in ".7z" or its first six bytes are the 7z signature.
bool isSevenZipArchive(const std::filesystem::path& location);
// "rar" by name; "sfx" and "exe" when the RAR marker lies in the first 4 MiB.
bool isRARArchive(const std::filesystem::path& location);
// Whether the open command takes the file as an archive at all.
bool isSupportedArchive(const std::filesystem::path& location);

} // namespace vexa
