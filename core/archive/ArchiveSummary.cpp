#include "core/archive/ArchiveSummary.h"

#include "core/archive/RarLocator.h"

namespace vexa {

bool ArchiveSummary::isEditable() const {
    if (volumes.size() > 1 || isLocked)
        return false;
    if (singleFile)
        return false;
    if (!isEditableJavaKind(java))
        return false;
    if (format == ArchiveFormat::rar)
        return locateRARExecutable().has_value();
    return true;
}

std::string ArchiveSummary::kindLabel() const {
    if (java)
        return rawValue(*java);
    if (singleFile && compression)
        return rawValue(*compression);
    return rawValue(format);
}

} // namespace vexa
