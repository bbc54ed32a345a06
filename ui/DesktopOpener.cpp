#include "ui/DesktopOpener.h"

#include "platform/TextRules.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace vexa {

namespace {

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const auto colon = folders.find(':', start);
        const std::string folder = folders.substr(start, colon - start);
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0)
            return true;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return false;
}

bool variableSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

bool openWithDesktop(const std::filesystem::path& location) {
    if ((!variableSet("DISPLAY") && !variableSet("WAYLAND_DISPLAY")) || !onPath("xdg-open"))
        return false;
    // Twice forked, so the opener outlives nothing of ours and leaves no child to reap.
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::setsid();
        if (::fork() == 0) {
            const int quiet = ::open("/dev/null", O_RDWR);
            ::dup2(quiet, STDIN_FILENO);
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            ::execlp("xdg-open", "xdg-open", location.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool looksLikeText(const std::filesystem::path& file) {
    std::ifstream input(file, std::ios::binary);
    std::string head(8192, '\0');
    input.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(input.gcount()));
    if (head.find('\0') != std::string::npos)
        return false;
    // A character cut at the end of the sample is not a fault of the file.
    for (std::size_t cut = 0; cut < 4 && cut <= head.size(); ++cut)
        if (text::isValidUTF8(std::string_view(head).substr(0, head.size() - cut)))
            return true;
    return false;
}

bool showInPager(const std::filesystem::path& file) {
    const char* chosen = std::getenv("PAGER");
    std::string pager = chosen && *chosen ? chosen : (onPath("less") ? "less" : "more");
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        // $PAGER may carry its own options, as the shell would read them.
        ::execl("/bin/sh", "sh", "-c", (pager + " \"$1\"").c_str(), "sh", file.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) != 127;
}

} // namespace vexa
