// The Windows layer's fixed paths: looking at, deleting and renaming the
// helper's own files with the narrow-character Win32 functions. The fixed
// paths are short ASCII, so the narrow functions reach them exactly; none of
// them is followed through a link.
#include <windows.h>

#include <string>
#include <vector>

#include "CommandLine.h"
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

bool ParentIsLink(const char *path) {
    std::string prefix;
    for (const char *p = path; *p; ++p) {
        if (*p == '\\') {
            DWORD attributes = GetFileAttributesA(prefix.c_str());
            if (Exists(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                return true;
        }
        prefix += *p;
    }
    return false;
}

bool IsRegularFile(const char *path) {
    if (InjectedFault("IsRegularFile", path))
        return false;
    DWORD attributes = GetFileAttributesA(path);
    return Exists(attributes) &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) &&
           !ParentIsLink(path);
}

bool DeleteOneFile(const char *path) {
    if (InjectedFault("DeleteOneFile", path))
        return false;
    return DeleteFileA(path);
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
    return MoveFileA(from, to);
}

bool IsLinkPath(const char *path) {
    if (InjectedFault("IsLinkPath", path))
        return false;
    DWORD attributes = GetFileAttributesA(path);
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
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path) : DeleteFileA(path);
}
