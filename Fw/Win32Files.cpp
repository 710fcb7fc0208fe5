// The Windows layer's fixed paths: looking at, deleting and renaming the
// helper's own files with the narrow-character Win32 functions. The fixed
// paths are short ASCII, so the narrow functions reach them exactly; none of
// them is followed through a link.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ReparseTag.h"
#include "TemporaryName.h"
#include "Platform.h"
#include "Win32Layer.h"
#include "TestHooks.h"
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

// The attribute word of the fixed path `path`, as the helper takes it, read
// through the folders on the way held open and checked.
static DWORD FixedPathAttributes(const char *path) {
    HeldFolders held;
    std::string leaf;
    if (!HoldFolders(path, &held, &leaf))
        return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = EntryAttributesIn(InnermostFolder(held), leaf.c_str());
    ReleaseFolders(&held);
    return attributes;
}

bool IsRegularFile(const char *path) {
    if (InjectedFault("IsRegularFile", path))
        return false;
    return IsPlainFile(FixedPathAttributes(path));
}

// Deletes the file (or link, as a link) at the fixed path `path`, through the
// folders on the way held open: never a folder, never what a link points to.
// Tried again while another program holds it; a file whose deletion is
// already pending counts as deleted.
static bool DeleteFixedFile(const char *path, bool evenReadOnly) {
    HeldFolders held;
    std::string leaf;
    if (!HoldFolders(path, &held, &leaf))
        return false;
    bool ok = RetryWhileHeld(kDelete, [&] { return DeleteFileIn(InnermostFolder(held), leaf.c_str(), evenReadOnly); });
    ReleaseFolders(&held);
    return ok;
}

bool DeleteOneFile(const char *path) {
    if (InjectedFault("DeleteOneFile", path))
        return false;
    return DeleteFixedFile(path, false);
}

static bool NotThere(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool IsAbsent(const char *path) {
    if (InjectedFault("IsAbsent", path))
        return false;
    HeldFolders held;
    std::string leaf;
    if (!HoldFolders(path, &held, &leaf))
        return NotThere(GetLastError());
    // Reading attributes conflicts with no other program's sharing: a held
    // file opens, and so counts as there.
    HANDLE file = OpenRelative(InnermostFolder(held), leaf.c_str(), FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
    bool absent = file == INVALID_HANDLE_VALUE && NotThere(GetLastError());
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    ReleaseFolders(&held);
    return absent;
}

int SetAsideFile(const char *path) {
    if (InjectedFault("SetAsideFile", path))
        return -1;
    // DeleteFileA would refuse a read-only file or a folder: so is setting it
    // aside, which stands for that deletion; a link is not ours to move. A
    // running image renames, though it does not delete (observed on Windows
    // and Wine, not documented).
    DWORD attributes = FixedPathAttributes(path);
    if (!IsPlainFile(attributes) || (attributes & FILE_ATTRIBUTE_READONLY))
        return -1;
    std::string folder, leaf;
    SplitFixedPath(path, &folder, &leaf);
    for (int n = 0; n < 100; ++n) {
        std::string aside = folder + SetAsideName(leaf, n);
        if (RetryWhileHeld(kRename, [&] { return MoveFileA(path, aside.c_str()); }))
            return n;
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS)
            return -1;
    }
    return -1;
}

void DropSetAside(const char *path) {
    if (InjectedFault("DropSetAside", path))
        return;
    HeldFolders held;
    std::string leaf;
    if (!HoldFolders(path, &held, &leaf))
        return;
    HANDLE dir = InnermostFolder(held);
    std::string folder(path, strlen(path) - leaf.size());
    ForEachEntryIn(dir, [&](const std::string &name, DWORD attributes) {
        if (!IsSetAsideName(name.c_str(), leaf) || !IsPlainFile(attributes))
            return;
        // A program still runs from it: a null new name deletes it at the
        // next restart, for administrators (Microsoft Learn, MoveFileExW);
        // otherwise a later run's sweep takes it.
        if (!RetryWhileHeld(kDelete, [&] { return DeleteFileIn(dir, name.c_str(), false); }) && LastRefusal(kDelete) == kHeld)
            MoveFileExA((folder + name).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    });
    ReleaseFolders(&held);
}

bool DeleteOwnFile(const char *path) {
    if (InjectedFault("DeleteOwnFile", path))
        return false;
    // DeleteFileA refuses a read-only file. Through a handle, Windows 10
    // deletes it in one step; elsewhere the bit is lifted through the handle
    // first (and put back if the file stays after all).
    return DeleteFixedFile(path, true);
}

bool MoveFileNoReplace(const char *from, const char *to) {
    if (InjectedFault("MoveFileNoReplace", from))
        return false;
    // A file open elsewhere without delete sharing cannot be renamed, nor can
    // a name whose deletion is still pending be taken: both pass. Access
    // denied is the file's permissions (a running image renames): final.
    return RetryWhileHeld(kRename, [&] { return MoveFileA(from, to); });
}

bool IsLinkPath(const char *path) {
    if (InjectedFault("IsLinkPath", path))
        return false;
    DWORD attributes = FixedPathAttributes(path);
    return Exists(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Removes the link at the fixed path `path` itself, opened as itself through
// the folders on the way held open, file link or folder link alike: the
// deletion of a reparse point removes the point, never its target (Microsoft
// Learn, "Symbolic Link Effects on File Systems Functions", DeleteFile and
// RemoveDirectory).
bool RemoveLinkPath(const char *path) {
    if (InjectedFault("RemoveLinkPath", path) || WineKeepsLinks())
        return false;
    HeldFolders held;
    std::string leaf;
    if (!HoldFolders(path, &held, &leaf))
        return false;
    HANDLE dir = InnermostFolder(held);
    bool ok = RetryWhileHeld(kDelete, [&] {
        HANDLE link = OpenRelative(dir, leaf.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
        if (link == INVALID_HANDLE_VALUE)
            return false;
        DWORD attributes = TakenAttributesOf(link);
        bool isLink = Exists(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        bool deleted = isLink ? DeleteByHandle(link) : Refuse(kStatusAccessDenied);
        DWORD error = GetLastError();
        CloseHandle(link);
        SetLastError(error);
        return deleted;
    });
    ReleaseFolders(&held);
    return ok;
}
