#include "ZIPTestSupport.h"

#include "platform/PlatformError.h"
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

bool endsInCancellation(const std::function<void()>& work) {
    try {
        work();
    } catch (const CancellationError&) {
        return true;
    } catch (const std::exception& other) {
        ADD_FAILURE() << other.what();
    }
    return false;
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

void damageEntryData(const std::filesystem::path& file, const std::string& name,
                     std::size_t offset) {
    std::string bytes = testing::readFile(file);
    const auto u16 = [&](std::size_t at) {
        return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at])) |
               static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    for (std::size_t at = bytes.find("PK\3\4"); at != std::string::npos;
         at = bytes.find("PK\3\4", at + 4)) {
        if (at + 30 > bytes.size())
            break;
        const std::size_t nameLength = u16(at + 26), extraLength = u16(at + 28);
        if (bytes.compare(at + 30, nameLength, name) != 0)
            continue;
        const std::size_t target = at + 30 + nameLength + extraLength + offset;
        ASSERT_LT(target, bytes.size());
        bytes[target] = static_cast<char>(~bytes[target]);
        testing::writeFile(file, bytes);
        return;
    }
    FAIL() << "no local header for " << name;
}

} // namespace vexa::ziptest
