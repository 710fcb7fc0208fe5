// The Windows layer's copy: CopyFileA's contract, made safe against a copy
// that fails half-way or is cut short.
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>

#include "Platform.h"
#include "TemporaryName.h"
#include "TestHooks.h"
#include "Win32Layer.h"
#include "Wtf8.h"

// Deletes the temporary `name` of ours in the held folder `dir`, read-only
// or not (a copy carries the source's read-only bit over).
static void DropTemporary(HANDLE dir, const char *name) {
    HANDLE file = OpenRelative(dir, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN,
                               FILE_NON_DIRECTORY_FILE);
    if (file != INVALID_HANDLE_VALUE) {
        DeleteByHandle(file);
        CloseHandle(file);
    }
}

// Removes the temporaries that copies to `leaf` in the held folder `dir`
// left when they were cut short (killed before their rename), so that a
// retry leaves no litter. Only names of the helper's exact patterns are
// touched: this build's, and the dot names earlier releases wrote.
static void SweepTemporaries(HANDLE dir, const std::string &leaf) {
    alignas(8) char listing[4096];
    bool byIds;
    while (FetchListing(dir, false, listing, sizeof listing, &byIds)) {
        for (ULONG offset = 0; offset != kListingEnd;) {
            ListedEntry entry;
            ReadListing(listing, byIds, &offset, &entry);
            std::string name = Wtf8FromUtf16((const char16_t *)entry.name, entry.length);
            if (!(entry.attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                (IsVisibleTemporaryName(name.c_str(), leaf) || IsTemporaryName(name.c_str(), leaf)))
                DropTemporary(dir, name.c_str());
        }
    }
}

// Opens the regular file `leaf` of the held folder `dir` for reading, as
// itself; null for anything else (a link, a folder, a device), and then
// `*known` (if given) says whether it is known to be no regular file
// (missing, or something else) rather than unreadable. Waited for while
// another program holds it without read sharing.
static HANDLE OpenRegularIn(HANDLE dir, const std::string &leaf, bool *known) {
    const char *name = leaf.c_str();
    HANDLE file = INVALID_HANDLE_VALUE;
    RetryWhileHeldAs([&] { return EntryAttributesIn(dir, name); }, [&] {
        file = OpenRelative(dir, name, GENERIC_READ, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
        return file != INVALID_HANDLE_VALUE;
    });
    if (file == INVALID_HANDLE_VALUE) {
        // A folder refused for FILE_NON_DIRECTORY_FILE reads as access denied:
        // not known, like any other refusal.
        DWORD error = GetLastError();
        if (known)
            *known = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return file;
    }
    DWORD attributes = TakenAttributesAs(file, dir, name);
    bool regular = Exists(attributes) &&
                   !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
    if (known)
        *known = Exists(attributes) && !regular;
    if (regular && (AttributesOf(file) & FILE_ATTRIBUTE_REPARSE_POINT)) {
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
    if (!HoldFolders(path, &held, &leaf)) {
        if (known)
            *known = GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
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
        if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr))
            return false;
        if (got == 0)
            break;
        if (!WriteFile(out, buffer, got, &put, nullptr) || put != got)
            return false;
    }
    FILE_BASIC_INFO source, carried = {};  // zero times are left as they are (Microsoft Learn, FILE_BASIC_INFO)
    if (!GetFileInformationByHandleEx(in, FileBasicInfo, &source, sizeof source))
        return false;
    carried.LastWriteTime = source.LastWriteTime;
    carried.FileAttributes = source.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (!carried.FileAttributes)
        carried.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(out, FileBasicInfo, &carried, sizeof carried);
}

// FILE_RENAME_INFORMATION with room for any one name; its first word is
// ReplaceIfExists for FileRenameInformation and the flags for
// FileRenameInformationEx.
struct RenameInfo {
    ULONG flags;
    HANDLE rootDirectory;
    ULONG nameLength;
    WCHAR name[MAX_PATH];
};
const FILE_INFORMATION_CLASS kFileRenameInformation = (FILE_INFORMATION_CLASS)10;
const FILE_INFORMATION_CLASS kFileRenameInformationEx = (FILE_INFORMATION_CLASS)65;
const ULONG kRenameReplaceIfExists = 0x1, kRenamePosixSemantics = 0x2, kRenameIgnoreReadOnly = 0x40;

// Windows 10 1809 and later rename over a file that another program holds
// with delete sharing (a scanner, the indexer), and over a read-only one when
// asked to (Microsoft Learn, FILE_RENAME_INFORMATION, Flags); older systems,
// FAT, shares and Wine refuse the class itself, and then the plain rename by
// handle does it.
static bool s_noRenameEx;

// Renames the open `file` to `leaf` of the held folder `dir`, through its
// handle, with `flags` (ReplaceIfExists, for the plain class). The call
// itself, not kernelbase's wrapper: that one makes a name relative to the
// current directory (Wine does), and with RootDirectory the name is taken in
// that open folder (Microsoft Learn, FILE_RENAME_INFORMATION, RootDirectory).
static bool RenameByHandle(HANDLE file, FILE_INFORMATION_CLASS kind, ULONG flags, HANDLE dir, const std::string &leaf) {
    std::u16string wide = Utf16FromWtf8(leaf.c_str());
    if (wide.size() > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    RenameInfo info = {};
    info.flags = flags;
    info.rootDirectory = dir;
    wide.copy((char16_t *)info.name, wide.size());
    info.nameLength = (ULONG)(wide.size() * sizeof(WCHAR));
    IO_STATUS_BLOCK io;
    NTSTATUS status = NtSetInformationFile(file, &io, &info, sizeof info, kind);
    if (status < 0)
        SetLastError(RtlNtStatusToDosError(status));
    return status >= 0;
}

// The plain rename over `leaf` of `dir` with its read-only bit lifted, for a
// destination the helper may replace though read-only: lifted through a
// handle, which closes before the rename (an open destination refuses the
// plain rename), and put back if the rename fails. A file with other names
// is left alone: the bit is theirs too, and may be a user's outside.
static bool RenameOverReadOnly(HANDLE temp, HANDLE dir, const std::string &leaf) {
    const ACCESS_MASK kAttributes = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    HANDLE dest = OpenRelative(dir, leaf.c_str(), kAttributes, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (dest == INVALID_HANDLE_VALUE)
        return false;
    DWORD old = AttributesOf(dest);
    FILE_STANDARD_INFO standard;
    bool lifted = Exists(old) && (old & FILE_ATTRIBUTE_READONLY) &&
                  GetFileInformationByHandleEx(dest, FileStandardInfo, &standard, sizeof standard) &&
                  standard.NumberOfLinks == 1 && SetAttributesOf(dest, old & ~FILE_ATTRIBUTE_READONLY);
    CloseHandle(dest);
    if (!lifted)
        return false;
    bool ok = RetryWhileHeld(nullptr, [&] { return RenameByHandle(temp, kFileRenameInformation, TRUE, dir, leaf); });
    if (!ok) {
        DWORD error = GetLastError();
        dest = OpenRelative(dir, leaf.c_str(), kAttributes, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
        if (dest != INVALID_HANDLE_VALUE) {
            SetAttributesOf(dest, old);
            CloseHandle(dest);
        }
        SetLastError(error);
    }
    return ok;
}

// Gives the flushed temporary open as `temp` the name `leaf` in the held
// folder `dir`, replacing what is there, and never opening the temporary
// again by a name. Tried again while another program holds the destination.
// `evenReadOnly`: a read-only destination is replaced too.
static bool ReplaceWithTemporary(HANDLE temp, HANDLE dir, const std::string &leaf, bool evenReadOnly) {
    if (!s_noRenameEx) {
        ULONG flags = kRenameReplaceIfExists | kRenamePosixSemantics | (evenReadOnly ? kRenameIgnoreReadOnly : 0);
        bool ok = RetryWhileHeld(nullptr, [&] { return RenameByHandle(temp, kFileRenameInformationEx, flags, dir, leaf); });
        if (ok || !UnsupportedCall(GetLastError()))
            return ok;
        s_noRenameEx = true;
    }
    // The plain rename (MoveFileExA's own) replaces no destination another
    // program holds, and on Windows no read-only one (Wine replaces that
    // regardless; the caller has checked the bit). A read-only bit refuses at
    // once: access denied on it is final.
    const char *name = leaf.c_str();
    if (RetryWhileHeldAs([&] { return EntryAttributesIn(dir, name); },
                         [&] { return RenameByHandle(temp, kFileRenameInformation, TRUE, dir, leaf); }))
        return true;
    DWORD error = GetLastError();
    if (evenReadOnly && error == ERROR_ACCESS_DENIED && RenameOverReadOnly(temp, dir, leaf))
        return true;
    SetLastError(error);
    return false;
}

// The copy of `in` into `leaf` of the held folder `dir`: CopyFileOver's and
// CopyOverOwnFile's work once both ends are open and checked.
static bool CopyInto(HANDLE in, HANDLE dir, const std::string &leaf, bool evenReadOnly, const char *to) {
    // CopyFileA refuses a read-only or directory destination; so do we, as
    // the rename below would not. A link there is replaced as a link, its
    // target never written.
    DWORD old = EntryAttributesIn(dir, leaf.c_str());
    if (Exists(old) && !(old & FILE_ATTRIBUTE_REPARSE_POINT) &&
        ((old & FILE_ATTRIBUTE_DIRECTORY) || (!evenReadOnly && (old & FILE_ATTRIBUTE_READONLY))))
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
        NTSTATUS status;
        out = OpenRelative(dir, temporary.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, FILE_CREATE,
                           FILE_NON_DIRECTORY_FILE, &status);
        const NTSTATUS kNameCollision = (NTSTATUS)0xC0000035L;
        if (out == INVALID_HANDLE_VALUE && status != kNameCollision)
            break;
    }
    if (out == INVALID_HANDLE_VALUE)
        return false;
    // FlushFileBuffers writes the file's data and metadata to the device (Microsoft Learn, FlushFileBuffers).
    bool ok = CopyContents(in, out) && FlushFileBuffers(out) && (CopyWritten(to), !InjectedFault("ReplaceWithCopy", to)) &&
              ReplaceWithTemporary(out, dir, leaf, evenReadOnly);
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
    if (!HoldFolders(to, &held, &leaf))
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

// Reads exactly `size` bytes (ReadFile may return fewer: a pipe, a
// redirector); false on an error or an early end.
static bool ReadExactly(HANDLE file, char *buffer, DWORD size) {
    for (DWORD done = 0, got = 0; done < size; done += got) {
        if (!ReadFile(file, buffer + done, size - done, &got, nullptr) || got == 0)
            return false;
    }
    return true;
}

FileComparison CompareFileContents(const char *a, const char *b) {
    if (InjectedFault("CompareFileContents", a))
        return kCannotTell;
    bool knownA = false, knownB = false;
    HANDLE inA = OpenRegularFile(a, &knownA), inB = OpenRegularFile(b, &knownB);
    bool openA = inA != INVALID_HANDLE_VALUE, openB = inB != INVALID_HANDLE_VALUE;
    LARGE_INTEGER sizeA = {}, sizeB = {};
    FileComparison result = kCannotTell;
    if ((!openA && knownA) || (!openB && knownB))
        result = kDifferentBytes;
    else if (openA && openB && GetFileSizeEx(inA, &sizeA) && GetFileSizeEx(inB, &sizeB))
        result = sizeA.QuadPart != sizeB.QuadPart ? kDifferentBytes : kSameBytes;
    // Read to the size both had: a read error, or a file that ends early
    // (changed meanwhile), leaves the answer unknown.
    static char bufferA[1 << 16], bufferB[1 << 16];
    for (LONGLONG left = sizeA.QuadPart; result == kSameBytes && left > 0; left -= sizeof bufferA) {
        DWORD want = left < (LONGLONG)sizeof bufferA ? (DWORD)left : (DWORD)sizeof bufferA;
        if (!ReadExactly(inA, bufferA, want) || !ReadExactly(inB, bufferB, want))
            result = kCannotTell;
        else if (memcmp(bufferA, bufferB, want) != 0)
            result = kDifferentBytes;
    }
    if (openA)
        CloseHandle(inA);
    if (openB)
        CloseHandle(inB);
    return result;
}
