#include "engines/rar/RARPipeWrite.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace vexa {

void writeIgnoringBrokenPipe(int fd, std::string_view bytes) {
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            if (errno == EPIPE) {
                const timespec immediately{0, 0};
                sigtimedwait(&pipeSignal, nullptr, &immediately);
            }
            break;
        }
        written += static_cast<std::size_t>(count);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace vexa
