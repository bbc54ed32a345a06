#include "ZIPTestSupport.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa::ziptest {

namespace {

const char* const prelude = R"(import zipfile, struct, os
class RawInfo(zipfile.ZipInfo):
    __slots__ = ("raw", "extra_flag")
    def _encodeFilenameFlags(self):
        return self.raw, self.flag_bits | self.extra_flag
def add(zf, raw, data=b"", utf8=False, system=3, mode=0o100644,
        method=zipfile.ZIP_STORED, date=(2020, 5, 17, 10, 20, 30)):
    zi = RawInfo(raw.replace(b"\0", b"_").decode("latin-1"), date)
    zi.raw = raw
    zi.extra_flag = 0x800 if utf8 else 0
    zi.create_system = system
    zi.external_attr = mode << 16
    zi.compress_type = method
    zf.writestr(zi, data)
)";

} // namespace

void runPython(const std::string& script, const std::filesystem::path& directory) {
    const auto file = directory / ".fixture.py";
    testing::writeFile(file, std::string(prelude) + script);
    testing::runChecked("python3 " + testing::shellQuote(file.string()), directory);
    std::filesystem::remove(file);
}

std::optional<ArchiveFailure> failureOf(const std::function<void()>& work) {
    try {
        work();
    } catch (const ArchiveFailure& failure) {
        return failure;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "unexpected exception: " << other.what();
    }
    return std::nullopt;
}

std::vector<std::string> leftovers(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        const std::string name = item.path().filename().string();
        if (name.starts_with(".vexa-"))
            names.push_back(name);
    }
    return names;
}

void damageAfter(const std::filesystem::path& file, const std::string& marker, std::size_t offset) {
    std::string bytes = testing::readFile(file);
    const std::size_t at = bytes.find(marker);
    ASSERT_NE(at, std::string::npos) << marker;
    ASSERT_LT(at + offset, bytes.size());
    bytes[at + offset] = static_cast<char>(~bytes[at + offset]);
    testing::writeFile(file, bytes);
}

} // namespace vexa::ziptest
