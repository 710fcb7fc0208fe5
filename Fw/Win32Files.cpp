// The Windows layer's fixed paths: looking at, deleting and renaming the
// helper's own files with the narrow-character Win32 functions. The fixed
// paths are short ASCII, so the narrow functions reach them exactly; none of
// them is followed through a link.
#include <windows.h>

#include <string>
#include <vector>

#include "CommandLine.h"
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
    DWORD attributes = FixedPathAttributes(path);
    return Exists(attributes) &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

bool DeleteOneFile(const char *path) {
    if (InjectedFault("DeleteOneFile", path))
        return false;
    // Tried again while another program holds the file; a file whose deletion
    // is already pending counts as deleted.
    return RetryWhileHeld(path, [&] { return DeleteFileA(path) || DeletePending(); });
}

// Deletes the earlier set-aside copies of `path` that can go now (their
// program has ended); the rest wait for the restart.
static void SweepSetAside(const std::string &folder, const std::string &leaf) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + leaf + ".*.old").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (IsSetAsideName(found.cFileName, leaf) && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileA((folder + found.cFileName).c_str());
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

// A running program's image cannot be deleted, but it can be renamed: move
// it to the first free set-aside name, and ask Windows to delete it at the
// next restart (that needs an elevated caller; otherwise it waits for a
// later run's sweep).
static bool SetAside(const std::string &folder, const std::string &leaf) {
    std::string path = folder + leaf;
    for (int n = 0; n < 100; ++n) {
        std::string aside = folder + SetAsideName(leaf, n);
        // A running image renames but does not delete: observed on Windows and Wine, not documented.
        if (MoveFileA(path.c_str(), aside.c_str())) {
            // A null new name deletes at the next restart, for administrators (Microsoft Learn, MoveFileExW).
            MoveFileExA(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

bool DeleteOrSetAside(const char *path) {
    if (InjectedFault("DeleteOrSetAside", path))
        return false;
    std::string folder, leaf;
    SplitFixedPath(path, &folder, &leaf);
    SweepSetAside(folder, leaf);
    // In use, it is set aside at once; held without delete sharing (so that
    // no rename can move it either), it is waited for.
    return RetryWhileHeld(path, [&] {
        if (DeleteFileA(path) || DeletePending())
            return true;
        DWORD error = GetLastError();
        if (IsHeldError(error, GetFileAttributesA(path)) && SetAside(folder, leaf))
            return true;
        SetLastError(error);
        return false;
    });
}

bool DeleteOwnFile(const char *path) {
    if (InjectedFault("DeleteOwnFile", path))
        return false;
    // DeleteFileA refuses a read-only file. Through a handle, Windows 10
    // deletes it in one step; elsewhere the bit is lifted through the handle
    // first (and put back if the file stays after all).
    return DeleteEvenReadOnly(path);
}

bool MoveFileNoReplace(const char *from, const char *to) {
    if (InjectedFault("MoveFileNoReplace", from))
        return false;
    // A file open elsewhere without delete sharing cannot be renamed, nor can
    // a name whose deletion is still pending be taken: both pass.
    // Read-only does not stop a rename, so no denial is final on that account.
    return RetryWhileHeld(nullptr, [&] { return MoveFileA(from, to); });
}

bool IsLinkPath(const char *path) {
    if (InjectedFault("IsLinkPath", path))
        return false;
    DWORD attributes = FixedPathAttributes(path);
    return Exists(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A directory link (junction, directory symbolic link) goes with
// RemoveDirectoryA, a file link with DeleteFileA; neither touches the target.
bool RemoveLinkPath(const char *path) {
    if (InjectedFault("RemoveLinkPath", path))
        return false;
    DWORD attributes = GetFileAttributesA(path);
    if (!Exists(attributes))
        return false;
    // Both remove a symbolic link itself, not its target (Microsoft Learn, RemoveDirectoryW, DeleteFileW).
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path) : DeleteFileA(path);
}
