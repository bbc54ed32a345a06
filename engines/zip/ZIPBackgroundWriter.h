#pragma once

#include "platform/Progress.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

namespace vexa {

// Takes the CRC-32 and the writing of one entry's data onto a thread of its own, so that the
// thread reading the entry (inflating, decrypting) never waits for them. The reader fills the
// pieces that `piece` hands out and gives them back with `submit`; the writer adds each written
// piece to the progress object.
class ZIPBackgroundWriter {
  public:
    static constexpr std::size_t pieceSize = 1 << 20;

    ZIPBackgroundWriter(int fd, std::filesystem::path location, Progress& progress);
    // Stops the thread after the piece it is writing.
    ~ZIPBackgroundWriter();
    ZIPBackgroundWriter(const ZIPBackgroundWriter&) = delete;
    ZIPBackgroundWriter& operator=(const ZIPBackgroundWriter&) = delete;

    // A free piece of pieceSize bytes, once one is; throws the writer's failure instead.
    unsigned char* piece();
    // Hands over the piece `piece` gave, holding `length` bytes.
    void submit(std::size_t length);
    // Waits until every piece handed over is written and answers their CRC-32; throws the
    // writer's failure instead. Called while another failure is in flight, it lets a failed
    // write of earlier data win over it, as when one thread does both.
    std::uint32_t finish();

  private:
    void run();

    static constexpr std::size_t pieceCount = 4;
    int fd_;
    std::filesystem::path location_;
    Progress& progress_;
    std::array<std::unique_ptr<unsigned char[]>, pieceCount> pieces_;
    std::array<std::size_t, pieceCount> lengths_{};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t submitted_ = 0;
    std::size_t written_ = 0;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::uint32_t crc_ = 0;
    // Last, so that it starts after everything it uses and is joined before they go.
    std::jthread thread_;
};

} // namespace vexa
