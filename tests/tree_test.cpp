// delsa on whatever a tree may hold, and the Linux layer's own cases: links,
// depth, undeletable entries, locked folders and mounts.
#include "HelperRun.h"

#include <cstring>
#ifndef _WIN32
#include <sys/xattr.h>
#endif

namespace {

// Whatever the tree holds, delsa removes it all and nothing beside it: names
// outside any code page, names Win32 path rules would change (a trailing dot
// or blank, a device name), names differing only in case, read-only files
// and folders with such names, and a tree deeper than any path limit.
TEST_F(HelperTest, DelsaRemovesTheTreeAndNothingOutsideIt) {
    std::string deep = "sa";
    for (int level = 0; level < 150; ++level)
        deep += "/twenty-characters-" + std::to_string(level % 10);
    const struct {
        const char *name;
        Tree tree;
        std::vector<std::string> readOnly;
    } cases[] = {
        {"ordinary, hidden and dot names, read-only all through",
         {{"sa/ruleset/10.cf", "r"}, {"sa/ruleset/.hidden", "h"}, {"sa/...", "d"}, {"sa/.a", "d"}, {"sa/ro/deep/file", "f"}, {"sa/empty/", ""}},
         {"sa/ro/deep/file", "sa/ro/deep", "sa/ro", "sa"}},
        {"names outside any code page",
         {{"sa/\u03A9mega/\u0416.cf", "x"}, {"sa/\u03A9mega/\u65E5\u672C\u8A9E.cf", "x"}, {"sa/smile-\U0001F600.cf", "x"},
          {"sa/\u65E5\u672C\u8A9E/\U0001F600/x", "x"}},
         {"sa/\u03A9mega/\u0416.cf", "sa/\u03A9mega", "sa/smile-\U0001F600.cf"}},
        {"names ending in a dot or a blank",
         {{"sa/a.", "x"}, {"sa/b ", "x"}, {"sa/.../inner", "x"}, {"sa/dir./f", "x"}, {"sa/dir /f.", "x"}, {"sa/x", "x"}},
         {"sa/a.", "sa/dir."}},
        {"device names", {{"sa/con", "x"}, {"sa/nul.txt", "x"}, {"sa/aux.cf", "x"}, {"sa/com1/f", "x"}, {"sa/LPT1/prn", "x"}},
         {"sa/aux.cf", "sa/com1"}},
        {"names differing only in case", {{"sa/Case.cf", "1"}, {"sa/case.cf", "2"}, {"sa/CASE.CF", "3"}}, {"sa/case.cf"}},
        {"150 levels, over 3,000 characters", {{deep + "/file", "f"}, {"sa/twenty-characters-0/file", "f"}}, {deep + "/file"}},
    };
    for (auto &c : cases) {
        Renew();
        Lay(With(c.tree, {{"keep.txt", "k"}, {"outside/canary", "c"}}), c.readOnly);
#ifdef _WIN32
        SetFileAttributesW(NativePath(At("sa/ruleset/10.cf")).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY);
#endif
        EXPECT_EQ(RunHelper(dir, {"delsa"}), 0) << c.name;
        EXPECT_EQ(Snapshot(dir), (Tree{{"keep.txt", "k"}, {"outside/canary", "c"}})) << c.name;
    }
#ifndef _WIN32
    // Links, removed as links (Linux only: Wine cannot make a link, and
    // opens a Unix symlink's target even when asked for the link itself).
    Renew();
    Lay({{"keep.txt", "k"}, {"outside/canary", "c"}, {"sa/a\\..\\..\\keep.txt", "a name, not a path"}});
    symlink(At("outside").c_str(), At("sa/dirlink").c_str());
    symlink(At("outside/canary").c_str(), At("sa/filelink").c_str());
    symlink("nowhere", At("sa/dangling").c_str());
    mkfifo(At("sa/fifo").c_str(), 0644);
    EXPECT_EQ(RunHelper(dir, {"delsa"}), 0);
    EXPECT_EQ(Snapshot(dir), (Tree{{"keep.txt", "k"}, {"outside/canary", "c"}}));
    // "sa" itself a link: only the link goes.
    symlink("outside", At("sa").c_str());
    EXPECT_EQ(RunHelper(dir, {"delsa"}), 0);
    EXPECT_EQ(Snapshot(dir), (Tree{{"keep.txt", "k"}, {"outside/canary", "c"}}));
#endif
}


#ifndef _WIN32
// The tree may come from an archive: a link in it must not steer a copy to
// read or write a file outside. (Linux only: Wine cannot make a link.)
TEST_F(HelperTest, CopiesNeverGoThroughLinks) {
    Lay({{"outside/rs/local.cf", "theirs"}, {"outside/secret", "s"}, {"t_local.cf", "saved L"}});
    const Tree outside = Snapshot(At("outside"));
    mkdir(At("sa").c_str(), 0755);
    symlink(At("outside/rs").c_str(), At("sa/ruleset").c_str());
    EXPECT_EQ(RunHelper(dir, {"restoreprefs"}), 0);
    unlink(At("sa/ruleset").c_str());
    Put(At("sa/ruleset/user_prefs"), "p");
    symlink(At("outside/secret").c_str(), At("sa/ruleset/local.cf").c_str());
    EXPECT_EQ(RunHelper(dir, {"saveprefs"}), 0);
    EXPECT_EQ(Get(At("t_local.cf")), "saved L");
    EXPECT_EQ(Snapshot(At("outside")), outside);
}

// Deeper than PATH_MAX, and again with five descriptors in all (three of them
// the standard streams): the walk must neither crash nor give up on the tree.
// With folders of hundreds of files beside the chain, the second thread holds
// the descriptors of folders whose unlinks it has still to run, and gives
// them back when the walk runs out; where it cannot start, the walk unlinks
// everything itself.
TEST_F(HelperTest, DelsaRemovesTreesPastPathMaxWithFewDescriptors) {
    const struct {
        unsigned openFiles;
        int wideFolders;
        const char *fault;
    } cases[] = {{0, 0, nullptr}, {5, 0, nullptr}, {5, 4, nullptr}, {0, 4, nullptr}, {0, 4, "UnlinkWorkerStart:"}};
    for (auto [openFiles, wideFolders, fault] : cases) {
        for (int folder = 0; folder < wideFolders; ++folder)
            for (int file = 0; file < 200; ++file)
                Put(At("sa/wide" + std::to_string(folder) + "/f" + std::to_string(file)), "w");
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        for (int level = 0; level < 400; ++level) {
            const char *name = level ? "twenty-characters-xx" : "sa";
            mkdirat(fd, name, 0755);
            close(openat(fd, "file", O_CREAT | O_WRONLY, 0444));
            int next = openat(fd, name, O_RDONLY | O_DIRECTORY);
            close(fd);
            fd = next;
        }
        close(fd);
        EXPECT_EQ(RunHelper(dir, {"delsa"}, {.openFiles = openFiles, .fault = fault}), 0);
        EXPECT_EQ(Snapshot(dir), (Tree{{"file", ""}})) << openFiles << " descriptors, " << wideFolders << " wide folders, "
                                                       << (fault ? fault : "no fault");
        unlink(At("file").c_str());
    }
}

// Undeletable for real where chattr +i works (root on ext4), else, for a
// lone file, by the test build's injected refusal. Whatever stays, the walk
// must end (within RunHelper's time limit), leaving only what could not go
// and the folders above it; a folder that stays beside an undeletable entry
// once sent it round its listing without end, in a small folder and in one
// whose unlinks go in batches.
TEST_F(HelperTest, DelsaLeavesUndeletableEntriesAndTheDirectoriesAboveThem) {
    Tree hundreds = {{"sa/d/f", "f"}, {"sa/d/sub/g", "g"}};
    for (int i = 0; i < 300; ++i)
        hundreds["sa/d/m" + std::to_string(i)] = "m";
    // Folders whose unlinks, removal and close queue behind one another on
    // the second thread; the one that keeps a file must stay.
    Tree folders = {{"sa/w3/keep", "k"}};
    for (int folder = 0; folder < 6; ++folder)
        for (int i = 0; i < 200; ++i)
            folders["sa/w" + std::to_string(folder) + "/m" + std::to_string(i)] = "m";
    const struct {
        const char *name;
        Tree before;
        std::vector<std::string> undeletable;
    } cases[] = {
        {"one file, two folders down", {{"sa/a/b/locked", "l"}, {"sa/a/b/other", "o"}, {"sa/a/sibling", "s"}, {"sa/c/d", "d"}},
         {"sa/a/b/locked"}},
        {"beside a folder that stays", {{"sa/d/f", "f"}, {"sa/d/sub/g", "g"}, {"sa/d/x", "x"}, {"sa/y", "y"}},
         {"sa/d/f", "sa/d/sub/g"}},
        {"among hundreds, beside a folder that stays", hundreds, {"sa/d/f", "sa/d/m150", "sa/d/sub/g"}},
        {"in one of six folders of hundreds", folders, {"sa/w3/keep"}},
    };
    for (auto &c : cases) {
        Renew();
        Lay(c.before);
        bool immutable = getuid() == 0;
        for (auto &path : c.undeletable)
            immutable = immutable && system(("chattr +i '" + At(path) + "' 2>/dev/null").c_str()) == 0;
        std::string fault = "DeleteTreeEntry:" + c.undeletable[0].substr(c.undeletable[0].rfind('/') + 1);
        if (!immutable && c.undeletable.size() > 1)
            continue;  // needs chattr
        EXPECT_EQ(RunHelper(dir, {"delsa"}, {.fault = immutable ? nullptr : fault.c_str()}), 0) << c.name;
        Tree left;
        for (auto &path : c.undeletable)
            left[path] = c.before.at(path);
        EXPECT_EQ(Snapshot(dir), left) << c.name;
    }
}

// A folder its owner locked (read, write or search bit missing, down to one
// that cannot even be listed) is unlocked and removed as the owner runs
// delsa; one that must stay (a root-owned folder inside keeps its file) gets
// its own mode back. Run as nobody: root is refused nothing.
TEST_F(HelperTest, DelsaUnlocksFoldersTheirOwnerLocked) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to switch to nobody";
    const Tree outside = {{"keep", "k"}, {"outside/canary", "c"}};
    Tree files;
    for (int i = 0; i < 30; ++i)
        files["file" + std::to_string(i)] = "f";
    // Near the top, and past the levels the walk keeps open, where a parent
    // is reopened through its child's "..": a root-owned folder that stays
    // (0444: nobody may search it) must not cost the rest of its parent.
    // The setgid bit stays with a folder whose group the caller is in.
    // Out of descriptors (six: the standard streams and three), the walk
    // lets go of levels above, and only of those it can come back to.
    for (const std::string at : {"sa/locked", "sa/d1/d2/d3/d4/d5/d6/d7/locked"})
    for (unsigned openFiles : {0u, 6u}) {
        for (mode_t mode : {0000, 0100, 0200, 0300, 0400, 0444, 0600, 02500}) {
            for (bool stuck : {false, true}) {
                SCOPED_TRACE(::testing::Message() << at << " mode 0" << std::oct << mode << (stuck ? ", something inside stays" : "")
                                                  << std::dec << ", " << openFiles << " descriptors");
                Renew();
                Tree tree = {{at + "/sub/g", "g"}};
                for (auto &[name, content] : files)
                    tree[at + "/" + name] = content;
                Lay(With(outside, tree));
                if (stuck)
                    Put(At(at + "/root/inner/r"), "r");
                EXPECT_EQ(system(("chown -R 65534:65534 '" + dir + "'").c_str()), 0);
                EXPECT_EQ(chown(At(at + "/root").c_str(), 0, 0), stuck ? 0 : -1);
                chmod(At(at + "/root").c_str(), 0444);
                // The inner one holds a file only: its unlink is still queued as it closes.
                for (const std::string &locked : {at + "/sub", at})
                    EXPECT_EQ(chmod(At(locked).c_str(), mode), 0);
                EXPECT_EQ(RunHelper(dir, {"delsa"}, {.openFiles = openFiles, .unprivileged = true}), 0);
                EXPECT_EQ(Snapshot(dir), stuck ? With(outside, {{at + "/root/inner/r", "r"}}) : outside);
                if (stuck) {
                    struct stat st = {};
                    EXPECT_EQ(stat(At(at).c_str(), &st), 0);
                    EXPECT_EQ(st.st_mode & 07777, mode) << "the folder that stays has its mode back";
                }
            }
        }
    }
    // Where /proc is no procfs (a chroot, a container without it) and the
    // kernel has no fchmodat2, a /proc/self/fd link may lead anywhere: the
    // folder stays locked rather than have the unlock change a stranger.
    // (Not in a sanitizer build: its runtime reads its options from /proc.)
    struct stat st = {};
#ifndef __SANITIZE_ADDRESS__
    Renew();
    Lay(With(outside, {{"sa/locked/file", "f"}}));
    EXPECT_EQ(system(("chown -R 65534:65534 '" + dir + "'").c_str()), 0);
    EXPECT_EQ(chmod(At("sa/locked").c_str(), 0), 0);
    EXPECT_EQ(RunHelper(dir, {"delsa"}, {.fault = "Fchmodat2:", .unprivileged = true, .procLinksTo = At("outside").c_str()}), 0);
    EXPECT_EQ(stat(At("outside").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(stat(At("sa/locked").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0u);
    EXPECT_EQ(Snapshot(dir), With(outside, {{"sa/locked/file", "f"}}));
#endif
    // A mode record anyone who may write the folder could have planted: one
    // that would widen the folder or set its IDs is not ours to put back.
    for (const char *planted : {"6550", "557"}) {
        Renew();
        Lay({{"sa/kept/r", "r"}});
        EXPECT_EQ(chmod(At("sa/kept").c_str(), 0750), 0);
        if (setxattr(At("sa/kept").c_str(), "user.fwmaint.mode", planted, strlen(planted), 0) != 0)
            GTEST_SKIP() << "no user extended attributes here";
        EXPECT_EQ(RunHelper(dir, {"delsa"}, {.fault = "DeleteTreeEntry:r"}), 0);
        EXPECT_EQ(stat(At("sa/kept").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0750u) << planted;
    }
}

// What is mounted inside the tree is not the tree's: the walk never enters a
// mount, a bind mount of the same file system included, and leaves the mount
// point (it cannot go while mounted) and the folders above it. Root only.
TEST_F(HelperTest, DelsaNeverEntersAMount) {
    const struct {
        const char *mountPoint;
        Tree left;  // once unmounted
    } cases[] = {
        {"sa/ruleset/shared", {{"sa/ruleset/shared", "<dir>"}}},
        {"sa/a/b/c/d/e/f/g/h/i/j/k", {{"sa/a/b/c/d/e/f/g/h/i/j/k", "<dir>"}}},  // below the parked levels
        {"sa", {{"sa/ruleset/local.cf", "L"}, {"sa/a/b/c/d/e/f/g/h/i/j/k", "<dir>"}}},
    };
    for (auto &c : cases) {
        Renew();
        Lay({{"sa/ruleset/local.cf", "L"}, {"sa/a/b/c/d/e/f/g/h/i/j/k/", ""}, {"outside/canary", "c"}, {"outside/sub/deep", "d"}});
        fs::create_directories(At(c.mountPoint));
        if (getuid() != 0 || system(("mount --bind '" + At("outside") + "' '" + At(c.mountPoint) + "' 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "needs root and mount";
        int status = RunHelper(dir, {"delsa"});
        EXPECT_EQ(Snapshot(At("outside")), (Tree{{"canary", "c"}, {"sub/deep", "d"}})) << c.mountPoint;
        EXPECT_EQ(system(("umount '" + At(c.mountPoint) + "'").c_str()), 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(Snapshot(dir), With(c.left, {{"outside/canary", "c"}, {"outside/sub/deep", "d"}})) << c.mountPoint;
    }
}
#endif

}  // namespace
