// The Windows layer's copy: CopyFileA's contract, made safe against a copy
// that fails half-way or is cut short; and the files a comparison reads.
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>

#include "Platform.h"
#include "ReparseTag.h"
#include "TemporaryName.h"
#include "TestHooks.h"
#include "Win32Layer.h"
#include "Wtf8.h"

// Removes the temporaries that copies to `leaf` in the held folder `dir`
// left when they were cut short (killed before their rename), so that a
// retry leaves no litter. Only names of the helper's exact patterns are
// touched: this build's, and the dot names earlier releases wrote.
static void SweepTemporaries(HANDLE dir, const std::string &leaf) {
    ForEachEntryIn(dir, [&](const std::string &name, DWORD attributes) {
        // Read-only or not: a copy carries the source's bit over.
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            (IsVisibleTemporaryName(name.c_str(), leaf) || IsTemporaryName(name.c_str(), leaf)))
            RetryWhileHeld(kDelete, [&] { return DeleteFileIn(dir, name.c_str(), true); });
    });
}

// Opens the regular file `leaf` of the held folder `dir` for reading, as
// itself; null for anything else (a link, a folder, a device), and then
// `*known` (if given) says whether it is known to be no regular file
// (missing, or something else) rather than unreadable. Waited for while
// another program holds it without read sharing.
static HANDLE OpenRegularIn(HANDLE dir, const std::string &leaf, bool *known) {
    const char *name = leaf.c_str();
    HANDLE file = INVALID_HANDLE_VALUE;
    NTSTATUS status = RetryWhileHeld(kOpen, [&] {
        return OpenRelative(dir, name, GENERIC_READ, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, &file);
    });
    if (file == INVALID_HANDLE_VALUE) {
        // Missing, or a folder (refused for FILE_NON_DIRECTORY_FILE): known.
        // Any other refusal says nothing.
        if (known)
            *known = status == kStatusObjectNameNotFound || status == kStatusObjectPathNotFound ||
                     status == kStatusFileIsADirectory;
        return file;
    }
    DWORD attributes = LinkAwareAttributesOf(file, dir, name);
    bool regular = IsPlainFile(attributes);
    if (known)
        *known = Exists(attributes) && !regular;
    if (regular && (RawAttributesOf(file) & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A reparse point that is no link (a deduplicated file, a cloud
        // placeholder) is read through its file system's filter, which an
        // open as itself passes by (CreateFileW, FILE_FLAG_OPEN_REPARSE_POINT):
        // opened again the ordinary way, and only if that is the very file.
        HANDLE through = ReopenThroughFilter(dir, name, file, GENERIC_READ, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
        regular = through != INVALID_HANDLE_VALUE;
        CloseHandle(file);
        file = through;
    }
    if (!regular && file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
    return file;
}

// OpenRegularIn for the fixed path `path`, whose folders are held only while
// it is opened: once open, the handle names the file whatever becomes of the
// path.
static HANDLE OpenRegularFile(const char *path, bool *known = nullptr) {
    if (known)
        *known = false;
    HeldFolders held;
    std::string leaf;
    NTSTATUS status = HoldFolders(path, &held, &leaf);
    if (!Succeeded(status)) {
        if (known)
            *known = status == kStatusObjectNameNotFound || status == kStatusObjectPathNotFound;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = OpenRegularIn(InnermostFolder(held), leaf, known);
    ReleaseFolders(&held);
    return file;
}

// Copies the bytes of `in` to `out`, then what CopyFileA carries along: the
// source's attributes (read-only among them) and its last-write time. Set
// last, so that no write of ours moves the time again.
static bool CopyContents(HANDLE in, HANDLE out) {
    static char buffer[1 << 16];
    for (;;) {
        DWORD got = 0, put = 0;
        if (!Succeeded(ReadSome(in, buffer, sizeof buffer, &got)))
            return false;
        if (got == 0)
            break;
        if (!WriteFile(out, buffer, got, &put, nullptr) || put != got)
            return false;
    }
    FILE_BASIC_INFO source, carried = {};  // zero times are left as they are
    if (!GetFileInformationByHandleEx(in, FileBasicInfo, &source, sizeof source))
        return false;
    carried.LastWriteTime = source.LastWriteTime;
    carried.FileAttributes = source.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (!carried.FileAttributes)
        carried.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(out, FileBasicInfo, &carried, sizeof carried);
}

// The copy of `in` into `leaf` of the held folder `dir`: CopyFileOver's and
// CopyOverOwnFile's work once both ends are open and checked.
static bool CopyInto(HANDLE in, HANDLE dir, const std::string &leaf, bool evenReadOnly, const char *to) {
    // CopyFileA refuses a read-only or directory destination; so do we, as
    // the rename below would not. A link there is replaced as a link, its
    // target never written.
    DWORD old = LinkAwareAttributesIn(dir, leaf.c_str());
    bool readOnly = IsReadOnly(old) && !(old & FILE_ATTRIBUTE_REPARSE_POINT);
    // A link to a folder is refused too: no rename replaces a folder, and
    // its access denied is no hold to wait on.
    if (IsRealFolder(old) || (Exists(old) && (old & FILE_ATTRIBUTE_DIRECTORY)) || (readOnly && !evenReadOnly))
        return false;
    // The copy goes to a fresh name beside `to`, flushed to disk through the
    // handle that wrote it, then takes the name in one rename: a copy that
    // fails half-way (disk full) leaves `to` whole.
    HANDLE out = INVALID_HANDLE_VALUE;
    for (int attempt = 0; out == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        // Windows quirk (Wine): a name starting with a dot is marked hidden, and
        // the bit would travel with the rename; so no dot here.
        std::string temporary = VisibleTemporaryName(leaf, GetCurrentProcessId(), attempt);
        // A name already taken is never ours to overwrite.
        NTSTATUS status = OpenRelative(dir, temporary.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                       FILE_CREATE, FILE_NON_DIRECTORY_FILE, &out);
        if (status != kStatusNameCollision)
            break;
    }
    if (out == INVALID_HANDLE_VALUE)
        return false;
    // Flushed before the rename: a power cut after it must find the data.
    bool ok = CopyContents(in, out) && FlushFileBuffers(out) && (CopyWritten(to), !InjectedFault("ReplaceWithCopy", to)) &&
              Succeeded(ReplaceWithTemporary(out, dir, leaf, evenReadOnly, readOnly));
    if (ok)
        FlushFileBuffers(out);  // the new name, as far as the file system lets a file say
    else
        DeleteByHandle(out);  // the temporary; gone once the handle closes
    CloseHandle(out);
    return ok;
}

// The copy behind CopyFileOver and CopyOverOwnFile; `evenReadOnly` lets it
// replace a read-only destination. The destination's folders are held for
// the whole copy: the temporary is created, renamed and swept in the very
// folder that was checked.
static bool CopyReplacing(const char *from, const char *to, bool evenReadOnly) {
    if (InjectedFault("CopyFileOver", from))
        return false;
    HeldFolders held;
    std::string leaf;
    if (!Succeeded(HoldFolders(to, &held, &leaf)))
        return false;
    HANDLE dir = InnermostFolder(held);
    SweepTemporaries(dir, leaf);
    HANDLE in = OpenRegularFile(from);
    bool ok = in != INVALID_HANDLE_VALUE && CopyInto(in, dir, leaf, evenReadOnly, to);
    if (in != INVALID_HANDLE_VALUE)
        CloseHandle(in);
    ReleaseFolders(&held);
    return ok;
}

bool CopyFileOver(const char *from, const char *to) {
    return CopyReplacing(from, to, false);
}

bool CopyOverOwnFile(const char *from, const char *to) {
    return CopyReplacing(from, to, true);
}

struct ReadableFile {
    HANDLE handle;
};

ReadableFile *OpenReadable(const char *path, bool *notRegular) {
    HANDLE file = OpenRegularFile(path, notRegular);
    return file == INVALID_HANDLE_VALUE ? nullptr : new ReadableFile{file};
}

// Asked again after the comparison's reads: a file still being written has
// grown, or has moved its change or last-write time.
bool StampOfReadable(ReadableFile *file, ReadableStamp *stamp) {
    LARGE_INTEGER length;
    FILE_BASIC_INFO times;
    if (!GetFileSizeEx(file->handle, &length) || !GetFileInformationByHandleEx(file->handle, FileBasicInfo, &times, sizeof times))
        return false;
    stamp->size = (unsigned long long)length.QuadPart;
    stamp->changed = (unsigned long long)times.ChangeTime.QuadPart;
    stamp->written = (unsigned long long)times.LastWriteTime.QuadPart;
    return true;
}

bool ReadExactly(ReadableFile *file, char *buffer, size_t size) {
    // A read may return fewer bytes than asked (a redirector).
    for (DWORD done = 0, got = 0; done < size; done += got) {
        if (!Succeeded(ReadSome(file->handle, buffer + done, (DWORD)(size - done), &got)) || got == 0)
            return false;
    }
    return true;
}

void CloseReadable(ReadableFile *file) {
    CloseHandle(file->handle);
    delete file;
}
