#pragma once

#include "core/archive/ArchiveFailure.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// Refuses a password the rar program cannot take from one line of its standard input: empty,
// 128 or more Unicode scalars, or holding a line break (U+000A to U+000D, U+0085, U+2028,
// U+2029). The refusal is ArchiveFailure of `kind` (rarCreation or rarEdit) with
// "la contraseña debe tener entre 1 y 127 caracteres, sin saltos de línea."
// No password is accepted.
void validateRARPassword(const std::optional<std::string>& password, ArchiveFailure::Case kind);

// The rar program to run and how its failures are reported to the caller's user.
struct RARCommand {
    std::filesystem::path executable;
    // Wraps a runner message into the caller's failure.
    std::function<ArchiveFailure(const std::string&)> failure;

    // Failures become ArchiveFailure::rarCreation / ArchiveFailure::rarEdit.
    static RARCommand forCreation(std::filesystem::path executable);
    static RARCommand forEditing(std::filesystem::path executable);

    // Runs the program once and blocks until it has ended; no child is ever left behind.
    // The program gets `arguments[0]` (the command word: "a", "d", "rn", "r"...), then "-cfg-",
    // "-idcd", "-y", then the rest of `arguments`; it runs in `workingDirectory` with exactly
    // LANG and LC_ALL in its environment, both en_US.UTF-8 (C.UTF-8 on a machine without that
    // locale, under which rar refuses passwords outside ASCII). A password is written to its
    // standard input followed by a line feed (callers pass a bare "-p" or "-hp"; the password is
    // never an argument); without one its standard input is the null device.
    //
    // The percentages it prints move the progress's completed count from its value at the
    // start up by `progressUnits` (base + highest% × units / 100); exit status 0 completes
    // them. Polls every 0.05 s; a cancelled progress terminates the program (SIGTERM, later
    // SIGKILL) and throws CancellationError.
    //
    // Throws ArchiveFailure::wrongPassword on exit status 11, and failure(message) when the
    // program cannot be started or ends otherwise than with 0 ("el compresor terminó con el
    // código N."; a program killed by signal S reports 128 + S).
    void runRARCommand(const std::vector<std::string>& arguments,
                       const std::filesystem::path& workingDirectory,
                       const std::optional<std::string>& password, std::int64_t progressUnits,
                       Progress& progress) const;
};

} // namespace vexa
