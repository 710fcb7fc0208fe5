// The Windows layer's copy: CopyFileA's contract, made safe against a copy
// that fails half-way or is cut short.
#include <windows.h>

#include <cstring>
#include <string>

#include "Platform.h"
#include "TemporaryName.h"
#include "TestHooks.h"
#include "Win32Layer.h"

// Deletes a temporary of ours, read-only or not (CopyFileA carries the
// source's read-only bit over).
static void DropTemporary(const std::string &path) {
    DeleteEvenReadOnly(path.c_str());
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
