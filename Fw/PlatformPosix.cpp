// The platform seam on Linux: the Win32 file rules the helper was written
// against, kept with POSIX calls. Every operation works relative to an open
// directory and never follows a link, so a tree that changes under us cannot
// lead us outside it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#ifdef FW_HAVE_IO_URING
#include <liburing.h>
#endif

#include "Platform.h"
#include "TestHooks.h"

// The shell has split the command line already.
void GetCommandArguments(int *, char ***) {}

// --- Fixed paths ---------------------------------------------------------

// Opens the directory that holds `path` and sets `leaf` to its last name. The
// fixed paths use the Windows separator; only they are split, at backslashes.
// No link is followed on the way (a link planted as "sa\ruleset" must not
// steer a copy outside the tree). Returns AT_FDCWD for a bare name, -1 on
// failure; the caller closes any other descriptor.
static int OpenParentDir(const char *path, std::string &leaf) {
    int dir = AT_FDCWD;
    leaf.clear();
    for (const char *p = path;; ++p) {
        if (*p != '\\' && *p != '\0') {
            leaf += *p;
            continue;
        }
        if (*p == '\0')
            return dir;
        int next = openat(dir, leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir != AT_FDCWD)
            close(dir);
        if (next < 0)
            return -1;
        dir = next;
        leaf.clear();
    }
}

static void CloseParentDir(int dir) {
    if (dir >= 0)
        close(dir);
}

static bool StatPath(const char *path, struct stat &st) {
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    bool ok = dir != -1 && fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    CloseParentDir(dir);
    return ok;
}

// Windows keeps read-only as an attribute; here it is a clear owner-write bit.
static bool IsReadOnlyMode(mode_t mode) {
    return !S_ISLNK(mode) && !(mode & S_IWUSR);
}

bool IsRegularFile(const char *path) {
    if (InjectedFault("IsRegularFile", path))
        return false;
    struct stat st;
    return StatPath(path, st) && S_ISREG(st.st_mode);
}

bool IsLinkPath(const char *path) {
    if (InjectedFault("IsLinkPath", path))
        return false;
    struct stat st;
    return StatPath(path, st) && S_ISLNK(st.st_mode);
}

// --- Copy ----------------------------------------------------------------

// Moves the bytes in the kernel where the file system allows, else through a
// buffer. False on any error, the file-size limit and a full disk included.
static bool CopyBytes(int in, int out, off_t size) {
    off_t done = 0;
    while (done < size) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, size - done, 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // Not supported between these files (or a file system that reports
        // nothing copied): finish with plain reads and writes.
        if (n == 0 || errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
            break;
        return false;
    }
    static char buffer[1 << 17];
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        for (ssize_t put = 0; put < got;) {
            ssize_t n = write(out, buffer + put, got - put);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            put += n;
        }
    }
}

// Creates an unused temporary file in `dir` beside `leaf`; -1 on failure.
static int CreateTemporary(int dir, const std::string &leaf, std::string &name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = "." + leaf + ".fwmaint-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Flushes the directory `dir` itself, so that a rename in it survives a crash.
static bool SyncDirectory(int dir) {
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Some file systems cannot flush a directory (EINVAL): nothing more to do.
    bool ok = fd >= 0 && (fsync(fd) == 0 || errno == EINVAL);
    if (fd >= 0)
        close(fd);
    return ok;
}

bool CopyFileOver(const char *from, const char *to) {
    if (InjectedFault("CopyFileOver", from))
        return false;
    std::string fromLeaf, toLeaf, tempName;
    int fromDir = OpenParentDir(from, fromLeaf);
    int toDir = OpenParentDir(to, toLeaf);
    int in = -1, out = -1;
    bool ok = false;
    struct stat src, dst;
    // A write past the file-size limit would kill us (SIGXFSZ) with the
    // temporary still on disk; ignored, it fails with EFBIG and is cleaned up.
    signal(SIGXFSZ, SIG_IGN);
    if (fromDir == -1 || toDir == -1)
        goto done;
    // A link as the source is not a regular file: copying through it could
    // read from anywhere on the system.
    in = openat(fromDir, fromLeaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0 || fstat(in, &src) != 0 || !S_ISREG(src.st_mode))
        goto done;
    // CopyFileA refuses a read-only or directory destination. A link there is
    // replaced as a link: its target is never written.
    if (fstatat(toDir, toLeaf.c_str(), &dst, AT_SYMLINK_NOFOLLOW) == 0 &&
        (S_ISDIR(dst.st_mode) || IsReadOnlyMode(dst.st_mode)))
        goto done;
    out = CreateTemporary(toDir, toLeaf, tempName);
    if (out < 0)
        goto done;
    {
        // CopyFileA carries the attributes and the last-write time along.
        const struct timespec times[2] = {src.st_atim, src.st_mtim};
        ok = CopyBytes(in, out, src.st_size) && fchmod(out, src.st_mode & 07777) == 0 &&
             futimens(out, times) == 0 && fsync(out) == 0;
    }
    ok = close(out) == 0 && ok;
    // Only a complete, flushed copy takes the destination's name.
    ok = ok && renameat(toDir, tempName.c_str(), toDir, toLeaf.c_str()) == 0;
    if (!ok)
        unlinkat(toDir, tempName.c_str(), 0);
    // The new name must reach the disk before the caller acts on the success
    // (restoreprefs deletes the saved copy next).
    ok = ok && SyncDirectory(toDir);
done:
    if (in >= 0)
        close(in);
    CloseParentDir(fromDir);
    CloseParentDir(toDir);
    return ok;
}

// --- Delete and rename ---------------------------------------------------

bool DeleteOneFile(const char *path) {
    if (InjectedFault("DeleteOneFile", path))
        return false;
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    struct stat st;
    // unlink(2) ignores the file's own mode; DeleteFileA refuses a read-only
    // file, and so do we. Directories are refused as DeleteFileA refuses them.
    bool ok = dir != -1 && fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
              !S_ISDIR(st.st_mode) && !IsReadOnlyMode(st.st_mode) &&
              unlinkat(dir, leaf.c_str(), 0) == 0;
    CloseParentDir(dir);
    return ok;
}

bool RemoveLinkPath(const char *path) {
    if (InjectedFault("RemoveLinkPath", path))
        return false;
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    // unlinkat never follows the last name: a link is removed as a link.
    bool ok = dir != -1 && unlinkat(dir, leaf.c_str(), 0) == 0;
    CloseParentDir(dir);
    return ok;
}

bool MoveFileNoReplace(const char *from, const char *to) {
    if (InjectedFault("MoveFileNoReplace", from))
        return false;
    std::string fromLeaf, toLeaf;
    int fromDir = OpenParentDir(from, fromLeaf);
    int toDir = OpenParentDir(to, toLeaf);
    bool ok = false;
    if (fromDir != -1 && toDir != -1) {
        // MoveFileA never replaces its target; rename(2) would.
        ok = renameat2(fromDir, fromLeaf.c_str(), toDir, toLeaf.c_str(), RENAME_NOREPLACE) == 0;
        // A file system without RENAME_NOREPLACE: a hard link also refuses an
        // existing target, and the old name goes once the new one stands.
        if (!ok && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
            ok = linkat(fromDir, fromLeaf.c_str(), toDir, toLeaf.c_str(), 0) == 0 &&
                 unlinkat(fromDir, fromLeaf.c_str(), 0) == 0;
    }
    CloseParentDir(fromDir);
    CloseParentDir(toDir);
    return ok;
}

// --- Directory seam ------------------------------------------------------
//
// Each open level holds a descriptor, so every name is resolved relative to
// the directory it was listed in. To keep the number of descriptors flat,
// levels deeper than kHeldLevels close their parent's descriptor while they
// work (and any level does so for its ancestors when descriptors run out),
// and reopen it afterwards through their own "..", checking that it is still
// the same directory; if it is not (the tree was moved under us), the walk
// gives that branch up rather than act on a stranger.
//
// All levels share one listing buffer: it belongs to the level that read it
// last, and a level whose entries were overwritten by a child's listing picks
// its own up again from the cookie of the last entry it handed out.

struct TreeDir {
    int fd;            // -1 while parked for a deep child, or once lost
    dev_t dev;         // identity, to recognise the directory when reopened
    ino_t ino;
    mode_t mode;
    int depth;
    TreeDir *parent;
    off_t resume;      // listing cookie after the last entry handed out
    bool started;      // the listing has begun
    bool resumed;      // this pass was picked up again after a child's listing
    bool removedAny;   // this pass removed an entry
};

const int kHeldLevels = 8;
// Each level costs one stack frame of the walk and a few bytes of state, about
// 180 bytes in all. Far past any real tree, this bound keeps the helper under
// 4 MiB resident whatever the depth; anything deeper is left in place.
const int kMaxDepth = 8192;

struct ListingBuffer {
    alignas(8) char bytes[32768];
    TreeDir *owner;
    size_t pos, len;
};
static ListingBuffer g_listing;

// --- Batched unlinks --------------------------------------------------------
//
// Files are the bulk of a tree, and a plain walk pays one system call for each.
// Where the kernel offers io_uring, file unlinks are queued instead and handed
// over in batches: still one unlinkat per file, each relative to its open
// directory, but one system call per batch. Where io_uring is missing or
// refused (an old kernel, a sandbox), each file is unlinked on the spot.
//
// A queued unlink names its directory by descriptor, so every pending batch is
// settled before any directory descriptor is closed; a directory is therefore
// never removed, closed or re-listed with an unlink of its own still pending.

#ifdef FW_HAVE_IO_URING
const unsigned kBatch = 256;
// Below this many, a batch costs more than it saves (a deep chain of folders
// with a file or two each): those unlinks are done one by one.
const unsigned kWorthABatch = 16;

struct PendingUnlink {
    int fd;
    char name[256];  // NAME_MAX + 1: the listing buffer moves on before the batch runs
};

enum BatchState { kUntried, kReady, kRefused };

static struct {
    struct io_uring ring;
    BatchState state;
    unsigned queued;
    PendingUnlink pending[kBatch];
} g_batch;

// Sets the ring up on first use; false where io_uring is missing or refused.
static bool BatchReady() {
    if (g_batch.state == kUntried) {
        // One thread submits and reaps, so the kernel may run the work at
        // reaping time in this thread; older kernels take no flags.
        struct io_uring_params params = {};
        params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
        bool ready = !InjectedFault("IoUringSetup", "") &&
                     (io_uring_queue_init_params(kBatch, &g_batch.ring, &params) == 0 ||
                      io_uring_queue_init(kBatch, &g_batch.ring, 0) == 0);
        g_batch.state = ready ? kReady : kRefused;
    }
    return g_batch.state == kReady;
}

// Hands the queued unlinks to the ring and waits for them all; false when the
// ring failed, and then those that did not complete are left to the caller
// (marked by a descriptor still set).
static bool RunBatch() {
    unsigned count = g_batch.queued;
    for (unsigned i = 0; i < count; ++i) {
        struct io_uring_sqe *sqe = io_uring_get_sqe(&g_batch.ring);
        if (!sqe)
            return false;  // cannot happen: the ring holds a whole batch
        io_uring_prep_unlinkat(sqe, g_batch.pending[i].fd, g_batch.pending[i].name, 0);
        io_uring_sqe_set_data64(sqe, i);
    }
    int result;
    while ((result = io_uring_submit_and_wait(&g_batch.ring, count)) == -EINTR) {
    }
    for (unsigned left = count; left; --left) {
        struct io_uring_cqe *cqe = nullptr;
        while (result >= 0 && (result = io_uring_wait_cqe(&g_batch.ring, &cqe)) == -EINTR) {
        }
        if (result < 0)
            return false;
        PendingUnlink &unlink = g_batch.pending[cqe->user_data];
        // A file that became a directory since it was listed goes as one.
        if (cqe->res == -EISDIR)
            unlinkat(unlink.fd, unlink.name, AT_REMOVEDIR);
        unlink.fd = -1;
        io_uring_cqe_seen(&g_batch.ring, cqe);
    }
    return true;
}

// Settles every queued unlink: as one batch when there are enough of them and
// the ring works, else one by one. A failed ring is not tried again (a second
// unlink of a name the ring did remove finds nothing and harms nothing).
static void FlushUnlinks() {
    if (g_batch.queued >= kWorthABatch && BatchReady() && !RunBatch())
        g_batch.state = kRefused;
    for (unsigned i = 0; i < g_batch.queued; ++i) {
        PendingUnlink &unlink = g_batch.pending[i];
        if (unlink.fd >= 0 && unlinkat(unlink.fd, unlink.name, 0) != 0 && errno == EISDIR)
            unlinkat(unlink.fd, unlink.name, AT_REMOVEDIR);
    }
    g_batch.queued = 0;
}

// Queues the unlink of file `name` in the directory `fd`; false when it must
// be done on the spot instead.
static bool QueueUnlink(int fd, const char *name) {
    size_t length = strlen(name);
    if (length >= sizeof g_batch.pending[0].name || g_batch.state == kRefused)
        return false;
    if (g_batch.queued == kBatch)
        FlushUnlinks();
    PendingUnlink &unlink = g_batch.pending[g_batch.queued++];
    unlink.fd = fd;
    memcpy(unlink.name, name, length + 1);
    return true;
}

// Called when the walk is over: the ring's memory goes back.
static void EndBatches() {
    FlushUnlinks();
    if (g_batch.state == kReady)
        io_uring_queue_exit(&g_batch.ring);
    g_batch.state = kUntried;
}

// Out of descriptors, the walk needs the ring's one more than the batching:
// it goes, and the rest of this walk unlinks on the spot. False when there
// was no ring to give up.
static bool GiveUpBatches() {
    if (g_batch.state != kReady)
        return false;
    EndBatches();
    g_batch.state = kRefused;
    return true;
}
#else
static void FlushUnlinks() {}
static bool QueueUnlink(int, const char *) { return false; }
static void EndBatches() {}
static bool GiveUpBatches() { return false; }
#endif

// Closes a directory's descriptor once nothing queued still names it.
static void CloseDirFd(int fd) {
    FlushUnlinks();
    close(fd);
}

// Lets go of the descriptor of the nearest ancestor above `parent` that still
// holds one; it is reopened through ".." on the way back up. False when no
// ancestor has one left to give.
static bool ParkAncestor(TreeDir *parent) {
    for (TreeDir *up = parent ? parent->parent : nullptr; up; up = up->parent) {
        if (up->fd >= 0) {
            CloseDirFd(up->fd);
            up->fd = -1;
            return true;
        }
    }
    return false;
}

// Opens the real directory `name` in `dirfd`, never through a link. Out of
// descriptors (a low limit, or a busy system), it gives up the io_uring ring,
// then parks the ancestors above `parent` one by one until the open succeeds:
// the walk needs only a parent and a child at a time.
static int OpenDirNoFollow(int dirfd, const char *name, TreeDir *parent) {
    int fd;
    while ((fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) < 0 &&
           (errno == EMFILE || errno == ENFILE) && (GiveUpBatches() || ParkAncestor(parent))) {
    }
    return fd;
}

static TreeDir *OpenTreeDirAt(int dirfd, const char *name, TreeDir *parent) {
    int fd = OpenDirNoFollow(dirfd, name, parent);
    struct stat st;
    if (fd < 0)
        return nullptr;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return nullptr;
    }
    int depth = parent ? parent->depth + 1 : 0;
    TreeDir *dir = new TreeDir{fd, st.st_dev, st.st_ino, st.st_mode, depth, parent, 0, false, false, false};
    if (parent && depth > kHeldLevels) {
        CloseDirFd(parent->fd);
        parent->fd = -1;
    }
    return dir;
}

TreeDir *OpenTreeRoot(const char *path) {
    if (InjectedFault("OpenTreeRoot", path))
        return nullptr;
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    TreeDir *root = dir == -1 ? nullptr : OpenTreeDirAt(dir, leaf.c_str(), nullptr);
    CloseParentDir(dir);
    return root;
}

TreeDir *OpenTreeChild(TreeDir *parent, const char *name) {
    if (InjectedFault("OpenTreeChild", name))
        return nullptr;
    if (parent->fd < 0 || parent->depth + 1 > kMaxDepth)
        return nullptr;
    return OpenTreeDirAt(parent->fd, name, parent);
}

void MakeTreeDirWritable(TreeDir *dir) {
    if (InjectedFault("MakeTreeDirWritable", ""))
        return;
    // Linux refuses to remove entries from a directory we may not write
    // (unless we are root); Windows refuses to remove a read-only directory.
    if (dir->fd >= 0 && IsReadOnlyMode(dir->mode) && fchmod(dir->fd, (dir->mode & 07777) | S_IWUSR) == 0)
        dir->mode |= S_IWUSR;
}

static unsigned AttributesOf(mode_t mode) {
    if (S_ISDIR(mode))
        return kAttrDirectory;
    if (S_ISLNK(mode))
        return kAttrReparsePoint;
    return 0;
}

bool ReadTreeEntry(TreeDir *dir, TreeEntry *entry) {
    if (InjectedFault("ReadTreeEntry", ""))
        return false;
    for (;;) {
        if (dir->fd < 0)
            return false;
        if (g_listing.owner != dir) {
            // A child's listing overwrote ours: go on from our last cookie.
            if (lseek(dir->fd, dir->resume, SEEK_SET) < 0)
                return false;
            dir->resumed = dir->resumed || dir->started;
            dir->started = true;
            g_listing.owner = dir;
            g_listing.pos = g_listing.len = 0;
        }
        if (g_listing.pos >= g_listing.len) {
            ssize_t n = getdents64(dir->fd, g_listing.bytes, sizeof g_listing.bytes);
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 && dir->resumed && dir->removedAny) {
                // Cookies outlive deletions on most file systems but are not
                // promised to; one more pass catches anything skipped, and the
                // passes end once one removes nothing.
                FlushUnlinks();
                dir->resume = 0;
                dir->resumed = dir->started = dir->removedAny = false;
                g_listing.owner = nullptr;
                continue;
            }
            if (n <= 0)
                return false;
            g_listing.pos = 0;
            g_listing.len = (size_t)n;
        }
        const struct dirent64 *d = (const struct dirent64 *)(g_listing.bytes + g_listing.pos);
        g_listing.pos += d->d_reclen;
        dir->resume = d->d_off;
        entry->name = d->d_name;
        switch (d->d_type) {
        case DT_DIR: entry->attributes = kAttrDirectory; break;
        case DT_LNK: entry->attributes = kAttrReparsePoint; break;
        case DT_UNKNOWN: {
            // Only some file systems leave the type out of the listing; only
            // then does an entry cost a stat.
            struct stat st;
            entry->attributes = fstatat(dir->fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? AttributesOf(st.st_mode) : 0;
            break;
        }
        // Files are never stat'ed for their read-only bit: unlink(2) does not
        // care, and the walk removes read-only files anyway.
        default: entry->attributes = 0; break;
        }
        EntryListed(entry->name);
        return true;
    }
}

bool DeleteTreeEntry(TreeDir *dir, const char *name, unsigned attributes) {
    if (dir->fd < 0 || InjectedFault("DeleteTreeEntry", name))
        return false;
    int flags = (attributes & kAttrDirectory) ? AT_REMOVEDIR : 0;
    // A file's unlink may wait in a batch; the walk does not need its outcome
    // before the directory is closed, and by then it is settled.
    if (!flags && QueueUnlink(dir->fd, name)) {
        dir->removedAny = true;
        return true;
    }
    bool ok = unlinkat(dir->fd, name, flags) == 0;
    // The entry changed kind since it was listed: remove it as it is now.
    // Neither form follows a link.
    if (!ok && (errno == EISDIR || errno == ENOTDIR))
        ok = unlinkat(dir->fd, name, flags ^ AT_REMOVEDIR) == 0;
    dir->removedAny = dir->removedAny || ok;
    return ok;
}

void CloseTreeDir(TreeDir *dir) {
    TreeDir *parent = dir->parent;
    if (parent && parent->fd < 0 && dir->fd >= 0) {
        // Reopen the parked parent through "..", and only if it is the very
        // directory we left: a moved tree must not take the walk elsewhere.
        int fd = OpenDirNoFollow(dir->fd, "..", parent);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == parent->dev && st.st_ino == parent->ino)
            parent->fd = fd;
        else if (fd >= 0)
            close(fd);
    }
    if (dir->fd >= 0)
        CloseDirFd(dir->fd);
    if (g_listing.owner == dir)
        g_listing.owner = nullptr;
    if (!parent)
        EndBatches();
    delete dir;
}

bool RemoveTreeRoot(const char *path) {
    if (InjectedFault("RemoveTreeRoot", path))
        return false;
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    bool ok = dir != -1 && unlinkat(dir, leaf.c_str(), AT_REMOVEDIR) == 0;
    CloseParentDir(dir);
    return ok;
}
