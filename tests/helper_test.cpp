// fwmaint as the installer sees it: the built program run in fresh working
// directories, judged by its exit status and by what it left on disk.
#include <sys/resource.h>
#include <sys/wait.h>

#include <functional>
#include <vector>

#include "TestSupport.h"

namespace {

struct Limits {
    rlim_t fileSize = RLIM_INFINITY;  // bytes a write may reach
    rlim_t openFiles = 0;             // 0: as inherited
    const char *fault = nullptr;      // "Operation:path" for the fault-injecting build
    bool unprivileged = false;        // run as nobody, where read-only bits bite
};

// Runs the helper in `dir` and returns its exit status, or 128+signal. The
// helper must never print, so any output fails the test.
int RunHelper(const std::string &dir, std::vector<std::string> args, Limits limits = {}) {
    std::string output = dir + ".out";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(out, 2);
        close(out);
        if (limits.unprivileged && getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(97);
        if (chdir(dir.c_str()) != 0)
            _exit(99);
        struct rlimit size = {limits.fileSize, limits.fileSize}, files = {limits.openFiles, limits.openFiles};
        setrlimit(RLIMIT_FSIZE, &size);
        if (limits.openFiles)
            setrlimit(RLIMIT_NOFILE, &files);
        if (limits.fault)
            setenv("FWMAINT_TEST_FAULT", limits.fault, 1);
        std::vector<char *> argv = {(char *)(limits.fault ? FWMAINT_HOOKED_PATH : FWMAINT_PATH)};
        for (auto &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(98);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(Get(output), "") << "the helper printed something";
    unlink(output.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

using Tree = std::map<std::string, std::string>;

class HelperTest : public TempDirTest {
protected:
    void Lay(const Tree &files) {
        for (auto &[path, content] : files)
            Put(At(path), content);
    }
};

// --- Command words -------------------------------------------------------

TEST_F(HelperTest, CommandWordsMatchWholeAfterFoldingAToZOnly) {
    const Tree archives = {{"sa.tar", "a"}, {"db.tar", "b"}, {"addrules.tar", "c"}, {"keep", "k"}};
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"deltar"}, 0}, {{"DELTAR"}, 0}, {{"DeLtAr"}, 0},
        {{}, 1}, {{"deltar", "delsa"}, 1}, {{""}, 1}, {{"delt"}, 1}, {{"deltars"}, 1},
        {{"deltar "}, 1}, {{" deltar"}, 1}, {{"del tar"}, 1}, {{"d\xC5ltar"}, 1}, {{"deltar\xC0"}, 1},
        {{"-deltar"}, 1}, {{"deltar\t"}, 1}, {{"DELTA"}, 1},
    };
    for (auto &c : cases) {
        Lay(archives);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(RunHelper(dir, c.args), c.status);
        // A rejected word touches nothing; the matched one takes the archives.
        EXPECT_EQ(Snapshot(dir), (c.status ? archives : Tree{{"keep", "k"}}));
    }
}

TEST_F(HelperTest, EveryCommandSucceedsInAnEmptyDirectoryAndCreatesNothing) {
    for (const char *word : {"deltar", "SAVEPREFS", "delsa", "RestorePrefs", "RENAMESERVICE"}) {
        EXPECT_EQ(RunHelper(dir, {word}), 0) << word;
        EXPECT_EQ(Snapshot(dir), Tree{}) << word;
    }
}

// --- The commands --------------------------------------------------------

TEST_F(HelperTest, DeltarDeletesTheArchivesThatAreThereAndNothingElse) {
    Lay({{"sa.tar", "a"}, {"sa.tar.bak", "x"}, {"sa/db.tar", "y"}});
    Put(At("addrules.tar"), "read-only", 0444);  // refused, as Windows refuses it
    EXPECT_EQ(RunHelper(dir, {"deltar"}), 0);
    EXPECT_EQ(Snapshot(dir), (Tree{{"addrules.tar", "read-only"}, {"sa", "<dir>"}, {"sa.tar.bak", "x"}, {"sa/db.tar", "y"}}));
}

TEST_F(HelperTest, SaveprefsPrefersTheCurrentLayoutAndKeepsEarlierCopies) {
    const struct {
        Tree before;
        std::string local, prefs;
    } cases[] = {
        {{{"sa/spamassassin/local.cf", "old L"}, {"sa/spamassassin/user_prefs", "old P"}}, "old L", "old P"},
        {{{"sa/spamassassin/local.cf", "old L"}, {"sa/ruleset/local.cf", "new L"},
          {"sa/spamassassin/user_prefs", "old P"}, {"sa/ruleset/user_prefs", "new P"}}, "new L", "new P"},
        {{{"sa/ruleset/local.cf", "new L"}, {"t_user_prefs", "earlier P"}}, "new L", "earlier P"},
        {{{"sa/other", "x"}}, "<none>", "<none>"},
    };
    for (auto &c : cases) {
        DropTempDir(dir);
        dir = MakeTempDir();
        Lay(c.before);
        EXPECT_EQ(RunHelper(dir, {"saveprefs"}), 0);
        EXPECT_EQ(Get(At("t_local.cf")), c.local);
        EXPECT_EQ(Get(At("t_user_prefs")), c.prefs);
    }
}

TEST_F(HelperTest, CopiesCarryModeAndModificationTime) {
    Put(At("sa/ruleset/local.cf"), "tuned", 0640);
    struct timespec times[2] = {{1000000000, 0}, {1234567890, 0}};
    utimensat(AT_FDCWD, At("sa/ruleset/local.cf").c_str(), times, 0);
    EXPECT_EQ(RunHelper(dir, {"saveprefs"}), 0);
    struct stat st;
    ASSERT_EQ(stat(At("t_local.cf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
}

TEST_F(HelperTest, RestoreprefsInstallsSavedOverDefaultsAndConsumesOnlyWhatWentBack) {
    const Tree defaults = {{"local.cf", "default L"}, {"user_prefs", "default P"}};
    const struct {
        Tree before;
        Tree after;
    } cases[] = {
        // Nothing saved: the defaults fill in.
        {{{"sa/ruleset/x.cf", "r"}},
         {{"sa/ruleset/x.cf", "r"}, {"sa/ruleset/local.cf", "default L"}, {"sa/ruleset/user_prefs", "default P"}}},
        // Saved copies win and are consumed.
        {{{"sa/ruleset/local.cf", "stale"}, {"t_local.cf", "saved L"}, {"t_user_prefs", "saved P"}},
         {{"sa/ruleset/local.cf", "saved L"}, {"sa/ruleset/user_prefs", "saved P"}}},
        // No tree to restore into: the saved copies are the user's only ones and stay.
        {{{"t_local.cf", "saved L"}, {"t_user_prefs", "saved P"}}, {{"t_local.cf", "saved L"}, {"t_user_prefs", "saved P"}}},
    };
    for (auto &c : cases) {
        DropTempDir(dir);
        dir = MakeTempDir();
        Lay(defaults);
        Lay(c.before);
        EXPECT_EQ(RunHelper(dir, {"restoreprefs"}), 0);
        Tree expected = defaults;
        for (auto &[path, content] : c.after)
            expected[path] = content;
        if (Get(At("sa/ruleset/x.cf")) != "<none>" || c.after.count("sa/ruleset/local.cf")) {
            expected["sa"] = expected["sa/ruleset"] = "<dir>";
            expected["sa/ruleset/local.cf.sample"] = "default L";
        }
        EXPECT_EQ(Snapshot(dir), expected);
    }
}

TEST_F(HelperTest, RestoreprefsKeepsTheSavedCopyWhenTheDestinationIsReadOnly) {
    Lay({{"t_local.cf", "saved L"}, {"t_user_prefs", "saved P"}});
    Put(At("sa/ruleset/local.cf"), "locked", 0444);
    EXPECT_EQ(RunHelper(dir, {"restoreprefs"}), 0);
    EXPECT_EQ(Get(At("sa/ruleset/local.cf")), "locked");
    EXPECT_EQ(Get(At("t_local.cf")), "saved L");
    EXPECT_EQ(Get(At("sa/ruleset/user_prefs")), "saved P");
    EXPECT_EQ(Get(At("t_user_prefs")), "<none>");
}

TEST_F(HelperTest, RenameserviceNeverLeavesTheServiceWithoutItsExecutable) {
    const struct {
        const char *name;
        Tree before;
        Tree after;
        const char *fault;
    } cases[] = {
        {"swap", {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v0"}},
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", "v1"}}, nullptr},
        {"first install", {{"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v0"}}, {{"Zovazozu.exe", "v2"}}, nullptr},
        {"no new executable", {{"Zovazozu.exe", "v1"}, {"Zovazozu.exe~", "v0"}},
         {{"Zovazozu.exe", "v1"}, {"Zovazozu.exe~", "v0"}}, nullptr},
        {"new one is a directory", {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe/x", "d"}},
         {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe", "<dir>"}, {"RadaroziZiz.exe/x", "d"}}, nullptr},
        {"last rename fails", {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe", "v2"}},
         {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe", "v2"}}, "MoveFileNoReplace:RadaroziZiz.exe"},
    };
    for (auto &c : cases) {
        DropTempDir(dir);
        dir = MakeTempDir();
        Lay(c.before);
        EXPECT_EQ(RunHelper(dir, {"renameservice"}, {.fault = c.fault}), 0) << c.name;
        EXPECT_EQ(Snapshot(dir), c.after) << c.name;
    }
}

TEST_F(HelperTest, RenameserviceWithAnUndeletableBackupChangesNothing) {
    Lay({{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe", "v2"}});
    Put(At("Zovazozu.exe~"), "v0", 0444);
    EXPECT_EQ(RunHelper(dir, {"renameservice"}), 0);
    EXPECT_EQ(Snapshot(dir), (Tree{{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v0"}}));
}

// The tree may come from an archive: a link in it must not steer a copy to
// read or write a file outside.
TEST_F(HelperTest, CopiesNeverGoThroughLinks) {
    Lay({{"outside/rs/local.cf", "theirs"}, {"outside/secret", "s"}, {"t_local.cf", "saved L"}});
    const Tree outside = Snapshot(At("outside"));
    mkdir(At("sa").c_str(), 0755);
    symlink(At("outside/rs").c_str(), At("sa/ruleset").c_str());
    EXPECT_EQ(RunHelper(dir, {"restoreprefs"}), 0);
    EXPECT_EQ(Get(At("t_local.cf")), "saved L");
    unlink(At("sa/ruleset").c_str());
    Put(At("sa/ruleset/user_prefs"), "p");
    symlink(At("outside/secret").c_str(), At("sa/ruleset/local.cf").c_str());
    EXPECT_EQ(RunHelper(dir, {"saveprefs"}), 0);
    EXPECT_EQ(Get(At("t_local.cf")), "saved L");
    EXPECT_EQ(Snapshot(At("outside")), outside);
}

// A copy that runs out of room (file-size limit, or a full tmpfs) must leave
// every destination whole and no temporary behind.
TEST_F(HelperTest, ACopyThatRunsOutOfRoomLosesNothing) {
    const std::string big(64 * 1024, 'x');
    bool tmpfs = getuid() == 0 && system(("mount -t tmpfs -o size=96k fwtest '" + dir + "' 2>/dev/null").c_str()) == 0;
    for (int round = 0; round < (tmpfs ? 2 : 1); ++round) {
        rlim_t limit = round == 0 && tmpfs ? RLIM_INFINITY : 1024;  // the mount's room, then the size limit
        Lay({{"sa/ruleset/local.cf", big}, {"t_local.cf", "saved L"}});
        EXPECT_EQ(RunHelper(dir, {"saveprefs"}, {.fileSize = limit}), 0);
        EXPECT_EQ(Snapshot(dir), (Tree{{"sa", "<dir>"}, {"sa/ruleset", "<dir>"}, {"sa/ruleset/local.cf", big},
                                       {"t_local.cf", "saved L"}}));
        Lay({{"sa/ruleset/local.cf", "default L"}, {"local.cf", "default L"}, {"t_local.cf", big}});
        EXPECT_EQ(RunHelper(dir, {"restoreprefs"}, {.fileSize = limit}), 0);
        EXPECT_EQ(Snapshot(dir), (Tree{{"local.cf", "default L"}, {"sa", "<dir>"}, {"sa/ruleset", "<dir>"},
                                       {"sa/ruleset/local.cf", "default L"}, {"sa/ruleset/local.cf.sample", "default L"},
                                       {"t_local.cf", big}}));
        system(("rm -rf '" + dir + "'/* '" + dir + "'/.[!.]*").c_str());
    }
    if (tmpfs) {
        EXPECT_EQ(system(("umount '" + dir + "'").c_str()), 0);
    }
}

// --- delsa ---------------------------------------------------------------

TEST_F(HelperTest, DelsaRemovesTheTreeAndNothingOutsideIt) {
    Lay({{"keep.txt", "k"}, {"outside/canary", "c"}, {"sa/ruleset/10.cf", "r"}, {"sa/ruleset/.hidden", "h"},
         {"sa/...", "d"}, {"sa/.a", "d"}, {"sa/a\\..\\..\\keep.txt", "not a path"}});
    Put(At("sa/ro/deep/file"), "f", 0444);
    chmod(At("sa/ro/deep").c_str(), 0555);
    chmod(At("sa/ro").c_str(), 0555);
    chmod(At("sa").c_str(), 0555);
    symlink(At("outside").c_str(), At("sa/dirlink").c_str());
    symlink(At("outside/canary").c_str(), At("sa/filelink").c_str());
    symlink("nowhere", At("sa/dangling").c_str());
    mkfifo(At("sa/fifo").c_str(), 0644);
    EXPECT_EQ(RunHelper(dir, {"delsa"}), 0);
    EXPECT_EQ(Snapshot(dir), (Tree{{"keep.txt", "k"}, {"outside", "<dir>"}, {"outside/canary", "c"}}));
}

TEST_F(HelperTest, DelsaClearsReadOnlyBitsForAnUnprivilegedUser) {
    Put(At("sa/ro/file"), "f", 0444);
    EXPECT_EQ(system(("chown -R 65534:65534 '" + dir + "'").c_str()), 0);
    chmod(At("sa/ro").c_str(), 0555);
    chmod(At("sa").c_str(), 0555);
    EXPECT_EQ(RunHelper(dir, {"delsa"}, {.unprivileged = true}), 0);
    EXPECT_EQ(Snapshot(dir), Tree{});
}

TEST_F(HelperTest, DelsaOnALinkRemovesOnlyTheLink) {
    Lay({{"target/sa/ruleset/local.cf", "x"}});
    symlink("target/sa", At("sa").c_str());
    EXPECT_EQ(RunHelper(dir, {"delsa"}), 0);
    EXPECT_EQ(Snapshot(dir), (Tree{{"target", "<dir>"}, {"target/sa", "<dir>"}, {"target/sa/ruleset", "<dir>"},
                                   {"target/sa/ruleset/local.cf", "x"}}));
}

// Deeper than PATH_MAX, and again with barely enough descriptors for a few
// levels: the walk must neither crash nor give up on the tree.
TEST_F(HelperTest, DelsaRemovesTreesPastPathMaxWithFewDescriptors) {
    for (rlim_t openFiles : {rlim_t(0), rlim_t(24)}) {
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
        EXPECT_EQ(RunHelper(dir, {"delsa"}, {.openFiles = openFiles}), 0);
        EXPECT_EQ(Snapshot(dir), (Tree{{"file", ""}})) << openFiles;
        unlink(At("file").c_str());
    }
}

TEST_F(HelperTest, DelsaLeavesAnUndeletableFileAndTheDirectoriesAboveIt) {
    Lay({{"sa/a/b/locked", "l"}, {"sa/a/b/other", "o"}, {"sa/a/sibling", "s"}, {"sa/c/d", "d"}});
    if (getuid() != 0 || system(("chattr +i '" + At("sa/a/b/locked") + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i needs root and a file system that supports it";
    EXPECT_EQ(RunHelper(dir, {"delsa"}), 0);
    EXPECT_EQ(Snapshot(dir), (Tree{{"sa", "<dir>"}, {"sa/a", "<dir>"}, {"sa/a/b", "<dir>"}, {"sa/a/b/locked", "l"}}));
}

}  // namespace
