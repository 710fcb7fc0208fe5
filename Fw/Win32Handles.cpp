// The Windows layer's work on open files through their handles: reading and
// setting the attribute word, and deleting. A handle names one file for good,
// whatever happens to the path it was opened by.
#include <windows.h>

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

// Sets the attribute word through the handle. A word of 0 would mean "leave
// unchanged" there, so a word with nothing left says so plainly.
bool SetAttributesOf(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO basic = {};  // zero times: left as they are
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

// Deletes the open file, directory or link `handle` names. Where the system
// offers it (Windows 10 1709 on), the name goes at once and read-only does not
// stop it. Elsewhere, Wine included, the read-only bit is cleared through the
// handle (every other bit kept, and put back if the entry stays after all),
// and the entry goes when the handle closes. A non-empty directory stays.
bool DeleteByHandle(HANDLE handle) {
    FILE_DISPOSITION_INFO_EX disposition = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                            FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    if (SetFileInformationByHandle(handle, kFileDispositionInfoEx, &disposition, sizeof disposition))
        return true;
    DWORD attributes = AttributesOf(handle);
    bool readOnly = Exists(attributes) && (attributes & FILE_ATTRIBUTE_READONLY);
    if (readOnly && !SetAttributesOf(handle, attributes & ~FILE_ATTRIBUTE_READONLY))
        return false;
    FILE_DISPOSITION_INFO legacy = {TRUE};
    if (SetFileInformationByHandle(handle, FileDispositionInfo, &legacy, sizeof legacy))
        return true;
    if (readOnly)
        SetAttributesOf(handle, attributes);
    return false;
}

bool DeleteEvenReadOnly(const char *path) {
    HANDLE file = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD attributes = AttributesOf(file);
    bool ok = Exists(attributes) && !(attributes & FILE_ATTRIBUTE_DIRECTORY) && DeleteByHandle(file);
    CloseHandle(file);
    return ok;
}
