#include "core/archive/PasswordVariants.h"

#include "platform/TextRules.h"

#include <optional>
#include <set>

namespace vexa {

std::vector<std::string> passwordVariants(const std::string& password) {
    // Each form is kept as text, but told apart by its UTF-8 bytes: the bytes are what the
    // archive's key derivation sees.
    return uniqueCandidates({text::nfc(password), text::nfd(password), password});
}

std::vector<std::string> zipPasswordCandidates(const std::string& password) {
    std::vector<std::string> candidates = passwordVariants(password);
    const std::string composed = text::nfc(password);
    for (const auto page :
         {text::CodePage::dosLatin1, text::CodePage::dosLatinUS, text::CodePage::windowsLatin1}) {
        if (std::optional<std::string> bytes = text::encodeLossless(composed, page))
            candidates.push_back(std::move(*bytes));
    }
    candidates = uniqueCandidates(candidates);
    for (std::string& candidate : candidates)
        candidate.push_back('\0');
    return candidates;
}

std::vector<std::string> uniqueCandidates(const std::vector<std::string>& candidates) {
    std::vector<std::string> unique;
    std::set<std::string> seen;
    for (const std::string& candidate : candidates) {
        if (seen.insert(candidate).second)
            unique.push_back(candidate);
    }
    return unique;
}

} // namespace vexa
