// What the Linux layer's files share with one another; nothing above the
// platform seam includes this.
#pragma once

#include <sys/stat.h>

#include <string>

// Opens the directory that holds `path` and sets `leaf` to its last name. The
// fixed paths use the Windows separator; only they are split, at backslashes.
// No link is followed on the way (a link planted as "sa\ruleset" must not
// steer a copy outside the tree). Returns AT_FDCWD for a bare name, -1 on
// failure; the caller closes any other descriptor with CloseParentDir.
int OpenParentDir(const char *path, std::string &leaf);
void CloseParentDir(int dir);

// Windows keeps read-only as an attribute; here it is a clear owner-write bit.
inline bool IsReadOnlyMode(mode_t mode) {
    return !S_ISLNK(mode) && !(mode & S_IWUSR);
}

// Batched unlinks for the removal walk (io_uring where the kernel offers it).

// What became of the removals one listing pass of a directory asked for:
// only removals that really happened count, queued ones once settled.
struct RemovalTally {
    bool removed;  // an entry went
    bool kept;     // an entry could not go
};

// Queues the unlink of file `name` in the directory `fd`, to be counted in
// `*tally` once settled. False when it must be done on the spot instead.
bool QueueUnlink(int fd, const char *name, RemovalTally *tally);

// Settles every queued unlink. Called before any directory descriptor that a
// queued unlink names is closed or re-listed.
void FlushUnlinks();

// The walk is over: settles the queue and gives the ring's memory back.
void EndBatches();

// Out of descriptors: gives up the ring's own, and the rest of this walk
// unlinks on the spot. False when there was no ring to give up.
bool GiveUpBatches();
