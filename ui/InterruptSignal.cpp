#include "ui/InterruptSignal.h"

#include <atomic>
#include <csignal>

namespace vexa {

namespace {

// Lock-free, so the handlers may touch them.
std::atomic<bool> interrupted{false};
std::atomic<int> terminated{0};
std::atomic<bool> resized{false};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

extern "C" void onTermination(int signal) {
    terminated.store(signal);
}

extern "C" void onResize(int) {
    resized.store(true);
}

void install(int signal, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal, &action, nullptr);
}

} // namespace

void installInterruptHandler(bool scripted) {
    // A prompt waiting for a line keeps waiting instead of failing its read.
    if (scripted)
        install(SIGINT, onTermination, 0);
    else
        install(SIGINT, onInterrupt, SA_RESTART);
    install(SIGTERM, onTermination, 0);
    install(SIGHUP, onTermination, 0);
    install(SIGWINCH, onResize, SA_RESTART);
}

bool takeInterrupt() {
    return interrupted.exchange(false);
}

int terminationSignal() {
    return terminated.load();
}

bool takeResize() {
    return resized.exchange(false);
}

} // namespace vexa
