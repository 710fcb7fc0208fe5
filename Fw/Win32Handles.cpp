// The Windows layer's work on open files and folders through their handles:
// opening an entry relative to an open folder, reading and setting its
// attribute word (read-only handled here alone), deleting, renaming, reading
// and listing. A handle names one file for good, whatever happens to the path
// it was opened by. Every call that can be refused returns its NTSTATUS.
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>

#include "ReparseTag.h"
#include "TemporaryName.h"
#include "TestHooks.h"
#include "Win32Layer.h"
#include "Wtf8.h"

// ntdll's own read, in no MinGW-w64 header: its status is the read's answer.
extern "C" NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, void *apc, void *context, IO_STATUS_BLOCK *io, void *buffer,
                                     ULONG length, LARGE_INTEGER *offset, ULONG *key);

const FILE_INFORMATION_CLASS kFileBasicInformation = (FILE_INFORMATION_CLASS)4;
const FILE_INFORMATION_CLASS kFileStandardInformation = (FILE_INFORMATION_CLASS)5;
const FILE_INFORMATION_CLASS kFileRenameInformation = (FILE_INFORMATION_CLASS)10;
const FILE_INFORMATION_CLASS kFileDispositionInformation = (FILE_INFORMATION_CLASS)13;
const FILE_INFORMATION_CLASS kFileAttributeTagInformation = (FILE_INFORMATION_CLASS)35;
const FILE_INFORMATION_CLASS kFileDispositionInformationEx = (FILE_INFORMATION_CLASS)64;
const FILE_INFORMATION_CLASS kFileRenameInformationEx = (FILE_INFORMATION_CLASS)65;
const ULONG kDispositionDelete = 0x1, kDispositionPosix = 0x2, kDispositionIgnoreReadOnly = 0x10;
const ULONG kRenameReplaceIfExists = 0x1, kRenamePosixSemantics = 0x2, kRenameIgnoreReadOnly = 0x40;

static NTSTATUS QueryInfo(HANDLE handle, FILE_INFORMATION_CLASS kind, void *info, ULONG size) {
    IO_STATUS_BLOCK io;
    return NtQueryInformationFile(handle, &io, info, size, kind);
}

static NTSTATUS SetInfo(HANDLE handle, FILE_INFORMATION_CLASS kind, void *info, ULONG size) {
    IO_STATUS_BLOCK io;
    return NtSetInformationFile(handle, &io, info, size, kind);
}

// Name lookups are exact where the system lets them be (no case folding asked
// for); see docs/windows.md for when Windows folds case all the same.
static NTSTATUS OpenByName(HANDLE parent, const char *name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                           HANDLE *opened) {
    *opened = INVALID_HANDLE_VALUE;
    std::u16string wide = Utf16FromWtf8(name);
    if (wide.empty() || wide.size() > 32767)
        return kStatusObjectNameInvalid;
    UNICODE_STRING unicode;
    unicode.Buffer = (PWSTR)wide.data();
    unicode.Length = unicode.MaximumLength = (USHORT)(wide.size() * sizeof(char16_t));
    OBJECT_ATTRIBUTES attributes;
    // RootDirectory: the name is looked up in that open folder alone.
    InitializeObjectAttributes(&attributes, &unicode, 0, parent, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE handle;
    // No FILE_OPEN_FOR_BACKUP_INTENT: with a backup privilege enabled it
    // would pass by the very ACL checks the hold rule reasons about.
    auto open = [&] {
        return NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, disposition,
                            options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    };
    NTSTATUS status = open();
    if (WineRetriesAnyCase(status)) {
        attributes.Attributes = OBJ_CASE_INSENSITIVE;
        status = open();
    }
    if (Succeeded(status))
        *opened = handle;
    return status;
}

NTSTATUS OpenRelative(HANDLE parent, const char *name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                      HANDLE *opened) {
    // FILE_OPEN_REPARSE_POINT: a link is opened as itself, never what it names.
    return OpenByName(parent, name, access, share, disposition, options | FILE_OPEN_REPARSE_POINT, opened);
}

HANDLE ReopenThroughFilter(HANDLE dir, const char *name, HANDLE file, ACCESS_MASK access, ULONG options) {
    HANDLE through;
    OpenByName(dir, name, access, kShareAll, FILE_OPEN, options, &through);
    if (through != INVALID_HANDLE_VALUE && !SameFile(through, file)) {
        CloseHandle(through);
        return INVALID_HANDLE_VALUE;  // swapped since: a stranger
    }
    return through;
}

DWORD RawAttributesOf(HANDLE handle) {
    FILE_BASIC_INFO basic;
    return Succeeded(QueryInfo(handle, kFileBasicInformation, &basic, sizeof basic)) ? basic.FileAttributes
                                                                                      : INVALID_FILE_ATTRIBUTES;
}

DWORD LinkAwareAttributesOf(HANDLE handle, HANDLE parent, const char *name) {
    // With the reparse tag, which says whether a reparse point is a link; a
    // tag unknown leaves a reparse point a link.
    FILE_ATTRIBUTE_TAG_INFO info;
    DWORD taken = Succeeded(QueryInfo(handle, kFileAttributeTagInformation, &info, sizeof info))
                      ? AttributesAsTaken(info.FileAttributes, info.ReparseTag)
                      : RawAttributesOf(handle);
    if (parent && Exists(taken) && WineFollowedLink(parent, name, handle))
        taken |= FILE_ATTRIBUTE_REPARSE_POINT;
    return taken;
}

DWORD LinkAwareAttributesIn(HANDLE dir, const char *name) {
    // Attribute access alone takes part in no share check: no holder refuses it.
    HANDLE entry;
    if (!Succeeded(OpenRelative(dir, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &entry)))
        return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = LinkAwareAttributesOf(entry, dir, name);
    CloseHandle(entry);
    return attributes;
}

// Sets the attribute word through the handle. A word of 0 would mean "leave
// unchanged" there, so a word with nothing left says so plainly; zero times
// are left as they are.
static NTSTATUS SetAttributesOf(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetInfo(handle, kFileBasicInformation, &basic, sizeof basic);
}

// True when the open file has names besides this one (hard links), which
// share its attribute word, perhaps outside the tree.
static bool HasOtherNames(HANDLE handle) {
    FILE_STANDARD_INFO standard;
    return Succeeded(QueryInfo(handle, kFileStandardInformation, &standard, sizeof standard)) && standard.NumberOfLinks > 1;
}

bool LiftReadOnly(HANDLE handle, DWORD *old, bool onlyName) {
    *old = RawAttributesOf(handle);
    if (!IsReadOnly(*old))
        return Exists(*old);
    if (onlyName && HasOtherNames(handle))
        return false;
    return Succeeded(SetAttributesOf(handle, *old & ~FILE_ATTRIBUTE_READONLY));
}

void PutReadOnlyBack(HANDLE handle, DWORD old) {
    // A test build may make this fail, as a real call may: whatever it leaves
    // behind must not change what the caller's refusal means.
    if (IsReadOnly(old) && !InjectedFault("PutReadOnlyBack", ""))
        SetAttributesOf(handle, old);
}

// `change` with read-only lifted for it, and put back if it is refused. A
// read-only file is refused a deletion when its disposition is set, not when
// its handle closes: where it has other names, they get the bit back and this
// one still goes.
template <typename Change>
static NTSTATUS WithReadOnlyLifted(HANDLE handle, Change change) {
    DWORD old;
    if (!LiftReadOnly(handle, &old))
        return kStatusRefusedHere;  // read-only, and it stays so
    bool otherNames = IsReadOnly(old) && HasOtherNames(handle);
    NTSTATUS status = change();
    if (!Succeeded(status) || otherNames)
        PutReadOnlyBack(handle, old);
    return status;
}

// The disposition calls this system takes, learnt once: Windows 10 1809 and
// later take the POSIX and ignore-read-only flags together; 1607 to 1803 the
// POSIX flag alone; older releases, FAT, exFAT, most network shares and Wine
// neither.
enum { kPosixIgnoringReadOnly, kPosixAfterClearing, kLegacy };
static int s_disposition = kPosixIgnoringReadOnly;

// Sets the POSIX-semantics delete disposition (the name goes at once, even
// while another program holds the file with delete sharing) with `flags`
// added; a call this system does not know moves every later deletion down
// to `fallback`.
static NTSTATUS SetPosixDisposition(HANDLE handle, ULONG flags, int fallback) {
    ULONG disposition = kDispositionDelete | kDispositionPosix | flags;
    NTSTATUS status = SetInfo(handle, kFileDispositionInformationEx, &disposition, sizeof disposition);
    if (UnsupportedCall(status))
        s_disposition = fallback;
    return status;
}

// The deletion with POSIX semantics; kStatusNotSupported, with nothing
// changed, where the system has none.
static NTSTATUS DeletePosix(HANDLE handle) {
    if (s_disposition == kPosixIgnoringReadOnly) {
        NTSTATUS status = SetPosixDisposition(handle, kDispositionIgnoreReadOnly, kPosixAfterClearing);
        if (s_disposition == kPosixIgnoringReadOnly)
            return status;
    }
    if (s_disposition == kPosixAfterClearing) {
        NTSTATUS status = WithReadOnlyLifted(handle, [&] { return SetPosixDisposition(handle, 0, kLegacy); });
        if (s_disposition == kPosixAfterClearing)
            return status;
    }
    return kStatusNotSupported;
}

// The classic deletion: the file goes once its last handle closes, and its
// name stays listed until then.
static NTSTATUS DeleteOnClose(HANDLE handle) {
    return WithReadOnlyLifted(handle, [&] {
        BOOLEAN deleteFile = TRUE;
        return SetInfo(handle, kFileDispositionInformation, &deleteFile, sizeof deleteFile);
    });
}

NTSTATUS DeleteByHandle(HANDLE handle) {
    NTSTATUS status = DeletePosix(handle);
    return s_disposition == kLegacy && UnsupportedCall(status) ? DeleteOnClose(handle) : status;
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

// Renames the open `file` to `leaf` of the open folder `dir` through its
// handle. The call itself, not kernelbase's wrapper, which makes a name
// relative to the current directory (Wine's does): with RootDirectory the
// name is taken in that open folder.
static NTSTATUS Rename(HANDLE file, FILE_INFORMATION_CLASS kind, ULONG flags, HANDLE dir, const std::string &leaf) {
    std::u16string wide = Utf16FromWtf8(leaf.c_str());
    if (wide.size() > MAX_PATH)
        return kStatusObjectNameInvalid;
    RenameInfo info = {};
    info.flags = flags;
    info.rootDirectory = dir;
    wide.copy((char16_t *)info.name, wide.size());
    info.nameLength = (ULONG)(wide.size() * sizeof(WCHAR));
    return SetInfo(file, kind, &info, sizeof info);
}

NTSTATUS RenameByHandle(HANDLE file, HANDLE dir, const std::string &leaf) {
    return Rename(file, kFileRenameInformation, 0, dir, leaf);
}

// Deletes the open `file`, entry `name` of `dir`, after giving it a temporary
// name of its own: where a deleted file stays listed until its last handle
// closes, `name` is then free at once all the same. A deletion refused gives
// the file its name back.
static NTSTATUS DeleteUnderOwnName(HANDLE dir, const char *name, HANDLE file) {
    NTSTATUS status = kStatusNameCollision;
    for (int attempt = 0; status == kStatusNameCollision && attempt < 100; ++attempt)
        status = RenameByHandle(file, dir, VisibleTemporaryName(name, GetCurrentProcessId(), attempt));
    if (!Succeeded(status))
        return status;
    status = DeleteByHandle(file);
    if (!Succeeded(status))
        RenameByHandle(file, dir, name);
    return status;
}

NTSTATUS DeleteFileIn(HANDLE dir, const char *name, bool evenReadOnly, bool nameAtOnce) {
    // FILE_NON_DIRECTORY_FILE: never a folder, as DeleteFileA; a link is
    // opened as itself (OpenRelative), so a link goes as a link.
    const ACCESS_MASK kAccess = DELETE | FILE_READ_ATTRIBUTES;
    HANDLE file;
    NTSTATUS status = OpenRelative(dir, name, kAccess | FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &file);
    // Without the right to write its attributes, it can still go if it is not read-only.
    if (status == kStatusAccessDenied)
        status = OpenRelative(dir, name, kAccess, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &file);
    if (!Succeeded(status))
        return status;  // a deletion pending counts as done (RetryWhileHeld)
    // A test build may make this query fail, as a real one may.
    DWORD attributes = InjectedFault("ReadOnlyQuery", name) ? INVALID_FILE_ATTRIBUTES : RawAttributesOf(file);
    if (WineFollowedLink(dir, name, file))
        status = kStatusRefusedHere;  // the target is not ours, and the link cannot go alone
    else if (!evenReadOnly && (!Exists(attributes) || IsReadOnly(attributes)))
        status = kStatusRefusedHere;  // refused as DeleteFileA refuses it, for good; not knowing is no answer
    else if (nameAtOnce && UnsupportedCall(status = DeletePosix(file)))
        status = DeleteUnderOwnName(dir, name, file);
    else if (!nameAtOnce)
        status = DeleteByHandle(file);
    CloseHandle(file);
    return status;
}

// One replacing rename. Windows refuses it with one code, access denied,
// both while the file it would replace is open elsewhere and where something
// else forbids it (the file's ACL, the folder's). An open of that file for
// DELETE sharing nothing tells them apart: a sharing violation means another
// program has it open, and success means no one does, so the refusal is
// final (Classify).
static NTSTATUS ReplaceOnce(HANDLE temp, FILE_INFORMATION_CLASS kind, ULONG flags, HANDLE dir, const std::string &leaf) {
    NTSTATUS status = Rename(temp, kind, flags, dir, leaf);
    if (status != kStatusAccessDenied)
        return status;
    HANDLE target;
    NTSTATUS probe = OpenRelative(dir, leaf.c_str(), DELETE, 0, FILE_OPEN, 0, &target);
    if (!Succeeded(probe))
        return probe;  // a holder's sharing violation, or the open's own answer
    CloseHandle(target);
    return status;
}

// Windows 10 1809 and later rename over a file that another program holds
// with delete sharing (a scanner, the indexer), and over a read-only one when
// asked to; older systems, FAT, shares and Wine refuse the class itself, and
// then the plain rename by handle does it.
static bool s_noRenameEx;

// The plain rename over `leaf` of `dir` with its read-only bit lifted, for a
// destination the helper may replace though read-only: lifted through a
// handle, which closes before the rename (an open destination refuses the
// plain rename), and put back if the rename fails. A file with other names
// is left alone: the bit is theirs too, and may be a user's outside.
static NTSTATUS RenameOverReadOnly(HANDLE temp, HANDLE dir, const std::string &leaf) {
    const ACCESS_MASK kAttributes = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    HANDLE dest;
    NTSTATUS status = OpenRelative(dir, leaf.c_str(), kAttributes, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &dest);
    if (!Succeeded(status))
        return status;
    DWORD old;
    bool lifted = LiftReadOnly(dest, &old, true);
    CloseHandle(dest);
    if (!lifted)
        return kStatusRefusedHere;
    status = RetryWhileHeld(kReplace, [&] { return ReplaceOnce(temp, kFileRenameInformation, TRUE, dir, leaf); });
    if (!Succeeded(status) && Succeeded(OpenRelative(dir, leaf.c_str(), kAttributes, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &dest))) {
        PutReadOnlyBack(dest, old);
        CloseHandle(dest);
    }
    return status;
}

NTSTATUS ReplaceWithTemporary(HANDLE temp, HANDLE dir, const std::string &leaf, bool evenReadOnly, bool readOnlyThere) {
    if (!s_noRenameEx) {
        ULONG flags = kRenameReplaceIfExists | kRenamePosixSemantics | (evenReadOnly ? kRenameIgnoreReadOnly : 0);
        NTSTATUS status = RetryWhileHeld(kReplace, [&] { return ReplaceOnce(temp, kFileRenameInformationEx, flags, dir, leaf); });
        if (!UnsupportedCall(status))
            return status;
        s_noRenameEx = true;
    }
    // The plain rename replaces no destination another program holds, and on
    // Windows no read-only one (Wine replaces that regardless; the caller has
    // checked the bit): over a read-only one it goes only with the bit lifted.
    if (evenReadOnly && readOnlyThere)
        return RenameOverReadOnly(temp, dir, leaf);
    return RetryWhileHeld(kReplace, [&] { return ReplaceOnce(temp, kFileRenameInformation, TRUE, dir, leaf); });
}

NTSTATUS ReadSome(HANDLE file, void *buffer, DWORD size, DWORD *got) {
    // A byte range another program locked refuses the read, not the open:
    // waited for as any hold.
    return RetryWhileHeld(kRead, [&] {
        IO_STATUS_BLOCK io = {};
        NTSTATUS status = NtReadFile(file, nullptr, nullptr, nullptr, &io, buffer, size, nullptr, nullptr);
        *got = Succeeded(status) ? (DWORD)io.Information : 0;
        return status == kStatusEndOfFile ? kStatusSuccess : status;
    });
}

// The identity of the open `handle`: its volume and its 128-bit file id
// where the file system gives one (Windows 8 and later; ReFS needs it, its
// 64-bit index not being unique), else the 64-bit index. Not known is never
// the same: no status is needed.
static bool IdentityOf(HANDLE handle, FILE_ID_INFO *id) {
    static bool s_idInfoRefused;
    if (!s_idInfoRefused) {
        if (GetFileInformationByHandleEx(handle, FileIdInfo, id, sizeof *id))
            return true;
        if (!UnsupportedCall(StatusOfWin32Error(GetLastError())))
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

// Every listing asks for FileIdBothDirectoryInfo, which carries Wine's short
// names, until a file system refuses that class (some redirectors do); from
// then on for FileFullDirectoryInfo, which every one takes.
static bool s_idsRefused, s_idsAsked;

NTSTATUS FetchListing(HANDLE dir, bool restart, void *buffer, DWORD size, bool *byIds) {
    if (!s_idsAsked) {
        s_idsAsked = true;
        s_idsRefused = InjectedFault("ListingByIds", "");
    }
    // The listing's status only says whether it ended or a class is unknown;
    // no hold rule applies to it, so the Win32 call's error suffices.
    auto fetch = [&](FILE_INFO_BY_HANDLE_CLASS kind) {
        return GetFileInformationByHandleEx(dir, kind, buffer, size) ? kStatusSuccess : StatusOfWin32Error(GetLastError());
    };
    if (!s_idsRefused) {
        *byIds = true;
        NTSTATUS status = fetch(restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo);
        if (!UnsupportedCall(status))
            return status;
        s_idsRefused = true;
    }
    *byIds = false;
    return fetch(restart ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo);
}

// EaSize holds the entry's reparse tag where its word has the reparse-point
// bit.
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
