#pragma once

#include <lzma.h>

namespace vexa::sevenzip {

// The allocator for every liblzma stream of the container layer. Dictionaries and match
// finders (megabytes each) come straight from the system and go back to it when released:
// through malloc they would stay in the arena of whichever thread freed them, and the many
// short-lived decoders of a parallel extraction would leave the process holding far more
// memory than it uses.
const lzma_allocator* lzmaAllocator();

} // namespace vexa::sevenzip
