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
// Only A-Z changed, every other byte kept: for extensions and typed words compared with ASCII
// ones, whatever the bytes of the rest.
std::string asciiLowercased(std::string_view text);

// The order and the containment follow the user's locale from the environment (the root rules
// under the C/POSIX locale, whose code-point order no file manager uses).
// The file manager's order: case-insensitive, accents significant, runs of digits compared by
// value. Negative, zero or positive like strcmp.
int localizedStandardCompare(std::string_view a, std::string_view b);
// Bytes that compare (as unsigned bytes) the way localizedStandardCompare compares the texts:
// computed once per text, they let a long list be sorted without the collator in every
// comparison.
std::string localizedStandardSortKey(std::string_view text);
// Case- and diacritic-insensitive containment; an empty needle is contained nowhere.
bool localizedStandardContains(std::string_view haystack, std::string_view needle);

enum class CodePage { dosLatin1 /* 850 */, dosLatinUS /* 437 */, windowsLatin1 /* 1252 */ };
// The bytes of `text` in the code page, or nothing when a character has no exact form there.
std::optional<std::string> encodeLossless(std::string_view text, CodePage page);
// Decodes code-page bytes to UTF-8 (every byte has a character in these pages; bytes below
// 0x80 are always ASCII).
std::string decode(std::string_view bytes, CodePage page);

bool isValidUTF8(std::string_view bytes);
// One step of a walk over UTF-8 text: the character that starts at byte `at` and the bytes it
// takes. An ill-formed sequence gives no character and spans the bytes that belong to it (at
// least one), so that a walk goes on after it.
struct Scalar {
    std::optional<char32_t> character;
    std::size_t length = 1;
};
Scalar scalarAt(std::string_view text, std::size_t at);
// The characters that reorder the text around them when shown (the explicit embeddings,
// overrides and isolates, and the directional marks).
bool isBidiControl(char32_t character);
// The UTF-16 form of a UTF-8 text; nothing when the bytes are not well-formed UTF-8 (an
// overlong form such as C0 80 or E0 80 AF, an encoded surrogate, a cut sequence), never another
// text in their place.
std::optional<std::u16string> utf16(std::string_view text);
// The same with each ill-formed sequence taken as U+FFFD: for a text that must be encoded
// whatever it holds (a password typed on a terminal in another encoding).
std::u16string utf16Replacing(std::string_view text);
// The UTF-8 form of UTF-16 code units; nothing for an unpaired surrogate.
std::optional<std::string> utf8(std::u16string_view text);
// Each ill-formed sequence of a text that is not valid UTF-8 counts as one.
std::size_t unicodeScalarCount(std::string_view text);

} // namespace vexa::text
