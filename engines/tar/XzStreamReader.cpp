#include "XzStreamReader.h"

#include "TarReadFailure.h"
#include "platform/Processors.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace vexa::tar {

namespace {

constexpr std::size_t inputBufferSize = 1 << 20;
// Each decoding thread holds a whole block's input and output besides its dictionary: about
// 40 MiB for the blocks of xz -6 -T0, 5 MiB for those of xz -1 -T0. Past this limit the
// decoder uses fewer threads, down to one decoding as it reads (about 9 MiB at -6), so an
// extraction stays within 64 MiB; files of small blocks still decode on several cores.
constexpr std::uint64_t threadingMemoryLimit = 16ull << 20;

} // namespace

XzStreamReader::XzStreamReader(ByteSource& input) : input_(input), inputBuffer_(inputBufferSize) {
    lzma_mt options{};
    options.flags = LZMA_CONCATENATED;
    options.threads = std::clamp(platform::usableCores(), 1u, 8u);
    options.timeout = 0;
    options.memlimit_threading = threadingMemoryLimit;
    // One thread decodes any file, whatever its dictionary, as xz itself does.
    options.memlimit_stop = UINT64_MAX;
    lzma_ret status = lzma_stream_decoder_mt(&stream_, &options);
    if (status == LZMA_MEM_ERROR)
        throw outOfMemory();
    if (status != LZMA_OK)
        throw damagedArchive();
}

XzStreamReader::~XzStreamReader() {
    lzma_end(&stream_);
}

bool XzStreamReader::hasMagic(const char* bytes, std::size_t count) {
    static constexpr unsigned char magic[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
    return count >= sizeof magic && std::memcmp(bytes, magic, sizeof magic) == 0;
}

std::size_t XzStreamReader::read(char* buffer, std::size_t capacity) {
    if (outputEnded_ || capacity == 0)
        return 0;
    stream_.next_out = reinterpret_cast<std::uint8_t*>(buffer);
    stream_.avail_out = capacity;
    while (stream_.avail_out > 0) {
        if (stream_.avail_in == 0 && !inputEnded_) {
            std::size_t count = input_.read(inputBuffer_.data(), inputBuffer_.size());
            stream_.next_in = reinterpret_cast<const std::uint8_t*>(inputBuffer_.data());
            stream_.avail_in = count;
            inputEnded_ = count == 0;
        }
        // LZMA_FINISH at the end of the input lets the decoder tell a complete file from a
        // truncated one.
        lzma_ret status = lzma_code(&stream_, inputEnded_ ? LZMA_FINISH : LZMA_RUN);
        if (status == LZMA_STREAM_END) {
            outputEnded_ = true;
            break;
        }
        if (status == LZMA_MEM_ERROR || status == LZMA_MEMLIMIT_ERROR)
            throw outOfMemory();
        if (status != LZMA_OK)
            throw damagedArchive();
    }
    return capacity - stream_.avail_out;
}

} // namespace vexa::tar
