// The Linux layer's directory seam: the removal walk's directories, opened
// relative to their parents and never through a link.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Platform.h"
#include "PosixLayer.h"
#include "TestHooks.h"

// Each open level holds a descriptor, so every name is resolved relative to
// the directory it was listed in. To keep the number of descriptors flat,
// levels deeper than kHeldLevels close their parent's descriptor while they
// work (and any level does so for its ancestors when descriptors run out),
// and reopen it afterwards through their own "..", checking that it is still
// the same directory; if it is not (the tree was moved under us), the walk
// gives that branch up rather than act on a stranger. A level that we may not
// search cannot lead back up that way, and no level above it is let go.
//
// All levels share one listing buffer: it belongs to the level that read it
// last, and a level whose entries were overwritten by a child's listing picks
// its own up again from the cookie of the last entry it handed out. A level
// whose last buffered entry is a directory reads on before it descends: when
// that was all, nothing is left to pick up, and it need not wait for its
// children's removals to know whether another pass is worth it.
//
// No directory is entered across a mount point, a bind mount of the same file
// system included: what is mounted inside the tree is not the tree's. (On
// Windows a mounted folder is a reparse point, which the walk never enters.)
//
// A directory its owner locked (read, write or search bit cleared) gets all
// three back for the owner before it is emptied, and its old mode again as
// it is closed: removing an empty directory takes rights on its parent only,
// so a directory that goes does not need them, and one that stays is left as
// it was found. One parked meanwhile gets its mode back while it waits. Root
// is refused nothing and never needs this.
//
// A kill between a folder's unlock and its mode coming back would leave it
// unlocked, and the next run could not tell its old mode: that is recorded on
// the folder first, in an extended attribute of the user namespace, and
// dropped once the mode is back. A run that finds the record on a folder of
// its own restores that mode, not the one it finds. Only the write bit lets
// the owner set or drop the attribute: a folder without it is changed one
// system call before it is recorded, and gets its mode back in two steps,
// the record dropped between them. Where the file system keeps no such
// attribute, nothing is recorded.

struct TreeDir {
    int fd;            // -1 while parked for a deep child, or once lost
    dev_t dev;         // identity, to recognise the directory when reopened
    ino_t ino;
    mode_t mode;
    mode_t lockedMode; // the mode to put back on closing or parking, when `unlocked`
    bool unlocked;
    int depth;
    TreeDir *parent;
    off_t resume;      // listing cookie after the last entry handed out
    bool started;      // the listing has begun
    bool resumed;      // this pass was picked up again after a child's listing
    int passes;        // listing passes begun
    RemovalTally tally;  // what this pass's removals came to
    bool recorded = false;    // `lockedMode` is recorded on the folder
    signed char leadsUp = -1;  // its ".." can be reached (-1: never asked)
    bool ended = false;       // this pass has read the listing to its end
};

const int kHeldLevels = 8;
// Passes over one directory, the first included; see ReadTreeEntry.
const int kMaxPasses = 8;

struct ListingBuffer {
    alignas(8) char bytes[32768];
    TreeDir *owner;
    size_t pos, len;
};
static ListingBuffer g_listing;

// Closes a directory's descriptor once nothing queued still names it.
static void CloseDirFd(int fd) {
    CloseDirWhenSettled(fd);
}

// The owner's read, write and search bits: all three are needed to empty a
// directory.
const mode_t kOwnerAll = S_IRWXU;

const char kModeRecord[] = "user.fwmaint.mode";

static bool RecordMode(int fd, mode_t mode) {
    char text[8];
    int length = snprintf(text, sizeof text, "%o", (unsigned)(mode & 07777));
    return fsetxattr(fd, kModeRecord, text, (size_t)length, 0) == 0;
}

// The mode a run cut short recorded on the directory `fd`, now of mode
// `now`; false when there is none, or it is no locked mode (then it is none
// of ours). Anyone who may write the folder may write the record too, so
// only a mode that takes bits away is believed: our unlock only added the
// owner's, and a planted record must not widen the folder or set its IDs.
static bool RecordedMode(int fd, mode_t now, mode_t *mode) {
    char text[8];
    ssize_t length = fgetxattr(fd, kModeRecord, text, sizeof text - 1);
    if (length <= 0)
        return false;
    text[length] = '\0';
    char *end = nullptr;
    unsigned long value = strtoul(text, &end, 8);
    if (*end != '\0' || value > 07777 || (value & kOwnerAll) == kOwnerAll || (value & ~now & 07777) != 0)
        return false;
    *mode = (mode_t)value;
    return true;
}

// Gives the directory `fd`, of mode `mode`, its owner's three bits back, its
// old mode recorded first where it can be (`*recorded`).
static bool UnlockDir(int fd, mode_t mode, bool *recorded) {
    *recorded = RecordMode(fd, mode);
    bool noWriteBit = !*recorded && errno == EACCES;
    if (fchmod(fd, (mode & 07777) | kOwnerAll) != 0) {
        if (*recorded)
            fremovexattr(fd, kModeRecord);
        *recorded = false;
        return false;
    }
    if (noWriteBit)
        *recorded = RecordMode(fd, mode);
    return true;
}

// Puts `mode` back on the directory `fd`, and then drops its record.
static void PutModeBack(int fd, mode_t mode, bool *recorded) {
    mode &= 07777;
    if (*recorded) {
        fchmod(fd, mode | S_IWUSR);
        fremovexattr(fd, kModeRecord);
        *recorded = false;
        if (mode & S_IWUSR)
            return;
    }
    fchmod(fd, mode);
}

// True when the parent of the directory open as `fd` can be reopened through
// its "..", as a parked parent is: that takes search permission on the
// directory itself, which a folder of another owner may not give. Asked
// without a descriptor: out of them is when it matters.
static bool CanReopenParent(int fd) {
    struct stat st;
    return fstatat(fd, "..", &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Whether `dir`'s parent, once parked, can be reopened through `dir`: asked
// while `dir` is open (again while the answer is no: it may be unlocked
// since), and kept for when it is parked itself.
static bool LeadsUp(TreeDir *dir) {
    if (dir->leadsUp <= 0 && dir->fd >= 0)
        dir->leadsUp = CanReopenParent(dir->fd);
    return dir->leadsUp > 0;
}

// Lets go of `dir`'s descriptor until a child reopens it. A folder we
// unlocked gets its own mode back meanwhile: should it never be reopened, it
// is left as it was found.
static void ParkDir(TreeDir *dir) {
    LeadsUp(dir);
    if (dir->unlocked) {
        FlushUnlinks();  // its queued unlinks need the bits
        PutModeBack(dir->fd, dir->lockedMode, &dir->recorded);
    }
    if (g_listing.owner == dir)
        g_listing.owner = nullptr;  // the reopened descriptor starts from its cookie
    CloseDirFd(dir->fd);
    dir->fd = -1;
}

// Lets go of the descriptor of the nearest ancestor above `parent` that still
// holds one, if every level on the way back up to it can lead there through
// its "..". False when none can be let go.
static bool ParkAncestor(TreeDir *parent) {
    for (TreeDir *below = parent; below && below->parent; below = below->parent) {
        if (!LeadsUp(below))
            return false;
        if (below->parent->fd >= 0) {
            ParkDir(below->parent);
            return true;
        }
    }
    return false;
}

// The mount a descriptor's file lies on; 0 where the kernel cannot say
// (before Linux 5.8), and then the device must do.
static unsigned long long MountOf(int fd, dev_t *dev) {
    struct statx stx;
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &stx) != 0)
        return 0;
    *dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    return (stx.stx_mask & STATX_MNT_ID) ? stx.stx_mnt_id : 0;
}

// Opens the directory `name` in `dirfd`: never through a link, and never
// across a mount point. O_NOFOLLOW does not stop at a mount, and a bind mount
// has its parent's device, so the kernel is asked to refuse the crossing
// (openat2's RESOLVE_NO_XDEV, Linux 5.6); where it cannot, the mount ids of
// parent and child are compared instead.
// `access` is O_RDONLY, or O_PATH to reach a directory that cannot be listed.
static int OpenDirOnThisMount(int dirfd, const char *name, int access) {
    const int flags = access | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    static bool s_noOpenat2;
    if (!s_noOpenat2) {
        struct open_how how = {};
        how.flags = flags;
        how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS;
        int fd = (int)syscall(SYS_openat2, dirfd, name, &how, sizeof how);
        // A sandbox may refuse a call it does not know with EPERM.
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
            return fd;
        s_noOpenat2 = true;
    }
    int fd = openat(dirfd, name, flags);
    if (fd < 0)
        return fd;
    dev_t parentDev = 0, childDev = 0;
    unsigned long long parentMount = MountOf(dirfd, &parentDev), childMount = MountOf(fd, &childDev);
    if (parentMount != childMount || parentDev != childDev) {
        close(fd);
        errno = EXDEV;
        return -1;
    }
    return fd;
}

// Opens the real directory `name` in `dirfd`, never through a link. Out of
// descriptors (a low limit, or a busy system), it gives up the descriptors
// the unlink queue holds, then parks the ancestors above `parent` one by one
// until the open succeeds: the walk needs only a parent and a child at a time.
static int OpenDirNoFollow(int dirfd, const char *name, TreeDir *parent, int access = O_RDONLY) {
    int fd;
    while ((fd = OpenDirOnThisMount(dirfd, name, access)) < 0 &&
           (errno == EMFILE || errno == ENFILE) && (GiveUpBatches() || ParkAncestor(parent))) {
    }
    return fd;
}

#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452  // the same number on every architecture
#endif

// Sets the mode of the directory open as the O_PATH descriptor `path`, which
// fchmod refuses. fchmodat2 takes it as it is (Linux 6.6); before that, its
// link in /proc does, but only where /proc is procfs: in a chroot or a
// container without it, that name may lead anywhere, and nothing is changed.
static bool ChmodPathFd(int path, mode_t mode) {
    static bool s_noFchmodat2;
    if (!s_noFchmodat2 && !InjectedFault("Fchmodat2", "")) {
        if (syscall(SYS_fchmodat2, path, "", mode, AT_EMPTY_PATH) == 0)
            return true;
        // A sandbox may refuse a call it does not know with EPERM, but so is
        // an immutable folder refused: only ENOSYS rules the call out for
        // good; the others try /proc for this folder alone.
        if (errno != ENOSYS && errno != EPERM && errno != EINVAL)
            return false;
        s_noFchmodat2 = errno == ENOSYS;
    }
    return ProcIsProcfs() && chmod(("/proc/self/fd/" + std::to_string(path)).c_str(), mode) == 0;
}

// Opens for listing the directory `name` in `dirfd` that its owner locked so
// that it cannot be opened that way, once it has the owner's read, write and
// search bits again; sets `*oldMode` to the mode to put back, and
// `*recorded`. It is reached and changed only through one descriptor, which
// never follows a link or crosses a mount, and only when it is a directory
// of our own (and `expect`, when given). -1 when it cannot be unlocked, and
// then nothing changed.
static int OpenLockedDirAt(int dirfd, const char *name, TreeDir *parent, const TreeDir *expect, mode_t *oldMode,
                           bool *recorded) {
    int path = OpenDirNoFollow(dirfd, name, parent, O_PATH);
    if (path < 0)
        return -1;
    struct stat st;
    int fd = -1;
    if (fstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
        (!expect || (st.st_dev == expect->dev && st.st_ino == expect->ino)) &&
        ChmodPathFd(path, (st.st_mode & 07777) | kOwnerAll)) {
        fd = OpenDirNoFollow(path, ".", parent);
        if (fd < 0)
            ChmodPathFd(path, st.st_mode & 07777);
        else if (!(*recorded = RecordedMode(fd, st.st_mode, oldMode)))
            *recorded = RecordMode(fd, *oldMode = st.st_mode);
    }
    close(path);
    return fd;
}

static TreeDir *OpenTreeDirAt(int dirfd, const char *name, TreeDir *parent) {
    int fd = OpenDirNoFollow(dirfd, name, parent);
    mode_t lockedMode = 0;
    bool unlocked = false, recorded = false;
    if (fd < 0 && errno == EACCES)
        unlocked = (fd = OpenLockedDirAt(dirfd, name, parent, nullptr, &lockedMode, &recorded)) >= 0;
    struct stat st;
    if (fd < 0)
        return nullptr;
    if (fstat(fd, &st) != 0) {
        if (unlocked)
            PutModeBack(fd, lockedMode, &recorded);
        close(fd);
        return nullptr;
    }
    // A run cut short while this folder of ours was unlocked left its old
    // mode recorded: that mode goes back, whatever the folder has now.
    static const uid_t s_us = geteuid();
    if (!unlocked && st.st_uid == s_us && RecordedMode(fd, st.st_mode, &lockedMode))
        unlocked = recorded = true;
    int depth = parent ? parent->depth + 1 : 0;
    TreeDir *dir = new TreeDir{fd, st.st_dev, st.st_ino, st.st_mode, lockedMode, unlocked, depth, parent, 0, false, false, 1, {}};
    dir->recorded = recorded;
    if (parent && depth > kHeldLevels && LeadsUp(dir))
        ParkDir(parent);
    return dir;
}

// Reopens the parked directory `dir` through the ".." of its open child
// `childFd`, and only if it is the very directory we left: a moved tree must
// not take the walk elsewhere. A folder we unlocked was parked in its own
// mode, which may not even let us list it, and is unlocked again.
static void ReopenParked(TreeDir *dir, int childFd) {
    int fd = OpenDirNoFollow(childFd, "..", dir);
    if (fd < 0 && errno == EACCES && dir->unlocked) {
        mode_t oldMode;
        dir->fd = OpenLockedDirAt(childFd, "..", dir, dir, &oldMode, &dir->recorded);
        return;
    }
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_dev != dir->dev || st.st_ino != dir->ino)) {
        close(fd);
        return;
    }
    if (fd >= 0 && dir->unlocked)
        UnlockDir(fd, dir->lockedMode, &dir->recorded);
    dir->fd = fd;
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
    if (parent->fd < 0)
        return nullptr;
    return OpenTreeDirAt(parent->fd, name, parent);
}

void MakeTreeDirWritable(TreeDir *dir) {
    if (InjectedFault("MakeTreeDirWritable", ""))
        return;
    // Linux refuses to remove entries from a directory we may not write and
    // search, or to list one we may not read (unless we are root); Windows
    // refuses to remove a read-only directory. One a run cut short left part
    // way has its old mode recorded already.
    if (dir->fd < 0 || (dir->mode & kOwnerAll) == kOwnerAll)
        return;
    if (dir->unlocked ? fchmod(dir->fd, (dir->mode & 07777) | kOwnerAll) == 0 : UnlockDir(dir->fd, dir->mode, &dir->recorded)) {
        if (!dir->unlocked)
            dir->lockedMode = dir->mode;
        dir->unlocked = true;
        dir->mode |= kOwnerAll;
    }
}

static unsigned AttributesOf(mode_t mode) {
    if (S_ISDIR(mode))
        return kAttrDirectory;
    if (S_ISLNK(mode))
        return kAttrReparsePoint;
    return 0;
}

// The walk is about to descend into `entry`, the last entry of `dir` in the
// buffer: reads on, the name kept aside. Where the listing ends there, `dir`
// has nothing left to pick up after the child's listing.
static void ReadAheadOf(TreeDir *dir, TreeEntry *entry) {
    static char s_name[256];
    size_t length = strnlen(entry->name, sizeof s_name - 1);
    memcpy(s_name, entry->name, length);
    s_name[length] = '\0';
    entry->name = s_name;
    ssize_t n = getdents64(dir->fd, g_listing.bytes, sizeof g_listing.bytes);
    dir->ended = n == 0;
    g_listing.pos = 0;
    g_listing.len = n > 0 ? (size_t)n : 0;
}

bool ReadTreeEntry(TreeDir *dir, TreeEntry *entry) {
    if (InjectedFault("ReadTreeEntry", ""))
        return false;
    for (;;) {
        if (dir->fd < 0)
            return false;
        if (g_listing.owner != dir && !dir->ended) {
            // A child's listing overwrote ours: go on from our last cookie.
            // (A listing not begun yet, on a descriptor fresh from its open,
            // is at the start already.)
            if ((dir->started || dir->passes > 1) && lseek(dir->fd, dir->resume, SEEK_SET) < 0)
                return false;
            dir->resumed = dir->resumed || dir->started;
            dir->started = true;
            g_listing.owner = dir;
            g_listing.pos = g_listing.len = 0;
        }
        if (g_listing.owner != dir || g_listing.pos >= g_listing.len) {
            ssize_t n = dir->ended ? 0 : getdents64(dir->fd, g_listing.bytes, sizeof g_listing.bytes);
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 && dir->resumed) {
                // Cookies outlive deletions on most file systems but are not
                // promised to: where they shift, a pass picked up again may
                // skip entries, and another pass catches them. Only while one
                // is worth it, so that no directory is listed without end:
                // the pass removed something (the queued unlinks are settled
                // to know), and the passes are few.
                FlushUnlinks();
                if (dir->tally.removed && dir->passes < kMaxPasses) {
                    dir->resume = 0;
                    dir->resumed = dir->started = dir->ended = false;
                    dir->tally = {};
                    ++dir->passes;
                    g_listing.owner = nullptr;
                    continue;
                }
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
        if ((entry->attributes & kAttrDirectory) && g_listing.pos >= g_listing.len)
            ReadAheadOf(dir, entry);
        EntryListed(entry->name);
        return true;
    }
}

bool DeleteTreeEntry(TreeDir *dir, const char *name, unsigned attributes) {
    if (dir->fd < 0)
        return false;
    if (InjectedFault("DeleteTreeEntry", name)) {
        dir->tally.kept = true;
        return false;
    }
    int flags = (attributes & kAttrDirectory) ? AT_REMOVEDIR : 0;
    // The unlink may wait in a queue; the walk needs its outcome only when it
    // lists the directory again from the start, and settles the queue first.
    if (QueueUnlink(dir->fd, name, flags, &dir->tally))
        return true;
    bool ok = unlinkat(dir->fd, name, flags) == 0;
    // The entry changed kind since it was listed: remove it as it is now.
    // Neither form follows a link.
    if (!ok && (errno == EISDIR || errno == ENOTDIR))
        ok = unlinkat(dir->fd, name, flags ^ AT_REMOVEDIR) == 0;
    (ok ? dir->tally.removed : dir->tally.kept) = true;
    return ok;
}

void CloseTreeDir(TreeDir *dir) {
    TreeDir *parent = dir->parent;
    if (parent && parent->fd < 0 && dir->fd >= 0)
        ReopenParked(parent, dir->fd);
    if (dir->fd >= 0 && dir->unlocked) {
        // Once its queued unlinks are settled: they need the bits too.
        FlushUnlinks();
        PutModeBack(dir->fd, dir->lockedMode, &dir->recorded);
    }
    if (dir->fd >= 0)
        CloseDirFd(dir->fd);
    if (g_listing.owner == dir)
        g_listing.owner = nullptr;
    if (!parent)
        EndBatches();
    ForgetTally(&dir->tally);
    delete dir;
}

// Linux removes a directory by name only; its queued unlinks are settled as
// it closes, before that.
bool RemoveTreeRoot(TreeDir *root, const char *path) {
    CloseTreeDir(root);
    if (InjectedFault("RemoveTreeRoot", path))
        return false;
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    bool ok = dir != -1 && unlinkat(dir, leaf.c_str(), AT_REMOVEDIR) == 0;
    CloseParentDir(dir);
    return ok;
}

// No other program can hold an entry against its unlink here: what was
// refused stays refused, and the walk never waits.
bool WaitForHeldEntries(TreeDir *) {
    return false;
}
