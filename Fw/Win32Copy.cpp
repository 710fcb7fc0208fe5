// The Windows layer's copy: CopyFileA's contract, made safe against a copy
// that fails half-way or is cut short.
#include <windows.h>

#include <cstring>
#include <string>

#include "Platform.h"
#include "TemporaryName.h"
#include "TestHooks.h"
#include "Win32Layer.h"

// Deletes a temporary of ours, read-only or not (a copy carries the source's
// read-only bit over).
static void DropTemporary(const std::string &path) {
    DeleteEvenReadOnly(path.c_str());
}

// Removes the temporaries that copies to `leaf` in `folder` left when they
// were cut short (killed before their rename), so that a retry leaves no
// litter. Only names of the helper's exact pattern are touched.
static void SweepTemporaries(const std::string &folder, const std::string &leaf) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "." + leaf + ".fwmaint-*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (IsTemporaryName(found.cFileName, leaf) && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DropTemporary(folder + found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

// Opens the regular file `path` for reading, never through a link; null for
// anything else.
// Waited for while another program holds it without read sharing.
static HANDLE OpenRegularFile(const char *path) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (IsRegularFile(path)) {
        RetryWhileHeld(path, [&] {
            file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
            return file != INVALID_HANDLE_VALUE;
        });
    }
    return file;
}

// Copies the bytes of `in` to `out`, then what CopyFileA carries along: the
// source's attributes (read-only among them) and its last-write time. Set
// last, so that no write of ours moves the time again.
static bool CopyContents(HANDLE in, HANDLE out) {
    static char buffer[1 << 16];
    for (;;) {
        DWORD got = 0, put = 0;
        if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr))
            return false;
        if (got == 0)
            break;
        if (!WriteFile(out, buffer, got, &put, nullptr) || put != got)
            return false;
    }
    FILE_BASIC_INFO source, carried = {};  // zero times: left as they are
    if (!GetFileInformationByHandleEx(in, FileBasicInfo, &source, sizeof source))
        return false;
    carried.LastWriteTime = source.LastWriteTime;
    carried.FileAttributes = source.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (!carried.FileAttributes)
        carried.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(out, FileBasicInfo, &carried, sizeof carried);
}

// FILE_RENAME_INFO with room for a fixed name; its first word is
// ReplaceIfExists for FileRenameInfo and the flags for FileRenameInfoEx.
struct RenameInfo {
    DWORD flags;
    HANDLE rootDirectory;
    DWORD nameLength;
    WCHAR name[MAX_PATH];
};
const FILE_INFO_BY_HANDLE_CLASS kFileRenameInfoEx = (FILE_INFO_BY_HANDLE_CLASS)22;
const DWORD kRenameReplaceIfExists = 0x1, kRenamePosixSemantics = 0x2, kRenameIgnoreReadOnly = 0x40;

// Windows 10 1809 and later rename over a file that another program holds
// with delete sharing (a scanner, the indexer), and over a read-only one when
// asked to; older systems, FAT, shares and Wine refuse the call itself
// (ERROR_INVALID_PARAMETER), and then the plain rename by handle does it.
static bool s_noRenameEx;

// Renames the open `file` to the fixed path `to` through its handle, with
// `flags` (ReplaceIfExists, for the plain class). The whole path goes: a name
// without a root directory is taken relative to the current directory, not
// to the file's own folder.
static bool RenameByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags, const char *to) {
    RenameInfo info = {};
    info.flags = flags;
    DWORD count = 0;
    for (const char *p = to; *p && count < MAX_PATH; ++p)  // the fixed paths are short ASCII
        info.name[count++] = (WCHAR)(unsigned char)*p;
    info.nameLength = count * sizeof(WCHAR);
    return SetFileInformationByHandle(file, kind, &info, sizeof info);
}

// Gives the flushed temporary open as `temp` the name `to`, replacing what is
// there, and never opening the temporary again by its path. Tried again
// while another program holds the destination. `evenReadOnly`: a read-only
// destination is replaced too.
static bool ReplaceWithTemporary(HANDLE temp, const char *to, bool evenReadOnly) {
    if (!s_noRenameEx) {
        DWORD flags = kRenameReplaceIfExists | kRenamePosixSemantics | (evenReadOnly ? kRenameIgnoreReadOnly : 0);
        bool ok = RetryWhileHeld(nullptr, [&] { return RenameByHandle(temp, kFileRenameInfoEx, flags, to); });
        DWORD error = GetLastError();
        if (ok || (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION))
            return ok;
        s_noRenameEx = true;
    }
    // The plain rename (MoveFileExA's own) replaces neither a destination
    // another program holds nor, on Windows, a read-only one: that bit is
    // lifted for the rename and put back if it fails. (Wine replaces a
    // read-only file regardless; the caller has checked the bit.)
    DWORD old = GetFileAttributesA(to);
    bool lifted = evenReadOnly && Exists(old) && (old & FILE_ATTRIBUTE_READONLY) &&
                  SetFileAttributesA(to, old & ~FILE_ATTRIBUTE_READONLY);
    bool ok = RetryWhileHeld(nullptr, [&] { return RenameByHandle(temp, FileRenameInfo, TRUE, to); });
    if (!ok && lifted)
        SetFileAttributesA(to, old);
    return ok;
}

// The copy behind CopyFileOver and CopyOverOwnFile; `evenReadOnly` lets it
// replace a read-only destination.
static bool CopyReplacing(const char *from, const char *to, bool evenReadOnly) {
    if (InjectedFault("CopyFileOver", from))
        return false;
    // Neither end through a link; a link as the destination is replaced as a
    // link by the rename below, its target never written.
    if (ParentIsLink(to))
        return false;
    std::string folder, leaf;
    SplitFixedPath(to, &folder, &leaf);
    SweepTemporaries(folder, leaf);
    HANDLE in = OpenRegularFile(from);
    if (in == INVALID_HANDLE_VALUE)
        return false;
    // CopyFileA refuses a read-only or directory destination; so do we, as
    // the rename below would not.
    DWORD old = GetFileAttributesA(to);
    bool refused = Exists(old) && !(old & FILE_ATTRIBUTE_REPARSE_POINT) &&
                   ((old & FILE_ATTRIBUTE_DIRECTORY) || (!evenReadOnly && (old & FILE_ATTRIBUTE_READONLY)));
    // The copy goes to a fresh name beside `to`, flushed to disk through the
    // handle that wrote it, then takes the name in one rename: a copy that
    // fails half-way (disk full) leaves `to` whole.
    std::string temporary;
    HANDLE out = INVALID_HANDLE_VALUE;
    for (int attempt = 0; !refused && out == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        temporary = folder + TemporaryName(leaf, GetCurrentProcessId(), attempt);
        // A name already taken is never ours to overwrite.
        out = CreateFileA(temporary.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    bool ok = out != INVALID_HANDLE_VALUE && CopyContents(in, out) && FlushFileBuffers(out) &&
              !InjectedFault("ReplaceWithCopy", to) && ReplaceWithTemporary(out, to, evenReadOnly);
    CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) {
        if (ok)
            FlushFileBuffers(out);  // the new name, as far as the file system lets a file say
        else
            DeleteByHandle(out);  // the temporary; gone once the handle closes
        CloseHandle(out);
    }
    return ok;
}

bool CopyFileOver(const char *from, const char *to) {
    return CopyReplacing(from, to, false);
}

bool CopyOverOwnFile(const char *from, const char *to) {
    return CopyReplacing(from, to, true);
}

bool SameFileContents(const char *a, const char *b) {
    if (InjectedFault("SameFileContents", a))
        return false;
    HANDLE inA = OpenRegularFile(a), inB = inA == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenRegularFile(b);
    LARGE_INTEGER sizeA, sizeB;
    bool same = inB != INVALID_HANDLE_VALUE && GetFileSizeEx(inA, &sizeA) && GetFileSizeEx(inB, &sizeB) &&
                sizeA.QuadPart == sizeB.QuadPart;
    static char bufferA[1 << 16], bufferB[1 << 16];
    while (same) {
        DWORD gotA = 0, gotB = 0;
        same = ReadFile(inA, bufferA, sizeof bufferA, &gotA, nullptr) && ReadFile(inB, bufferB, sizeof bufferB, &gotB, nullptr) &&
               gotA == gotB && memcmp(bufferA, bufferB, gotA) == 0;
        if (gotA == 0)
            break;
    }
    if (inA != INVALID_HANDLE_VALUE)
        CloseHandle(inA);
    if (inB != INVALID_HANDLE_VALUE)
        CloseHandle(inB);
    return same;
}
