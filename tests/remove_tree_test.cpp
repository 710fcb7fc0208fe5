// RemoveTree in-process: its result, and what it does when the tree is
// changed under it at the worst moment (test builds carry a hook for that).
#include "RemoveTree.h"

#include <functional>

#include "Platform.h"
#include "TestHooks.h"
#include "TestSupport.h"

namespace {

using Tree = std::map<std::string, std::string>;

class RemoveTreeTest : public TempDirTest {
protected:
    void TearDown() override {
        g_treeEntryListedHook = nullptr;
        TempDirTest::TearDown();
    }
};

TEST_F(RemoveTreeTest, ResultSaysWhetherTheDirectoryItselfIsGone) {
    const struct {
        const char *name;
        std::function<void(const std::string &)> lay;
        int result;
        Tree left;
    } cases[] = {
        {"missing", [](auto &) {}, 0, {}},
        {"a file, not a directory", [](auto &sa) { Put(sa, "f"); }, 0, {{"sa", "f"}}},
        {"empty", [](auto &sa) { fs::create_directory(sa); }, 1, {}},
        {"read-only all through", [](auto &sa) {
             Put(sa + "/sub/file", "f", true);
             MakeReadOnly(sa + "/sub");
             MakeReadOnly(sa);
         }, 1, {}},
    };
    for (auto &c : cases) {
        c.lay(At("sa"));
        EXPECT_EQ(RemoveTree(At("sa").c_str()), c.result) << c.name;
        EXPECT_EQ(Snapshot(dir), c.left) << c.name;
        std::error_code error;
        fs::remove(At("sa"), error);
    }
}

// The tree is renamed away mid-walk and a new "sa" takes its name: the walk
// goes on in the tree it started on, through the directories it holds open,
// and the newcomer is untouched. A walk that resolves paths again would empty
// the new "sa" instead. (Windows refuses to rename a folder while anything in
// it is open: there the name cannot move, and the tree goes whole. Wine lets
// it move, then quietly drops the deletions below the moved folder, so the
// moved tree stays whole there, once the wait budget is spent.)
TEST_F(RemoveTreeTest, TheWalkRemovesTheTreeItStartedOn) {
    static std::string s_dir;
    static bool s_moved;
    s_dir = dir;
    s_moved = false;
    Put(At("sa/a/trigger"), "ours");
    Put(At("sa/a/more"), "ours");
    Put(At("sa/b/c"), "ours");
    g_treeEntryListedHook = [](const char *name) {
        std::error_code error;
        if (std::string(name) != "trigger" || (fs::rename(s_dir + "/sa", s_dir + "/moved", error), error))
            return;
        s_moved = true;
        Put(s_dir + "/sa/a/more", "theirs");
        Put(s_dir + "/sa/b/c", "theirs");
    };
    int result = RemoveTree(At("sa").c_str());
    EXPECT_EQ(result, s_moved ? 0 : 1);
#ifndef _WIN32
    ASSERT_TRUE(s_moved);
    EXPECT_EQ(Snapshot(At("moved")), Tree{});
#endif
    EXPECT_EQ(Snapshot(At("sa")), (s_moved ? Tree{{"a/more", "theirs"}, {"b/c", "theirs"}} : Tree{}));
}

#ifndef _WIN32
// Linux only: links cannot be made from inside Wine, and the deep levels'
// parked descriptors are the Linux walk's own.

// The listing said "directory"; by the time the walk opens it, it is a link
// to a tree outside. The link goes, the outside stays whole.
TEST_F(RemoveTreeTest, ADirectorySwappedForALinkMidWalkIsRemovedAsALink) {
    static std::string s_dir;
    s_dir = dir;
    Put(At("sa/victim/file"), "ours");
    Put(At("sa/after"), "ours");
    Put(At("outside/canary"), "keep");
    g_treeEntryListedHook = [](const char *name) {
        if (std::string(name) != "victim")
            return;
        rename((s_dir + "/sa/victim").c_str(), (s_dir + "/moved").c_str());
        symlink((s_dir + "/outside").c_str(), (s_dir + "/sa/victim").c_str());
    };
    EXPECT_EQ(RemoveTree(At("sa").c_str()), 1);
    EXPECT_EQ(Snapshot(dir), (Tree{{"moved/file", "ours"}, {"outside/canary", "keep"}}));
}

// The listing said "file"; by the time its unlink runs, it is an empty
// directory: it goes as one. Alone, and among hundreds and thousands of
// files (more than the second thread's ring holds), whose unlinks go to the
// second thread.
TEST_F(RemoveTreeTest, AFileSwappedForAnEmptyDirectoryIsRemoved) {
    static std::string s_dir;
    s_dir = dir;
    g_treeEntryListedHook = [](const char *name) {
        if (std::string(name) == "victim" && unlink((s_dir + "/sa/victim").c_str()) == 0)
            mkdir((s_dir + "/sa/victim").c_str(), 0755);
    };
    for (int others : {2, 300, 3000}) {
        for (int i = 0; i < others; ++i)
            Put(At("sa/f" + std::to_string(i)), "ours");
        Put(At("sa/victim"), "ours");
        EXPECT_EQ(RemoveTree(At("sa").c_str()), 1) << others;
        EXPECT_EQ(Snapshot(dir), Tree{}) << others;
    }
}

// Deep levels let go of their parent's descriptor and reopen it through "..".
// A directory moved out of the tree meanwhile has a stranger for its "..":
// the walk must give that branch up instead of going on out there.
TEST_F(RemoveTreeTest, ADeepDirectoryMovedOutsideDoesNotTakeTheWalkWithIt) {
    static std::string s_dir, s_deep;
    s_dir = dir;
    s_deep = At("sa");
    for (int level = 1; level <= 12; ++level)
        s_deep += "/d";
    Put(s_deep + "/trigger", "ours");
    Put(At("outside/canary"), "keep");
    g_treeEntryListedHook = [](const char *name) {
        if (std::string(name) == "trigger")
            rename(s_deep.c_str(), (s_dir + "/outside/d").c_str());
    };
    EXPECT_EQ(RemoveTree(At("sa").c_str()), 0);
    Tree left = Snapshot(At("outside"));
    EXPECT_EQ(left["canary"], "keep");
    EXPECT_EQ(left["d"], "<dir>");
}

#endif

}  // namespace
