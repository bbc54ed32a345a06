#pragma once

#include "engines/sevenzip/container/SevenZipHeader.h"
#include "engines/sevenzip/container/SevenZipInput.h"
#include "platform/Progress.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vexa::sevenzip {

// The decoded data of one folder, read in order. The stream checks the folder's size and, when
// the archive has one, its CRC at the end; failures are SevenZipDataError.
class FolderReader {
  public:
    virtual ~FolderReader() = default;
    // Up to `size` bytes; 0 once the whole folder has been read and checked.
    virtual std::size_t read(std::uint8_t* out, std::size_t size) = 0;
};

// An opened 7z archive: its header read, checked and, when packed or encrypted, decoded. Where
// a file's data lies follows from the model: files with a stream take the substreams in order,
// folder after folder.
class SevenZipArchive {
  public:
    // Failures: sevenZipFailure for what is not a 7z or is damaged; passwordRequired for an
    // encrypted header without a password; wrongPassword when the password does not decrypt
    // it; unsupported7z for a header packed with a method this layer lacks.
    SevenZipArchive(std::shared_ptr<const SevenZipInput> input,
                    const std::optional<std::string>& password, Progress& progress);
    // The same with the start header already read from the input (nothing when its bytes were
    // no start header), so that an opening that looked at it first does not parse it again.
    SevenZipArchive(std::shared_ptr<const SevenZipInput> input,
                    const std::optional<StartHeader>& startHeader,
                    const std::optional<std::string>& password, Progress& progress);

    // The start header at the front of `input`; nothing when the bytes there are none.
    static std::optional<StartHeader> readStartHeader(const SevenZipInput& input);

    const Header& header() const { return header_; }
    bool headerEncrypted() const { return headerEncrypted_; }
    // Bytes the archive spans according to its start header.
    std::uint64_t archiveSize() const { return archiveSize_; }

    std::size_t folderCount() const { return header_.streams.folders.size(); }
    bool folderEncrypted(std::size_t folder) const;
    // Whether this layer has every coder of the folder and can chain them.
    bool folderDecodable(std::size_t folder) const;
    // Memory the folder's decoder needs besides its fixed buffers.
    std::uint64_t folderMemory(std::size_t folder) const;

    // For each file, the index of its substream, or nothing for a file without data.
    const std::vector<std::optional<std::size_t>>& fileStreams() const { return fileStreams_; }
    // For each substream, its folder.
    const std::vector<std::size_t>& streamFolders() const { return streamFolders_; }

    // A reader of the folder's data. Throws unsupported7z when the folder cannot be decoded
    // here, passwordRequired when it is encrypted and no password is given.
    std::unique_ptr<FolderReader> openFolder(std::size_t folder,
                                             const std::optional<std::string>& password) const;

  private:
    std::shared_ptr<const SevenZipInput> input_;
    Header header_;
    bool headerEncrypted_ = false;
    std::uint64_t archiveSize_ = 0;
    std::vector<std::uint64_t> folderPackOffsets_; // absolute offset of each folder's data
    std::vector<std::size_t> folderFirstPack_;
    std::vector<std::optional<std::size_t>> fileStreams_;
    std::vector<std::size_t> streamFolders_;

    void locateStreams(const StreamsInfo& streams, std::vector<std::uint64_t>& offsets,
                       std::vector<std::size_t>& firstPack) const;
};

// A folder reader over any streams info (the header's own, or the archive's).
std::unique_ptr<FolderReader> openFolderOf(const SevenZipInput& input, const StreamsInfo& streams,
                                           std::size_t folder, std::uint64_t packOffset,
                                           const std::optional<std::string>& password);

} // namespace vexa::sevenzip
