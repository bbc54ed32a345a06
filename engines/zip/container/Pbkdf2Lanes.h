#pragma once

#include <cstddef>
#include <cstdint>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace vexa {

// The rounds after the first of PBKDF2-HMAC-SHA1 for up to four output blocks at once, on the
// processor's SHA instructions: each block is a chain of dependent hashes, and the processor
// runs several chains side by side in the time of one. `inner` and `outer` are the key's
// padded states; `blocks[i]` holds block i's first round (20 bytes) on entry and the block on
// return. False, leaving the blocks alone, when the processor lacks the instructions.
bool pbkdf2RoundsInLanes(const SHA_CTX& inner, const SHA_CTX& outer, uint8_t (*blocks)[20],
                         size_t count, unsigned iterations);

} // namespace vexa
