#include "platform/SystemMemory.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vexa::platform {
namespace {

const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

// Which of the pages from `begin` are in memory; empty when they are not mapped at all.
std::vector<bool> resident(const void* begin, std::size_t pages) {
    std::vector<unsigned char> flags(pages);
    if (::mincore(const_cast<void*>(begin), pages * page, flags.data()) != 0) {
        EXPECT_EQ(errno, ENOMEM);
        return {};
    }
    std::vector<bool> inMemory;
    for (unsigned char flag : flags)
        inMemory.push_back((flag & 1) != 0);
    return inMemory;
}

// A large buffer is mapped for itself and unmapped when it goes; dropped pages leave memory
// while the bytes around them, in pages only partly dropped, stay as they were.
TEST(SystemMemory, LargeBuffersComeFromTheSystemAndGoBackWholeOrByPage) {
    const std::size_t pages = 64;
    const void* base = nullptr;
    {
        SystemBytes bytes(pages * page, 0x5A);
        base = bytes.data();
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(base) % page, 0u);
        ASSERT_EQ(resident(base, pages), std::vector<bool>(pages, true));
        dropPages(bytes.data() + page / 2, 10 * page);
        const std::vector<bool> after = resident(base, pages);
        for (std::size_t index = 0; index < pages; ++index)
            EXPECT_EQ(after[index], index == 0 || index >= 10) << index;
        EXPECT_EQ(bytes[page / 2 - 1], 0x5A);
        EXPECT_EQ(bytes[page / 2], 0x5A);
        EXPECT_EQ(bytes[10 * page + page / 2], 0x5A);
        EXPECT_EQ(bytes[11 * page - 1], 0x5A);
        EXPECT_EQ(bytes[pages * page - 1], 0x5A);
        dropPages(bytes.data() + 20 * page + 1, page);
        EXPECT_TRUE(resident(base, pages)[20]);
    }
    EXPECT_TRUE(resident(base, pages).empty());
    // Small buffers and growth keep their bytes.
    SystemBytes grown{1, 2, 3};
    for (int index = 0; index < 300000; ++index)
        grown.push_back(static_cast<std::uint8_t>(index));
    EXPECT_EQ(grown[2], 3);
    EXPECT_EQ(grown.back(), static_cast<std::uint8_t>(299999));
}

} // namespace
} // namespace vexa::platform
