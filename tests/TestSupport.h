// Real temporary directories, files by relative path, and a snapshot of a
// whole tree, so that a test can say "this changed and nothing else did".
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

inline std::string MakeTempDir() {
    char name[] = "/tmp/fwmaint-test-XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    return name;
}

// Removes a test directory even when a test left it read-only or immutable.
inline void DropTempDir(const std::string &dir) {
    std::string command = "chattr -R -i '" + dir + "' 2>/dev/null; chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
}

// Writes `content` to `path`, creating the directories on the way.
inline void Put(const std::string &path, const std::string &content, mode_t mode = 0644) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
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

// Every entry below `root`: relative path -> content, "<dir>", "-> target"
// or "<special>" (never opened: a FIFO would block).
inline std::map<std::string, std::string> Snapshot(const std::string &root) {
    static std::map<std::string, std::string> *s_tree;
    static size_t s_prefix;
    std::map<std::string, std::string> tree;
    s_tree = &tree;
    s_prefix = root.size() + 1;
    nftw(root.c_str(), [](const char *path, const struct stat *st, int type, struct FTW *) {
        if (strlen(path) < s_prefix)
            return 0;
        std::string &value = (*s_tree)[path + s_prefix];
        if (type == FTW_SL) {
            char target[4096] = {};
            value = "-> " + std::string(target, readlink(path, target, sizeof target - 1));
        } else {
            value = S_ISDIR(st->st_mode) ? "<dir>" : S_ISREG(st->st_mode) ? Get(path) : "<special>";
        }
        return 0;
    }, 64, FTW_PHYS);
    return tree;
}

// A fresh working directory per test, dropped afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override { dir = MakeTempDir(); }
    void TearDown() override { DropTempDir(dir); }
    std::string At(const std::string &relative) const { return dir + "/" + relative; }
    std::string dir;
};
