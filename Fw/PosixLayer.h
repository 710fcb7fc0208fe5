// What the Linux layer's files share with one another; nothing above the
// platform seam includes this.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

// Opens the directory that holds `path` and sets `leaf` to its last name. The
// fixed paths use the Windows separator; only they are split, at backslashes.
// No link is followed on the way (a link planted as "sa\ruleset" must not
// steer a copy outside the tree). Returns AT_FDCWD for a bare name, -1 on
// failure; the caller closes any other descriptor with CloseParentDir.
int OpenParentDir(const char *path, std::string &leaf);
void CloseParentDir(int dir);

// Calls `visit(name)` for each entry of the open directory `dir` (AT_FDCWD
// included), "." and ".." among them: the sweeps of the helper's own names.
template <typename Visit>
void ForEachEntryIn(int dir, Visit visit) {
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!listing) {
        if (fd >= 0)
            close(fd);
        return;
    }
    while (const struct dirent *entry = readdir(listing))
        visit(entry->d_name);
    closedir(listing);
}

// True when /proc is procfs, so that /proc/self/fd/N names the very file the
// descriptor N holds. In a chroot or a container without it, such a name may
// lead anywhere, and is never used.
bool ProcIsProcfs();

// Windows keeps read-only as an attribute; here it is a clear owner-write bit.
inline bool IsReadOnlyMode(mode_t mode) {
    return !S_ISLNK(mode) && !(mode & S_IWUSR);
}

// The removal walk's unlinks, run on a second thread (PosixUnlinkThread.cpp)
// or, in the builds the benchmark compares it with, batched through io_uring
// or done on the spot (PosixBatch.cpp).

// What became of the removals one listing pass of a directory asked for:
// only removals that really happened count, queued ones once settled.
struct RemovalTally {
    bool removed;  // an entry went
    bool kept;     // an entry could not go
};

// Queues the unlink of `name` in the directory `fd` (`flags` 0 for a file,
// AT_REMOVEDIR for an emptied directory), to be counted in `*tally` once
// settled. False when it must be done on the spot instead.
bool QueueUnlink(int fd, const char *name, int flags, RemovalTally *tally);

// Closes a directory's descriptor once no queued unlink still names it.
void CloseDirWhenSettled(int fd);

// The directory whose tally this is closes: queued unlinks no longer count
// in it.
void ForgetTally(RemovalTally *tally);

// Settles every queued unlink. Called before a directory whose unlinks may
// be queued is re-listed from the start, or has its mode put back.
void FlushUnlinks();

// The walk is over: settles the queue and gives its resources back.
void EndBatches();

// Out of descriptors: gives up what the queue holds open, and the rest of
// this walk unlinks on the spot. False when there was nothing to give up.
bool GiveUpBatches();
