#include "ZIPWritingTestSupport.h"

#include "tests/support/TestSupport.h"

#include <sstream>
#include <vector>

namespace vexa::ziptest {

namespace {

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> result;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, '|'))
        result.push_back(field);
    return result;
}

} // namespace

std::map<std::string, WrittenEntry> writtenEntries(const std::filesystem::path& archive) {
    const std::string script = R"(
import hashlib, struct, sys, zipfile
path = sys.argv[1]
with zipfile.ZipFile(path) as zf, open(path, 'rb') as raw:
    for info in zf.infolist():
        raw.seek(info.header_offset)
        header = raw.read(30)
        name_length, extra_length = struct.unpack('<HH', header[26:30])
        raw.seek(info.header_offset + 30 + name_length + extra_length)
        digest = hashlib.sha256(raw.read(info.compress_size)).hexdigest()
        trailer = raw.read(16) if info.flag_bits & 8 else b''
        raw.seek(info.header_offset)
        local = raw.read(30 + name_length + extra_length) + trailer
        print('|'.join(str(v) for v in (info.filename.encode('utf-8').hex(), info.flag_bits,
              info.compress_type, info.external_attr, info.CRC, info.compress_size,
              info.file_size, digest, local.hex())))
)";
    const std::string output = testing::runChecked("python3 -c " + testing::shellQuote(script) +
                                                   " " + testing::shellQuote(archive.string()));
    std::map<std::string, WrittenEntry> entries;
    std::stringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::vector<std::string> parts = fields(line);
        if (parts.size() != 9)
            continue;
        std::string name;
        for (std::size_t i = 0; i + 1 < parts[0].size(); i += 2)
            name += static_cast<char>(std::stoi(parts[0].substr(i, 2), nullptr, 16));
        entries[name] = WrittenEntry{static_cast<unsigned>(std::stoul(parts[1])),
                                     static_cast<unsigned>(std::stoul(parts[2])),
                                     static_cast<std::uint32_t>(std::stoul(parts[3])),
                                     static_cast<std::uint32_t>(std::stoul(parts[4])),
                                     std::stoll(parts[5]),
                                     std::stoll(parts[6]),
                                     parts[7],
                                     parts[8]};
    }
    return entries;
}

std::map<std::string, std::string> extractedByPython(const std::filesystem::path& archive) {
    testing::TemporaryDirectory out;
    const std::string script = R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as zf:
    assert zf.testzip() is None
    zf.extractall(sys.argv[2])
)";
    testing::runChecked("python3 -c " + testing::shellQuote(script) + " " +
                        testing::shellQuote(archive.string()) + " " +
                        testing::shellQuote(out.path().string()));
    std::map<std::string, std::string> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(out.path()))
        if (item.is_regular_file())
            files[std::filesystem::relative(item.path(), out.path()).generic_string()] =
                testing::readFile(item.path());
    return files;
}

void joinSplitSet(const std::filesystem::path& last, const std::filesystem::path& joined) {
    const std::string script = R"(
import os, struct, sys
last, joined = sys.argv[1], sys.argv[2]
stem = os.path.splitext(last)[0]
parts = []
n = 1
while os.path.exists('%s.z%02d' % (stem, n)):
    parts.append(open('%s.z%02d' % (stem, n), 'rb').read())
    n += 1
parts.append(open(last, 'rb').read())
# Offsets in the first part count its split marker, which the joined archive drops.
marker = 4 if len(parts) > 1 and parts[0][:4] == b'PK\x07\x08' else 0
starts = [sum(len(p) for p in parts[:i]) - marker for i in range(len(parts))]
data = bytearray(b''.join(parts)[marker:])
end = data.rfind(b'PK\x05\x06')
_, disk_cd, _, count, cd_size, cd_offset = struct.unpack('<HHHHII', data[end + 4:end + 20])
position = starts[disk_cd] + cd_offset
struct.pack_into('<HHHHII', data, end + 4, 0, 0, count, count, cd_size, position)
for _ in range(count):
    assert data[position:position + 4] == b'PK\x01\x02'
    name, extra, comment = struct.unpack('<HHH', data[position + 28:position + 34])
    disk = struct.unpack('<H', data[position + 34:position + 36])[0]
    offset = struct.unpack('<I', data[position + 42:position + 46])[0]
    struct.pack_into('<H', data, position + 34, 0)
    struct.pack_into('<I', data, position + 42, starts[disk] + offset)
    position += 46 + name + extra + comment
open(joined, 'wb').write(data)
)";
    testing::runChecked("python3 -c " + testing::shellQuote(script) + " " +
                        testing::shellQuote(last.string()) + " " +
                        testing::shellQuote(joined.string()));
}

} // namespace vexa::ziptest
