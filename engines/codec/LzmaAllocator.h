#pragma once

#include <lzma.h>

namespace vexa::codec {

// The allocator for liblzma's raw coders. Dictionaries and match finders (megabytes each) come
// straight from the system and go back to it when released: through malloc they would stay in
// the arena of whichever thread freed them, and the many short-lived coders of a parallel
// extraction would leave the process holding far more memory than it uses.
const lzma_allocator* lzmaAllocator();

} // namespace vexa::codec
