#ifndef VEXA_ENGINES_RAR_RARBRIDGE_H
#define VEXA_ENGINES_RAR_RARBRIDGE_H

/* The project's C interface over libunrar. The library only tests or skips entries; every
 * byte of tested data goes to the caller's data callback. One handle is open in the whole
 * process at a time: VXRarOpen waits while another is open, VXRarClose lets the next one in.
 * Strings are NUL-terminated UTF-8 owned by the handle, valid until the next call that changes
 * them or until close. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VXRarHandle VXRarHandle;

/* Called with (user, NULL, 0) as a cancellation probe before every library callback, and with
 * (user, data, length) for each block of tested data. A negative result stops the library. */
typedef int32_t (*VXRarDataCallback)(void* user, const uint8_t* data, int32_t length);

/* Result codes: those of the library that callers tell apart, under its own numbers (any other
 * number is one of its failures, shown as it is), and the bridge's own. */
enum {
    VXRarSuccess = 0,
    VXRarEndOfArchive = 10,
    VXRarBadData = 12,
    VXRarMissingPassword = 22,
    VXRarBadPassword = 24,
    VXRarUnsupportedEntry = 1002, /* a link or redirection, or a Unix special file */
    VXRarVolumeMissing = 1003,    /* a volume of the set is missing: VXRarMissingVolume */
    VXRarNotFirstVolume = 1004    /* a later volume of a set was opened */
};

/* Entry flags of VXRarEntryFlags. */
enum {
    VXRarEntryContinuedBefore = 0x01,
    VXRarEntryContinuedAfter = 0x02,
    VXRarEntryEncrypted = 0x04,
    VXRarEntryDirectory = 0x20
};

/* Opens the archive (or the first volume of a set); `password` may be NULL. Always writes
 * `error`; returns NULL on failure, having released everything. */
VXRarHandle* VXRarOpen(const char* path, const char* password, VXRarDataCallback callback,
                       void* user, int32_t* error);

/* Reads the next entry header: VXRarSuccess, VXRarEndOfArchive at the end,
 * VXRarUnsupportedEntry, VXRarVolumeMissing once a volume was missing (and from then on). After a
 * 0, call VXRarProcessEntry exactly once before the next header read. */
int32_t VXRarNextHeader(VXRarHandle* handle);

const char* VXRarEntryName(VXRarHandle* handle); /* "/" separators */
int64_t VXRarEntryUnpackedSize(VXRarHandle* handle);
int64_t VXRarEntryPackedSize(VXRarHandle* handle);
uint32_t VXRarEntryFlags(VXRarHandle* handle);
/* Permission bits of a Unix entry; 0644 for entries made elsewhere. */
uint32_t VXRarEntryMode(VXRarHandle* handle);
/* Seconds since 1970 UTC (negative before); 0 when the header has no time. */
int64_t VXRarEntryModTime(VXRarHandle* handle);

/* Tests (`test` non-zero; data goes to the callback) or skips the current entry. */
int32_t VXRarProcessEntry(VXRarHandle* handle, int32_t test);

/* The volume that was asked for and not found; empty when none. */
const char* VXRarMissingVolume(VXRarHandle* handle);
/* The volumes opened after the first one, in order, each once. */
int32_t VXRarVolumeCount(VXRarHandle* handle);
const char* VXRarVolumeName(VXRarHandle* handle, int32_t index);
int32_t VXRarHasRecoveryRecord(VXRarHandle* handle);
/* The archive flags of the open call (0x04 locked, 0x08 solid, 0x40 recovery record...). */
uint32_t VXRarArchiveFlags(VXRarHandle* handle);

/* Closes the archive and frees the handle; NULL is ignored. */
void VXRarClose(VXRarHandle* handle);

#ifdef __cplusplus
}
#endif

#endif
