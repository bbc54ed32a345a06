#pragma once

#include "engines/sevenzip/SevenZipOpening.h"
#include "platform/Progress.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// Receives the files of one folder, one after the other, on one thread.
class SevenZipFileSink {
  public:
    virtual ~SevenZipFileSink() = default;
    // `file` indexes the header's files (and SevenZipOpenArchive::entries).
    virtual void begin(std::size_t file) = 0;
    virtual void data(const std::uint8_t* bytes, std::size_t size) = 0;
    // All of the file's data was given; `crc` is its CRC-32, which matched the archive's.
    virtual void end(std::uint32_t crc) = 0;
};

// Decodes the data of `files` (indexes of files that have a stream, in any order) of a decodable
// archive. Folders are decoded at once on up to 8 threads while their decoders fit a memory
// budget (one always runs); within a folder one thread decodes ahead into a few fixed blocks
// while another checks each file's CRC and hands it to its sink, so a single solid folder keeps
// two cores busy. `makeSink` is called once per folder, on the thread that will use the sink.
// Failures: the first one of any thread, after all have stopped. Data that does not decode, ends
// early or fails a CRC throws corrupt(path of the file being read), or wrongPassword in an
// encrypted folder; CancellationError when the progress is cancelled.
void decodeSevenZipFiles(const SevenZipOpenArchive& open,
                         const std::optional<std::string>& password,
                         const std::vector<std::size_t>& files, Progress& progress,
                         const std::function<std::unique_ptr<SevenZipFileSink>()>& makeSink);

} // namespace vexa
