#include "LinkSources.h"

#include "core/archive/ArchiveFailure.h"

namespace vexa::tar {

void LinkSources::note(const TarEntryHeader& header) {
    if (header.kind == EntryKind::file)
        sources_[header.path] = Source{header.path, header.size};
    else if (header.kind == EntryKind::hardLink)
        sources_[header.path] = resolve(header);
}

const LinkSources::Source& LinkSources::resolve(const TarEntryHeader& link) const {
    auto found = sources_.find(link.linkTarget);
    if (found == sources_.end() || link.kind != EntryKind::hardLink)
        throw ArchiveFailure::unsupportedTar(link.path);
    return found->second;
}

} // namespace vexa::tar
