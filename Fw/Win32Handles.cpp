// The Windows layer's work on open files through their handles: reading and
// setting the attribute word, and deleting. A handle names one file for good,
// whatever happens to the path it was opened by.
#include <windows.h>

#include "ReparseTag.h"
#include "Win32Layer.h"

// In ntdll since Windows XP, but in no MinGW-w64 header.
extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

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

// True when the open `a` and `b` are one and the same file.
bool SameFile(HANDLE a, HANDLE b) {
    // Volume serial number and file index identify a file on NTFS and FAT (Microsoft Learn,
    // BY_HANDLE_FILE_INFORMATION; on ReFS the 64-bit index may not be unique).
    BY_HANDLE_FILE_INFORMATION infoA, infoB;
    return GetFileInformationByHandle(a, &infoA) && GetFileInformationByHandle(b, &infoB) &&
           infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber && infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
}

bool DeletePending() {
    // STATUS_DELETE_PENDING: a delete is pending on the file ([MS-ERREF] NTSTATUS values).
    const NTSTATUS kDeletePending = (NTSTATUS)0xC0000056L;
    return RtlGetLastNtStatus() == kDeletePending;
}

bool DeleteEvenReadOnly(const char *path) {
    // Read-only refuses nothing here, so no refusal is taken for final on its
    // account.
    return RetryWhileHeld(nullptr, [&] {
        // FILE_FLAG_OPEN_REPARSE_POINT opens a link as itself (Microsoft Learn, CreateFileW).
        HANDLE file = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return DeletePending();  // on its way out already
        DWORD attributes = AttributesOf(file);
        bool isFile = Exists(attributes) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
        bool ok = isFile && DeleteByHandle(file);
        DWORD error = isFile ? GetLastError() : ERROR_DIRECTORY;
        CloseHandle(file);
        SetLastError(error);
        return ok;
    });
}
