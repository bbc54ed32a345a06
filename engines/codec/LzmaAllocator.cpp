#include "engines/codec/LzmaAllocator.h"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

namespace vexa::codec {

namespace {

constexpr std::size_t directSize = 256 * 1024;
// Keeps the caller's memory 64-byte aligned after the size is recorded in front of it.
constexpr std::size_t headerSize = 64;

void* allocate(void*, std::size_t count, std::size_t size) {
    if (size != 0 && count > (SIZE_MAX - headerSize) / size)
        return nullptr;
    const std::size_t total = count * size + headerSize;
    void* base = nullptr;
    if (total >= directSize) {
        base = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED)
            return nullptr;
    } else {
        base = std::malloc(total);
        if (base == nullptr)
            return nullptr;
    }
    *static_cast<std::size_t*>(base) = total;
    return static_cast<unsigned char*>(base) + headerSize;
}

void release(void*, void* pointer) {
    if (pointer == nullptr)
        return;
    void* base = static_cast<unsigned char*>(pointer) - headerSize;
    const std::size_t total = *static_cast<std::size_t*>(base);
    if (total >= directSize)
        ::munmap(base, total);
    else
        std::free(base);
}

const lzma_allocator allocator{allocate, release, nullptr};

} // namespace

const lzma_allocator* lzmaAllocator() {
    return &allocator;
}

} // namespace vexa::codec
