#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// 7z stores names and takes passwords as UTF-16LE; the rest of Vexa speaks UTF-8.
namespace vexa::sevenzip {

// Lone surrogates cannot come from valid UTF-8, so this never fails; invalid UTF-8 bytes are
// taken as U+FFFD.
std::vector<std::uint8_t> utf16LittleEndian(const std::string& utf8);
// Nothing for an unpaired surrogate: such a name cannot be written on disk faithfully.
std::optional<std::string> utf8FromUtf16(const std::uint8_t* data, std::size_t units);

} // namespace vexa::sevenzip
