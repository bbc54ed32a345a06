#include "ui/DesktopOpener.h"

#include "platform/ChildProcess.h"
#include "platform/PlatformError.h"
#include "platform/TextRules.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace vexa {

namespace {

bool variableSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

bool openWithDesktop(const std::filesystem::path& location) {
    if ((!variableSet("DISPLAY") && !variableSet("WAYLAND_DISPLAY")) ||
        platform::findProgram("xdg-open").empty())
        return false;
    platform::ProcessSpec spec;
    spec.program = "xdg-open";
    spec.arguments = {location.string()};
    return platform::startDetached(spec);
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
    std::string pager =
        chosen && *chosen ? chosen : (!platform::findProgram("less").empty() ? "less" : "more");
    // $PAGER may carry its own options, as the shell would read them. The pager reads the
    // terminal, so it stays in our process group.
    platform::ProcessSpec spec;
    spec.program = "/bin/sh";
    spec.arguments = {"-c", pager + " \"$1\"", "sh", file.string()};
    spec.standardInput = spec.standardOutput = spec.standardError =
        platform::ProcessSpec::inherited;
    spec.ownProcessGroup = false;
    spec.diesWithParent = false;
    try {
        platform::ChildProcess child(spec);
        const int code = child.wait();
        return child.exitedNormally() && code != 127;
    } catch (const PlatformError&) {
        return false;
    }
}

} // namespace vexa
