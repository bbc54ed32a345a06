#pragma once

#include "core/archive/ArchiveFailure.h"
#include "core/archive/PasswordVariants.h"

#include <optional>
#include <string>

namespace vexa {

// Runs `operation` with each Unicode form of the password until one is not refused as wrong;
// a form refused for any other reason ends the trial at once. Without a password, with
// `exact`, or when the forms coincide, runs it once with the password unchanged.
template <typename Operation>
auto withPasswordVariants(const std::optional<std::string>& password, bool exact,
                          Operation&& operation) {
    if (password && !exact) {
        auto variants = passwordVariants(*password);
        if (variants.size() >= 2) {
            for (const auto& variant : variants) {
                try {
                    return operation(std::optional<std::string>(variant));
                } catch (const ArchiveFailure& failure) {
                    if (failure.kind() != ArchiveFailure::Case::wrongPassword)
                        throw;
                }
            }
            throw ArchiveFailure::wrongPassword();
        }
    }
    return operation(password);
}

} // namespace vexa
