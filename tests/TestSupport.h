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

// Every file below `root`: relative path -> content, "-> target" for a link,
// "<special>" for a FIFO or device (never opened: it could block), and "<dir>"
// for an empty directory (others show through their entries).
inline std::map<std::string, std::string> Snapshot(const std::string &root) {
    static std::map<std::string, std::string> *s_tree;
    static size_t s_prefix;
    std::map<std::string, std::string> tree;
    s_tree = &tree;
    s_prefix = root.size() + 1;
    nftw(root.c_str(), [](const char *path, const struct stat *st, int type, struct FTW *) {
        if (strlen(path) < s_prefix)
            return 0;
        std::string name = path + s_prefix, &value = (*s_tree)[name];
        char target[4096] = {};
        if (type == FTW_SL)
            value = "-> " + std::string(target, readlink(path, target, sizeof target - 1));
        else if (S_ISDIR(st->st_mode))
            value = "<dir>";
        else
            value = S_ISREG(st->st_mode) ? Get(path) : "<special>";
        // A directory with entries needs no line of its own.
        if (name.find('/') != std::string::npos)
            s_tree->erase(name.substr(0, name.rfind('/')));
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
