// The Linux layer's fixed paths: looking at, deleting and renaming the
// helper's own files by their fixed relative paths, with the Win32 rule each
// keeps. No link is followed on the way to any of them.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Platform.h"
#include "PosixLayer.h"
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

bool DeleteOneFile(const char *path) {
    if (InjectedFault("DeleteOneFile", path))
        return false;
    // unlink(2) ignores the file's own mode; DeleteFileA refuses a read-only
    // file, and so do we.
    return DeleteFileNamed(path, false);
}

bool DeleteOwnFile(const char *path) {
    if (InjectedFault("DeleteOwnFile", path))
        return false;
    // One unlink, whatever the mode: a kill cannot part a cleared read-only
    // bit from the deletion it was cleared for.
    return DeleteFileNamed(path, true);
}

// Linux deletes a file whatever program runs from it or holds it open:
// nothing is ever in use the way Windows means it, so nothing is set aside.
bool DeleteOrSetAside(const char *path) {
    if (InjectedFault("DeleteOrSetAside", path))
        return false;
    return DeleteFileNamed(path, false);
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
