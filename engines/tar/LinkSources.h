#pragma once

#include "TarEntryReader.h"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace vexa::tar {

// The files one pass over a TAR archive has met so far, by path, for the hard links that name
// them. GNU tar and bsdtar store a file with several names once and each further name as a hard
// link to it: such a link stands for that earlier regular file (or for the file an earlier link
// stands for). A link to anything else, or one carrying data of its own, is refused.
class LinkSources {
  public:
    struct Source {
        std::string path; // the entry whose data the stream holds
        std::int64_t size = 0;
    };

    // Remembers a file, or a hard link resolve() accepted, once its header is read.
    void note(const TarEntryHeader& header);
    // The file `link` stands for; ArchiveFailure::unsupportedTar naming the link otherwise.
    const Source& resolve(const TarEntryHeader& link) const;

  private:
    std::unordered_map<std::string, Source> sources_;
};

} // namespace vexa::tar
