#pragma once

#include "engines/rar/RARChildProtocol.h"
#include "engines/rar/RARStreamContext.h"
#include "platform/ChildProcess.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vexa {

// What one walk of the reading child does with the entries it meets.
struct RARWalkPlan {
    RARWalkPlan(rarchild::Test test = rarchild::Test::none,
                rarchild::Data data = rarchild::Data::drop)
        : test(test), data(data) {}
    rarchild::Test test = rarchild::Test::none;
    rarchild::Data data = rarchild::Data::drop;
    // With Data::send: the data of these listed paths only, unless `sendEverything`. They are
    // read only while the session starts.
    bool sendEverything = true;
    std::vector<std::string_view> wanted;
    // How many children may share the walk (one for a solid archive).
    unsigned shards = 1;
};

// One run of vexa-rar-reader over one archive: the bridge's open, header reads and process
// calls happen in the child in the order the plan gives, and their results come back here.
// Waiting polls the progress: a cancelled progress stops the child and throws
// CancellationError. A child that crashes or is killed becomes ArchiveFailure::rarFailure
// saying the archive is damaged. The child never outlives the session.
class RARChildSession {
  public:
    struct Header {
        std::int32_t code = 0;
        std::uint32_t flags = 0;
        std::int64_t unpackedSize = 0;
        std::int64_t packedSize = 0;
        std::uint32_t mode = 0;
        std::int64_t modificationTime = 0;
        std::string name;
    };

    // Starts walking the entries of `shard` (0 ..< plan.shards) of the plan; awaitOpen must
    // follow before anything else is asked.
    RARChildSession(const std::filesystem::path& archive,
                    const std::optional<std::string>& password, const RARWalkPlan& plan,
                    unsigned shard, Progress& progress);
    ~RARChildSession();
    RARChildSession(const RARChildSession&) = delete;
    RARChildSession& operator=(const RARChildSession&) = delete;

    // Waits for the bridge's open result and gives it; when it is not 0 the walk is over.
    // Sessions started one after another open at the same time.
    std::int32_t awaitOpen();
    std::int32_t openError() const { return openError_; }
    bool hasRecoveryRecord() const { return (archiveFlags_ & 0x40) != 0; }
    bool isLocked() const { return (archiveFlags_ & 0x04) != 0; }
    // Walkers cannot share this archive (see RARChildProtocol.h).
    bool isWalkedAlone() const { return rarchild::walkedAlone(archiveFlags_); }

    // The next header read (code 10 at the end, 1003 with missingVolume() set...).
    Header nextHeader();
    // The skip or test of the current entry: sent data goes to the context's receive, counted
    // bytes to its progress and the checksum to its crc. Gives the bridge's code; when the
    // context refused data, the child is stopped and the walk cannot go on.
    std::int32_t processEntry(RARStreamContext& context);

    const std::string& missingVolume() const { return missing_; }
    const std::vector<std::string>& volumes() const { return volumes_; }

  private:
    void fill(std::size_t wanted);
    void read(void* target, std::size_t size);
    template <typename T> T number() {
        T value;
        read(&value, sizeof value);
        return value;
    }
    std::string text();
    char nextEvent();
    [[noreturn]] void childEnded();
    void stop() noexcept;

    Progress& progress_;
    std::optional<platform::ChildProcess> child_;
    int events_ = -1;
    std::int32_t openError_ = 0;
    std::uint32_t archiveFlags_ = 0;
    std::string missing_;
    std::vector<std::string> volumes_;
    std::vector<char> buffer_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

// How many children share a walk that tests every entry of an archive that is not solid.
unsigned rarWalkerCount();

// The reading child's program: beside the running program, in its libexec folder, or in the
// build tree.
std::filesystem::path rarReaderProgram();

} // namespace vexa
