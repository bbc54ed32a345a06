#pragma once

#include "engines/codec/Encoder.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace vexa::testing {

// Encodes `plain` handed in pieces of `piece` bytes into outputs of `room` bytes, as a writer
// does; every piece must be taken whole before the next.
inline std::string encodeInPieces(codec::Encoder& encoder, const std::string& plain,
                                  std::size_t piece, std::size_t room, bool& everyPieceTaken) {
    std::string packed;
    std::vector<std::uint8_t> out(room);
    const auto drain = [&](codec::CodecBuffers& io, bool end) {
        for (;;) {
            io.out = out.data();
            io.outSize = out.size();
            const bool done = encoder.encode(io, end);
            packed.append(reinterpret_cast<const char*>(out.data()), out.size() - io.outSize);
            if (done)
                return;
        }
    };
    everyPieceTaken = true;
    for (std::size_t at = 0; at < plain.size(); at += piece) {
        codec::CodecBuffers io;
        io.in = reinterpret_cast<const std::uint8_t*>(plain.data()) + at;
        io.inSize = std::min(piece, plain.size() - at);
        drain(io, false);
        everyPieceTaken = everyPieceTaken && io.inSize == 0;
    }
    codec::CodecBuffers io;
    drain(io, true);
    return packed;
}

} // namespace vexa::testing
