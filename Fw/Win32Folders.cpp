// The Windows layer's folders by handle: opening an entry relative to an open
// folder, holding the folders on the way to a fixed path so that the path
// cannot change while a command works there, and listing a folder through
// its handle.
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>

#include "ReparseTag.h"
#include "TestHooks.h"
#include "Win32Layer.h"
#include "Wtf8.h"


// Name lookups are exact where the file system allows (no case folding asked
// for), so names differing only in case each reach their own entry.
static HANDLE OpenByName(HANDLE parent, const char *name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                         NTSTATUS *status) {
    std::u16string wide = Utf16FromWtf8(name);
    NTSTATUS result = (NTSTATUS)0xC0000033L;  // STATUS_OBJECT_NAME_INVALID
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!wide.empty() && wide.size() <= 32767) {
        UNICODE_STRING unicode;
        unicode.Buffer = (PWSTR)wide.data();
        unicode.Length = unicode.MaximumLength = (USHORT)(wide.size() * sizeof(char16_t));
        OBJECT_ATTRIBUTES attributes;
        // RootDirectory: the name is looked up in that open folder alone
        // (Microsoft Learn, OBJECT_ATTRIBUTES).
        InitializeObjectAttributes(&attributes, &unicode, 0, parent, nullptr);
        IO_STATUS_BLOCK io;
        auto open = [&] {
            return NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, disposition,
                                options | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT,
                                nullptr, 0);
        };
        result = open();
        if (WineRetriesAnyCase(result)) {
            attributes.Attributes = OBJ_CASE_INSENSITIVE;
            result = open();
        }
    }
    if (status)
        *status = result;
    if (result < 0) {
        SetLastError(RtlNtStatusToDosError(result));
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

HANDLE OpenRelative(HANDLE parent, const char *name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                    NTSTATUS *status) {
    // FILE_OPEN_REPARSE_POINT opens a link as itself, never what it names
    // (Microsoft Learn, NtCreateFile, CreateOptions).
    return OpenByName(parent, name, access, share, disposition, options | FILE_OPEN_REPARSE_POINT, status);
}

HANDLE ReopenThroughFilter(HANDLE dir, const char *name, HANDLE file, ACCESS_MASK access, ULONG options) {
    HANDLE through = OpenByName(dir, name, access, kShareAll, FILE_OPEN, options, nullptr);
    if (through != INVALID_HANDLE_VALUE && !SameFile(through, file)) {
        CloseHandle(through);
        return INVALID_HANDLE_VALUE;  // swapped since: a stranger
    }
    return through;
}

DWORD TakenAttributesAs(HANDLE handle, HANDLE parent, const char *name) {
    DWORD taken = TakenAttributesOf(handle);
    if (Exists(taken) && WineFollowedLink(parent, name, handle))
        taken |= FILE_ATTRIBUTE_REPARSE_POINT;
    return taken;
}

DWORD EntryAttributesIn(HANDLE dir, const char *name) {
    // Attribute access alone takes part in no share check: no holder refuses it ([MS-FSA] Open, share access).
    HANDLE entry = OpenRelative(dir, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
    if (entry == INVALID_HANDLE_VALUE)
        return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = TakenAttributesAs(entry, dir, name);
    CloseHandle(entry);
    return attributes;
}

// Listing access takes part in share checks ([MS-FSA] Open, share access),
// so the hold below counts: a handle
// without FILE_SHARE_DELETE makes Windows refuse every open for DELETE, and
// with it every rename or deletion of the folder, until it closes
// (Microsoft Learn, CreateFileW, dwShareMode). Reading and writing stay
// shared: other programs go on, and so do the command's own files inside.
const ACCESS_MASK kHoldAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
const ULONG kHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

void ReleaseFolders(HeldFolders *held) {
    while (held->count > 0)
        CloseHandle(held->levels[--held->count]);
}

// Opens one level with `open(access, share)`: held, where no other program
// stands in the way. One that already holds the folder with DELETE access,
// or without read sharing, would refuse the hold for as long as it stays:
// then the level is only opened, with delete sharing, and at last with no
// access that takes part in share checks. The command still works through
// the handle, so it still acts in the very folder it checked.
template <typename Open>
static HANDLE OpenLevel(Open open) {
    HANDLE level = open(kHoldAccess, kHoldShare);
    if (level == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        level = open(kHoldAccess, kShareAll);
    if (level == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        level = open(FILE_READ_ATTRIBUTES, kShareAll);
    return level;
}

bool HoldFolders(const char *path, HeldFolders *held, std::string *leaf) {
    held->count = 0;
    HANDLE level = INVALID_HANDLE_VALUE;
    RetryWhileHeld(kOpen, [&] {
        level = OpenLevel([](ACCESS_MASK access, ULONG share) {
            return CreateFileA(".", access | SYNCHRONIZE, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        });
        return level != INVALID_HANDLE_VALUE;
    });
    if (level == INVALID_HANDLE_VALUE)
        return false;
    held->levels[held->count++] = level;
    const char *start = path;
    for (const char *separator; (separator = strchr(start, '\\')); start = separator + 1) {
        const std::string name(start, separator);
        HANDLE parent = InnermostFolder(*held);
        level = INVALID_HANDLE_VALUE;
        if (held->count < (int)(sizeof held->levels / sizeof held->levels[0])) {
            RetryWhileHeld(kOpen, [&] {
                level = OpenLevel([&](ACCESS_MASK access, ULONG share) {
                    return OpenRelative(parent, name.c_str(), access, share, FILE_OPEN, FILE_DIRECTORY_FILE);
                });
                return level != INVALID_HANDLE_VALUE;
            });
        }
        if (level == INVALID_HANDLE_VALUE) {
            ReleaseFolders(held);
            return false;
        }
        // Wine quirk: a folder renames while a folder inside it is open, so every level stays held.
        held->levels[held->count++] = level;
        // Checked by the handle held from now on: a link planted as
        // "sa\ruleset" must not steer a command outside.
        DWORD attributes = TakenAttributesAs(level, parent, name.c_str());
        if (!IsRealFolder(attributes)) {
            ReleaseFolders(held);
            SetLastError(ERROR_CANT_ACCESS_FILE);  // there, but no folder of ours: never "not found"
            return false;
        }
    }
    *leaf = start;
    return true;
}

// Every listing asks for FileIdBothDirectoryInfo, which carries Wine's short
// names, until a file system refuses that class (some redirectors do); from
// then on for FileFullDirectoryInfo, which every one takes.
static bool s_idsRefused, s_idsAsked;

bool FetchListing(HANDLE dir, bool restart, void *buffer, DWORD size, bool *byIds) {
    if (!s_idsAsked) {
        s_idsAsked = true;
        s_idsRefused = InjectedFault("ListingByIds", "");
    }
    // False with ERROR_NO_MORE_FILES once the listing is done (Microsoft Learn, GetFileInformationByHandleEx).
    if (!s_idsRefused) {
        *byIds = true;
        if (GetFileInformationByHandleEx(dir, restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo, buffer, size))
            return true;
        if (!UnsupportedCall(GetLastError()))
            return false;
        s_idsRefused = true;
    }
    *byIds = false;
    return GetFileInformationByHandleEx(dir, restart ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo, buffer, size);
}

// EaSize holds the entry's reparse tag where its word has the reparse-point
// bit ([MS-FSCC] FileIdBothDirectoryInformation, FileFullDirectoryInformation).
void ReadListing(const void *buffer, bool byIds, ULONG *offset, ListedEntry *entry) {
    const char *record = (const char *)buffer + *offset;
    ULONG next;
    if (byIds) {
        const FILE_ID_BOTH_DIR_INFO *info = (const FILE_ID_BOTH_DIR_INFO *)record;
        entry->name = info->FileName;
        entry->length = info->FileNameLength / sizeof(WCHAR);
        entry->attributes = AttributesAsTaken(info->FileAttributes, info->EaSize);
        entry->shortName = info->ShortNameLength ? info->ShortName : nullptr;
        entry->shortLength = info->ShortNameLength / sizeof(WCHAR);
        next = info->NextEntryOffset;
    } else {
        const FILE_FULL_DIR_INFO *info = (const FILE_FULL_DIR_INFO *)record;
        entry->name = info->FileName;
        entry->length = info->FileNameLength / sizeof(WCHAR);
        entry->attributes = AttributesAsTaken(info->FileAttributes, info->EaSize);
        entry->shortName = nullptr;
        entry->shortLength = 0;
        next = info->NextEntryOffset;
    }
    *offset = next ? *offset + next : kListingEnd;
}
