#include "engines/sevenzip/container/SevenZipArchive.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/container/SevenZipCoders.h"
#include "engines/sevenzip/container/SevenZipFormat.h"
#include "engines/sevenzip/container/SevenZipHeaderParser.h"
#include "platform/Crc32.h"

#include <algorithm>
#include <openssl/crypto.h>

namespace vexa::sevenzip {

namespace {

// A decoded header larger than this is taken for a hostile one; a million entries fit.
constexpr std::uint64_t maxHeaderSize = 128 * 1024 * 1024;
// A header packed inside a packed header, and so on: one level is what writers do.
constexpr int maxHeaderNesting = 4;

[[noreturn]] void malformed() {
    throw ArchiveFailure::sevenZipFailure("el archivo está dañado o no es un 7z válido.");
}

struct CoderIndex {
    std::vector<std::uint64_t> firstIn, firstOut;
    explicit CoderIndex(const Folder& folder) {
        std::uint64_t in = 0, out = 0;
        for (const auto& coder : folder.coders) {
            firstIn.push_back(in);
            firstOut.push_back(out);
            in += coder.inStreams;
            out += coder.outStreams;
        }
    }
    std::size_t coderOfOut(std::uint64_t index) const {
        return static_cast<std::size_t>(std::upper_bound(firstOut.begin(), firstOut.end(), index) -
                                        firstOut.begin() - 1);
    }
};

// The coders from the folder's output down to its packed stream, when they form one chain of
// single-stream coders; empty otherwise.
std::vector<std::size_t> linearChain(const Folder& folder) {
    std::vector<std::size_t> chain;
    if (folder.packedStreams.size() != 1)
        return chain;
    const CoderIndex index(folder);
    std::size_t coder = index.coderOfOut(*folder.mainOutStream());
    while (true) {
        const Coder& current = folder.coders[coder];
        if (current.inStreams != 1 || current.outStreams != 1)
            return {};
        chain.push_back(coder);
        const std::uint64_t in = index.firstIn[coder];
        const auto pair =
            std::find_if(folder.bindPairs.begin(), folder.bindPairs.end(),
                         [&](const BindPair& candidate) { return candidate.inIndex == in; });
        if (pair == folder.bindPairs.end())
            break;
        coder = index.coderOfOut(pair->outIndex);
    }
    return chain;
}

bool knownMethod(std::uint64_t id) {
    return id == method::copy || id == method::aes256 || id == method::deflate ||
           id == method::bzip2 || isLzmaMethod(id) || isLzmaFilterMethod(id);
}

// Stages of the chain grouped as they are built: liblzma takes filters and their LZMA coder
// as one decoder.
struct Group {
    std::vector<const Coder*> coders;
    std::uint64_t outSize;
};

std::vector<Group> groupChain(const Folder& folder, const std::vector<std::size_t>& chain) {
    const CoderIndex index(folder);
    std::vector<Group> groups;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const Coder& coder = folder.coders[chain[i]];
        const std::uint64_t outSize = folder.unpackSizes[index.firstOut[chain[i]]];
        if (!groups.empty() && isLzmaFilterMethod(groups.back().coders.back()->methodId)) {
            groups.back().coders.push_back(&coder);
            continue;
        }
        groups.push_back({{&coder}, outSize});
    }
    for (const auto& group : groups)
        if (isLzmaFilterMethod(group.coders.back()->methodId))
            return {}; // a filter with no LZMA coder below it
    return groups;
}

class ChainReader : public FolderReader {
  public:
    ChainReader(std::unique_ptr<DecodeStage> top, std::uint64_t size,
                std::optional<std::uint32_t> crc)
        : top_(std::move(top)), remaining_(size), crc_(crc), running_(0) {}

    std::size_t read(std::uint8_t* out, std::size_t size) override {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
        if (want == 0) {
            if (crc_ && !checked_ && running_ != *crc_)
                throw SevenZipDataError("folder CRC mismatch");
            checked_ = true;
            return 0;
        }
        const std::size_t count = top_->read(out, want);
        if (count == 0)
            throw SevenZipDataError("folder ends early");
        if (crc_)
            running_ = platform::crc32(running_, out, static_cast<std::size_t>(count));
        remaining_ -= count;
        return count;
    }

  private:
    std::unique_ptr<DecodeStage> top_;
    std::uint64_t remaining_;
    std::optional<std::uint32_t> crc_;
    std::uint32_t running_;
    bool checked_ = false;
};

} // namespace

std::unique_ptr<FolderReader> openFolderOf(const SevenZipInput& input, const StreamsInfo& streams,
                                           std::size_t folderIndex, std::uint64_t packOffset,
                                           const std::optional<std::string>& password) {
    const Folder& folder = streams.folders[folderIndex];
    const auto chain = linearChain(folder);
    if (chain.empty())
        throw ArchiveFailure::unsupported7z();
    for (std::size_t coder : chain)
        if (!knownMethod(folder.coders[coder].methodId))
            throw ArchiveFailure::unsupported7z();
    const auto groups = groupChain(folder, chain);
    if (groups.empty())
        throw ArchiveFailure::unsupported7z();

    std::size_t firstPack = 0;
    for (std::size_t f = 0; f < folderIndex; ++f)
        firstPack += streams.folders[f].packedStreams.size();
    std::unique_ptr<DecodeStage> stage =
        makePackedStage(input, packOffset, streams.packSizes[firstPack]);
    for (auto group = groups.rbegin(); group != groups.rend(); ++group) {
        const Coder& bottom = *group->coders.back();
        if (isLzmaMethod(bottom.methodId)) {
            stage = makeLzmaStage(std::move(stage), group->coders, group->outSize);
        } else if (bottom.methodId == method::aes256) {
            if (!password)
                throw ArchiveFailure::passwordRequired();
            const AesProperties properties = parseAesProperties(bottom.properties);
            stage = makeAesStage(std::move(stage), deriveAesKey(*password, properties), properties,
                                 group->outSize);
        } else if (bottom.methodId == method::deflate) {
            stage = makeInflateStage(std::move(stage), group->outSize);
        } else if (bottom.methodId == method::bzip2) {
            stage = makeBzip2Stage(std::move(stage), group->outSize);
        } else {
            stage = makeCopyStage(std::move(stage), group->outSize);
        }
    }
    return std::make_unique<ChainReader>(std::move(stage), folder.unpackSize(), folder.unpackCrc);
}

std::optional<StartHeader> SevenZipArchive::readStartHeader(const SevenZipInput& input) {
    std::uint8_t start[startHeaderSize];
    if (input.size() < startHeaderSize)
        return std::nullopt;
    input.readAt(0, start, startHeaderSize);
    return parseStartHeader(start, startHeaderSize);
}

SevenZipArchive::SevenZipArchive(std::shared_ptr<const SevenZipInput> input,
                                 const std::optional<std::string>& password, Progress& progress)
    : SevenZipArchive(input, readStartHeader(*input), password, progress) {}

SevenZipArchive::SevenZipArchive(std::shared_ptr<const SevenZipInput> input,
                                 const std::optional<StartHeader>& startHeader,
                                 const std::optional<std::string>& password, Progress& progress)
    : input_(std::move(input)) {
    if (!startHeader)
        malformed();
    const std::uint64_t available = input_->size() - startHeaderSize;
    if (startHeader->nextHeaderOffset > available ||
        startHeader->nextHeaderSize > available - startHeader->nextHeaderOffset)
        malformed();
    archiveSize_ = startHeaderSize + startHeader->nextHeaderOffset + startHeader->nextHeaderSize;
    if (startHeader->nextHeaderSize == 0)
        return; // an archive without entries
    if (startHeader->nextHeaderSize > maxHeaderSize)
        malformed();

    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(startHeader->nextHeaderSize));
    input_->readAt(startHeaderSize + startHeader->nextHeaderOffset, bytes.data(), bytes.size());
    if (platform::crc32(0, bytes.data(), static_cast<std::size_t>(bytes.size())) !=
        startHeader->nextHeaderCrc)
        malformed();
    const std::uint64_t headerStart = startHeader->nextHeaderOffset;
    // Set once bytes decrypted without a CRC to vouch for them are read: from then on, bytes
    // that make no sense point to a wrong key rather than to damage, whatever they start with.
    bool unverified = false;
    try {
        for (int level = 0; !bytes.empty() && bytes[0] == property::encodedHeader; ++level) {
            if (level == maxHeaderNesting)
                malformed();
            const StreamsInfo streams = parseEncodedHeader(bytes.data(), bytes.size());
            std::vector<std::uint64_t> offsets;
            std::vector<std::size_t> firstPack;
            locateStreams(streams, offsets, firstPack);
            // Packed data lies before the header that describes it.
            std::uint64_t packEnd = streams.packPosition;
            for (std::uint64_t packSize : streams.packSizes)
                packEnd += packSize;
            if (packEnd > headerStart)
                malformed();
            const Folder& folder = streams.folders.front();
            const bool encrypted =
                std::any_of(folder.coders.begin(), folder.coders.end(),
                            [](const Coder& coder) { return coder.methodId == method::aes256; });
            headerEncrypted_ = headerEncrypted_ || encrypted;
            const std::uint64_t size = folder.unpackSize();
            if (size > maxHeaderSize || size == 0)
                malformed();
            std::vector<std::uint8_t> decoded(static_cast<std::size_t>(size));
            try {
                auto reader = openFolderOf(*input_, streams, 0, offsets[0], password);
                std::size_t filled = 0;
                while (true) {
                    progress.throwIfCancelled();
                    const std::size_t count =
                        reader->read(decoded.data() + filled, decoded.size() - filled);
                    if (count == 0)
                        break;
                    filled += count;
                }
            } catch (const SevenZipDataError&) {
                if (encrypted || unverified)
                    throw ArchiveFailure::wrongPassword();
                malformed();
            }
            unverified = unverified || (encrypted && !folder.unpackCrc);
            bytes = std::move(decoded);
        }
        header_ = parseHeader(bytes.data(), bytes.size());
        locateStreams(header_.streams, folderPackOffsets_, folderFirstPack_);
        std::uint64_t end = header_.streams.packPosition;
        for (std::uint64_t size : header_.streams.packSizes)
            end += size;
        if (end > headerStart)
            malformed();
    } catch (const ArchiveFailure& failure) {
        if (unverified && (failure.kind() == ArchiveFailure::Case::sevenZipFailure ||
                           failure.kind() == ArchiveFailure::Case::unsupported7z))
            throw ArchiveFailure::wrongPassword();
        throw;
    }

    std::size_t stream = 0;
    for (const auto& file : header_.files) {
        if (file.hasStream)
            fileStreams_.push_back(stream++);
        else
            fileStreams_.emplace_back();
    }
    for (std::size_t f = 0; f < header_.streams.folders.size(); ++f)
        for (std::uint64_t k = 0; k < header_.streams.unpackStreamCounts[f]; ++k)
            streamFolders_.push_back(f);
}

void SevenZipArchive::locateStreams(const StreamsInfo& streams, std::vector<std::uint64_t>& offsets,
                                    std::vector<std::size_t>& firstPack) const {
    std::vector<std::uint64_t> packOffsets;
    std::uint64_t offset = startHeaderSize + streams.packPosition;
    for (std::uint64_t size : streams.packSizes) {
        packOffsets.push_back(offset);
        offset += size;
    }
    if (offset > input_->size())
        malformed();
    std::size_t pack = 0;
    for (const auto& folder : streams.folders) {
        firstPack.push_back(pack);
        offsets.push_back(packOffsets[pack]);
        pack += folder.packedStreams.size();
    }
}

bool SevenZipArchive::folderEncrypted(std::size_t folder) const {
    const auto& coders = header_.streams.folders[folder].coders;
    return std::any_of(coders.begin(), coders.end(),
                       [](const Coder& coder) { return coder.methodId == method::aes256; });
}

bool SevenZipArchive::folderDecodable(std::size_t folder) const {
    const Folder& model = header_.streams.folders[folder];
    const auto chain = linearChain(model);
    if (chain.empty())
        return false;
    for (std::size_t coder : chain)
        if (!knownMethod(model.coders[coder].methodId))
            return false;
    return !groupChain(model, chain).empty();
}

std::uint64_t SevenZipArchive::folderMemory(std::size_t folder) const {
    const Folder& model = header_.streams.folders[folder];
    const auto chain = linearChain(model);
    std::uint64_t memory = 0;
    for (const auto& group : groupChain(model, chain))
        memory += lzmaDecoderMemory(group.coders, group.outSize);
    return memory;
}

std::unique_ptr<FolderReader>
SevenZipArchive::openFolder(std::size_t folder, const std::optional<std::string>& password) const {
    return openFolderOf(*input_, header_.streams, folder, folderPackOffsets_[folder], password);
}

} // namespace vexa::sevenzip
