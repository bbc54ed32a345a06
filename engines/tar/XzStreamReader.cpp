#include "XzStreamReader.h"

#include "TarReadFailure.h"
#include "engines/codec/PullStream.h"
#include "platform/Processors.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vexa::tar {

namespace {

constexpr std::size_t inputBufferSize = 1 << 20;
// Each decoding thread holds a whole block's input and output besides its dictionary: about
// 40 MiB for the blocks of xz -6 -T0, 5 MiB for those of xz -1 -T0. Past this limit the
// decoder uses fewer threads, down to one decoding as it reads (about 9 MiB at -6), so an
// extraction stays within 64 MiB; files of small blocks still decode on several cores.
constexpr std::uint64_t threadingMemoryLimit = 16ull << 20;

codec::LzmaDecoder startDecoder() {
    try {
        return codec::LzmaDecoder::xzThreaded(std::clamp(platform::usableCores(), 1u, 8u),
                                              threadingMemoryLimit);
    } catch (const std::bad_alloc&) {
        throw outOfMemory();
    } catch (const codec::UnsupportedSettings&) {
        throw damagedArchive();
    }
}

} // namespace

XzStreamReader::XzStreamReader(ByteSource& input)
    : input_(input), decoder_(startDecoder()), inputBuffer_(inputBufferSize) {}

bool XzStreamReader::hasMagic(const char* bytes, std::size_t count) {
    static constexpr unsigned char magic[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
    return count >= sizeof magic && std::memcmp(bytes, magic, sizeof magic) == 0;
}

std::size_t XzStreamReader::read(char* buffer, std::size_t capacity) {
    if (outputEnded_ || capacity == 0)
        return 0;
    io_.out = reinterpret_cast<std::uint8_t*>(buffer);
    io_.outSize = capacity;
    asTarDecoding([&] {
        while (io_.outSize > 0) {
            if (io_.inSize == 0 && !inputEnded_) {
                std::size_t count = input_.read(inputBuffer_.data(), inputBuffer_.size());
                io_.in = reinterpret_cast<const std::uint8_t*>(inputBuffer_.data());
                io_.inSize = count;
                inputEnded_ = count == 0;
            }
            // Finishing at the end of the input lets the decoder tell a complete file from a
            // truncated one.
            if (decoder_.decode(io_, inputEnded_)) {
                outputEnded_ = true;
                break;
            }
        }
    });
    return capacity - io_.outSize;
}

} // namespace vexa::tar
