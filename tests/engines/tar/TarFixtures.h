#pragma once

#include "core/archive/ArchiveFailure.h"
#include "platform/PlatformError.h"
#include "platform/Progress.h"
#include "tests/support/TestSupport.h"

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Archives for the TAR engine's tests, made by independent tools in a temporary folder.
namespace vexa::testing::tar {

// The general helpers too, so that one `using namespace` brings every name.
using namespace vexa::testing;

// A folder "fotos" in `parent`:
//   fotos/a.txt (0644, mtime 2001-09-09 01:46:40 UTC), fotos/run.sh (0755),
//   fotos/docs/b.txt, fotos/docs/sub/c.bin (100 000 pseudo-random bytes),
//   fotos/docsx.txt, fotos/vacío.txt (empty), fotos/empty-dir/
std::filesystem::path makeSampleTree(const std::filesystem::path& parent);

// The files of the sample tree as "path" -> bytes, for comparing an extraction.
std::string sampleContent(const std::string& relative);

// Python tarfile scripts, each run with `t` open for writing (format PAX) at its archive in
// `folder`; one interpreter makes them all. Helpers inside a script: add_file(name, data=b"x"),
// add(info, data=None).
void pythonTars(const std::filesystem::path& folder,
                const std::vector<std::pair<std::string, std::string>>& archivesAndScripts);
void pythonTar(const std::filesystem::path& archive, const std::string& body);

// Every item below `root` by its relative path (folders ending in "/", with empty contents),
// with the bytes of each file: what two extractions are compared by.
std::map<std::string, std::string> treeContents(const std::filesystem::path& root);

// Expects `work` to throw ArchiveFailure equal to `expected`.
void expectFailure(const std::function<void()>& work, const ArchiveFailure& expected);

// Cancels `progress` once its completed count passes `threshold`.
class CancelWhenPast {
  public:
    CancelWhenPast(Progress& progress, std::int64_t threshold);
    ~CancelWhenPast();

  private:
    Progress& progress_;
};

// Names in `folder` that begin with `prefix`.
int countNamesStartingWith(const std::filesystem::path& folder, const std::string& prefix);

} // namespace vexa::testing::tar
