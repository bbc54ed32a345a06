#include "engines/codec/LzmaFilterChain.h"

#include "engines/codec/DecodingStream.h"
#include "engines/codec/Lzma.h"
#include "tests/engines/codec/PulledBytes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sstream>

namespace vexa::codec {
namespace {

using testing::readFile;
using testing::runChecked;
using testing::sampleBytes;
using testing::TemporaryDirectory;
using testing::writeFile;

using Kind = LzmaFilterKind;

// A file packed by py7zr with `filters` (a Python list of liblzma filter settings); its folder's
// packed stream goes to `name.packed` and each coder's properties, from the filter nearest the
// output down, as hexadecimal lines to `name.properties`.
const char* const py7zrFolder = R"(
import lzma, py7zr, sys
name, filters = sys.argv[1], eval(sys.argv[2])
with py7zr.SevenZipFile(name + '.7z', 'w', filters=filters) as archive:
    archive.write('plain', 'plain')
archive = py7zr.SevenZipFile(name + '.7z')
streams = archive.header.main_streams
folder = streams.unpackinfo.folders[0]
with open(name + '.7z', 'rb') as packed:
    packed.seek(32 + streams.packinfo.packpos)
    open(name + '.packed', 'wb').write(packed.read(streams.packinfo.packsizes[0]))
with open(name + '.properties', 'w') as out:
    for coder in reversed(folder.coders):
        out.write((coder['properties'] or b'').hex() + '\n')
)";

std::vector<std::uint8_t> fromHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Every chain py7zr writes decodes back to the file; the dictionary of a chain is cut to what
// it decodes, which its memory need shows.
TEST(LzmaFilterChain, DecodesEachChainPy7zrWrites) {
    ASSERT_TRUE(testing::commandExists("python3")) << "missing tool: python3";
    const struct {
        const char* name;
        const char* filters;
        std::vector<Kind> kinds; // nearest the output first
    } chains[] = {
        {"lzma", "[{'id': lzma.FILTER_LZMA1}]", {Kind::lzma}},
        {"lzma2", "[{'id': lzma.FILTER_LZMA2, 'preset': 7}]", {Kind::lzma2}},
        {"bcj_lzma2",
         "[{'id': lzma.FILTER_X86}, {'id': lzma.FILTER_LZMA2}]",
         {Kind::x86, Kind::lzma2}},
        {"bcj_lzma",
         "[{'id': lzma.FILTER_X86}, {'id': lzma.FILTER_LZMA1}]",
         {Kind::x86, Kind::lzma}},
        {"delta_lzma2",
         "[{'id': lzma.FILTER_DELTA, 'dist': 4}, {'id': lzma.FILTER_LZMA2}]",
         {Kind::delta, Kind::lzma2}},
        {"arm_lzma2",
         "[{'id': lzma.FILTER_ARM}, {'id': lzma.FILTER_LZMA2}]",
         {Kind::arm, Kind::lzma2}},
        {"armthumb_lzma2",
         "[{'id': lzma.FILTER_ARMTHUMB}, {'id': lzma.FILTER_LZMA2}]",
         {Kind::armThumb, Kind::lzma2}},
        {"ppc_lzma2",
         "[{'id': lzma.FILTER_POWERPC}, {'id': lzma.FILTER_LZMA2}]",
         {Kind::powerPc, Kind::lzma2}},
        {"sparc_lzma",
         "[{'id': lzma.FILTER_SPARC}, {'id': lzma.FILTER_LZMA1}]",
         {Kind::sparc, Kind::lzma}},
        {"ia64_lzma2",
         "[{'id': lzma.FILTER_IA64}, {'id': lzma.FILTER_LZMA2}]",
         {Kind::ia64, Kind::lzma2}},
        {"delta_bcj_lzma2",
         "[{'id': lzma.FILTER_DELTA, 'dist': 2}, {'id': lzma.FILTER_X86}, "
         "{'id': lzma.FILTER_LZMA2}]",
         {Kind::delta, Kind::x86, Kind::lzma2}},
    };
    TemporaryDirectory folder;
    const std::string plain = sampleBytes(300 << 10, 41, true) + sampleBytes(100 << 10, 42, false);
    writeFile(folder / "plain", plain);
    writeFile(folder / "folder.py", py7zrFolder);
    for (const auto& chain : chains) {
        SCOPED_TRACE(chain.name);
        runChecked(std::string("/usr/bin/python3 folder.py ") + chain.name + " " +
                       testing::shellQuote(chain.filters),
                   folder.path());
        std::istringstream lines(readFile(folder / (std::string(chain.name) + ".properties")));
        std::vector<std::vector<std::uint8_t>> properties;
        for (std::string line; std::getline(lines, line);)
            properties.push_back(fromHex(line));
        ASSERT_EQ(properties.size(), chain.kinds.size());
        std::vector<LzmaFilterChain::Filter> filters;
        for (std::size_t i = 0; i < properties.size(); ++i)
            filters.push_back({chain.kinds[i], properties[i]});

        LzmaFilterChain decoding(filters, plain.size());
        DecodingStream stream(std::make_unique<BytesStream>(
                                  readFile(folder / (std::string(chain.name) + ".packed")), 3001),
                              std::make_unique<LzmaDecoder>(LzmaDecoder::raw(decoding)));
        const std::string out = readAll(stream, 65536);
        EXPECT_TRUE(out == plain);

        const std::uint64_t small = LzmaFilterChain(filters, 4096).decoderMemory();
        const std::uint64_t whole =
            LzmaFilterChain(filters, std::uint64_t{1} << 32).decoderMemory();
        EXPECT_GT(small, 0u);
        EXPECT_LE(small, decoding.decoderMemory());
        EXPECT_LT(decoding.decoderMemory(), whole) << "the dictionary is cut to the data";
    }
}

TEST(LzmaFilterChain, RefusesPropertiesLiblzmaCannotUse) {
    const std::vector<std::uint8_t> lzma{0x5d, 0, 0, 0x10, 0};
    const std::vector<std::uint8_t> lzma2{0x16};
    const std::vector<std::uint8_t> none;
    const std::vector<std::uint8_t> badLiteralBits{0xe1, 0, 0, 0x10, 0}; // lc/lp/pb past 224
    const std::vector<std::uint8_t> shortLzma{0x5d, 0, 0};
    const std::vector<std::uint8_t> hugeDictionary{41};
    const std::vector<std::uint8_t> threeBytes{1, 2, 3};
    const struct {
        const char* what;
        std::vector<LzmaFilterChain::Filter> filters;
    } refused[] = {
        {"LZMA literal bits out of range", {{Kind::lzma, badLiteralBits}}},
        {"LZMA properties cut short", {{Kind::lzma, shortLzma}}},
        {"LZMA2 dictionary past 4 GiB", {{Kind::lzma2, hugeDictionary}}},
        {"LZMA2 without properties", {{Kind::lzma2, none}}},
        {"delta without its distance", {{Kind::delta, none}, {Kind::lzma2, lzma2}}},
        {"a branch converter's start offset of three bytes",
         {{Kind::x86, threeBytes}, {Kind::lzma, lzma}}},
        {"more filters than liblzma chains",
         {{Kind::x86, none},
          {Kind::arm, none},
          {Kind::sparc, none},
          {Kind::powerPc, none},
          {Kind::lzma2, lzma2}}},
    };
    for (const auto& test : refused)
        EXPECT_THROW(LzmaFilterChain(test.filters, 1 << 20), UnsupportedSettings) << test.what;
    // A chain whose every filter's properties are good, but whose order is not: liblzma refuses
    // to start its decoder.
    LzmaFilterChain upsideDown({{Kind::lzma2, lzma2}, {Kind::x86, none}}, 1 << 20);
    EXPECT_THROW(LzmaDecoder::raw(upsideDown), UnsupportedSettings);
    EXPECT_EQ(upsideDown.decoderMemory(), 0u);
}

} // namespace
} // namespace vexa::codec
