#include "ui/InterruptSignal.h"

#include <atomic>
#include <csignal>

namespace vexa {

namespace {

// Lock-free, so the handler may touch it.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

} // namespace

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // A prompt waiting for a line keeps waiting instead of failing its read.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

bool takeInterrupt() {
    return interrupted.exchange(false);
}

} // namespace vexa
