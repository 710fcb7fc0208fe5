// What the Windows layer's files share with one another; nothing above the
// platform seam includes this.
#pragma once

#include <windows.h>

inline bool Exists(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES;
}

// True when a directory on the way to `path` (not `path` itself) is a link
// or junction: a link planted as "sa\\ruleset" must not steer a copy outside.
bool ParentIsLink(const char *path);
