// The Windows layer's work on open files through their handles: reading and
// setting the attribute word, and deleting. A handle names one file for good,
// whatever happens to the path it was opened by.
#include <windows.h>

#include <cstring>

#include "ReparseTag.h"
#include "Win32Layer.h"

// Windows 10's information class; the headers show it only to builds that
// target Windows 10, and this one runs on Windows 7 too.
const FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = (FILE_INFO_BY_HANDLE_CLASS)21;

// The attribute word of the open file itself (not of a listing, which may be
// stale); INVALID_FILE_ATTRIBUTES when it cannot be read.
DWORD AttributesOf(HANDLE handle) {
    FILE_BASIC_INFO basic;
    return GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ? basic.FileAttributes
                                                                                       : INVALID_FILE_ATTRIBUTES;
}

DWORD TakenAttributesOf(HANDLE handle) {
    // FileAttributeTagInfo: the attribute word and, for a reparse point, its
    // tag (Microsoft Learn, FILE_ATTRIBUTE_TAG_INFO).
    FILE_ATTRIBUTE_TAG_INFO info;
    if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info))
        return AttributesAsTaken(info.FileAttributes, info.ReparseTag);
    return AttributesOf(handle);  // tag unknown: a reparse point stays a link
}

// Sets the attribute word through the handle. A word of 0 would mean "leave
// unchanged" there, so a word with nothing left says so plainly.
bool SetAttributesOf(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO basic = {};  // zero times: left as they are
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

// The disposition calls this system takes, learnt once: Windows 10 1809 and
// later take the POSIX and ignore-read-only flags together; 1607 to 1803 the
// POSIX flag alone; older releases, FAT, exFAT, most network shares and Wine
// neither (they answer ERROR_INVALID_PARAMETER or ERROR_NOT_SUPPORTED).
enum { kPosixIgnoringReadOnly, kPosixAfterClearing, kLegacy };
static int s_disposition = kPosixIgnoringReadOnly;

bool UnsupportedCall(DWORD error) {
    return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

// Sets the POSIX-semantics delete disposition with `flags` added; a call
// this system does not know moves every later deletion down to `fallback`.
static bool SetPosixDisposition(HANDLE handle, DWORD flags, int fallback) {
    // POSIX semantics: the name goes at once; IGNORE_READONLY_ATTRIBUTE: read-only does not refuse it
    // (Microsoft Learn, FILE_DISPOSITION_INFO_EX).
    FILE_DISPOSITION_INFO_EX disposition = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS | flags};
    if (SetFileInformationByHandle(handle, kFileDispositionInfoEx, &disposition, sizeof disposition))
        return true;
    if (UnsupportedCall(GetLastError()))
        s_disposition = fallback;
    return false;
}

// Deletes the open file, directory or link `handle` names. With POSIX
// semantics the name goes at once, even while another program holds the file
// with delete sharing; without them the entry stays, delete-pending, until
// the last handle to it closes. Where the system cannot ignore read-only, the
// bit is cleared through the handle first (every other bit kept, and put back
// if the entry stays after all, or the file has other names: the bit is the
// file's, and a hard link elsewhere, perhaps outside the tree, keeps it). A
// non-empty directory stays. On failure, GetLastError() says why.
bool DeleteByHandle(HANDLE handle) {
    if (s_disposition == kPosixIgnoringReadOnly) {
        if (SetPosixDisposition(handle, FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE, kPosixAfterClearing))
            return true;
        if (s_disposition == kPosixIgnoringReadOnly)
            return false;  // known, and refused
    }
    DWORD attributes = AttributesOf(handle);
    bool readOnly = Exists(attributes) && (attributes & FILE_ATTRIBUTE_READONLY);
    // FILE_STANDARD_INFO.NumberOfLinks: the file's names, this one included
    // (Microsoft Learn, FILE_STANDARD_INFO); read before this one goes.
    FILE_STANDARD_INFO standard;
    bool otherNames = readOnly && GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) &&
                      standard.NumberOfLinks > 1;
    if (readOnly && !SetAttributesOf(handle, attributes & ~FILE_ATTRIBUTE_READONLY))
        return false;
    bool ok = false;
    if (s_disposition == kPosixAfterClearing)
        ok = SetPosixDisposition(handle, 0, kLegacy);
    if (!ok && s_disposition == kLegacy) {
        // Deleted once the last handle closes (Microsoft Learn, FILE_DISPOSITION_INFO).
        FILE_DISPOSITION_INFO legacy = {TRUE};
        ok = SetFileInformationByHandle(handle, FileDispositionInfo, &legacy, sizeof legacy);
    }
    // Read-only is checked when the disposition is set, not when the handle
    // closes ([MS-FSA] FileDispositionInformation): the other names get their
    // bit back and this one still goes.
    if ((!ok || otherNames) && readOnly) {
        DWORD error = GetLastError();
        SetAttributesOf(handle, attributes);
        SetLastError(error);
    }
    return ok;
}

// The identity of the open `handle`: its volume and its 128-bit file id
// where the file system gives one (FileIdInfo: Windows 8 and later; ReFS
// needs it, its 64-bit index not being unique), else the 64-bit index
// (Microsoft Learn, FILE_ID_INFO, BY_HANDLE_FILE_INFORMATION).
static bool IdentityOf(HANDLE handle, FILE_ID_INFO *id) {
    static bool s_idInfoRefused;
    if (!s_idInfoRefused) {
        if (GetFileInformationByHandleEx(handle, FileIdInfo, id, sizeof *id))
            return true;
        if (!UnsupportedCall(GetLastError()))
            return false;
    }
    s_idInfoRefused = true;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    *id = {};
    id->VolumeSerialNumber = info.dwVolumeSerialNumber;
    DWORD index[2] = {info.nFileIndexLow, info.nFileIndexHigh};
    memcpy(id->FileId.Identifier, index, sizeof index);
    return true;
}

bool SameFile(HANDLE a, HANDLE b) {
    FILE_ID_INFO idA, idB;
    return IdentityOf(a, &idA) && IdentityOf(b, &idB) && idA.VolumeSerialNumber == idB.VolumeSerialNumber &&
           memcmp(idA.FileId.Identifier, idB.FileId.Identifier, sizeof idA.FileId.Identifier) == 0;
}

bool DeleteFileIn(HANDLE dir, const char *name, bool evenReadOnly) {
    // FILE_NON_DIRECTORY_FILE: never a folder, as DeleteFileA; a link is
    // opened as itself (OpenRelative), so a link goes as a link.
    const ACCESS_MASK kAccess = DELETE | FILE_READ_ATTRIBUTES;
    HANDLE file = OpenRelative(dir, name, kAccess | FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    // Without the right to write its attributes, it can still go if it is not read-only.
    if (file == INVALID_HANDLE_VALUE && LastRefusal(kOpen) == kFinal)
        file = OpenRelative(dir, name, kAccess, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (file == INVALID_HANDLE_VALUE)
        return false;  // GetLastError() says why; a deletion pending counts as done
    bool ok;
    if (WineFollowedLink(dir, name, file))
        ok = Refuse(kStatusAccessDenied);  // the target is not ours, and the link cannot go alone
    else if (!evenReadOnly && (AttributesOf(file) & FILE_ATTRIBUTE_READONLY))
        ok = Refuse(kStatusAccessDenied);  // refused as DeleteFileA refuses it, for good
    else
        ok = DeleteByHandle(file);
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return ok;
}
