#include "platform/MemoryBudget.h"

#include "platform/Processors.h"

#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace vexa::platform {
namespace {

constexpr std::uint64_t mebibyte = 1u << 20;

// The kernel's own figure, from /proc/meminfo ("MemTotal: N kB").
std::uint64_t memTotal() {
    std::ifstream meminfo("/proc/meminfo");
    std::string name;
    std::uint64_t kib = 0;
    while (meminfo >> name >> kib) {
        if (name == "MemTotal:")
            return kib * 1024;
        meminfo.ignore(1 << 10, '\n');
    }
    return 0;
}

TEST(MemoryBudget, MachineMemoryIsTheKernelsTotal) {
    const std::uint64_t total = memTotal();
    ASSERT_GT(total, 0u);
    // sysconf counts whole pages of the same total.
    EXPECT_NEAR(static_cast<double>(machineMemory()), static_cast<double>(total), 64.0 * 1024);
}

TEST(MemoryBudget, AJobHasTheFloorOrThePeersPeakWithinAQuarterOfTheMachine) {
    const std::uint64_t quarter = machineMemory() / 4;
    ASSERT_GT(quarter, 64 * mebibyte);
    EXPECT_EQ(jobMemory(0), 64 * mebibyte);
    EXPECT_EQ(jobMemory(10 * mebibyte), 64 * mebibyte);
    EXPECT_EQ(jobMemory(65 * mebibyte), 65 * mebibyte);
    EXPECT_EQ(jobMemory(quarter - 1), quarter - 1);
    EXPECT_EQ(jobMemory(quarter + 1), quarter);
    EXPECT_EQ(jobMemory(UINT64_MAX), quarter);
}

TEST(MemoryBudget, WorkersFitTheBudgetTheCoresAndTheMaximum) {
    const unsigned cores = usableCores();
    const struct {
        std::uint64_t budget, shared, perWorker;
        unsigned maximum, expected;
    } cases[] = {
        {100, 20, 10, 64, std::min(8u, cores)}, // 8 fit
        {100, 20, 10, 3, std::min(3u, cores)},  // the maximum holds them back
        {100, 20, 81, 8, 1},                    // none fits: one still works
        {100, 100, 1, 8, 1},                    // the shared part takes everything
        {10, 100, 1, 8, 1},                     // ... and more
        {1000, 0, 1, 1000, std::min(1000u, cores)},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(std::to_string(test.budget) + " " + std::to_string(test.shared) + " " +
                     std::to_string(test.perWorker));
        EXPECT_EQ(workersWithin(test.budget, test.shared, test.perWorker, test.maximum),
                  test.expected);
    }
}

} // namespace
} // namespace vexa::platform
