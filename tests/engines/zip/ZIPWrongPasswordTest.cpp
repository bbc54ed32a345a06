#include "core/archive/ArchiveFailure.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/Progress.h"
#include "tests/engines/zip/ZIPTestSupport.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using namespace ziptest;

// The ZipCrypto header checks one byte, so about one wrong password in 256 gets past it and the
// data is decrypted into garbage. Trying many wrong passwords makes sure that case is met (the
// chance of missing it over 1500 tries is about 0.3 %) and that it never reads as damage.
TEST(ZIPWrongPassword, EveryWrongPasswordIsReportedAsSuch) {
    TemporaryDirectory dir;
    writeFile(dir / "src" / "notas.txt", sampleBytes(20000, 7, true));
    runChecked("zip -q -P secreto ../c.zip notas.txt", dir / "src");
    const auto archive = dir / "c.zip";

    for (int i = 0; i < 1500; ++i) {
        Progress progress;
        const auto failure = failureOf([&] {
            ZIPArchiveEngine("mala" + std::to_string(i)).extract(archive, {}, dir.path(), progress);
        });
        ASSERT_TRUE(failure.has_value()) << "mala" << i;
        ASSERT_EQ(*failure, ArchiveFailure::wrongPassword()) << "mala" << i;
    }
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

} // namespace
} // namespace vexa
