#include "platform/TextRules.h"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/stsearch.h>
#include <unicode/tblcoll.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

namespace vexa::text {

namespace {

icu::UnicodeString fromUTF8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUTF8(const icu::UnicodeString& text) {
    std::string result;
    text.toUTF8String(result);
    return result;
}

void check(UErrorCode status, const char* what) {
    if (U_FAILURE(status))
        throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
}

bool isASCII(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// Printable ASCII only: control characters are ignorable to the collator, so they change
// what it finds.
bool isPrintableASCII(std::string_view text) {
    for (const char c : text)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

std::string normalized(std::string_view text, const icu::Normalizer2& form) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString result = form.normalize(fromUTF8(text), status);
    check(status, "normalize");
    return toUTF8(result);
}

// The user's locale from the environment; the C/POSIX locale's collation sorts by code point
// (upper case before lower case), which no file manager does, so it gives way to the root rules.
icu::Locale collationLocale() {
    const icu::Locale& locale = icu::Locale::getDefault();
    if (std::string_view(locale.getVariant()) == "POSIX")
        return icu::Locale::getRoot();
    return locale;
}

// Collators are not safe to share between threads; each thread keeps its own.
std::unique_ptr<icu::RuleBasedCollator> makeCollator(UColAttributeValue strength, bool numeric) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(
        icu::Collator::createInstance(collationLocale(), status));
    check(status, "collator");
    collator->setAttribute(UCOL_STRENGTH, strength, status);
    // String search refuses numeric collation, so only the order uses it.
    collator->setAttribute(UCOL_NUMERIC_COLLATION, numeric ? UCOL_ON : UCOL_OFF, status);
    // Without this, "a\u0301" and "á" differ for a search that should treat them alike.
    collator->setAttribute(UCOL_NORMALIZATION_MODE, UCOL_ON, status);
    check(status, "collator attributes");
    auto* ruleBased = dynamic_cast<icu::RuleBasedCollator*>(collator.get());
    if (ruleBased == nullptr)
        throw std::runtime_error("collator is not rule based");
    collator.release();
    return std::unique_ptr<icu::RuleBasedCollator>(ruleBased);
}

icu::RuleBasedCollator& orderCollator() {
    // Secondary strength: case is ignored, accents still order names apart.
    thread_local const std::unique_ptr<icu::RuleBasedCollator> collator =
        makeCollator(UCOL_SECONDARY, true);
    return *collator;
}

// The search view asks the same needle against every entry, so one search object per
// thread is kept for the last needle.
struct ContainmentSearch {
    std::unique_ptr<icu::RuleBasedCollator> collator = makeCollator(UCOL_PRIMARY, false);
    bool asciiIsRoot = [this] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::UnicodeSet> tailored(collator->getTailoredSet(status));
        return U_SUCCESS(status) && tailored && !tailored->containsSome(0x20, 0x7E);
    }();
    std::unique_ptr<icu::StringSearch> search;
    icu::UnicodeString needle;
};

const char* converterName(CodePage page) {
    switch (page) {
    case CodePage::dosLatin1:
        return "ibm-850";
    case CodePage::dosLatinUS:
        return "ibm-437";
    case CodePage::windowsLatin1:
        return "windows-1252";
    }
    throw std::invalid_argument("code page");
}

struct ConverterCloser {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter openConverter(CodePage page) {
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(converterName(page), &status));
    if (U_FAILURE(status) && converter == nullptr)
        check(status, "ucnv_open");
    return converter;
}

// The IBM tables swap 0x1A, 0x1C and 0x7F with other control characters; names from DOS
// tools mean plain ASCII there, so the lower half is always ASCII.
using DecodingTable = std::array<UChar, 256>;

DecodingTable buildDecodingTable(CodePage page) {
    DecodingTable table{};
    Converter converter = openConverter(page);
    for (int byte = 0; byte < 256; ++byte) {
        if (byte < 0x80) {
            table[byte] = static_cast<UChar>(byte);
            continue;
        }
        const char in = static_cast<char>(byte);
        UChar out[4] = {};
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = ucnv_toUChars(converter.get(), out, 4, &in, 1, &status);
        table[byte] = (U_SUCCESS(status) && length == 1) ? out[0] : static_cast<UChar>(0xFFFD);
    }
    return table;
}

const DecodingTable& decodingTable(CodePage page) {
    static const std::array<DecodingTable, 3> tables = {
        buildDecodingTable(CodePage::dosLatin1), buildDecodingTable(CodePage::dosLatinUS),
        buildDecodingTable(CodePage::windowsLatin1)};
    return tables[static_cast<std::size_t>(page)];
}

} // namespace

std::string nfc(std::string_view text) {
    // ASCII is its own composed form; most archive names are ASCII.
    if (isASCII(text))
        return std::string(text);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* form = icu::Normalizer2::getNFCInstance(status);
    check(status, "NFC");
    return normalized(text, *form);
}

std::string nfd(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* form = icu::Normalizer2::getNFDInstance(status);
    check(status, "NFD");
    return normalized(text, *form);
}

std::string lowercased(std::string_view text) {
    if (isASCII(text))
        return asciiLowercased(text);
    return toUTF8(fromUTF8(text).toLower(icu::Locale::getRoot()));
}

std::string uppercased(std::string_view text) {
    return toUTF8(fromUTF8(text).toUpper(icu::Locale::getRoot()));
}

std::string asciiLowercased(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

int localizedStandardCompare(std::string_view a, std::string_view b) {
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult result = orderCollator().compareUTF8(
        icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
        icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
    check(status, "compare");
    return static_cast<int>(result);
}

std::string localizedStandardSortKey(std::string_view text) {
    const icu::UnicodeString source = fromUTF8(text);
    std::string key(64, '\0');
    auto* bytes = reinterpret_cast<uint8_t*>(key.data());
    int32_t length = orderCollator().getSortKey(source, bytes, static_cast<int32_t>(key.size()));
    if (length > static_cast<int32_t>(key.size())) {
        key.resize(static_cast<std::size_t>(length));
        bytes = reinterpret_cast<uint8_t*>(key.data());
        length = orderCollator().getSortKey(source, bytes, length);
    }
    if (length <= 0)
        throw std::runtime_error("sort key");
    key.resize(static_cast<std::size_t>(length));
    return key;
}

bool localizedStandardContains(std::string_view haystack, std::string_view needle) {
    if (needle.empty() || haystack.empty())
        return false;
    thread_local ContainmentSearch state;
    // Under the root rules, printable ASCII characters match at primary strength exactly when
    // they are equal ignoring case; a locale that tailors any of them goes the long way.
    if (state.asciiIsRoot && isPrintableASCII(haystack) && isPrintableASCII(needle)) {
        const auto found = std::search(
            haystack.begin(), haystack.end(), needle.begin(), needle.end(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? a + 32 : a) == (b >= 'A' && b <= 'Z' ? b + 32 : b);
            });
        return found != haystack.end();
    }
    const icu::UnicodeString pattern = fromUTF8(needle);
    const icu::UnicodeString text = fromUTF8(haystack);
    UErrorCode status = U_ZERO_ERROR;
    if (!state.search || state.needle != pattern) {
        state.search.reset();
        state.search = std::make_unique<icu::StringSearch>(pattern, text, state.collator.get(),
                                                           nullptr, status);
        check(status, "search");
        state.needle = pattern;
    } else {
        state.search->setText(text, status);
        check(status, "search text");
    }
    const int32_t position = state.search->first(status);
    check(status, "search");
    return position != USEARCH_DONE;
}

std::optional<std::string> encodeLossless(std::string_view text, CodePage page) {
    if (!isValidUTF8(text))
        return std::nullopt;
    Converter converter = openConverter(page);
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                          &status);
    check(status, "ucnv callback");

    std::string result;
    result.reserve(text.size());
    std::size_t index = 0;
    while (index < text.size()) {
        const auto byte = static_cast<unsigned char>(text[index]);
        if (byte < 0x80) {
            result.push_back(static_cast<char>(byte));
            ++index;
            continue;
        }
        std::size_t end = index;
        while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80)
            ++end;
        const icu::UnicodeString run = fromUTF8(text.substr(index, end - index));
        char out[64];
        int32_t offset = 0;
        while (offset < run.length()) {
            // Converts one code point at a time so that the buffer never overflows.
            const int32_t next = run.moveIndex32(offset, 1);
            status = U_ZERO_ERROR;
            const int32_t length = ucnv_fromUChars(
                converter.get(), out, sizeof out, run.getBuffer() + offset, next - offset, &status);
            if (U_FAILURE(status) || length != 1)
                return std::nullopt;
            result.push_back(out[0]);
            offset = next;
        }
        index = end;
    }
    // A fallback mapping would decode to another character; only exact round trips count.
    if (decode(result, page) != text)
        return std::nullopt;
    return result;
}

std::string decode(std::string_view bytes, CodePage page) {
    const DecodingTable& table = decodingTable(page);
    icu::UnicodeString result;
    for (const char byte : bytes)
        result.append(table[static_cast<unsigned char>(byte)]);
    return toUTF8(result);
}

bool isValidUTF8(std::string_view bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const auto length = static_cast<int32_t>(bytes.size());
    if (static_cast<std::size_t>(length) != bytes.size())
        return false;
    int32_t index = 0;
    while (index < length) {
        UChar32 character = 0;
        U8_NEXT(data, index, length, character);
        if (character < 0)
            return false;
    }
    return true;
}

Scalar scalarAt(std::string_view text, std::size_t at) {
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int64_t>(text.size());
    auto index = static_cast<int64_t>(at);
    UChar32 character = 0;
    U8_NEXT(data, index, length, character);
    Scalar scalar;
    scalar.length = static_cast<std::size_t>(index) - at;
    if (character >= 0)
        scalar.character = static_cast<char32_t>(character);
    return scalar;
}

bool isBidiControl(char32_t character) {
    return u_hasBinaryProperty(static_cast<UChar32>(character), UCHAR_BIDI_CONTROL);
}

std::size_t unicodeScalarCount(std::string_view text) {
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int64_t>(text.size());
    std::size_t count = 0;
    int64_t index = 0;
    while (index < length) {
        UChar32 character = 0;
        U8_NEXT(data, index, length, character);
        ++count;
    }
    return count;
}

namespace {

// ICU's strict decoding: any ill-formed sequence fails unless a substitute is given.
std::optional<std::u16string> decodedUTF8(std::string_view text, UChar32 substitute) {
    if (text.size() > static_cast<std::size_t>(INT32_MAX / 2))
        return std::nullopt;
    std::u16string result(text.size(), u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(result.data()),
                         static_cast<int32_t>(result.size()), &length, text.data(),
                         static_cast<int32_t>(text.size()), substitute, nullptr, &status);
    if (U_FAILURE(status))
        return std::nullopt;
    result.resize(static_cast<std::size_t>(length));
    return result;
}

} // namespace

std::optional<std::u16string> utf16(std::string_view text) {
    // U_SENTINEL: no substitute, so an ill-formed sequence fails the whole conversion.
    return decodedUTF8(text, U_SENTINEL);
}

std::u16string utf16Replacing(std::string_view text) {
    return decodedUTF8(text, 0xFFFD).value_or(std::u16string());
}

std::optional<std::string> utf8(std::u16string_view text) {
    if (text.size() > static_cast<std::size_t>(INT32_MAX / 3))
        return std::nullopt;
    std::string result(text.size() * 3, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(result.data(), static_cast<int32_t>(result.size()), &length,
                reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()),
                &status);
    if (U_FAILURE(status))
        return std::nullopt;
    result.resize(static_cast<std::size_t>(length));
    return result;
}

} // namespace vexa::text
