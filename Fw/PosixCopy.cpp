// The Linux layer's copy: CopyFileA's contract, made safe against a copy
// that fails half-way; and the files a comparison reads.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "Platform.h"
#include "PosixLayer.h"
#include "TemporaryName.h"
#include "TestHooks.h"

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

// Removes the temporaries that copies to `leaf` in `dir` left when they were
// cut short (killed before their rename), so that a retry leaves no litter.
// Only names of the helper's exact pattern are touched.
static void SweepTemporaries(int dir, const std::string &leaf) {
    ForEachEntryIn(dir, [&](const char *name) {
        if (IsTemporaryName(name, leaf))
            unlinkat(dir, name, 0);
    });
}

// Creates an unused temporary file in `dir` beside `leaf`; -1 on failure.
static int CreateTemporary(int dir, const std::string &leaf, std::string &name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = TemporaryName(leaf, (unsigned long)getpid(), attempt);
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

// Opens for reading the regular file `leaf` of `dir`, which the O_PATH
// descriptor `at` holds and `st` describes: through the descriptor's link in
// /proc, which reaches that very file whatever became of its name; where
// /proc is no procfs, by its name again, never waiting (something else may
// stand there by now), and only if that is still the same file.
static int ReopenRegularFile(int at, int dir, const std::string &leaf, const struct stat &st) {
    if (ProcIsProcfs())
        return open(("/proc/self/fd/" + std::to_string(at)).c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    int fd = openat(dir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat now;
    if (fd >= 0 && (fstat(fd, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Opens the regular file `path` for reading, filling `st`: the descriptor,
// or -1 with `*known` saying whether the file is known to be no regular file
// (missing, a link, a FIFO...) rather than unreadable. A link is not a regular
// file: reading through it could read from anywhere on the system. Nor is a
// FIFO or a device an archive may plant, and neither is ever opened: a FIFO's
// open, even one that does not wait, lets a writer blocked on it go on (into
// EPIPE once we close it), and a device may act on the open itself. So the
// kind is looked at first, through a descriptor that opens nothing.
static int OpenRegularFile(const char *path, struct stat &st, bool *known = nullptr) {
    std::string leaf;
    int dir = OpenParentDir(path, leaf);
    // O_PATH with O_NOFOLLOW holds a link itself, to be refused below.
    int at = dir == -1 ? -1 : openat(dir, leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    // A refused or failed look-up says nothing.
    bool notRegular = at < 0 && errno == ENOENT;
    int fd = -1;
    if (at >= 0 && fstat(at, &st) == 0) {
        notRegular = !S_ISREG(st.st_mode);
        if (!notRegular)
            fd = ReopenRegularFile(at, dir, leaf, st);
    }
    if (at >= 0)
        close(at);
    CloseParentDir(dir);
    if (known)
        *known = notRegular;
    return fd;
}

// The copy behind CopyFileOver and CopyOverOwnFile; `evenReadOnly` lets it
// replace a read-only destination.
static bool CopyReplacing(const char *from, const char *to, bool evenReadOnly) {
    if (InjectedFault("CopyFileOver", from))
        return false;
    std::string toLeaf, tempName;
    int toDir = OpenParentDir(to, toLeaf);
    int in = -1, out = -1;
    bool ok = false;
    struct stat src, dst;
    // A write past the file-size limit would kill us (SIGXFSZ) with the
    // temporary still on disk; ignored, it fails with EFBIG and is cleaned up.
    signal(SIGXFSZ, SIG_IGN);
    if (toDir == -1)
        goto done;
    SweepTemporaries(toDir, toLeaf);
    in = OpenRegularFile(from, src);
    if (in < 0)
        goto done;
    // CopyFileA refuses a read-only or directory destination; rename(2) would
    // not. A link there is replaced as a link: its target is never written.
    if (fstatat(toDir, toLeaf.c_str(), &dst, AT_SYMLINK_NOFOLLOW) == 0 &&
        (S_ISDIR(dst.st_mode) || (!evenReadOnly && IsReadOnlyMode(dst.st_mode))))
        goto done;
    out = CreateTemporary(toDir, toLeaf, tempName);
    if (out < 0)
        goto done;
    {
        // CopyFileA carries the attributes and the last-write time along;
        // here the permission bits, and never set-user-ID, set-group-ID or
        // sticky: a copy made as root of a file another user marked so
        // would run with root's rights (cp without -p drops them too).
        const struct timespec times[2] = {src.st_atim, src.st_mtim};
        ok = CopyBytes(in, out, src.st_size) && fchmod(out, src.st_mode & 0777) == 0 &&
             futimens(out, times) == 0 && fsync(out) == 0;
    }
    ok = close(out) == 0 && ok;
    // Only a complete, flushed copy takes the destination's name.
    ok = ok && !InjectedFault("ReplaceWithCopy", to) && renameat(toDir, tempName.c_str(), toDir, toLeaf.c_str()) == 0;
    if (!ok)
        unlinkat(toDir, tempName.c_str(), 0);
    // The new name must reach the disk before the caller acts on the success
    // (restoreprefs deletes the saved copy next).
    ok = ok && SyncDirectory(toDir);
done:
    if (in >= 0)
        close(in);
    CloseParentDir(toDir);
    return ok;
}

bool CopyFileOver(const char *from, const char *to) {
    return CopyReplacing(from, to, false);
}

bool CopyOverOwnFile(const char *from, const char *to) {
    return CopyReplacing(from, to, true);
}

struct ReadableFile {
    int fd;
};

ReadableFile *OpenReadable(const char *path, bool *notRegular) {
    struct stat st;
    int fd = OpenRegularFile(path, st, notRegular);
    return fd < 0 ? nullptr : new ReadableFile{fd};
}

// Every write moves the change time (and the modification time, which a
// program may set back): both are looked at, to the nanosecond.
bool StampOfReadable(ReadableFile *file, ReadableStamp *stamp) {
    struct stat st;
    if (fstat(file->fd, &st) != 0)
        return false;
    stamp->size = (unsigned long long)st.st_size;
    stamp->changed = (unsigned long long)st.st_ctim.tv_sec * 1000000000u + (unsigned long long)st.st_ctim.tv_nsec;
    stamp->written = (unsigned long long)st.st_mtim.tv_sec * 1000000000u + (unsigned long long)st.st_mtim.tv_nsec;
    return true;
}

bool ReadExactly(ReadableFile *file, char *buffer, size_t size) {
    for (size_t got = 0; got < size;) {
        ssize_t n = read(file->fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += (size_t)n;
    }
    return true;
}

void CloseReadable(ReadableFile *file) {
    close(file->fd);
    delete file;
}
