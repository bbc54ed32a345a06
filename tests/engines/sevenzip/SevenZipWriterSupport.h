#pragma once

#include "tests/support/TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

// Independent readings of what the 7z writer produced: bsdtar and py7zr list and extract.
namespace vexa::testing::sevenzip {

// The non-empty lines of a text, sorted.
inline std::vector<std::string> sortedLines(const std::string& text) {
    std::istringstream lines(text);
    std::vector<std::string> names;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            names.push_back(line);
    std::sort(names.begin(), names.end());
    return names;
}

// bsdtar's listing of an archive, sorted.
inline std::vector<std::string> bsdtarListing(const std::filesystem::path& archive) {
    return sortedLines(runChecked("bsdtar -tf " + shellQuote(archive.string())));
}

// One entry's data as bsdtar extracts it.
inline std::string bsdtarContent(const std::filesystem::path& archive, const std::string& path) {
    return runChecked("bsdtar -xOf " + shellQuote(archive.string()) + " " + shellQuote(path));
}

// py7zr (Debian's, run by Debian's interpreter) reads the whole archive with `password` and
// compares every file with the one of the same path below `root`. Exit status 0 with the sorted
// listing (folders end in "/"), 1 with the first path whose data differ, 3 when py7zr refuses
// the archive (a wrong or missing password among other reasons), 124 when it ran out of
// `seconds`. py7zr makes the archive's folders in its current folder while it reads, so it runs
// in a private one.
inline CommandResult py7zrCheck(const std::filesystem::path& archive,
                                const std::filesystem::path& root,
                                const std::optional<std::string>& password = std::nullopt,
                                int seconds = 30) {
    static const char* const script = R"(
import os, sys, py7zr
archive, root, password = sys.argv[1], sys.argv[2], (sys.argv[3:] or [None])[0]
try:
    with py7zr.SevenZipFile(archive, password=password) as z:
        names = sorted(i.filename + ('/' if i.is_directory else '') for i in z.list())
        data = z.readall()
except Exception as e:
    print('refused:', type(e).__name__, e)
    sys.exit(3)
for name, stream in data.items():
    with open(os.path.join(root, name), 'rb') as f:
        if f.read() != stream.read():
            print('differs:', name)
            sys.exit(1)
print('\n'.join(names))
)";
    std::string command = "timeout " + std::to_string(seconds) + " /usr/bin/python3 -c " +
                          shellQuote(script) + " " +
                          shellQuote(std::filesystem::absolute(archive).string()) + " " +
                          shellQuote(std::filesystem::absolute(root).string());
    if (password)
        command += " " + shellQuote(*password);
    TemporaryDirectory scratch;
    return runCommand(command, scratch.path());
}

// py7zrCheck with a wrong password, which must give 3. A wrong key turns an encrypted header
// into noise, and py7zr loops without end on the rare noise that decodes as an LZMA2 stream
// ending before its size (a few salts and IVs in a thousand): a reading stopped by the timeout
// is asked again with another wrong password, so that the result is py7zr's answer, not its
// hang.
inline CommandResult py7zrCheckWrongPassword(const std::filesystem::path& archive,
                                             const std::filesystem::path& root) {
    CommandResult result;
    for (const char* wrong : {"otra", "otra más", "y otra"}) {
        result = py7zrCheck(archive, root, std::string(wrong), 10);
        if (result.exitStatus != 124)
            break;
    }
    return result;
}

// Names directly inside a folder, sorted.
inline std::vector<std::string> folderNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder))
        names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace vexa::testing::sevenzip
