// What the Windows layer's files share with one another; nothing above the
// platform seam includes this.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "Wtf8.h"

inline bool Exists(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES;
}

// ---- Statuses and other programs' holds (Win32Status.cpp) ----
//
// Every call of the layer that can be refused returns the NTSTATUS it met, as
// a value, and its caller classifies that value (Classify): nothing is read
// back from the thread's last error, which a later call (an attribute put
// back, a handle closed) may have replaced.

const NTSTATUS kStatusSuccess = 0;
const NTSTATUS kStatusNoMoreFiles = (NTSTATUS)0x80000006L;
const NTSTATUS kStatusUnsuccessful = (NTSTATUS)0xC0000001L;
const NTSTATUS kStatusNotImplemented = (NTSTATUS)0xC0000002L;
const NTSTATUS kStatusInvalidInfoClass = (NTSTATUS)0xC0000003L;
const NTSTATUS kStatusInvalidParameter = (NTSTATUS)0xC000000DL;
const NTSTATUS kStatusInvalidDeviceRequest = (NTSTATUS)0xC0000010L;
const NTSTATUS kStatusEndOfFile = (NTSTATUS)0xC0000011L;
const NTSTATUS kStatusAccessDenied = (NTSTATUS)0xC0000022L;
const NTSTATUS kStatusObjectNameInvalid = (NTSTATUS)0xC0000033L;
const NTSTATUS kStatusObjectNameNotFound = (NTSTATUS)0xC0000034L;
const NTSTATUS kStatusNameCollision = (NTSTATUS)0xC0000035L;
const NTSTATUS kStatusObjectPathNotFound = (NTSTATUS)0xC000003AL;
const NTSTATUS kStatusSharingViolation = (NTSTATUS)0xC0000043L;
const NTSTATUS kStatusFileLockConflict = (NTSTATUS)0xC0000054L;
const NTSTATUS kStatusLockNotGranted = (NTSTATUS)0xC0000055L;
const NTSTATUS kStatusDeletePending = (NTSTATUS)0xC0000056L;
const NTSTATUS kStatusFileIsADirectory = (NTSTATUS)0xC00000BAL;
const NTSTATUS kStatusNotSupported = (NTSTATUS)0xC00000BBL;
const NTSTATUS kStatusDirectoryNotEmpty = (NTSTATUS)0xC0000101L;
const NTSTATUS kStatusCannotDelete = (NTSTATUS)0xC0000121L;
const NTSTATUS kStatusUserMappedFile = (NTSTATUS)0xC0000243L;
// Refused by the helper's own rule (a read-only file the command may not
// delete, a link that is not ours, a stranger in a file's place): final.
// Customer bit set, so no system call returns it.
const NTSTATUS kStatusRefusedHere = (NTSTATUS)0xE0000001L;

inline bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

// True when `status` says the call itself is unknown to this system or file
// system (an older Windows, FAT, a share, Wine), not that it was refused.
bool UnsupportedCall(NTSTATUS status);

// The status a Win32 call without an NT counterpart in use stands for, from
// the error it left (read at once, before any other call).
NTSTATUS StatusOfWin32Error(DWORD error);

// What a refused call was asked to do: one code means different things to
// different calls.
enum RefusedCall {
    kOpen,            // open a file or folder
    kRead,            // read an open file
    kDelete,          // delete a file, a link or a folder
    kDeleteLeftover,  // delete a set-aside copy, which the restart takes if it must
    kRemoveEmptied,   // remove a folder every entry of which went
    kRename,          // rename, never replacing
    kReplace,         // rename over a file that may be there (ReplaceOnce)
};

// What a refusal means to the caller.
enum Refusal {
    kHeld,             // another program holds the file: wait and try again
    kMaybeHeld,        // plain access denied: a scanner's moment, or an ACL
    kPendingDeletion,  // already on its way out: gone, for a deletion
    kFinal,            // an answer: trying again would change nothing
};

Refusal Classify(RefusedCall call, NTSTATUS status);

// How long, from the first, plain access denials are taken for a scanner's
// moment in one invocation; past it they are final at once.
const unsigned kDeniedWaitMs = 500;

// True while plain access denials may still pass (see kDeniedWaitMs).
bool DenialMayPass();

// Sleeps before try number *attempt + 1 (1 ms, then doubling) and counts it;
// false, without sleeping, once the invocation's deadline has passed. The
// deadline is fixed at the first hold, kHeldWaitMs later, on a monotonic
// clock: the attempts count against it as well as the sleeps.
bool SleepBeforeRetry(unsigned *attempt);

// The one retry: runs `attempt` (which returns its NTSTATUS) until it
// succeeds, is refused for good, or the deadline passes; returns the last
// status. A deletion refused because the file is already being deleted counts
// as done, and any other call refused so waits for it to go.
template <typename Attempt>
NTSTATUS RetryWhileHeld(RefusedCall call, Attempt attempt) {
    for (unsigned tries = 0;;) {
        NTSTATUS status = attempt();
        if (Succeeded(status))
            return status;
        switch (Classify(call, status)) {
        case kPendingDeletion:
            if (call == kDelete || call == kDeleteLeftover || call == kRemoveEmptied)
                return kStatusSuccess;
            break;
        case kMaybeHeld:
            if (!DenialMayPass())
                return status;
            break;
        case kFinal:
            return status;
        case kHeld:
            break;
        }
        if (!SleepBeforeRetry(&tries))
            return status;
    }
}

// The walk met an entry that a holder kept; TakeHeldEntries will say so.
void NoteHeldEntry();

// True when an entry was held since the last call.
bool TakeHeldEntries();

// ---- Open files and folders (Win32Handles.cpp) ----

const ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the entry `name` (WTF-8, one component) of the open folder `parent`
// as itself, never through a link, and never by a path resolved from
// anywhere else; `disposition` and `options` as NtCreateFile takes them.
// `*opened` is INVALID_HANDLE_VALUE on failure.
NTSTATUS OpenRelative(HANDLE parent, const char *name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                      HANDLE *opened);

// Opens `name` of `dir` again the ordinary way, where the file system's
// filter for a reparse point that is no link (deduplication, cloud files)
// serves its data; the handle only if it is the very file `file`, else
// INVALID_HANDLE_VALUE.
HANDLE ReopenThroughFilter(HANDLE dir, const char *name, HANDLE file, ACCESS_MASK access, ULONG options);

// The attribute word of the open file itself (not of a listing, which may be
// stale); INVALID_FILE_ATTRIBUTES when it cannot be read.
DWORD RawAttributesOf(HANDLE handle);

// The attribute word of the open `handle` as the helper takes it
// (ReparseTag.h): the reparse-point bit only for a link, read with the file's
// reparse tag. Where the handle was opened as the entry `name` of `parent`,
// under Wine also with that bit where the handle is what a Unix link there
// points to (WineFollowedLink).
DWORD LinkAwareAttributesOf(HANDLE handle, HANDLE parent = nullptr, const char *name = nullptr);

// The attribute word of the entry `name` of the open folder `dir`, as the
// helper takes it; INVALID_FILE_ATTRIBUTES when it is not there.
DWORD LinkAwareAttributesIn(HANDLE dir, const char *name);

// True when `attributes` (of an entry that exists) carry read-only.
inline bool IsReadOnly(DWORD attributes) {
    return Exists(attributes) && (attributes & FILE_ATTRIBUTE_READONLY);
}

// Clears read-only on the open file `handle` (FILE_WRITE_ATTRIBUTES), every
// other bit kept; `*old` gets the word to put back with PutReadOnlyBack. True
// when the file is not read-only now. With `onlyName`, a file that has other
// names is left as it is (false): the bit is theirs too.
bool LiftReadOnly(HANDLE handle, DWORD *old, bool onlyName = false);

// Puts back the word LiftReadOnly read, if it lifted anything; its result
// changes nothing for the caller, whose own status stands.
void PutReadOnlyBack(HANDLE handle, DWORD old);

// True when the open `a` and `b` are one and the same file.
bool SameFile(HANDLE a, HANDLE b);

// Deletes the open file, directory or link `handle` names (DELETE access), even
// when it is read-only. A non-empty directory stays.
NTSTATUS DeleteByHandle(HANDLE handle);

// Renames the open `file` (DELETE access) to `leaf` of the open folder `dir`,
// through its handle; never replaces what is there.
NTSTATUS RenameByHandle(HANDLE file, HANDLE dir, const std::string &leaf);

// Deletes the file (or link, as a link) `name` of the open folder `dir`, once:
// never a folder, and never what a link points to. A read-only file is
// refused unless `evenReadOnly`. With `nameAtOnce`, where the file system
// keeps a deleted file's name until its last handle closes, the file first
// takes a temporary name of its own (swept by a later copy to `name`), so
// that `name` is free at once even while another program holds the file.
NTSTATUS DeleteFileIn(HANDLE dir, const char *name, bool evenReadOnly, bool nameAtOnce = false);

// Gives the flushed temporary open as `temp` (DELETE access) the name `leaf`
// in the held folder `dir`, replacing what is there, and never opening the
// temporary again by a name. Tried again while another program holds the
// destination. `evenReadOnly`: a read-only destination is replaced too;
// `readOnlyThere`: the destination was read-only when checked.
NTSTATUS ReplaceWithTemporary(HANDLE temp, HANDLE dir, const std::string &leaf, bool evenReadOnly, bool readOnlyThere);

// Reads up to `size` bytes of the open `file` at its position, waited for
// while a byte range another program locked stands in the way; `*got` is 0
// at the end.
NTSTATUS ReadSome(HANDLE file, void *buffer, DWORD size, DWORD *got);

// One entry of a folder's listing, pointing into the listing's buffer.
struct ListedEntry {
    const WCHAR *name;
    DWORD length;            // in characters
    DWORD attributes;        // as the helper takes them
    const WCHAR *shortName;  // Wine's stand-in for a name Windows cannot hold; null when not listed
    DWORD shortLength;
};

const ULONG kListingEnd = ~0UL;

// Fills `buffer` with the next entries of the open folder `dir` (from its
// first again when `restart`); kStatusNoMoreFiles at the end. `*byIds` says
// how ReadListing must read it.
NTSTATUS FetchListing(HANDLE dir, bool restart, void *buffer, DWORD size, bool *byIds);

// The entry at `*offset` of a buffer FetchListing filled; moves `*offset` to
// the next one, kListingEnd after the last.
void ReadListing(const void *buffer, bool byIds, ULONG *offset, ListedEntry *entry);

// Calls `visit(name, attributes)` for each entry of the open folder `dir`
// from its first, the name in WTF-8: the sweeps of the helper's own names.
template <typename Visit>
void ForEachEntryIn(HANDLE dir, Visit visit) {
    alignas(8) char listing[4096];
    bool byIds;
    for (bool restart = true; Succeeded(FetchListing(dir, restart, listing, sizeof listing, &byIds)); restart = false) {
        for (ULONG offset = 0; offset != kListingEnd;) {
            ListedEntry entry;
            ReadListing(listing, byIds, &offset, &entry);
            visit(Wtf8FromUtf16((const char16_t *)entry.name, entry.length), entry.attributes);
        }
    }
}

// ---- Fixed paths (Win32Files.cpp) ----

// Splits a fixed path into its folder, with the trailing backslash ("" for
// a bare name), and its last name.
void SplitFixedPath(const char *path, std::string *folder, std::string *leaf);

// The folders on the way to a fixed path, each held open: ".", then "sa",
// then "ruleset" (say).
struct HeldFolders {
    std::vector<HANDLE> levels;
};

// Opens the folders on the way to the fixed path `path` one by one, each
// relative to the one before (the working directory first), as itself; each
// must be a real folder, not a link. They stay open without delete sharing
// until ReleaseFolders, so that none of them can be renamed or deleted
// meanwhile: the path cannot change under the caller. `*leaf`: the last
// name. On failure, holding nothing, the status says why (not found where a
// folder or the last name is missing; under Wine, a last name that another
// entry matches but for its case is no answer either).
NTSTATUS HoldFolders(const char *path, HeldFolders *held, std::string *leaf);

// The innermost folder held: where the last name lives.
inline HANDLE InnermostFolder(const HeldFolders &held) {
    return held.levels.back();
}

void ReleaseFolders(HeldFolders *held);

// Opens the file or folder `path` (relative to the working directory, or
// full), as CreateFileA would find it, with NtCreateFile's `options`.
NTSTATUS OpenByPath(const char *path, ACCESS_MASK access, ULONG share, ULONG options, HANDLE *opened);


// ---- Wine's ways (Win32Wine.cpp). Each is a no-op on Windows, where the
// layer runs by handle alone. ----

// True when the program runs under Wine, as its loader marks it.
bool RunsUnderWine();

// True when, under Wine, the handle `opened` for the entry `name` (as it was
// opened) of the open folder `parent` is not that entry itself but what a
// Unix symbolic link there points to. Always false on Windows.
bool WineFollowedLink(HANDLE parent, const char *name, HANDLE opened);

// True when, under Wine, a lookup that found no entry `status` says is worth
// one more, case-insensitive, in the same folder.
bool WineRetriesAnyCase(NTSTATUS status);

// True when, under Wine, a link the layer would remove as itself must stay:
// Wine removes what it points to instead.
bool WineKeepsLinks();

// Under Wine, the Unix path of the open folder `handle`; empty on Windows
// and where Wine cannot say.
std::string WineUnixPath(HANDLE handle);

// True when, under Wine, the entry `name` of the open folder `parent`, whose
// Unix path is `parentPath`, is a mount point: what is mounted there (a bind
// mount of a folder elsewhere) is not the tree's. Not knowing counts as one.
// `*path` gets the entry's Unix path. Always false on Windows.
bool WineMountPoint(HANDLE parent, const std::string &parentPath, const char *name, std::string *path);

// True when, under Wine, the open folder `dir` holds another entry whose name
// differs from `name` only in case: Wine looks such a name up now as one
// entry, now as the other. Always false on Windows.
bool WineCaseTwin(HANDLE dir, const char *name);

// Under Wine, points `entry` at a name an open can take where the listed one
// is none; a no-op on Windows.
void WineOpenableName(ListedEntry *entry);
