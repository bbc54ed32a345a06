#pragma once

#include "core/archive/ArchiveFailure.h"
#include "tests/support/TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <zlib.h>

// Fixtures for the 7z tests: archives come from bsdtar's 7z writer; the few kinds no tool here
// can make (encrypted or unknown methods) are assembled byte by byte from the format's layout.
namespace vexa::testing::sevenzip {

// The general helpers too, so that one `using namespace` brings every name.
using namespace vexa::testing;

// bsdtar's 7z writer: `members` relative to `source`, compression "store", "deflate", "bzip2",
// "lzma1", "lzma2" or "ppmd"; `extra` goes on the command line before the members.
inline std::filesystem::path makeSevenZip(const std::filesystem::path& archive,
                                          const std::filesystem::path& source,
                                          const std::string& members,
                                          const std::string& compression = "lzma2",
                                          const std::string& extra = "") {
    runChecked("bsdtar --format 7zip --options 7zip:compression=" + compression + " " + extra +
               " -cf " + shellQuote(archive.string()) + " -C " + shellQuote(source.string()) + " " +
               members);
    return archive;
}

// py7zr's 7z writer, run by Debian's own interpreter: every top-level item of `source` under its
// own name. `filters` is a Python list of py7zr filters ("None" for its default, LZMA2 with BCJ),
// with the py7zr module in scope as `p`; a non-empty `password` encrypts the data, and the header
// too with `encryptHeader`.
inline std::filesystem::path makePy7zr(const std::filesystem::path& archive,
                                       const std::filesystem::path& source,
                                       const std::string& filters = "None",
                                       const std::string& password = "",
                                       bool encryptHeader = false) {
    const std::string script =
        "import os,sys,py7zr as p\n"
        "a,src,pw,eh=sys.argv[1],sys.argv[2],sys.argv[3] or None,sys.argv[4]=='1'\n"
        "with p.SevenZipFile(a,'w',filters=" +
        filters +
        ",password=pw) as z:\n"
        "  z.set_encrypted_header(eh)\n"
        "  for n in sorted(os.listdir(src)): z.writeall(os.path.join(src,n),n)\n";
    runChecked("/usr/bin/python3 -c " + shellQuote(script) + " " + shellQuote(archive.string()) +
               " " + shellQuote(source.string()) + " " + shellQuote(password) + " " +
               (encryptHeader ? "1" : "0"));
    return archive;
}

// Runs `work` and checks that it throws exactly `expected` (case and payload).
inline void expectFailure(const std::function<void()>& work, const ArchiveFailure& expected) {
    try {
        work();
        ADD_FAILURE() << "no failure; expected: " << expected.message();
    } catch (const ArchiveFailure& failure) {
        EXPECT_EQ(failure, expected)
            << "got: " << failure.message() << "\nexpected: " << expected.message();
    }
}

// A 7z file: start header (signature, version 0.4, CRCs) + packed streams + header.
inline std::string craftSevenZip(const std::string& header, const std::string& packed) {
    auto littleEndian = [](std::uint64_t value, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i)
            out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        return out;
    };
    auto crc = [](const std::string& bytes) {
        return static_cast<std::uint32_t>(::crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()),
                                                  static_cast<uInt>(bytes.size())));
    };
    const std::string start = littleEndian(packed.size(), 8) + littleEndian(header.size(), 8) +
                              littleEndian(crc(header), 4);
    return std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8) + littleEndian(crc(start), 4) + start +
           packed + header;
}

// Streams info with one 16-byte packed stream decoded by one coder `coderId` into `unpackSize`
// bytes, one substream per folder.
inline std::string craftStreams(const std::string& coderId, unsigned char unpackSize) {
    std::string streams("\x06\x00\x01\x09\x10\x00", 6); // pack info: at 0, one stream, 16 bytes
    streams += std::string("\x07\x0B\x01\x00\x01", 5);  // unpack info: one folder, one coder
    streams.push_back(static_cast<char>(coderId.size()));
    streams += coderId;
    streams += std::string("\x0C", 1);
    streams.push_back(static_cast<char>(unpackSize));
    streams += std::string("\x00\x08\x00\x00", 4); // end, substreams (defaults), end
    return streams;
}

inline const std::string aesCoderId("\x06\xF1\x07\x01", 4);
inline const std::string unknownCoderId("\x7F\x7E\x7D", 3);

// A whole archive holding one file "secreto.txt" whose data the coder decodes.
inline std::string craftOneFileArchive(const std::string& coderId) {
    const std::u16string name = u"secreto.txt";
    std::string names;
    for (char16_t unit : name) {
        names.push_back(static_cast<char>(unit & 0xFF));
        names.push_back(static_cast<char>(unit >> 8));
    }
    names += std::string("\x00\x00", 2);
    std::string files("\x05\x01\x11", 3); // files info: one file, its name
    files.push_back(static_cast<char>(names.size() + 1));
    files.push_back('\0'); // names inline
    files += names;
    files.push_back('\0');
    const std::string header =
        std::string("\x01\x04", 2) + craftStreams(coderId, 16) + files + std::string(1, '\0');
    return craftSevenZip(header, std::string(16, '\x5A'));
}

// An archive whose header itself is packed by `coderId` (an encrypted header for AES).
inline std::string craftPackedHeaderArchive(const std::string& coderId) {
    return craftSevenZip("\x17" + craftStreams(coderId, 10), std::string(16, '\x5A'));
}

} // namespace vexa::testing::sevenzip
