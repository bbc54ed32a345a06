#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Text rules over ICU. Every text is UTF-8.
namespace vexa::text {

std::string nfc(std::string_view text);
std::string nfd(std::string_view text);
std::string lowercased(std::string_view text);
std::string uppercased(std::string_view text);

// The file manager's order: case-insensitive, runs of digits compared by value.
// Negative, zero or positive like strcmp.
int localizedStandardCompare(std::string_view a, std::string_view b);
// Case- and diacritic-insensitive containment; an empty needle is contained nowhere.
bool localizedStandardContains(std::string_view haystack, std::string_view needle);

enum class CodePage { dosLatin1 /* 850 */, dosLatinUS /* 437 */, windowsLatin1 /* 1252 */ };
// The bytes of `text` in the code page, or nothing when a character has no exact form there.
std::optional<std::string> encodeLossless(std::string_view text, CodePage page);
// Decodes code-page bytes to UTF-8 (every byte has a character in these pages).
std::string decode(std::string_view bytes, CodePage page);

bool isValidUTF8(std::string_view bytes);
std::size_t unicodeScalarCount(std::string_view text);

} // namespace vexa::text
