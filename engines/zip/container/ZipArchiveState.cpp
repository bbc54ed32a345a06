#include "engines/zip/container/ZipArchiveState.h"

#include "engines/zip/container/ZipStatus.h"

namespace vexa {

int ZipArchiveState::openForReading(const std::string& path) {
    int status = input.open(path);
    if (status != zipstatus::ok)
        return status;
    directory = std::make_unique<ZipCentralDirectory>(input);
    entryReader = std::make_unique<ZipEntryReader>(input);
    return directory->open();
}

int ZipArchiveState::openForWriting(const std::string& path, int64_t diskSize) {
    int status = output.open(path, diskSize);
    if (status != zipstatus::ok)
        return status;
    entryWriter = std::make_unique<ZipEntryWriter>(output);
    return zipstatus::ok;
}

int ZipArchiveState::finishWriting() {
    if (finished || !output.isOpen())
        return zipstatus::exist;
    finished = true;
    int status = zipstatus::ok;
    if (entryWriter->isOpen()) {
        // Raw data of unknown end cannot be completed; the entry is left out of the directory.
        if (!entryWriter->isRaw() && (status = entryWriter->close()) == zipstatus::ok)
            records.push_back(entryWriter->record());
    }
    int directoryStatus = writeCentralDirectory(output, records, comment, &diskWithCd);
    if (status == zipstatus::ok)
        status = directoryStatus;
    int closeStatus = output.close();
    return status != zipstatus::ok ? status : closeStatus;
}

} // namespace vexa
