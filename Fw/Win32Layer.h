// What the Windows layer's files share with one another; nothing above the
// platform seam includes this.
#pragma once

#include <windows.h>

inline bool Exists(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES;
}

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
