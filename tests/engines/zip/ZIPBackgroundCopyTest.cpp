// The copy of kept bytes on a thread of its own: ranges land where they were sent, with their
// progress, and an archive cut short or a cancellation stops it with the failure the rewrite
// reports.
#include "engines/zip/ZIPBackgroundCopy.h"

#include "ZIPTestSupport.h"
#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using namespace ziptest;

TEST(ZIPBackgroundCopyTest, RangesLandInPlaceAndFailuresComeBack) {
    TemporaryDirectory dir;
    const std::string bytes = sampleBytes(300'000, 7, false);
    writeFile(dir / "source.zip", bytes);
    const auto written = dir / "written.zip";

    writeFile(written, "");
    {
        Progress progress(3);
        ZIPBackgroundCopy copy(dir / "source.zip", written, progress);
        copy.add(100'000, 200'000, 0, 2);
        copy.add(0, 100'000, 200'000, 1);
        copy.finish();
        EXPECT_EQ(progress.completedUnitCount(), 3);
    }
    EXPECT_TRUE(readFile(written) == bytes.substr(100'000) + bytes.substr(0, 100'000));

    // Bytes the archive no longer has: it changed while it was copied.
    {
        Progress progress(1);
        ZIPBackgroundCopy copy(dir / "source.zip", written, progress);
        copy.add(250'000, 100'000, 0, 1);
        EXPECT_EQ(failureOf([&] { copy.finish(); }), ArchiveFailure::archiveChanged());
    }

    Progress cancelled(1);
    cancelled.cancel();
    ZIPBackgroundCopy copy(dir / "source.zip", written, cancelled);
    EXPECT_THROW(copy.add(0, 200'000, 0, 1), CancellationError);
}

} // namespace
} // namespace vexa
