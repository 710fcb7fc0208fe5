// What the Windows layer's files share with one another; nothing above the
// platform seam includes this.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string>

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

// Deletes the file (or link, as a link) `path`, read-only or not; never a
// directory.
bool DeleteEvenReadOnly(const char *path);

// Waiting out other programs' holds (Win32Contention.cpp).

// True when `error` means another program holds the file for now: a sharing
// or lock violation, or access denied on a file that is neither read-only
// nor a folder (`attributes`, read after the attempt; INVALID_FILE_ATTRIBUTES
// when unknown).
bool IsHeldError(DWORD error, DWORD attributes);

// Sleeps before try number *attempt + 1 (1 ms, then doubling) and counts it;
// false, without sleeping, once the invocation's budget (kHeldWaitMs) is
// spent.
bool SleepBeforeRetry(unsigned *attempt);

// Runs `attempt` until it succeeds, fails other than by a hold, or the
// budget is spent. On failure `attempt` leaves the reason in GetLastError();
// `attributesNow()` gives the word of the file it works on, read after a
// failure: access denied while it is read-only or a folder is final.
template <typename Attributes, typename Attempt>
bool RetryWhileHeldAs(Attributes attributesNow, Attempt attempt) {
    for (unsigned tries = 0;;) {
        if (attempt())
            return true;
        DWORD error = GetLastError();
        if (!IsHeldError(error, attributesNow()) || !SleepBeforeRetry(&tries)) {
            SetLastError(error);
            return false;
        }
    }
}

// RetryWhileHeldAs for the file at the fixed path `path` (null: read-only
// refuses nothing, so no denial is final on that account).
template <typename Attempt>
bool RetryWhileHeld(const char *path, Attempt attempt) {
    return RetryWhileHeldAs([&] { return path ? GetFileAttributesA(path) : INVALID_FILE_ATTRIBUTES; }, attempt);
}

// The walk met an entry that a holder kept; TakeHeldEntries will say so.
void NoteHeldEntry();

// True when an entry was held since the last call.
bool TakeHeldEntries();

// True when the last call failed because the file's deletion is already
// pending (another handle keeps it until it closes): as good as gone.
bool DeletePending();

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
// `parent`.
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

// Fills `buffer` with the next entries of the open folder `dir` (from its
// first again when `restart`); false at the end (ERROR_NO_MORE_FILES) or
// when the listing cannot go on. `*byIds` says how ReadListing must read it.
bool FetchListing(HANDLE dir, bool restart, void *buffer, DWORD size, bool *byIds);

// The entry at `*offset` of a buffer FetchListing filled; moves `*offset` to
// the next one, kListingEnd after the last.
void ReadListing(const void *buffer, bool byIds, ULONG *offset, ListedEntry *entry);
