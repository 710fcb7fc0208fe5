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

// Removes a test directory even when a test left it read-only (or, on
// Linux, immutable).
inline void DropTempDir(const std::string &dir) {
#ifdef _WIN32
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(dir, error); !error && it != fs::recursive_directory_iterator(); it.increment(error))
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, error);
    fs::remove_all(dir, error);
    EXPECT_FALSE(error) << error.message();
#else
    std::string command = "chattr -R -i '" + dir + "' 2>/dev/null; chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
#endif
}

// Makes a file or directory read-only: the read-only attribute on Windows,
// no write bits on Linux (files 0444, directories 0555).
inline void MakeReadOnly(const std::string &path) {
    std::error_code error;
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, error);
}

// Writes `content` to `path`, creating the directories on the way.
inline void Put(const std::string &path, const std::string &content, bool readOnly = false) {
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    if (readOnly)
        MakeReadOnly(path);
}

// The file's content, or "<none>" when there is no such file.
inline std::string Get(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
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
    return tree;
}

// The files and folders below `root` that are read-only.
inline std::set<std::string> ReadOnlyPaths(const std::string &root) {
    std::set<std::string> paths;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        auto status = it->symlink_status(error);
        if (!fs::is_symlink(status) && (status.permissions() & fs::perms::owner_write) == fs::perms::none)
            paths.insert(fs::relative(it->path(), root, error).generic_string());
    }
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
