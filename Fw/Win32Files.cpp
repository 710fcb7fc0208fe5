// The Windows layer's fixed paths: looking at, deleting and renaming the
// helper's own files by the paths the installer knows, each reached through
// the folders on the way, held open, and never through a link.
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Platform.h"
#include "ReparseTag.h"
#include "TemporaryName.h"
#include "TestHooks.h"
#include "Win32Layer.h"
#include "Wtf8.h"

// The runtime must not expand wildcards into argv. The helper splits its own
// command line anyway; this pins the runtime's side of it too.
extern "C" {
int _dowildcard = 0;
}

void GetCommandArguments(int *argc, char ***argv) {
    // The runtime's argv halves backslashes before a quote; the installer's
    // scripts expect the helper's own rule, so split the raw line here.
    // Windows quirk: GetCommandLineA best-fits non-ASCII to ASCII look-alikes, so split the UTF-16 line.
    // As WTF-8, every non-ASCII unit stays bytes from 0x80 up, which no command word matches.
    static std::vector<std::string> args;
    static std::vector<char *> pointers;
    for (const std::u16string &arg : SplitCommandLine((const char16_t *)GetCommandLineW()))
        args.push_back(Wtf8FromUtf16(arg.data(), arg.size()));
    for (std::string &arg : args)
        pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    *argc = (int)args.size();
    *argv = pointers.data();
}

void SplitFixedPath(const char *path, std::string *folder, std::string *leaf) {
    std::string whole = path;
    size_t separator = whole.rfind('\\');
    *folder = separator == std::string::npos ? "" : whole.substr(0, separator + 1);
    *leaf = whole.substr(folder->size());
}

NTSTATUS OpenByPath(const char *path, ACCESS_MASK access, ULONG share, ULONG options, HANDLE *opened) {
    // By NtCreateFile, as every other open, so that its status is a value
    // too: the path made full, as CreateFileA would, in the NT namespace.
    *opened = INVALID_HANDLE_VALUE;
    std::u16string given = Utf16FromWtf8(path);
    std::wstring dos(GetFullPathNameW((LPCWSTR)given.c_str(), 0, nullptr, nullptr), L'\0');
    dos.resize(GetFullPathNameW((LPCWSTR)given.c_str(), (DWORD)dos.size(), &dos[0], nullptr));
    std::wstring nt = dos.compare(0, 4, L"\\\\?\\") == 0 ? L"\\??\\" + dos.substr(4)
                      : dos.compare(0, 2, L"\\\\") == 0  ? L"\\??\\UNC\\" + dos.substr(2)
                                                          : L"\\??\\" + dos;
    if (dos.empty() || nt.size() > 32767)
        return kStatusObjectNameInvalid;
    UNICODE_STRING unicode;
    unicode.Buffer = &nt[0];
    unicode.Length = unicode.MaximumLength = (USHORT)(nt.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE handle;
    NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, FILE_OPEN,
                                   options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (Succeeded(status))
        *opened = handle;
    return status;
}

// Listing access takes part in share checks, so the hold below counts: a
// handle without FILE_SHARE_DELETE makes Windows refuse every open for
// DELETE, and with it every rename or deletion of the folder, until it
// closes. Reading and writing stay shared: other programs go on, and so do
// the command's own files inside.
const ACCESS_MASK kHoldAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
const ULONG kHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

void ReleaseFolders(HeldFolders *held) {
    for (HANDLE level : held->levels)
        CloseHandle(level);
    held->levels.clear();
}

// Opens one level with `open(access, share, &level)`: held, where no other
// program stands in the way. One that already holds the folder with DELETE
// access, or without read sharing, would refuse the hold for as long as it
// stays: then the level is only opened, with delete sharing, and at last
// with no access that takes part in share checks. The command still works
// through the handle, so it still acts in the very folder it checked.
template <typename Open>
static NTSTATUS OpenLevel(Open open, HANDLE *level) {
    NTSTATUS status = open(kHoldAccess, kHoldShare, level);
    if (status == kStatusSharingViolation)
        status = open(kHoldAccess, kShareAll, level);
    if (status == kStatusSharingViolation)
        status = open(FILE_READ_ATTRIBUTES, kShareAll, level);
    return status;
}

NTSTATUS HoldFolders(const char *path, HeldFolders *held, std::string *leaf) {
    held->levels.clear();
    HANDLE level;
    NTSTATUS status = RetryWhileHeld(kOpen, [&] {
        return OpenLevel([](ACCESS_MASK access, ULONG share, HANDLE *opened) {
            return OpenByPath(".", access, share, FILE_DIRECTORY_FILE, opened);
        }, &level);
    });
    if (!Succeeded(status))
        return status;
    held->levels.push_back(level);
    const char *start = path;
    for (const char *separator; (separator = strchr(start, '\\')); start = separator + 1) {
        const std::string name(start, separator);
        HANDLE parent = InnermostFolder(*held);
        status = RetryWhileHeld(kOpen, [&] {
            return OpenLevel(
                [&](ACCESS_MASK access, ULONG share, HANDLE *opened) {
                    return OpenRelative(parent, name.c_str(), access, share, FILE_OPEN, FILE_DIRECTORY_FILE, opened);
                },
                &level);
        });
        if (!Succeeded(status)) {
            ReleaseFolders(held);
            return status;
        }
        // Wine quirk: a folder renames while a folder inside it is open, so every level stays held.
        held->levels.push_back(level);
        // Checked by the handle held from now on: a link planted as
        // "sa\ruleset" must not steer a command outside.
        if (!IsRealFolder(LinkAwareAttributesOf(level, parent, name.c_str()))) {
            ReleaseFolders(held);
            return kStatusRefusedHere;  // there, but no folder of ours: never "not found"
        }
    }
    *leaf = start;
    if (WineCaseTwin(InnermostFolder(*held), start)) {
        ReleaseFolders(held);
        return kStatusRefusedHere;  // which of the two the name means, Wine decides call by call
    }
    return kStatusSuccess;
}

// The attribute word of the fixed path `path`, as the helper takes it, read
// through the folders on the way held open and checked.
static DWORD FixedPathAttributes(const char *path) {
    HeldFolders held;
    std::string leaf;
    if (!Succeeded(HoldFolders(path, &held, &leaf)))
        return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = LinkAwareAttributesIn(InnermostFolder(held), leaf.c_str());
    ReleaseFolders(&held);
    return attributes;
}

bool IsRegularFile(const char *path) {
    if (InjectedFault("IsRegularFile", path))
        return false;
    return IsPlainFile(FixedPathAttributes(path));
}

static bool NotThere(NTSTATUS status) {
    return status == kStatusObjectNameNotFound || status == kStatusObjectPathNotFound;
}

bool IsAbsent(const char *path) {
    if (InjectedFault("IsAbsent", path))
        return false;
    HeldFolders held;
    std::string leaf;
    NTSTATUS status = HoldFolders(path, &held, &leaf);
    if (!Succeeded(status))
        return NotThere(status);
    // Reading attributes conflicts with no other program's sharing: a held
    // file opens, and so counts as there.
    HANDLE file;
    status = OpenRelative(InnermostFolder(held), leaf.c_str(), FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &file);
    if (Succeeded(status))
        CloseHandle(file);
    ReleaseFolders(&held);
    return NotThere(status);
}

// Deletes the file (or link, as a link) at the fixed path `path`: never a
// folder, never what a link points to. Tried again while another program
// holds it; a file whose deletion is already pending counts as deleted.
static NTSTATUS DeleteFixedFile(const char *path, bool evenReadOnly, bool nameAtOnce) {
    HeldFolders held;
    std::string leaf;
    NTSTATUS status = HoldFolders(path, &held, &leaf);
    if (!Succeeded(status))
        return status;
    HANDLE dir = InnermostFolder(held);
    status = RetryWhileHeld(kDelete, [&] { return DeleteFileIn(dir, leaf.c_str(), evenReadOnly, nameAtOnce); });
    ReleaseFolders(&held);
    return status;
}

bool DeleteUnlessReadOnly(const char *path) {
    if (InjectedFault("DeleteUnlessReadOnly", path))
        return false;
    return Succeeded(DeleteFixedFile(path, false, false));
}

bool DeleteConsumedCopy(const char *path) {
    if (InjectedFault("DeleteConsumedCopy", path))
        return false;
    // Read-only or not; and the name goes at once even where the file
    // system keeps a deleted file listed while a scanner holds it: the
    // installer checks that a consumed saved copy is gone.
    return Succeeded(DeleteFixedFile(path, true, true));
}

// Renames the file at the fixed path `from` to the fixed path `to`, never
// replacing: opened as itself through the folders on the way to it, and
// renamed through its handle into the folder held for `to`. A file open
// elsewhere without delete sharing is waited for, and so is a name whose
// deletion is still pending; a running image renames, though it does not
// delete.
static NTSTATUS RenameFixedFile(const char *from, const char *to) {
    HeldFolders fromHeld, toHeld;
    std::string fromLeaf, toLeaf;
    NTSTATUS status = HoldFolders(from, &fromHeld, &fromLeaf);
    if (!Succeeded(status))
        return status;
    status = HoldFolders(to, &toHeld, &toLeaf);
    if (Succeeded(status)) {
        HANDLE dir = InnermostFolder(fromHeld);
        status = RetryWhileHeld(kRename, [&] {
            HANDLE file;
            NTSTATUS opened = OpenRelative(dir, fromLeaf.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                                           FILE_NON_DIRECTORY_FILE, &file);
            if (!Succeeded(opened))
                return opened;
            // Under Wine a link's handle is its target's, which is not ours to move.
            NTSTATUS renamed = WineFollowedLink(dir, fromLeaf.c_str(), file) ? kStatusRefusedHere
                                                                              : RenameByHandle(file, InnermostFolder(toHeld), toLeaf);
            CloseHandle(file);
            return renamed;
        });
        ReleaseFolders(&toHeld);
    }
    ReleaseFolders(&fromHeld);
    return status;
}

bool MoveFileNoReplace(const char *from, const char *to) {
    if (InjectedFault("MoveFileNoReplace", from))
        return false;
    return Succeeded(RenameFixedFile(from, to));
}

long long SetAsideFile(const char *path) {
    if (InjectedFault("SetAsideFile", path))
        return -1;
    // DeleteFileA would refuse a read-only file or a folder: so is setting it
    // aside, which stands for that deletion; a link is not ours to move.
    DWORD attributes = FixedPathAttributes(path);
    if (!IsPlainFile(attributes) || IsReadOnly(attributes))
        return -1;
    std::string folder, leaf;
    SplitFixedPath(path, &folder, &leaf);
    // A fresh number, never one an earlier run may have registered for
    // deletion at the next restart; a name someone took is passed by.
    unsigned long long n = FreshSetAsideNumber();
    for (int attempt = 0; attempt < 100; ++attempt, ++n) {
        NTSTATUS status = RenameFixedFile(path, (folder + SetAsideName(leaf, n)).c_str());
        if (Succeeded(status))
            return (long long)n;
        if (status != kStatusNameCollision)
            return -1;
    }
    return -1;
}

void DropSetAside(const char *path) {
    if (InjectedFault("DropSetAside", path))
        return;
    HeldFolders held;
    std::string leaf;
    if (!Succeeded(HoldFolders(path, &held, &leaf)))
        return;
    HANDLE dir = InnermostFolder(held);
    std::string folder(path, strlen(path) - leaf.size());
    ForEachEntryIn(dir, [&](const std::string &name, DWORD attributes) {
        if (!IsSetAsideName(name.c_str(), leaf) || !IsPlainFile(attributes))
            return;
        NTSTATUS status = RetryWhileHeld(kDeleteLeftover, [&] { return DeleteFileIn(dir, name.c_str(), false); });
        // A program still runs from it (a service not restarted since): it
        // will not end within this run, so it is not waited for. A null new
        // name deletes it at the next restart, for administrators;
        // otherwise a later run's sweep takes it.
        if (status == kStatusCannotDelete || Classify(kDelete, status) == kHeld)
            MoveFileExA((folder + name).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    });
    ReleaseFolders(&held);
}

bool IsLinkPath(const char *path) {
    if (InjectedFault("IsLinkPath", path))
        return false;
    DWORD attributes = FixedPathAttributes(path);
    return Exists(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Removes the link at the fixed path `path` itself, opened as itself, file
// link or folder link alike: deleting a reparse point removes the point,
// never its target.
bool RemoveLinkPath(const char *path) {
    if (InjectedFault("RemoveLinkPath", path) || WineKeepsLinks())
        return false;
    HeldFolders held;
    std::string leaf;
    if (!Succeeded(HoldFolders(path, &held, &leaf)))
        return false;
    HANDLE dir = InnermostFolder(held);
    NTSTATUS status = RetryWhileHeld(kDelete, [&] {
        HANDLE link;
        NTSTATUS opened = OpenRelative(dir, leaf.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &link);
        if (!Succeeded(opened))
            return opened;
        DWORD attributes = LinkAwareAttributesOf(link);
        bool isLink = Exists(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        NTSTATUS deleted = isLink ? DeleteByHandle(link) : kStatusRefusedHere;
        CloseHandle(link);
        return deleted;
    });
    ReleaseFolders(&held);
    return Succeeded(status);
}
