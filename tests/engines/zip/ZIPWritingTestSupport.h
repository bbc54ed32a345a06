#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

// What Python's zipfile reads from an archive the engine wrote or edited.
namespace vexa::ziptest {

struct WrittenEntry {
    unsigned flag = 0;
    unsigned method = 0;
    std::uint32_t externalAttributes = 0;
    std::uint32_t crc = 0;
    std::int64_t compressedSize = 0;
    std::int64_t size = 0;
    std::string rawDigest; // SHA-256 of the stored bytes after the local header
    // The local header in hex, and the data descriptor after the stored bytes when bit 3 says
    // there is one (16 bytes, whatever their form).
    std::string localHeader;
};

// Every central-directory entry by name, as zipfile reads it.
std::map<std::string, WrittenEntry> writtenEntries(const std::filesystem::path& archive);

// The file's contents extracted by zipfile, by entry name (folders left out).
std::map<std::string, std::string> extractedByPython(const std::filesystem::path& archive);

// Joins the parts of a split set (stem.z01, stem.z02, … then `last`) into one ordinary archive
// at `joined`, with offsets counted from its start, so that tools without split support read it.
void joinSplitSet(const std::filesystem::path& last, const std::filesystem::path& joined);

} // namespace vexa::ziptest
