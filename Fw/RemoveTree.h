// Recursive removal of one directory tree.
#pragma once

// Removes the directory `path` with everything below it, depth-first, clearing
// read-only bits on the way so that they do not stop it. Links are removed as
// links and never entered; when `path` itself is a link, only the link goes.
// A failure on one entry leaves that entry (and the directories above it) and
// the walk goes on with the rest. Returns nonzero when `path` itself is gone.
int RemoveTree(const char *path);
