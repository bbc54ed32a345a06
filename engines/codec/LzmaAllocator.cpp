#include "engines/codec/LzmaAllocator.h"

#include "platform/SystemMemory.h"

#include <cstdint>
#include <new>

namespace vexa::codec {

namespace {

// Keeps the caller's memory 64-byte aligned after the size is recorded in front of it.
constexpr std::size_t headerSize = 64;

void* allocate(void*, std::size_t count, std::size_t size) {
    if (size != 0 && count > (SIZE_MAX - headerSize) / size)
        return nullptr;
    const std::size_t total = count * size + headerSize;
    void* base = nullptr;
    try {
        base = platform::takeSystemMemory(total);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    *static_cast<std::size_t*>(base) = total;
    return static_cast<unsigned char*>(base) + headerSize;
}

void release(void*, void* pointer) {
    if (pointer == nullptr)
        return;
    void* base = static_cast<unsigned char*>(pointer) - headerSize;
    platform::giveSystemMemoryBack(base, *static_cast<std::size_t*>(base));
}

const lzma_allocator allocator{allocate, release, nullptr};

} // namespace

const lzma_allocator* lzmaAllocator() {
    return &allocator;
}

} // namespace vexa::codec
