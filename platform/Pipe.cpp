#include "platform/Pipe.h"

#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace vexa::platform {

Pipe::Pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw PlatformError::fromErrno(errno, "", false);
    read = ends[0];
    write = ends[1];
}

Pipe::~Pipe() {
    closeRead();
    closeWrite();
}

void Pipe::closeRead() noexcept {
    if (read >= 0)
        ::close(read);
    read = -1;
}

void Pipe::closeWrite() noexcept {
    if (write >= 0)
        ::close(write);
    write = -1;
}

void writeIgnoringBrokenPipe(int fd, std::string_view bytes) {
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    if (writeFully(fd, bytes.data(), bytes.size()) == EPIPE) {
        const timespec immediately{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &immediately);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace vexa::platform
