#pragma once

#include "engines/codec/LzmaAllocator.h"

namespace vexa::sevenzip {

// The 7z encoders allocate as the codec layer's decoders do.
using codec::lzmaAllocator;

} // namespace vexa::sevenzip
