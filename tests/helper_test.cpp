// fwmaint as the installer sees it: the built program run in fresh working
// directories, judged by its exit status and by what it left on disk.
#include <sys/resource.h>
#include <sys/wait.h>

#include <vector>

#include "TestSupport.h"

namespace {

using Tree = std::map<std::string, std::string>;

struct Limits {
    rlim_t fileSize = RLIM_INFINITY;  // bytes a write may reach
    rlim_t openFiles = 0;             // 0: as inherited
    const char *fault = nullptr;      // "Operation:path" for the fault-injecting build
    bool unprivileged = false;        // run as nobody, where read-only bits bite
};

// Runs the helper in `dir` and returns its exit status, or 128+signal. The
// helper must never print, so any output fails the test.
int RunHelper(const std::string &dir, std::vector<std::string> args, Limits limits = {}) {
    std::string output = dir + ".out", program = limits.fault ? FWMAINT_HOOKED_PATH : FWMAINT_PATH;
    if (limits.unprivileged) {
        // The build tree may sit where nobody cannot reach: run a copy.
        EXPECT_EQ(system(("install -m 755 '" + program + "' '" + dir + ".bin'").c_str()), 0);
        program = dir + ".bin";
    }
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(out, 2);
        close_range(3, ~0U, 0);  // the helper gets the standard streams and nothing else of ours
        struct rlimit size = {limits.fileSize, limits.fileSize}, files = {limits.openFiles, limits.openFiles};
        setrlimit(RLIMIT_FSIZE, &size);
        if ((limits.openFiles && setrlimit(RLIMIT_NOFILE, &files) != 0) || chdir(dir.c_str()) != 0 ||
            (limits.unprivileged && getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)))
            _exit(99);
        if (limits.fault)
            setenv("FWMAINT_TEST_FAULT", limits.fault, 1);
        std::vector<char *> argv = {program.data()};
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
    unlink((dir + ".bin").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class HelperTest : public TempDirTest {
protected:
    // Lays `files`, then makes `readOnly` read-only (files 0444, directories 0555).
    void Lay(const Tree &files, const std::vector<std::string> &readOnly = {}) {
        for (auto &[path, content] : files)
            Put(At(path), content);
        struct stat st;
        for (auto &path : readOnly)
            if (stat(At(path).c_str(), &st) == 0)
                chmod(At(path).c_str(), S_ISDIR(st.st_mode) ? 0555 : 0444);
    }
    void Renew() {
        DropTempDir(dir);
        dir = MakeTempDir();
    }
};

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
    // Every command exits 0 with nothing to work on, and creates nothing.
    Renew();
    for (const char *word : {"deltar", "SAVEPREFS", "delsa", "RestorePrefs", "RENAMESERVICE"}) {
        EXPECT_EQ(RunHelper(dir, {word}), 0) << word;
        EXPECT_EQ(Snapshot(dir), Tree{}) << word;
    }
}

// Each command on a whole working directory: what was there, and what it
// changed (kGone: removed). Everything not named must be left as it was.
TEST_F(HelperTest, CommandsChangeExactlyWhatTheyShould) {
    const std::string big(64 * 1024, 'x'), kGone = "<gone>";
    const Tree defaults = {{"local.cf", "dL"}, {"user_prefs", "dP"}}, executables = {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe", "v2"}};
    auto with = [](Tree base, const Tree &more) { base.insert(more.begin(), more.end()); return base; };
    const struct {
        const char *name, *word;
        Tree before, changes;
        std::vector<std::string> readOnly = {};
        Limits limits = {};
    } cases[] = {
        {"deltar: those there, read-only refused", "deltar",
         {{"sa.tar", "a"}, {"sa.tar.bak", "x"}, {"sa/db.tar", "y"}, {"addrules.tar", "ro"}}, {{"sa.tar", kGone}}, {"addrules.tar"}},
        {"saveprefs: older layout only", "saveprefs",
         {{"sa/spamassassin/local.cf", "oL"}, {"sa/spamassassin/user_prefs", "oP"}}, {{"t_local.cf", "oL"}, {"t_user_prefs", "oP"}}},
        {"saveprefs: current layout wins", "saveprefs",
         {{"sa/spamassassin/local.cf", "oL"}, {"sa/ruleset/local.cf", "nL"}, {"sa/ruleset/user_prefs", "nP"}},
         {{"t_local.cf", "nL"}, {"t_user_prefs", "nP"}}},
        {"saveprefs: nothing to save keeps earlier copies", "saveprefs", {{"sa/x", "x"}, {"t_user_prefs", "eP"}}, {}},
        {"restoreprefs: defaults fill in", "restoreprefs", with(defaults, {{"sa/ruleset/r.cf", "r"}}),
         {{"sa/ruleset/local.cf", "dL"}, {"sa/ruleset/user_prefs", "dP"}, {"sa/ruleset/local.cf.sample", "dL"}}},
        {"restoreprefs: saved copies win and are consumed", "restoreprefs",
         with(defaults, {{"sa/ruleset/local.cf", "old"}, {"t_local.cf", "sL"}, {"t_user_prefs", "sP"}}),
         {{"sa/ruleset/local.cf", "sL"}, {"sa/ruleset/user_prefs", "sP"}, {"sa/ruleset/local.cf.sample", "dL"},
          {"t_local.cf", kGone}, {"t_user_prefs", kGone}}},
        {"restoreprefs: no tree keeps the saved copies", "restoreprefs",
         with(defaults, {{"t_local.cf", "sL"}, {"t_user_prefs", "sP"}}), {}},
        {"restoreprefs: read-only destination keeps its saved copy", "restoreprefs",
         with(defaults, {{"sa/ruleset/local.cf", "locked"}, {"t_local.cf", "sL"}, {"t_user_prefs", "sP"}}),
         {{"sa/ruleset/user_prefs", "sP"}, {"sa/ruleset/local.cf.sample", "dL"}, {"t_user_prefs", kGone}}, {"sa/ruleset/local.cf"}},
        // A copy that fails half-way (here at the file-size limit, as on a full
        // disk) leaves every destination whole and no temporary behind.
        {"saveprefs: copy fails half-way", "saveprefs", {{"sa/ruleset/local.cf", big}, {"t_local.cf", "sL"}}, {}, {}, {.fileSize = 1024}},
        {"restoreprefs: copy back fails half-way", "restoreprefs", with(defaults, {{"sa/ruleset/x", ""}, {"t_local.cf", big}}),
         {{"sa/ruleset/local.cf", "dL"}, {"sa/ruleset/user_prefs", "dP"}, {"sa/ruleset/local.cf.sample", "dL"}}, {}, {.fileSize = 1024}},
        {"renameservice: swap", "renameservice", with(executables, {{"Zovazozu.exe~", "v0"}}),
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", "v1"}, {"RadaroziZiz.exe", kGone}}},
        {"renameservice: first install", "renameservice", {{"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v0"}},
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", kGone}, {"RadaroziZiz.exe", kGone}}},
        {"renameservice: no new executable", "renameservice", {{"Zovazozu.exe", "v1"}, {"Zovazozu.exe~", "v0"}}, {}},
        {"renameservice: new one is a directory", "renameservice", {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe/x", "d"}}, {}},
        {"renameservice: undeletable backup changes nothing", "renameservice", with(executables, {{"Zovazozu.exe~", "v0"}}), {},
         {"Zovazozu.exe~"}},
        {"renameservice: last rename fails, old one goes back", "renameservice", executables, {}, {},
         {.fault = "MoveFileNoReplace:RadaroziZiz.exe"}},
        {"delsa: read-only all through, unprivileged", "delsa", {{"keep", "k"}, {"sa/ro/file", "f"}}, {{"sa/ro/file", kGone}},
         {"sa/ro/file", "sa/ro", "sa"}, {.unprivileged = true}},
    };
    for (auto &c : cases) {
        Renew();
        Lay(c.before, c.readOnly);
        if (c.limits.unprivileged) {
            EXPECT_EQ(system(("chown -R 65534:65534 '" + dir + "'").c_str()), 0);
        }
        Tree expected = with(c.changes, c.before);
        for (auto &[path, content] : c.changes)
            if (content == kGone)
                expected.erase(path);
        EXPECT_EQ(RunHelper(dir, {c.word}, c.limits), 0) << c.name;
        EXPECT_EQ(Snapshot(dir), expected) << c.name;
    }
}

TEST_F(HelperTest, CopiesCarryModeAndModificationTime) {
    Put(At("sa/ruleset/local.cf"), "tuned", 0640);
    struct timespec times[2] = {{1000000000, 0}, {1234567890, 0}};
    utimensat(AT_FDCWD, At("sa/ruleset/local.cf").c_str(), times, 0);
    EXPECT_EQ(RunHelper(dir, {"saveprefs"}), 0);
    struct stat st = {};
    EXPECT_EQ(stat(At("t_local.cf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
}

// The tree may come from an archive: a link in it must not steer a copy to
// read or write a file outside.
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

TEST_F(HelperTest, DelsaRemovesTheTreeAndNothingOutsideIt) {
    Lay({{"keep.txt", "k"}, {"outside/canary", "c"}, {"sa/ruleset/10.cf", "r"}, {"sa/ruleset/.hidden", "h"},
         {"sa/...", "d"}, {"sa/.a", "d"}, {"sa/a\\..\\..\\keep.txt", "not a path"}, {"sa/ro/deep/file", "f"}},
        {"sa/ro/deep/file", "sa/ro/deep", "sa/ro", "sa"});
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
}

// Deeper than PATH_MAX, and again with five descriptors in all (three of them
// the standard streams): the walk must neither crash nor give up on the tree.
TEST_F(HelperTest, DelsaRemovesTreesPastPathMaxWithFewDescriptors) {
    for (rlim_t openFiles : {rlim_t(0), rlim_t(5)}) {
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

// Undeletable for real where chattr +i works (root on ext4), else by the
// test build's injected refusal.
TEST_F(HelperTest, DelsaLeavesAnUndeletableFileAndTheDirectoriesAboveIt) {
    Lay({{"sa/a/b/locked", "l"}, {"sa/a/b/other", "o"}, {"sa/a/sibling", "s"}, {"sa/c/d", "d"}});
    bool immutable = getuid() == 0 && system(("chattr +i '" + At("sa/a/b/locked") + "' 2>/dev/null").c_str()) == 0;
    EXPECT_EQ(RunHelper(dir, {"delsa"}, {.fault = immutable ? nullptr : "DeleteTreeEntry:locked"}), 0);
    EXPECT_EQ(Snapshot(dir), (Tree{{"sa/a/b/locked", "l"}}));
}

}  // namespace
