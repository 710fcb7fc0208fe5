// The platform seam on Windows: the narrow-character Win32 file functions,
// with the guards the helper keeps everywhere (no link followed, a copy never
// leaves a half-written destination). Paths are handed over as they stand,
// backslashes and all; the tree walk works by path, in growable strings.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Platform.h"
#include "TemporaryName.h"
#include "TestHooks.h"

// The runtime must not expand wildcards into argv. The helper splits its own
// command line anyway; this pins the runtime's side of it too.
extern "C" {
int _dowildcard = 0;
}

void GetCommandArguments(int *argc, char ***argv) {
    // The runtime's argv halves backslashes before a quote; the installer's
    // scripts expect the helper's own rule, so split the raw line here.
    static std::vector<std::string> args;
    static std::vector<char *> pointers;
    args = SplitCommandLine(GetCommandLineA());
    for (std::string &arg : args)
        pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    *argc = (int)args.size();
    *argv = pointers.data();
}

// --- Fixed paths ---------------------------------------------------------

static bool Exists(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES;
}

// The narrow functions take at most MAX_PATH - 1 characters. A longer path is
// refused here, so that nothing is ever cut short or handed on to be guessed at.
static bool FitsNarrowApi(const std::string &path) {
    return path.size() < MAX_PATH;
}

// True when a directory on the way to `path` (not `path` itself) is a link
// or junction: a link planted as "sa\ruleset" must not steer a copy outside.
static bool ParentIsLink(const char *path) {
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

// Deletes a temporary this process made, read-only or not.
static void DropTemporary(const std::string &path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (Exists(attributes) && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    DeleteFileA(path.c_str());
}

// CopyFileA returns once the data is written, not once it is on the disk, and
// MOVEFILE_WRITE_THROUGH flushes only the rename: flush the data first, so the
// destination is never replaced by contents a power cut could still take.
static bool FlushToDisk(const std::string &path) {
    // CopyFileA carried the source's read-only bit over, and read-only refuses
    // the write access FlushFileBuffers needs: lift it for the flush only.
    DWORD attributes = GetFileAttributesA(path.c_str());
    bool readOnly = Exists(attributes) && (attributes & FILE_ATTRIBUTE_READONLY);
    if (readOnly && !SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
        return false;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (readOnly && !SetFileAttributesA(path.c_str(), attributes))
        return false;
    return flushed;
}

// Removes the temporaries that copies to `leaf` in `folder` left when they
// were cut short (killed before their rename), so that a retry leaves no
// litter. Only names of the helper's exact pattern are touched.
static void SweepTemporaries(const std::string &folder, const std::string &leaf) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "." + leaf + ".fwmaint-*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (IsTemporaryName(found.cFileName, leaf) && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DropTemporary(folder + found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

bool CopyFileOver(const char *from, const char *to) {
    if (InjectedFault("CopyFileOver", from))
        return false;
    // Neither end through a link; a link as the destination is replaced as a
    // link by the rename below, its target never written.
    if (ParentIsLink(to))
        return false;
    std::string target = to, folder, leaf = target;
    size_t separator = target.rfind('\\');
    if (separator != std::string::npos) {
        folder = target.substr(0, separator + 1);
        leaf = target.substr(separator + 1);
    }
    SweepTemporaries(folder, leaf);
    if (!IsRegularFile(from))
        return false;
    // CopyFileA refuses a read-only or directory destination; so do we, as
    // the rename below would not.
    DWORD old = GetFileAttributesA(to);
    if (Exists(old) && (old & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) &&
        !(old & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    // The copy goes to a fresh name beside `to`, then replaces it in one
    // rename: a copy that fails half-way (disk full) leaves `to` whole.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = folder + TemporaryName(leaf, GetCurrentProcessId(), attempt);
        // Fail-if-exists: a name already taken is never ours to overwrite.
        if (!CopyFileA(from, temporary.c_str(), TRUE)) {
            if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)
                continue;
            DropTemporary(temporary);  // a copy that failed half-way may leave a part
            return false;
        }
        if (FlushToDisk(temporary) && !InjectedFault("ReplaceWithCopy", to) &&
            MoveFileExA(temporary.c_str(), to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        DropTemporary(temporary);
        return false;
    }
    return false;
}

bool DeleteOneFile(const char *path) {
    if (InjectedFault("DeleteOneFile", path))
        return false;
    return DeleteFileA(path);
}

bool DeleteOwnFile(const char *path) {
    if (InjectedFault("DeleteOwnFile", path))
        return false;
    // DeleteFileA refuses a read-only file: lift the bit, and put it back if
    // the file stays after all.
    DWORD attributes = GetFileAttributesA(path);
    if (!Exists(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    bool readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    if (readOnly)
        SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileA(path))
        return true;
    if (readOnly)
        SetFileAttributesA(path, attributes);
    return false;
}

// Opens the regular file `path` for reading, never through a link; null for
// anything else.
static HANDLE OpenRegularFile(const char *path) {
    if (!IsRegularFile(path))
        return INVALID_HANDLE_VALUE;
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

bool SameFileContents(const char *a, const char *b) {
    if (InjectedFault("SameFileContents", a))
        return false;
    HANDLE inA = OpenRegularFile(a), inB = inA == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenRegularFile(b);
    LARGE_INTEGER sizeA, sizeB;
    bool same = inB != INVALID_HANDLE_VALUE && GetFileSizeEx(inA, &sizeA) && GetFileSizeEx(inB, &sizeB) &&
                sizeA.QuadPart == sizeB.QuadPart;
    static char bufferA[1 << 16], bufferB[1 << 16];
    while (same) {
        DWORD gotA = 0, gotB = 0;
        same = ReadFile(inA, bufferA, sizeof bufferA, &gotA, nullptr) && ReadFile(inB, bufferB, sizeof bufferB, &gotB, nullptr) &&
               gotA == gotB && memcmp(bufferA, bufferB, gotA) == 0;
        if (gotA == 0)
            break;
    }
    if (inA != INVALID_HANDLE_VALUE)
        CloseHandle(inA);
    if (inB != INVALID_HANDLE_VALUE)
        CloseHandle(inB);
    return same;
}

bool MoveFileNoReplace(const char *from, const char *to) {
    if (InjectedFault("MoveFileNoReplace", from))
        return false;
    return MoveFileA(from, to);
}

// --- Tree walk -------------------------------------------------------------

struct TreeDir {
    std::string path;
    HANDLE find;
    WIN32_FIND_DATAA data;
    bool pending;  // `data` holds the first entry, not yet handed out
};

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

// Win32 drops trailing dots and blanks from a name before it reaches the file
// system, so "x." would reach "x" and "..." the directory itself. Such names
// only come from other systems' tools; an entry named so is left in place
// rather than acted on under a name that means something else.
static bool IsAliasedName(const char *name) {
    size_t length = strlen(name);
    return length && (name[length - 1] == '.' || name[length - 1] == ' ');
}

// Starts listing the real directory `path`; null for anything else (a link
// goes as a link and is never walked) and for a path too long to list.
static TreeDir *OpenTreeDir(std::string path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (!FitsNarrowApi(path + "\\*") || !Exists(attributes) || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return nullptr;
    TreeDir *dir = new TreeDir{std::move(path), INVALID_HANDLE_VALUE, {}, true};
    dir->find = FindFirstFileA((dir->path + "\\*").c_str(), &dir->data);
    // Null or invalid both mean no listing. No entry at all (not even "."),
    // as at a drive's root, is an empty listing.
    if (dir->find == INVALID_HANDLE_VALUE || dir->find == nullptr) {
        bool empty = GetLastError() == ERROR_FILE_NOT_FOUND;
        dir->find = INVALID_HANDLE_VALUE;
        dir->pending = false;
        if (!empty) {
            delete dir;
            return nullptr;
        }
    }
    return dir;
}

TreeDir *OpenTreeRoot(const char *path) {
    if (InjectedFault("OpenTreeRoot", path))
        return nullptr;
    return OpenTreeDir(path);
}

TreeDir *OpenTreeChild(TreeDir *parent, const char *name) {
    if (InjectedFault("OpenTreeChild", name))
        return nullptr;
    if (IsAliasedName(name))
        return nullptr;
    return OpenTreeDir(parent->path + "\\" + name);
}

// Read afresh: the listing's word may be stale, and the root has none.
void MakeTreeDirWritable(TreeDir *dir) {
    if (InjectedFault("MakeTreeDirWritable", ""))
        return;
    DWORD attributes = GetFileAttributesA(dir->path.c_str());
    if (Exists(attributes) && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(dir->path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

bool ReadTreeEntry(TreeDir *dir, TreeEntry *entry) {
    if (InjectedFault("ReadTreeEntry", ""))
        return false;
    if (dir->find == INVALID_HANDLE_VALUE)
        return false;
    if (!dir->pending && !FindNextFileA(dir->find, &dir->data))
        return false;
    dir->pending = false;
    entry->name = dir->data.cFileName;
    entry->attributes = dir->data.dwFileAttributes;
    EntryListed(entry->name);
    return true;
}

bool DeleteTreeEntry(TreeDir *dir, const char *name, unsigned attributes) {
    if (InjectedFault("DeleteTreeEntry", name))
        return false;
    std::string path = dir->path + "\\" + name;
    if (!FitsNarrowApi(path) || IsAliasedName(name))
        return false;
    // DeleteFileA refuses a read-only file: clear that bit, keep the others.
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    // A directory, or a directory link: RemoveDirectoryA removes the link only.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return RemoveDirectoryA(path.c_str());
    if (DeleteFileA(path.c_str()))
        return true;
    // Listed as a file, but a directory now: it goes only if it is empty.
    DWORD now = GetFileAttributesA(path.c_str());
    return Exists(now) && (now & FILE_ATTRIBUTE_DIRECTORY) && RemoveDirectoryA(path.c_str());
}

void CloseTreeDir(TreeDir *dir) {
    if (dir->find != INVALID_HANDLE_VALUE)
        FindClose(dir->find);
    delete dir;
}

bool RemoveTreeRoot(const char *path) {
    if (InjectedFault("RemoveTreeRoot", path))
        return false;
    return RemoveDirectoryA(path);
}
