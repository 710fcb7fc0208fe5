// What the Windows layer's files share with one another; nothing above the
// platform seam includes this.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string>

#include "Wtf8.h"

inline bool Exists(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES;
}

// Splits a fixed path into its folder, with the trailing backslash ("" for
// a bare name), and its last name.
void SplitFixedPath(const char *path, std::string *folder, std::string *leaf);

// True when `error` says the call itself is unknown to this system or file
// system (an older Windows, FAT, a share, Wine), not that it was refused.
bool UnsupportedCall(DWORD error);

// The attribute word of the open file itself (not of a listing, which may be
// stale); INVALID_FILE_ATTRIBUTES when it cannot be read.
DWORD AttributesOf(HANDLE handle);

// AttributesOf as the helper takes it (ReparseTag.h): the reparse-point bit
// only for a link, read with the file's reparse tag.
DWORD TakenAttributesOf(HANDLE handle);

// Sets the attribute word through the handle (FILE_WRITE_ATTRIBUTES).
bool SetAttributesOf(HANDLE handle, DWORD attributes);

// True when the open `a` and `b` are one and the same file.
bool SameFile(HANDLE a, HANDLE b);

// Deletes the open file, directory or link `handle` names (DELETE access), even
// when it is read-only. A non-empty directory stays.
bool DeleteByHandle(HANDLE handle);

// Deletes the file (or link, as a link) `name` of the open folder `dir`, once:
// never a folder, and never what a link points to. A read-only file is
// refused unless `evenReadOnly`. On failure, LastRefusal(kDelete) says why.
bool DeleteFileIn(HANDLE dir, const char *name, bool evenReadOnly);

// Refusals and other programs' holds (Win32Contention.cpp).

// What a refused call was asked to do: one code means different things to
// different calls.
enum RefusedCall {
    kOpen,           // open a file or folder
    kDelete,         // delete a file, a link or a folder
    kRemoveEmptied,  // remove a folder every entry of which went
    kRename,         // rename, never replacing
    kReplace,        // rename over a file that may be there (ReplaceOnce)
};

// What a refusal means to the caller.
enum Refusal {
    kHeld,             // another program holds the file: wait and try again
    kPendingDeletion,  // already on its way out: gone, for a deletion
    kFinal,            // an answer: trying again would change nothing
};

// Classifies the refusal the last failed call met, from its NT status where
// the Win32 error came from one, else from the Win32 error itself.
Refusal LastRefusal(RefusedCall call);

// Fails the current attempt with `status`, which LastRefusal will read;
// always false.
bool Refuse(NTSTATUS status);

const NTSTATUS kStatusAccessDenied = (NTSTATUS)0xC0000022L;
const NTSTATUS kStatusObjectNameNotFound = (NTSTATUS)0xC0000034L;
const NTSTATUS kStatusObjectPathNotFound = (NTSTATUS)0xC000003AL;
const NTSTATUS kStatusNameCollision = (NTSTATUS)0xC0000035L;
const NTSTATUS kStatusSharingViolation = (NTSTATUS)0xC0000043L;
const NTSTATUS kStatusFileIsADirectory = (NTSTATUS)0xC00000BAL;
const NTSTATUS kStatusFileLockConflict = (NTSTATUS)0xC0000054L;
const NTSTATUS kStatusLockNotGranted = (NTSTATUS)0xC0000055L;
const NTSTATUS kStatusDeletePending = (NTSTATUS)0xC0000056L;
const NTSTATUS kStatusDirectoryNotEmpty = (NTSTATUS)0xC0000101L;
const NTSTATUS kStatusCannotDelete = (NTSTATUS)0xC0000121L;
const NTSTATUS kStatusUserMappedFile = (NTSTATUS)0xC0000243L;

// Sleeps before try number *attempt + 1 (1 ms, then doubling) and counts it;
// false, without sleeping, once the invocation's deadline has passed. The
// deadline is fixed at the first hold, kHeldWaitMs later, on a monotonic
// clock: the attempts count against it as well as the sleeps.
bool SleepBeforeRetry(unsigned *attempt);

// The one retry: runs `attempt` until it succeeds, is refused for good, or
// the deadline passes. On failure `attempt` leaves the reason in
// GetLastError() (and the NT status where it had one); a deletion refused
// because the file is already being deleted counts as done, and any other
// call refused so waits for it to go.
template <typename Attempt>
bool RetryWhileHeld(RefusedCall call, Attempt attempt) {
    for (unsigned tries = 0;;) {
        if (attempt())
            return true;
        DWORD error = GetLastError();
        Refusal refusal = LastRefusal(call);
        if (refusal == kPendingDeletion && (call == kDelete || call == kRemoveEmptied))
            return true;
        if (refusal == kFinal || !SleepBeforeRetry(&tries)) {
            SetLastError(error);
            return false;
        }
    }
}

// The walk met an entry that a holder kept; TakeHeldEntries will say so.
void NoteHeldEntry();

// True when an entry was held since the last call.
bool TakeHeldEntries();

// Wine's ways (Win32Wine.cpp). Each is a no-op on Windows, where the layer
// runs by handle alone.

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

// Folders by handle (Win32Folders.cpp).

const ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the entry `name` (WTF-8, one component) of the open folder `parent`
// as itself, never through a link, and never by a path resolved from
// anywhere else; `disposition` and `options` as NtCreateFile takes them.
// On failure GetLastError() and `*status` (if given) say why.
HANDLE OpenRelative(HANDLE parent, const char *name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                    NTSTATUS *status = nullptr);

// Opens `name` of `dir` again the ordinary way, where the file system's
// filter for a reparse point that is no link (deduplication, cloud files)
// serves its data; the handle only if it is the very file `file`, else null.
HANDLE ReopenThroughFilter(HANDLE dir, const char *name, HANDLE file, ACCESS_MASK access, ULONG options);

// The folders on the way to a fixed path, each held open: ".", then "sa",
// then "ruleset" (say).
struct HeldFolders {
    HANDLE levels[4];
    int count;
};

// Opens the folders on the way to the fixed path `path` one by one, each
// relative to the one before (the working directory first), as itself; each
// must be a real folder, not a link. They stay open without delete sharing
// until ReleaseFolders, so that none of them can be renamed or deleted
// meanwhile: the path cannot change under the caller. `*leaf`: the last
// name. False, holding nothing, when one is missing or a link.
bool HoldFolders(const char *path, HeldFolders *held, std::string *leaf);

// The innermost folder held: where the last name lives.
inline HANDLE InnermostFolder(const HeldFolders &held) {
    return held.levels[held.count - 1];
}

void ReleaseFolders(HeldFolders *held);

// The attribute word of the entry `name` of the open folder `dir`, as the
// helper takes it; INVALID_FILE_ATTRIBUTES when it is not there.
DWORD EntryAttributesIn(HANDLE dir, const char *name);

// `handle`'s TakenAttributesOf, where it was opened as the entry `name` of
// `parent`; under Wine, with the reparse-point bit where the handle is what a
// Unix link there points to (WineFollowedLink).
DWORD TakenAttributesAs(HANDLE handle, HANDLE parent, const char *name);

// One entry of a folder's listing, pointing into the listing's buffer.
struct ListedEntry {
    const WCHAR *name;
    DWORD length;          // in characters
    DWORD attributes;      // as the helper takes them
    const WCHAR *shortName;  // Wine's stand-in for a name Windows cannot hold; null when not listed
    DWORD shortLength;
};

const ULONG kListingEnd = ~0UL;

// Gives the flushed temporary open as `temp` (DELETE access) the name `leaf`
// in the held folder `dir`, replacing what is there, and never opening the
// temporary again by a name (Win32Rename.cpp). Tried again while another
// program holds the destination. `evenReadOnly`: a read-only destination is
// replaced too; `readOnlyThere`: the destination was read-only when checked.
bool ReplaceWithTemporary(HANDLE temp, HANDLE dir, const std::string &leaf, bool evenReadOnly, bool readOnlyThere);

// Under Wine, points `entry` at a name an open can take where the listed one
// is none (Win32Wine.cpp); a no-op on Windows.
void WineOpenableName(ListedEntry *entry);

// Fills `buffer` with the next entries of the open folder `dir` (from its
// first again when `restart`); false at the end (ERROR_NO_MORE_FILES) or
// when the listing cannot go on. `*byIds` says how ReadListing must read it.
bool FetchListing(HANDLE dir, bool restart, void *buffer, DWORD size, bool *byIds);

// The entry at `*offset` of a buffer FetchListing filled; moves `*offset` to
// the next one, kListingEnd after the last.
void ReadListing(const void *buffer, bool byIds, ULONG *offset, ListedEntry *entry);

// Calls `visit(name, attributes)` for each entry of the open folder `dir`
// from its first, the name in WTF-8: the sweeps of the helper's own names.
template <typename Visit>
void ForEachEntryIn(HANDLE dir, Visit visit) {
    alignas(8) char listing[4096];
    bool byIds;
    while (FetchListing(dir, false, listing, sizeof listing, &byIds)) {
        for (ULONG offset = 0; offset != kListingEnd;) {
            ListedEntry entry;
            ReadListing(listing, byIds, &offset, &entry);
            visit(Wtf8FromUtf16((const char16_t *)entry.name, entry.length), entry.attributes);
        }
    }
}
