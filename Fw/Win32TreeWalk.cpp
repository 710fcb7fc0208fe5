// The Windows layer's directory seam: the removal walk works on open handles,
// never on paths below the root. Each directory is listed through its handle
// in UTF-16, and each entry is opened relative to its parent's handle by its
// one-component name, exactly as listed: no code page, no MAX_PATH, no
// trailing-dot or trailing-blank stripping and no device names, all of which
// the path-based narrow functions would apply. A folder swapped for a
// junction after the listing cannot redirect anything: nothing is resolved
// from a path again, and a reparse point is opened as itself.
#include <windows.h>
#include <winternl.h>

#include <cwchar>
#include <string>

#include "Platform.h"
#include "TestHooks.h"
#include "Win32Layer.h"
#include "Wtf8.h"

struct TreeDir {
    HANDLE handle;
    bool more;          // the listing may hold entries not yet fetched
    ULONG next;         // offset of the next record in `listing`; kNone when used up
    std::string name;   // the entry last handed out, in WTF-8
    // Enough for any one entry (a 255-character name); one per open level, so
    // memory grows with depth only, never with a directory's width.
    alignas(8) char listing[2048];
};

const ULONG kNone = ~0UL;

// Opens the entry `name` (WTF-8) of the open directory `parent` as itself,
// never through a link, and never by a path resolved from anywhere else.
// Name lookups are exact where the file system allows (no case folding
// asked for), so names differing only in case each reach their own entry.
static HANDLE OpenRelative(HANDLE parent, const char *name, ACCESS_MASK access, ULONG options) {
    std::u16string wide = Utf16FromWtf8(name);
    if (wide.empty() || wide.size() > 32767)
        return INVALID_HANDLE_VALUE;
    UNICODE_STRING unicode;
    unicode.Buffer = (PWSTR)wide.data();
    unicode.Length = unicode.MaximumLength = (USHORT)(wide.size() * sizeof(char16_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, 0, parent, nullptr);
    IO_STATUS_BLOCK status;
    HANDLE handle;
    auto open = [&] {
        return NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr, 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                            options | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT,
                            nullptr, 0);
    };
    NTSTATUS result = open();
    // Wine lists a Unix name no Windows name can hold (one with \ * ? < >)
    // under a mangled short name, which only a case-insensitive lookup finds.
    // Still one name in the same open directory: it cannot reach outside it.
    const NTSTATUS kNameNotFound = (NTSTATUS)0xC0000034L;
    if (result == kNameNotFound) {
        attributes.Attributes = OBJ_CASE_INSENSITIVE;
        result = open();
    }
    return result >= 0 ? handle : INVALID_HANDLE_VALUE;
}

// Makes a TreeDir of an open handle, if it is a real directory: a link (a
// junction, a symbolic link, a mounted folder) is never listed.
static TreeDir *AdoptDirectory(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    DWORD attributes = AttributesOf(handle);
    if (!Exists(attributes) || !(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(handle);
        return nullptr;
    }
    TreeDir *dir = new TreeDir;
    dir->handle = handle;
    dir->more = true;
    dir->next = kNone;
    return dir;
}

const DWORD kDirAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// Opens the root by its fixed path (short ASCII), as itself, never through a
// link; everything below it goes by handle.
static HANDLE OpenRoot(const char *path, DWORD access) {
    return CreateFileA(path, access | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A folder we may list but whose attributes we may not change still gets
// emptied as far as it can: without the right to write its attributes.
const DWORD kListOnly = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;

TreeDir *OpenTreeRoot(const char *path) {
    if (InjectedFault("OpenTreeRoot", path))
        return nullptr;
    HANDLE handle = OpenRoot(path, kDirAccess);
    return AdoptDirectory(handle != INVALID_HANDLE_VALUE ? handle : OpenRoot(path, kListOnly));
}

TreeDir *OpenTreeChild(TreeDir *parent, const char *name) {
    if (InjectedFault("OpenTreeChild", name))
        return nullptr;
    HANDLE handle = OpenRelative(parent->handle, name, kDirAccess, FILE_DIRECTORY_FILE);
    return AdoptDirectory(handle != INVALID_HANDLE_VALUE ? handle
                                                          : OpenRelative(parent->handle, name, kListOnly, FILE_DIRECTORY_FILE));
}

// Read through the handle: the listing's word may be stale, and the root has
// none.
void MakeTreeDirWritable(TreeDir *dir) {
    if (InjectedFault("MakeTreeDirWritable", ""))
        return;
    DWORD attributes = AttributesOf(dir->handle);
    if (Exists(attributes) && (attributes & FILE_ATTRIBUTE_READONLY))
        SetAttributesOf(dir->handle, attributes & ~FILE_ATTRIBUTE_READONLY);
}

// False for a name holding a character no Windows file name may hold.
static bool IsWindowsName(const WCHAR *name, DWORD length) {
    for (DWORD i = 0; i < length; ++i) {
        if (name[i] < 0x20 || wcschr(L"\\/:*?\"<>|", name[i]))
            return false;
    }
    return true;
}

bool ReadTreeEntry(TreeDir *dir, TreeEntry *entry) {
    if (InjectedFault("ReadTreeEntry", ""))
        return false;
    if (dir->next == kNone) {
        // FALSE with ERROR_NO_MORE_FILES at the end; any other failure ends
        // the listing too, and what was not reached stays.
        if (!dir->more || !GetFileInformationByHandleEx(dir->handle, FileIdBothDirectoryInfo, dir->listing, sizeof dir->listing)) {
            dir->more = false;
            return false;
        }
        dir->next = 0;
    }
    const FILE_ID_BOTH_DIR_INFO *info = (const FILE_ID_BOTH_DIR_INFO *)(dir->listing + dir->next);
    dir->next = info->NextEntryOffset ? dir->next + info->NextEntryOffset : kNone;
    const WCHAR *name = info->FileName;
    DWORD length = info->FileNameLength / sizeof(WCHAR);
    // Wine lists a Unix name Windows could not hold (with \ * ? < > and the
    // like) as it is, which no open can take; its short name reaches it.
    if (!IsWindowsName(name, length) && info->ShortNameLength) {
        name = info->ShortName;
        length = info->ShortNameLength / sizeof(WCHAR);
    }
    dir->name = Wtf8FromUtf16((const char16_t *)name, length);
    entry->name = dir->name.c_str();
    entry->attributes = info->FileAttributes;
    EntryListed(entry->name);
    return true;
}

// Goes as whatever the entry is now, opened as itself: a link is removed as a
// link, never its target; a directory only if it is empty.
bool DeleteTreeEntry(TreeDir *dir, const char *name, unsigned) {
    if (InjectedFault("DeleteTreeEntry", name))
        return false;
    HANDLE handle = OpenRelative(dir->handle, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0);
    // Without the right to write its attributes, it can still go if it is not
    // read-only.
    if (handle == INVALID_HANDLE_VALUE)
        handle = OpenRelative(dir->handle, name, DELETE | FILE_READ_ATTRIBUTES, 0);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool ok = DeleteByHandle(handle);
    CloseHandle(handle);
    return ok;
}

void CloseTreeDir(TreeDir *dir) {
    CloseHandle(dir->handle);
    delete dir;
}

bool RemoveTreeRoot(const char *path) {
    if (InjectedFault("RemoveTreeRoot", path))
        return false;
    HANDLE handle = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    // Only a directory, or a link in its place (which goes as a link).
    DWORD attributes = AttributesOf(handle);
    bool ok = Exists(attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) && DeleteByHandle(handle);
    CloseHandle(handle);
    return ok;
}
