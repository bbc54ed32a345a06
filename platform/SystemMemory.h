#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace vexa::platform {

// Memory for large buffers straight from the system. Through malloc, a buffer one thread fills
// and another frees stays in the first thread's arena, and malloc's own threshold for mapping
// rises with the first large buffer freed, so a few threads handing buffers of megabytes to
// each other leave the process holding far more than they use. Small requests still use
// malloc.
void* takeSystemMemory(std::size_t size);
void giveSystemMemoryBack(void* memory, std::size_t size);

// Lets the system take back the whole pages inside [begin, begin + size) of memory from
// takeSystemMemory that will not be read again; they read as zeros if they are.
void dropPages(void* begin, std::size_t size);

template <class T> struct SystemAllocator {
    using value_type = T;
    SystemAllocator() = default;
    template <class U> SystemAllocator(const SystemAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        return static_cast<T*>(takeSystemMemory(count * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t count) noexcept {
        giveSystemMemoryBack(memory, count * sizeof(T));
    }
    template <class U> bool operator==(const SystemAllocator<U>&) const noexcept { return true; }
};

using SystemBytes = std::vector<std::uint8_t, SystemAllocator<std::uint8_t>>;

} // namespace vexa::platform
