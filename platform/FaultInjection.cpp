#include "platform/FaultInjection.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace vexa::faults {

namespace {

struct State {
    std::mutex lock;
    Plan plan;
    std::string within; // canonical, with a final "/"
    int counts[3] = {};
};

State& state() {
    static State* shared = new State; // outlives static destructors of late writers
    return *shared;
}

std::atomic<bool> armed{false};

bool inside(const std::string& within, const char* path) {
    if (path == nullptr)
        return false;
    const std::string text(path);
    return text.starts_with(within) || text + "/" == within;
}

} // namespace

void arm(const Plan& plan) {
    State& shared = state();
    const std::lock_guard guard(shared.lock);
    shared.plan = plan;
    std::error_code ignored;
    auto canonical = std::filesystem::weakly_canonical(plan.within, ignored);
    shared.within = (canonical.empty() ? plan.within : canonical).string();
    if (!shared.within.ends_with('/'))
        shared.within += '/';
    for (int& count : shared.counts)
        count = 0;
    armed = true;
}

void disarm() {
    armed = false;
}

int matchedCalls(Call call) {
    State& shared = state();
    const std::lock_guard guard(shared.lock);
    return shared.counts[static_cast<int>(call)];
}

void armFromEnvironment() {
    const char* text = std::getenv("VEXA_FALLOS");
    if (text == nullptr || *text == '\0')
        return;
    const std::string spec(text);
    std::size_t positions[4];
    std::size_t from = 0;
    for (std::size_t& position : positions) {
        position = spec.find(':', from);
        from = position == std::string::npos ? std::string::npos : position + 1;
        if (from == std::string::npos)
            break;
    }
    if (positions[0] == std::string::npos || positions[1] == std::string::npos ||
        positions[2] == std::string::npos)
        return;
    Plan plan;
    const std::string kind = spec.substr(0, positions[0]);
    plan.call = kind == "rename" ? Call::rename : kind == "folder" ? Call::folder : Call::write;
    plan.nth = std::atoi(spec.substr(positions[0] + 1).c_str());
    plan.errorNumber = std::atoi(spec.substr(positions[1] + 1).c_str());
    const std::size_t end = positions[3];
    plan.within = spec.substr(positions[2] + 1, end == std::string::npos ? std::string::npos
                                                                         : end - positions[2] - 1);
    if (end != std::string::npos)
        plan.delay = std::chrono::milliseconds(std::atoi(spec.substr(end + 1).c_str()));
    arm(plan);
}

bool isArmed() noexcept {
    return armed.load(std::memory_order_relaxed);
}

int consult(Call call, const char* path, const char* otherPath) noexcept {
    if (!isArmed())
        return 0;
    State& shared = state();
    std::chrono::milliseconds delay{0};
    int result = 0;
    {
        const std::lock_guard guard(shared.lock);
        if (!inside(shared.within, path) && !inside(shared.within, otherPath))
            return 0;
        delay = shared.plan.delay;
        int& count = shared.counts[static_cast<int>(call)];
        ++count;
        if (call == shared.plan.call && shared.plan.nth > 0 && count == shared.plan.nth)
            result = shared.plan.errorNumber;
    }
    if (delay.count() > 0)
        std::this_thread::sleep_for(delay);
    return result;
}

} // namespace vexa::faults
