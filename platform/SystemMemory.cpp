#include "platform/SystemMemory.h"

#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace vexa::platform {

namespace {

constexpr std::size_t mappedSize = 256 * 1024;

std::size_t pageSize() {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

} // namespace

void* takeSystemMemory(std::size_t size) {
    void* memory = nullptr;
    if (size >= mappedSize) {
        memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            memory = nullptr;
    } else {
        memory = std::malloc(size == 0 ? 1 : size);
    }
    if (memory == nullptr)
        throw std::bad_alloc();
    return memory;
}

void giveSystemMemoryBack(void* memory, std::size_t size) {
    if (memory == nullptr)
        return;
    if (size >= mappedSize)
        ::munmap(memory, size);
    else
        std::free(memory);
}

void dropPages(void* begin, std::size_t size) {
    const auto start = reinterpret_cast<std::uintptr_t>(begin);
    const std::uintptr_t first = (start + pageSize() - 1) / pageSize() * pageSize();
    const std::uintptr_t end = (start + size) / pageSize() * pageSize();
    if (end > first)
        ::madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

} // namespace vexa::platform
