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

// True when a directory on the way to `path` (not `path` itself) is a link
// or junction: a link planted as "sa\ruleset" must not steer a copy outside.
bool ParentIsLink(const char *path);

// The attribute word of the open file itself (not of a listing, which may be
// stale); INVALID_FILE_ATTRIBUTES when it cannot be read.
DWORD AttributesOf(HANDLE handle);

// Sets the attribute word through the handle (FILE_WRITE_ATTRIBUTES).
bool SetAttributesOf(HANDLE handle, DWORD attributes);

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
// access denied on `path` while it is read-only is final (null: read-only
// refuses nothing, so no denial is final on that account).
template <typename Attempt>
bool RetryWhileHeld(const char *path, Attempt attempt) {
    for (unsigned tries = 0;;) {
        if (attempt())
            return true;
        DWORD error = GetLastError();
        if (!IsHeldError(error, path ? GetFileAttributesA(path) : INVALID_FILE_ATTRIBUTES) || !SleepBeforeRetry(&tries)) {
            SetLastError(error);
            return false;
        }
    }
}

// The walk met an entry that a holder kept; TakeHeldEntries will say so.
void NoteHeldEntry();

// True when an entry was held since the last call.
bool TakeHeldEntries();

// True when the last call failed because the file's deletion is already
// pending (another handle keeps it until it closes): as good as gone.
bool DeletePending();
