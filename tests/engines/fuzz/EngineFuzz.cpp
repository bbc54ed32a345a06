// Fuzz entry for one reader through the engine factory: the input becomes an archive file whose
// name picks the engine, which lists it and extracts everything into a fresh folder. Anything
// that appears beside or above that folder, or a link inside it, aborts. VEXA_FUZZ_NAMES lists
// the archive names; with more than one, the input's first byte chooses among them.
#include "engines/EngineFactory.h"
#include "platform/Progress.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Bombs stop here: engines count bytes as progress units, and no file may grow beyond it.
constexpr std::int64_t outputCap = 64 << 20;

std::vector<std::string> archiveNames() {
    std::vector<std::string> names;
    std::string all = VEXA_FUZZ_NAMES;
    for (std::size_t start = 0; start <= all.size();) {
        const std::size_t comma = std::min(all.find(',', start), all.size());
        names.push_back(all.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

// root/a/b holds the archive and the destination, so that an entry climbing out of the
// destination lands in a folder that is watched.
struct Sandbox {
    fs::path root;
    fs::path inner;
    fs::path destination;

    Sandbox() {
        std::string pattern = (fs::temp_directory_path() / "vexa-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        root = pattern;
        inner = root / "a" / "b";
        destination = inner / "destino";
        fs::create_directories(inner);
        rlimit limit{static_cast<rlim_t>(outputCap), static_cast<rlim_t>(outputCap)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);
    }

    ~Sandbox() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

void expectOnly(const fs::path& folder, const std::set<std::string>& names) {
    for (const auto& item : fs::directory_iterator(folder))
        if (names.count(item.path().filename().string()) == 0) {
            std::fprintf(stderr, "escaped the destination: %s\n", item.path().c_str());
            std::abort();
        }
}

void expectNoLinks(const fs::path& folder) {
    for (const auto& item : fs::recursive_directory_iterator(folder))
        if (item.is_symlink()) {
            std::fprintf(stderr, "link written: %s\n", item.path().c_str());
            std::abort();
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::string> names = archiveNames();
    static const Sandbox sandbox;
    std::string name = names.front();
    if (names.size() > 1) {
        if (size == 0)
            return 0;
        name = names[data[0] % names.size()];
        ++data;
        --size;
    }
    const fs::path archive = sandbox.inner / name;
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::error_code ignored;
    fs::remove_all(sandbox.destination, ignored);
    fs::create_directory(sandbox.destination);

    auto progress = vexa::Progress::make();
    progress->setCompletionObserver([&progress](std::int64_t completed) {
        if (completed > outputCap)
            progress->cancel();
    });
    try {
        auto engine = vexa::makeArchiveEngine(archive, std::string("pw"));
        vexa::Progress listing;
        engine->list(archive, listing);
        engine->extract(archive, {}, sandbox.destination, *progress);
    } catch (...) {
        // Refusals are the expected outcome of most inputs.
    }
    expectOnly(sandbox.root, {"a"});
    expectOnly(sandbox.root / "a", {"b"});
    expectOnly(sandbox.inner, {name, "destino"});
    expectNoLinks(sandbox.destination);
    fs::remove_all(sandbox.destination, ignored);
    fs::remove(archive, ignored);
    return 0;
}
