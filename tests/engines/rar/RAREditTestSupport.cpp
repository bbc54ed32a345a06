#include "tests/engines/rar/RAREditTestSupport.h"

#include "engines/rar/RARArchiveEngine.h"

#include <fstream>
#include <stdexcept>

namespace vexa::testing::rar {

namespace fs = std::filesystem;

fs::path makeRecordingRar(const fs::path& folder, const fs::path& log,
                          std::optional<int> exitStatus) {
    fs::path script = folder / "recording-rar";
    // The runner passes no PATH, so every program is named by its full path.
    std::string text = "#!/bin/bash\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> " +
                       shellQuote(log.string()) + "\necho '<end of run>' >> " +
                       shellQuote(log.string()) + "\n";
    text +=
        exitStatus ? "exit " + std::to_string(*exitStatus) + "\n" : "exec /usr/bin/rar \"$@\"\n";
    writeFile(script, text);
    fs::permissions(script, fs::perms(0755));
    return script;
}

std::vector<std::vector<std::string>> recordedRuns(const fs::path& log) {
    std::vector<std::vector<std::string>> runs;
    std::ifstream input(log);
    std::vector<std::string> current;
    for (std::string line; std::getline(input, line);) {
        if (line == "<end of run>") {
            runs.push_back(current);
            current.clear();
        } else {
            current.push_back(line);
        }
    }
    return runs;
}

std::set<std::string> listedPaths(const fs::path& archive,
                                  const std::optional<std::string>& password) {
    Progress progress;
    std::set<std::string> paths;
    for (const auto& entry : RARArchiveEngine(password).list(archive, progress).entries)
        paths.insert(entry.path);
    return paths;
}

std::string unrarBytes(const fs::path& archive, const std::string& path,
                       const std::optional<std::string>& password) {
    std::string command = "unrar p -inul " +
                          std::string(password ? "-p" + shellQuote(*password) : "-p-") + " " +
                          shellQuote(archive.string()) + " -- " + shellQuote(path);
    CommandResult result = runCommand(command + " 2>/dev/null");
    if (result.exitStatus != 0)
        throw std::runtime_error(command + " failed");
    return result.output;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(folder))
        names.insert(item.path().filename().string());
    return names;
}

} // namespace vexa::testing::rar
