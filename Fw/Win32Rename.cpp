// The Windows layer's renames by handle: a copy's flushed temporary takes
// its destination's name through the handle that wrote it, in the very folder
// the copy holds open, never by a path looked up again.
#include <windows.h>
#include <winternl.h>

#include <string>

#include "Win32Layer.h"
#include "Wtf8.h"

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

// One replacing rename. Windows refuses it with one code, access denied,
// both while the file it would replace is open elsewhere and where that
// file's ACL forbids us to delete it: an open of that file for DELETE,
// sharing everything, tells them apart (see LastRefusal).
static bool ReplaceOnce(HANDLE temp, FILE_INFORMATION_CLASS kind, ULONG flags, HANDLE dir, const std::string &leaf) {
    if (RenameByHandle(temp, kind, flags, dir, leaf))
        return true;
    if (GetLastError() != ERROR_ACCESS_DENIED)
        return false;
    HANDLE target = OpenRelative(dir, leaf.c_str(), DELETE, kShareAll, FILE_OPEN, 0);
    if (target == INVALID_HANDLE_VALUE)
        return false;  // the open's own refusal says why: the ACL (final), or a holder's sharing
    CloseHandle(target);
    return Refuse(kStatusSharingViolation);  // ours to delete, so open elsewhere: held
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
    bool ok = RetryWhileHeld(kReplace, [&] { return ReplaceOnce(temp, kFileRenameInformation, TRUE, dir, leaf); });
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

bool ReplaceWithTemporary(HANDLE temp, HANDLE dir, const std::string &leaf, bool evenReadOnly, bool readOnlyThere) {
    if (!s_noRenameEx) {
        ULONG flags = kRenameReplaceIfExists | kRenamePosixSemantics | (evenReadOnly ? kRenameIgnoreReadOnly : 0);
        bool ok = RetryWhileHeld(kReplace, [&] { return ReplaceOnce(temp, kFileRenameInformationEx, flags, dir, leaf); });
        if (ok || !UnsupportedCall(GetLastError()))
            return ok;
        s_noRenameEx = true;
    }
    // The plain rename (MoveFileExA's own) replaces no destination another
    // program holds, and on Windows no read-only one (Wine replaces that
    // regardless; the caller has checked the bit): over a read-only one it
    // goes only with the bit lifted, and is not tried as it is.
    if (evenReadOnly && readOnlyThere)
        return RenameOverReadOnly(temp, dir, leaf);
    return RetryWhileHeld(kReplace, [&] { return ReplaceOnce(temp, kFileRenameInformation, TRUE, dir, leaf); });
}
