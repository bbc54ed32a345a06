#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

// Runs the built program as a user would, with a private environment, so that a test can
// signal it or run two at once.
namespace vexa::testing {

struct ProgramRun {
    pid_t pid = -1;
    std::filesystem::path transcript; // standard output and error together
};

// Starts `vexa arguments…` in `folder`/archivo with `folder`'s own settings and temporary
// folder, standard input read from `input` (empty: /dev/null). `faults` is the fault seam's
// plan (VEXA_FALLOS), preloaded when not empty.
ProgramRun startProgram(const std::filesystem::path& folder,
                        const std::vector<std::string>& arguments, const std::string& faults,
                        const std::string& name, const std::filesystem::path& input = {});
// The exit status, or minus the signal that killed it.
int waitForExit(const ProgramRun& run);
// Whether a work folder of the program (".vexa-…") is in `folder`.
bool hasWorkFolder(const std::filesystem::path& folder);

} // namespace vexa::testing
