#include "platform/ReadWrite.h"

#include "platform/FaultInjection.h"
#include "platform/FileOperations.h"
#include "platform/Pipe.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vexa::platform {
namespace {

using vexa::testing::readFile;
using vexa::testing::sampleBytes;
using vexa::testing::TemporaryDirectory;

// A handler without SA_RESTART, so that signals break blocking reads and writes with EINTR or
// cut them short.
class InterruptingSignal {
  public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGUSR1, &action, &previous_);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &previous_, nullptr); }

  private:
    struct sigaction previous_ {};
};

TEST(ReadWrite, PipesInterruptedBySignalsStillCarryEveryByteInOrder) {
    InterruptingSignal signal;
    const std::string bytes = sampleBytes(4 << 20, 3, false);
    std::vector<std::thread> pairs;
    std::atomic<int> wrong{0};
    for (int pair = 0; pair < 4; ++pair)
        pairs.emplace_back([&] {
            Pipe pipe;
            std::atomic<bool> done{false};
            std::string received;
            std::thread reader([&] {
                char block[3000]; // odd pieces: reads end short of what was written
                for (;;) {
                    const ssize_t count = readSome(pipe.read, block, sizeof block);
                    if (count <= 0)
                        break;
                    received.append(block, static_cast<std::size_t>(count));
                }
            });
            const pthread_t writerThread = ::pthread_self();
            const pthread_t readerThread = reader.native_handle();
            std::thread interrupter([&] {
                while (!done) {
                    ::pthread_kill(writerThread, SIGUSR1);
                    ::pthread_kill(readerThread, SIGUSR1);
                    std::this_thread::yield();
                }
            });
            if (writeFully(pipe.write, bytes.data(), bytes.size()) != 0)
                ++wrong;
            pipe.closeWrite();
            reader.join();
            done = true;
            interrupter.join();
            if (received != bytes)
                ++wrong;
        });
    for (auto& thread : pairs)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ReadWrite, PositionedReadsAndWritesLeaveTheFilePositionAlone) {
    TemporaryDirectory folder;
    const auto location = folder / "file.bin";
    files::FileDescriptor file(::open(location.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_GE(file.get(), 0);
    ASSERT_EQ(writeFully(file.get(), "0123456789", 10), 0);
    ASSERT_EQ(writeFully(file.get(), "ab", 2, 3), 0);
    EXPECT_EQ(::lseek(file.get(), 0, SEEK_CUR), 10);
    EXPECT_EQ(readFile(location), "012ab56789");

    struct Case {
        std::size_t size;
        std::optional<off_t> offset;
        ssize_t expected;
        std::string bytes;
    };
    for (const Case& row :
         {Case{4, 6, 4, "6789"}, Case{20, 8, 2, "89"}, Case{5, 10, 0, ""}, Case{0, 0, 0, ""}}) {
        char buffer[32] = {};
        EXPECT_EQ(readFully(file.get(), buffer, row.size, row.offset), row.expected);
        EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(0, row.expected))),
                  row.bytes);
        EXPECT_EQ(::lseek(file.get(), 0, SEEK_CUR), 10);
    }
    ::lseek(file.get(), 0, SEEK_SET);
    char all[16] = {};
    EXPECT_EQ(readFully(file.get(), all, sizeof all), 10) << "short only at the end";
}

TEST(ReadWrite, FailuresComeBackAsTheirErrno) {
    TemporaryDirectory folder;
    files::FileDescriptor full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
    ASSERT_GE(full.get(), 0);
    EXPECT_EQ(writeFully(full.get(), "x", 1), ENOSPC);
    char byte;
    EXPECT_EQ(readSome(-1, &byte, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(readFully(-1, &byte, 1), -1);

    // The third write under the folder fails: the loop stops there with its errno.
    const auto location = folder / "data.bin";
    files::FileDescriptor file(files::createFile(location));
    faults::arm({faults::Call::write, 3, EIO, folder.path()});
    int error = 0;
    int writes = 0;
    while (error == 0 && writes < 5) {
        error = writeFully(file.get(), "abc", 3);
        ++writes;
    }
    faults::disarm();
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(writes, 3);
    EXPECT_EQ(readFile(location), "abcabc");
}

} // namespace
} // namespace vexa::platform
