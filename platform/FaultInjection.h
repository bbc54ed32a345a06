#pragma once

#include <chrono>
#include <filesystem>

// Fault injection for tests: makes the Nth write, rename or new folder of the program under a
// folder fail
// with a chosen errno (ENOSPC, EIO, EROFS…), or slows every one of them down so that a test can
// kill the program in the middle of its work. The calls themselves are intercepted by the seam
// library (platform/faults), which test programs link and which a whole program takes through
// LD_PRELOAD; nothing here is consulted when that library is absent.
namespace vexa::faults {

// A write of file data, a rename (or the link a move makes), the making of a folder.
enum class Call { write, rename, folder };

struct Plan {
    Call call = Call::write;
    // The nth matching call fails (1 for the first); 0 lets every call through.
    int nth = 1;
    int errorNumber = 0;
    // Only calls on items inside this folder count (writes to pipes and terminals never do).
    std::filesystem::path within;
    // Every matching call of any kind waits this long first.
    std::chrono::milliseconds delay{0};
};

void arm(const Plan& plan);
void disarm();
// Matching calls of `call` seen since the last arm, including the failed one.
int matchedCalls(Call call);

// For a whole program: reads the plan from the environment variable VEXA_FALLOS, written
// "write|rename|folder:N:ERRNO:FOLDER[:DELAY_MS]" (ERRNO as a number). Unset leaves the seam
// disarmed.
void armFromEnvironment();

// Asked by the seam before each intercepted call: 0 to go on, else the errno to fail with.
// `path` names the item (for a write, the file behind the descriptor); a rename names both.
int consult(Call call, const char* path, const char* otherPath = nullptr) noexcept;
bool isArmed() noexcept;

} // namespace vexa::faults
