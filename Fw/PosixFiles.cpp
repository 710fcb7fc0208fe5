// The Linux layer's fixed paths: looking at, deleting and renaming the
// helper's own files by their fixed relative paths, with the Win32 rule each
// keeps. No link is followed on the way to any of them.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <string>

#include "Platform.h"
#include "PosixLayer.h"
#include "TemporaryName.h"
#include "TestHooks.h"

// The shell has split the command line already.
void GetCommandArguments(int *, char ***) {}

int OpenParentDir(const char *path, std::string &leaf) {
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

void CloseParentDir(int dir) {
    if (dir >= 0)
        close(dir);
}

#ifndef PROC_SUPER_MAGIC
#define PROC_SUPER_MAGIC 0x9fa0
#endif

bool ProcIsProcfs() {
    static int s_procIsProcfs = -1;
    if (s_procIsProcfs < 0) {
        struct statfs fs;
        s_procIsProcfs = statfs("/proc/self/fd", &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
    }
    return s_procIsProcfs;
}

static bool StatPath(const char *path, struct stat &st) {
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    bool ok = dir != -1 && fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    CloseParentDir(dir);
    return ok;
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

// Deletes the file `path` (a link as a link). Directories are refused, as
// DeleteFileA refuses them, and so is a read-only file unless `evenReadOnly`.
static bool DeleteFileNamed(const char *path, bool evenReadOnly) {
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    struct stat st;
    bool ok = dir != -1 && fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
              (evenReadOnly || !IsReadOnlyMode(st.st_mode)) && unlinkat(dir, leaf.c_str(), 0) == 0;
    CloseParentDir(dir);
    return ok;
}

bool DeleteUnlessReadOnly(const char *path) {
    if (InjectedFault("DeleteUnlessReadOnly", path))
        return false;
    // unlink(2) ignores the file's own mode; DeleteFileA refuses a read-only
    // file, and so do we.
    return DeleteFileNamed(path, false);
}

bool DeleteConsumedCopy(const char *path) {
    if (InjectedFault("DeleteConsumedCopy", path))
        return false;
    // One unlink, whatever the mode: a kill cannot part a cleared read-only
    // bit from the deletion it was cleared for.
    return DeleteFileNamed(path, true);
}

// MoveFileA never replaces its target; rename(2) would. False with errno
// EEXIST when the target is there.
static bool RenameNoReplace(int fromDir, const char *from, int toDir, const char *to) {
    if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0)
        return true;
    // A file system without RENAME_NOREPLACE: a hard link also refuses an
    // existing target, and the old name goes once the new one stands.
    return (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) && linkat(fromDir, from, toDir, to, 0) == 0 &&
           unlinkat(fromDir, from, 0) == 0;
}

bool IsAbsent(const char *path) {
    if (InjectedFault("IsAbsent", path))
        return false;
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    struct stat st;
    bool absent = dir == -1 ? errno == ENOENT : fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
    CloseParentDir(dir);
    return absent;
}

long long SetAsideFile(const char *path) {
    if (InjectedFault("SetAsideFile", path))
        return -1;
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    struct stat st;
    long long set = -1;
    // DeleteFileA would refuse a read-only file or a folder: so is setting it
    // aside, which stands for that deletion.
    if (dir != -1 && fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
        !IsReadOnlyMode(st.st_mode)) {
        unsigned long long n = FreshSetAsideNumber();
        for (int attempt = 0; attempt < 100 && set < 0; ++attempt, ++n) {
            if (RenameNoReplace(dir, leaf.c_str(), dir, SetAsideName(leaf, n).c_str()))
                set = (long long)n;
            else if (errno != EEXIST)
                break;
        }
    }
    CloseParentDir(dir);
    return set;
}

// Linux deletes a file whatever program runs from it: every set-aside copy
// can go at once.
void DropSetAside(const char *path) {
    if (InjectedFault("DropSetAside", path))
        return;
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    if (dir == -1)
        return;
    ForEachEntryIn(dir, [&](const char *name) {
        struct stat st;
        if (IsSetAsideName(name, leaf) && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            !IsReadOnlyMode(st.st_mode))
            unlinkat(dir, name, 0);
    });
    CloseParentDir(dir);
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
        ok = RenameNoReplace(fromDir, fromLeaf.c_str(), toDir, toLeaf.c_str());
    }
    CloseParentDir(fromDir);
    CloseParentDir(toDir);
    return ok;
}
