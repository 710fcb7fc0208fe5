// Real temporary directories, files by relative path, and a snapshot of a
// whole tree, so that a test can say "this changed and nothing else did".
// Built for Linux and for Windows (run under Wine); paths use "/", which both
// accept.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

inline std::string MakeTempDir() {
#ifdef _WIN32
    static unsigned s_count;
    std::error_code error;
    fs::path dir;
    do
        dir = fs::temp_directory_path() / ("fwmaint-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(s_count++));
    while (!fs::create_directory(dir, error) && !error);
    EXPECT_FALSE(error) << error.message();
    return dir.generic_string();
#else
    char name[] = "/tmp/fwmaint-test-XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    return name;
#endif
}

#ifdef _WIN32
// The \\?\ form of an absolute UTF-8 path, wide: the only form that reaches
// every name exactly (past MAX_PATH, outside the code page, ending in a dot
// or a blank, named like a device), as the helper's own walk does.
inline std::wstring NativePath(const std::string &path) {
    return L"\\\\?\\" + fs::u8path(path).make_preferred().wstring();
}
#endif

// What a walk below a root finds: a file, a directory, a link or anything
// else ('f', 'd', 'l', 's'), by its path relative to the root.
struct Found {
    std::string name;
    char kind;
    bool readOnly;
};

// Calls `visit(found)` for everything below `root`, a directory before its
// entries. (On Windows, by \\?\ paths: the runtime's iterator stops at
// MAX_PATH.)
template <typename Visit>
void VisitBelow(const std::string &root, Visit visit, const std::string &relative = "") {
#ifdef _WIN32
    WIN32_FIND_DATAW found;
    std::string here = relative.empty() ? root : root + "/" + relative;
    HANDLE find = FindFirstFileExW((NativePath(here) + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        std::string child = (relative.empty() ? "" : relative + "/") + fs::path(name).u8string();
        DWORD attributes = found.dwFileAttributes;
        char kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 'l' : (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 'd' : 'f';
        visit(Found{child, kind, (attributes & FILE_ATTRIBUTE_READONLY) != 0});
        if (kind == 'd')
            VisitBelow(root, visit, child);
    } while (FindNextFileW(find, &found));
    FindClose(find);
#else
    (void)relative;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        auto status = it->symlink_status(error);
        char kind = fs::is_symlink(status) ? 'l' : fs::is_directory(status) ? 'd' : fs::is_regular_file(status) ? 'f' : 's';
        visit(Found{fs::relative(it->path(), root, error).generic_string(), kind,
                    kind != 'l' && (status.permissions() & fs::perms::owner_write) == fs::perms::none});
    }
#endif
}

// Removes a test directory even when a test left it read-only (or, on
// Linux, immutable).
inline void DropTempDir(const std::string &dir) {
#ifdef _WIN32
    std::vector<Found> all;
    VisitBelow(dir, [&](const Found &found) { all.push_back(found); });
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        std::wstring native = NativePath(dir + "/" + it->name);
        SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_NORMAL);
        it->kind == 'd' ? RemoveDirectoryW(native.c_str()) : DeleteFileW(native.c_str());
    }
    EXPECT_TRUE(RemoveDirectoryW(NativePath(dir).c_str())) << dir << ": error " << GetLastError();
#else
    std::string command = "chattr -R -i '" + dir + "' 2>/dev/null; chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
#endif
}

// Makes a file or directory read-only: the read-only attribute on Windows,
// no write bits on Linux (files 0444, directories 0555).
inline void MakeReadOnly(const std::string &path) {
#ifdef _WIN32
    SetFileAttributesW(NativePath(path).c_str(), GetFileAttributesW(NativePath(path).c_str()) | FILE_ATTRIBUTE_READONLY);
#else
    std::error_code error;
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, error);
#endif
}

// Writes `content` to `path`, creating the directories on the way; a path
// ending in "/" makes just the directories. On Windows, names that differ only
// in case are each their own file, as Wine and case-sensitive folders allow.
inline void Put(const std::string &path, const std::string &content, bool readOnly = false) {
#ifdef _WIN32
    for (size_t slash = path.find('/', 3); slash != std::string::npos; slash = path.find('/', slash + 1))
        CreateDirectoryW(NativePath(path.substr(0, slash)).c_str(), nullptr);
    HANDLE file = path.back() == '/' ? nullptr : CreateFileW(NativePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_POSIX_SEMANTICS, nullptr);
    DWORD written = 0;
    EXPECT_TRUE(!file || WriteFile(file, content.data(), (DWORD)content.size(), &written, nullptr)) << path;
    CloseHandle(file);
#else
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
#endif
    if (readOnly)
        MakeReadOnly(path);
}

// The file's content, or "<none>" when there is no such file.
inline std::string Get(const std::string &path) {
#ifdef _WIN32
    std::ifstream in(fs::path(NativePath(path)), std::ios::binary);
#else
    std::ifstream in(path, std::ios::binary);
#endif
    if (!in)
        return "<none>";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Every file below `root`: relative path -> content, "-> target" for a link,
// "<special>" for a FIFO or device (never opened: it could block), and "<dir>"
// for an empty directory (others show through their entries).
inline std::map<std::string, std::string> Snapshot(const std::string &root) {
    std::map<std::string, std::string> tree;
    VisitBelow(root, [&](const Found &found) {
        std::error_code error;
        tree[found.name] = found.kind == 'd' ? "<dir>" : found.kind == 'f' ? Get(root + "/" + found.name)
                           : found.kind == 'l' ? "-> " + fs::read_symlink(root + "/" + found.name, error).string()
                                               : "<special>";
        // A directory with entries needs no line of its own.
        if (found.name.find('/') != std::string::npos)
            tree.erase(found.name.substr(0, found.name.rfind('/')));
    });
    return tree;
}

// The files and folders below `root` that are read-only.
inline std::set<std::string> ReadOnlyPaths(const std::string &root) {
    std::set<std::string> paths;
    VisitBelow(root, [&](const Found &found) {
        if (found.readOnly)
            paths.insert(found.name);
    });
    return paths;
}

// A fresh working directory per test, dropped afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override { dir = MakeTempDir(); }
    void TearDown() override { DropTempDir(dir); }
    std::string At(const std::string &relative) const { return dir + "/" + relative; }
    std::string dir;
};
