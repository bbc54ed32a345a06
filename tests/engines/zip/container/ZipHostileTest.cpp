// Damaged and lying archives end in a negative status, never in a crash, an over-read or data
// that passes for good.
#include "ContainerTestSupport.h"
#include "engines/zip/container/ZipStatus.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using namespace ziptest;

// Everything opened, listed to the end, read without error and matched its CRC-32.
bool accepted(const ziptest::ReadResult& result) {
    if (result.openStatus != zipstatus::ok || result.listStatus != zipstatus::endOfList ||
        result.entries.size() != result.count)
        return false;
    for (const auto& entry : result.entries) {
        if (entry.readStatus != zipstatus::ok || ziptest::crcOf(entry.data) != entry.info.crc ||
            static_cast<int64_t>(entry.data.size()) != entry.info.uncompressed_size)
            return false;
    }
    return true;
}

class HostileArchiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(dir / "a.txt", sampleBytes(40000, 21, true));
        writeFile(dir / "b.bin", sampleBytes(3000, 22, false));
        runChecked("zip -q base.zip a.txt b.bin", dir.path());
        ASSERT_TRUE(accepted(readArchive(dir / "base.zip")));
    }
    TemporaryDirectory dir;
};

TEST_F(HostileArchiveTest, EveryTruncationFails) {
    const std::string whole = readFile(dir / "base.zip");
    for (size_t cut = 0; cut < whole.size(); cut += 61) {
        writeFile(dir / "cut.zip", whole.substr(0, cut));
        EXPECT_FALSE(accepted(readArchive(dir / "cut.zip"))) << cut;
    }
    // Cut out of the middle with the central directory kept: offsets now point past the data.
    writeFile(dir / "cut.zip", whole.substr(0, 100) + whole.substr(whole.size() / 3));
    EXPECT_FALSE(accepted(readArchive(dir / "cut.zip")));
}

TEST_F(HostileArchiveTest, LyingFieldsFail) {
    // Each case rewrites one field of the base archive (offsets found from its end record).
    ziptest::runPython(R"(import struct
base = open('base.zip', 'rb').read()
end = base.rfind(b'PK\x05\x06')
cd = struct.unpack_from('<I', base, end + 16)[0]
def put(name, at, fmt, *values):
    data = bytearray(base)
    struct.pack_into(fmt, data, at, *values)
    open(name + '.zip', 'wb').write(data)
put('cd_offset_past_end', end + 16, '<I', 0xFFFFFFF0)
put('count_too_big', end + 8, '<HH', 0xFFFF, 0xFFFF)
put('cd_size_too_big', end + 12, '<I', 0x7FFFFFFF)
put('compressed_size_huge', cd + 20, '<I', 0x7FFFFFFF)
put('local_offset_past_end', cd + 42, '<I', 0x7FFFFFF0)
put('name_overflows_directory', cd + 28, '<H', 0xFFFF)
put('extra_overflows_directory', cd + 30, '<H', 0xFFFF)
put('zip64_value_missing', cd + 20, '<I', 0xFFFFFFFF)
put('bad_local_signature', 0, '<I', 0)
put('disk_beyond_set', cd + 34, '<H', 3)
put('deflate_garbage', 200, '<Q', 0x0123456789ABCDEF)
put('count_below_records', end + 8, '<HH', 1, 1)
# A ZIP64 end locator claiming 70000 parts: the others do not exist.
end64 = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 69999, 69999, 2, 2,
                    end - cd, cd)
loc = struct.pack('<IIQI', 0x07064b50, 69999, end, 70000)
open('many_parts.zip', 'wb').write(base[:end] + end64 + loc + base[end:])
loc = struct.pack('<IIQI', 0x07064b50, 0, end, 0)
open('no_parts.zip', 'wb').write(base[:end] + end64 + loc + base[end:])
)",
                       dir.path());
    for (const char* name :
         {"cd_offset_past_end", "count_too_big", "cd_size_too_big", "compressed_size_huge",
          "local_offset_past_end", "name_overflows_directory", "extra_overflows_directory",
          "zip64_value_missing", "bad_local_signature", "disk_beyond_set", "deflate_garbage",
          "many_parts", "no_parts"}) {
        auto result = readArchive(dir / (std::string(name) + ".zip"));
        EXPECT_FALSE(accepted(result)) << name;
    }
    // Fewer declared entries than records: the walk goes on to the directory's end, so the
    // caller's count check sees every record.
    auto fewer = readArchive(dir / "count_below_records.zip");
    EXPECT_EQ(fewer.count, 1u);
    EXPECT_EQ(fewer.entries.size(), 2u);
}

TEST_F(HostileArchiveTest, GarbageIsNotAnArchive) {
    for (size_t size : {0, 1, 21, 22, 4096, 100000}) {
        writeFile(dir / "g.zip", sampleBytes(size, static_cast<uint32_t>(size), false));
        EXPECT_EQ(readArchive(dir / "g.zip").openStatus, zipstatus::format) << size;
    }
}

} // namespace
} // namespace vexa
