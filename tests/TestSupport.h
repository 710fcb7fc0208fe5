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

// Calls `visit(relative UTF-8 name, native path, attributes)` for everything
// below `native`, a directory before its entries. (The runtime's own
// directory iterator stops at MAX_PATH.)
template <typename Visit>
void VisitBelow(const std::wstring &native, const std::string &relative, Visit visit) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW((native + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        std::string child = (relative.empty() ? "" : relative + "/") + fs::path(name).u8string();
        visit(child, native + L"\\" + name, found.dwFileAttributes);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            VisitBelow(native + L"\\" + name, child, visit);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}
#endif

// Removes a test directory even when a test left it read-only (or, on
// Linux, immutable).
inline void DropTempDir(const std::string &dir) {
#ifdef _WIN32
    std::vector<std::pair<std::wstring, DWORD>> all;
    VisitBelow(NativePath(dir), "", [&](const std::string &, const std::wstring &native, DWORD attributes) {
        all.emplace_back(native, attributes);
    });
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        SetFileAttributesW(it->first.c_str(), FILE_ATTRIBUTE_NORMAL);
        (it->second & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(it->first.c_str()) : DeleteFileW(it->first.c_str());
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
    DWORD attributes = GetFileAttributesW(NativePath(path).c_str());
    SetFileAttributesW(NativePath(path).c_str(), attributes | FILE_ATTRIBUTE_READONLY);
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
    if (path.back() == '/')
        return;
    HANDLE file = CreateFileW(NativePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_POSIX_SEMANTICS, nullptr);
    DWORD written = 0;
    EXPECT_TRUE(file != INVALID_HANDLE_VALUE && WriteFile(file, content.data(), (DWORD)content.size(), &written, nullptr))
        << path << ": error " << GetLastError();
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
    HANDLE file = CreateFileW(NativePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_POSIX_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<none>";
    std::string content;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got)
        content.append(buffer, got);
    CloseHandle(file);
    return content;
#else
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<none>";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
#endif
}

// Every file below `root`: relative path -> content, "-> target" for a link,
// "<special>" for a FIFO or device (never opened: it could block), and "<dir>"
// for an empty directory (others show through their entries).
inline std::map<std::string, std::string> Snapshot(const std::string &root) {
    std::map<std::string, std::string> tree;
#ifdef _WIN32
    VisitBelow(NativePath(root), "", [&](const std::string &name, const std::wstring &, DWORD attributes) {
        tree[name] = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? "<dir>" : Get(root + "/" + name);
        if (name.find('/') != std::string::npos)
            tree.erase(name.substr(0, name.rfind('/')));
    });
#else
    std::error_code error;
    if (!fs::exists(fs::symlink_status(root, error)))
        return tree;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::string name = fs::relative(it->path(), root, error).generic_string(), &value = tree[name];
        auto status = it->symlink_status(error);
        if (fs::is_symlink(status))
            value = "-> " + fs::read_symlink(it->path(), error).string();
        else if (fs::is_directory(status))
            value = "<dir>";
        else
            value = fs::is_regular_file(status) ? Get(it->path().string()) : "<special>";
        // A directory with entries needs no line of its own.
        if (name.find('/') != std::string::npos)
            tree.erase(name.substr(0, name.rfind('/')));
    }
    EXPECT_FALSE(error) << root << ": " << error.message();
#endif
    return tree;
}

// The files and folders below `root` that are read-only.
inline std::set<std::string> ReadOnlyPaths(const std::string &root) {
    std::set<std::string> paths;
#ifdef _WIN32
    VisitBelow(NativePath(root), "", [&](const std::string &name, const std::wstring &, DWORD attributes) {
        if (attributes & FILE_ATTRIBUTE_READONLY)
            paths.insert(name);
    });
#else
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        auto status = it->symlink_status(error);
        if (!fs::is_symlink(status) && (status.permissions() & fs::perms::owner_write) == fs::perms::none)
            paths.insert(fs::relative(it->path(), root, error).generic_string());
    }
#endif
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
