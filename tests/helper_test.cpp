// fwmaint as the installer sees it: the built program run in fresh working
// directories, judged by its exit status and by what it left on disk. The
// same tables run on the Linux build and on the Windows build under Wine.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#endif

#include <set>
#include <vector>

#include "Platform.h"
#include "TestHooks.h"
#include "TestSupport.h"

namespace {

using Tree = std::map<std::string, std::string>;

// `base` with `more` laid over it.
Tree With(Tree base, const Tree &more) {
    base.insert(more.begin(), more.end());
    return base;
}

struct Limits {
    unsigned long long fileSize = 0;  // bytes a write may reach; 0: no limit
    unsigned openFiles = 0;           // 0: as inherited
    const char *fault = nullptr;      // "Operation:path" or "Operation#N" for the fault-injecting build
    const char *crash = nullptr;      // the same, or "*#N", to end the test build there
    bool unprivileged = false;        // run as nobody, where read-only bits bite
};

// How long one run of the helper may take before a test calls it hung.
const int kHelperSeconds = 30;

// Windows has no per-process file-size or descriptor limit to set, and no
// user to drop to: rows that need one run on Linux only.
bool CanRun(const Limits &limits) {
#ifdef _WIN32
    return !limits.fileSize && !limits.openFiles && !limits.unprivileged;
#else
    (void)limits;
    return true;
#endif
}

// FIFOs are for Linux rows only.
bool CanLay(const Tree &files) {
#ifdef _WIN32
    for (auto &entry : files)
        if (entry.second == "<special>")
            return false;
#else
    (void)files;
#endif
    return true;
}

#ifdef _WIN32
// Wine maps the Linux root to drive Z:, so a build path from CMake is
// reachable as Z:/work/...; a native Windows build path passes unchanged.
std::string WindowsPath(const std::string &path) {
    return path[0] == '/' ? "Z:" + path : path;
}

// UTF-8 to UTF-16 (bytes that are no UTF-8 become U+FFFD).
std::wstring Wide(const std::string &text) {
    std::wstring wide(text.size() + 1, L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], (int)wide.size()) - 1);
    return wide;
}

// Runs the helper in `dir` with `tail` (UTF-8) as the raw rest of its command
// line and returns its exit status. The line goes in as UTF-16, as Windows
// keeps it, so a row can carry any character. The helper must never print, so
// any output fails the test.
int RunHelperLine(const std::string &dir, const std::string &tail, Limits limits = {}) {
    bool hooked = limits.fault || limits.crash;
    std::string output = dir + ".out", line = "\"" + WindowsPath(hooked ? FWMAINT_HOOKED_PATH : FWMAINT_PATH) + "\"" + tail;
    std::wstring wideLine = Wide(line);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = startup.hStdError = out;
    SetEnvironmentVariableA("FWMAINT_TEST_FAULT", limits.fault);
    SetEnvironmentVariableA("FWMAINT_TEST_CRASH", limits.crash);
    PROCESS_INFORMATION process = {};
    // Wine, busy, now and then fails to start a process with ERROR_INTERNAL_ERROR
    // before it runs a single instruction: start it again.
    BOOL started = FALSE;
    for (int attempt = 0; !started && attempt < 3; ++attempt) {
        if (attempt)
            Sleep(100);
        started = CreateProcessW(nullptr, &wideLine[0], nullptr, nullptr, TRUE, 0, nullptr, Wide(dir).c_str(), &startup, &process);
        if (!started && GetLastError() != ERROR_INTERNAL_ERROR)
            break;
    }
    SetEnvironmentVariableA("FWMAINT_TEST_FAULT", nullptr);
    SetEnvironmentVariableA("FWMAINT_TEST_CRASH", nullptr);
    DWORD status = 99;
    EXPECT_TRUE(started) << line << ": error " << GetLastError();
    if (started) {
        // A helper that never ends fails the test instead of hanging the suite.
        if (WaitForSingleObject(process.hProcess, kHelperSeconds * 1000) == WAIT_TIMEOUT) {
            ADD_FAILURE() << "the helper was still running after " << kHelperSeconds << " s";
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, INFINITE);
        }
        GetExitCodeProcess(process.hProcess, &status);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(out);
    EXPECT_EQ(Get(output), "") << "the helper printed something";
    DeleteFileA(output.c_str());
    return (int)status;
}

// Quotes each argument as the helper's splitter reads it back.
int RunHelper(const std::string &dir, std::vector<std::string> args, Limits limits = {}) {
    std::string tail;
    for (const std::string &arg : args) {
        std::string quoted;
        for (char c : arg)
            quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
        bool blank = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
        tail += blank ? " \"" + quoted + "\"" : " " + quoted;
    }
    return RunHelperLine(dir, tail, limits);
}
#else
// Runs the helper in `dir` and returns its exit status, or 128+signal. The
// helper must never print, so any output fails the test.
int RunHelper(const std::string &dir, std::vector<std::string> args, Limits limits = {}) {
    std::string output = dir + ".out", program = limits.fault || limits.crash ? FWMAINT_HOOKED_PATH : FWMAINT_PATH;
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
        rlim_t fileSize = limits.fileSize ? limits.fileSize : RLIM_INFINITY;
        struct rlimit size = {fileSize, fileSize}, files = {limits.openFiles, limits.openFiles};
        setrlimit(RLIMIT_FSIZE, &size);
        if ((limits.openFiles && setrlimit(RLIMIT_NOFILE, &files) != 0) || chdir(dir.c_str()) != 0 ||
            (limits.unprivileged && getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)))
            _exit(99);
        if (limits.fault)
            setenv("FWMAINT_TEST_FAULT", limits.fault, 1);
        if (limits.crash)
            setenv("FWMAINT_TEST_CRASH", limits.crash, 1);
        std::vector<char *> argv = {program.data()};
        for (auto &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(98);
    }
    // A helper that never ends fails the test instead of hanging the suite.
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited) {
        if (waited == kHelperSeconds * 100) {
            ADD_FAILURE() << "the helper was still running after " << kHelperSeconds << " s";
            kill(pid, SIGKILL);
        }
        usleep(10000);
    }
    EXPECT_EQ(Get(output), "") << "the helper printed something";
    unlink(output.c_str());
    unlink((dir + ".bin").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

class HelperTest : public TempDirTest {
protected:
    // Lays `files`, then makes `readOnly` read-only.
    // A "<special>" file is laid as a FIFO (Linux only), as an archive can.
    void Lay(const Tree &files, const std::vector<std::string> &readOnly = {}) {
        for (auto &[path, content] : files) {
#ifndef _WIN32
            if (content == "<special>") {
                fs::create_directories(fs::path(At(path)).parent_path());
                EXPECT_EQ(mkfifo(At(path).c_str(), 0644), 0) << path;
                continue;
            }
#endif
            Put(At(path), content);
        }
        for (auto &path : readOnly)
            MakeReadOnly(At(path));
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
        {{"-deltar"}, 1}, {{"deltar\t"}, 1}, {{"DELTA"}, 1}, {{"renameservices"}, 1}, {{std::string(5000, 'D')}, 1},
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
        // The saved copies are the helper's own: a read-only bit one took
        // from the older layout, or from an earlier run, must not pin it.
        {"saveprefs: read-only older layout and saved copy, current layout wins", "saveprefs",
         {{"sa/spamassassin/local.cf", "oL"}, {"sa/ruleset/local.cf", "nL"}, {"sa/ruleset/user_prefs", "nP"}, {"t_user_prefs", "eP"}},
         {{"t_local.cf", "nL"}, {"t_user_prefs", "nP"}}, {"sa/spamassassin/local.cf", "t_user_prefs"}},
        {"restoreprefs: defaults fill in", "restoreprefs", With(defaults, {{"sa/ruleset/r.cf", "r"}}),
         {{"sa/ruleset/local.cf", "dL"}, {"sa/ruleset/user_prefs", "dP"}, {"sa/ruleset/local.cf.sample", "dL"}}},
        {"restoreprefs: saved copies win and are consumed", "restoreprefs",
         With(defaults, {{"sa/ruleset/local.cf", "old"}, {"t_local.cf", "sL"}, {"t_user_prefs", "sP"}}),
         {{"sa/ruleset/local.cf", "sL"}, {"sa/ruleset/user_prefs", "sP"}, {"sa/ruleset/local.cf.sample", "dL"},
          {"t_local.cf", kGone}, {"t_user_prefs", kGone}}},
        {"restoreprefs: no tree keeps the saved copies", "restoreprefs",
         With(defaults, {{"t_local.cf", "sL"}, {"t_user_prefs", "sP"}}), {}},
        {"restoreprefs: read-only destination keeps its saved copy", "restoreprefs",
         With(defaults, {{"sa/ruleset/local.cf", "locked"}, {"t_local.cf", "sL"}, {"t_user_prefs", "sP"}}),
         {{"sa/ruleset/user_prefs", "sP"}, {"sa/ruleset/local.cf.sample", "dL"}, {"t_user_prefs", kGone}}, {"sa/ruleset/local.cf"}},
        {"restoreprefs: a read-only default does not stop the saved copy", "restoreprefs",
         With(defaults, {{"sa/ruleset/x", ""}, {"t_local.cf", "sL"}}),
         {{"sa/ruleset/local.cf", "sL"}, {"sa/ruleset/user_prefs", "dP"}, {"sa/ruleset/local.cf.sample", "dL"}, {"t_local.cf", kGone}},
         {"local.cf"}},
        {"restoreprefs: a read-only saved copy is consumed all the same", "restoreprefs",
         With(defaults, {{"sa/ruleset/x", ""}, {"t_local.cf", "sL"}}),
         {{"sa/ruleset/local.cf", "sL"}, {"sa/ruleset/user_prefs", "dP"}, {"sa/ruleset/local.cf.sample", "dL"}, {"t_local.cf", kGone}},
         {"t_local.cf"}},
        // Temporaries of copies cut short are swept by the exact pattern;
        // look-alikes are a user's.
        {"saveprefs: temporaries left by a killed run go", "saveprefs",
         {{"sa/ruleset/local.cf", "nL"}, {".t_local.cf.fwmaint-123-0", "part"}, {".t_user_prefs.fwmaint-9-99", "part"},
          {".t_local.cf.fwmaint-1-x", "u"}, {".t_local.cf.fwmaint-12-0.bak", "u"}, {"t_local.cf.fwmaint-1-0", "u"}, {".local.cf.fwmaint-1-0", "u"}},
         {{"t_local.cf", "nL"}, {".t_local.cf.fwmaint-123-0", kGone}, {".t_user_prefs.fwmaint-9-99", kGone}}},
#ifdef _WIN32
        // Windows copies write no dot name (Wine would mark it hidden).
        {"saveprefs: visible temporaries left by a killed run go", "saveprefs",
         {{"sa/ruleset/local.cf", "nL"}, {"t_local.cf.fwmaint-123-0.tmp", "part"}, {"t_local.cf.fwmaint-1-0.tmp.bak", "u"},
          {"t_local.cf.fwmaint-1-.tmp", "u"}, {"local.cf.fwmaint-1-0.tmp", "u"}},
         {{"t_local.cf", "nL"}, {"t_local.cf.fwmaint-123-0.tmp", kGone}}},
#endif
        // A file system that refuses the first listing class the helper asks
        // for (some network redirectors) is listed with the other one.
        {"delsa: the first listing class refused", "delsa", {{"keep", "k"}, {"sa/a/b", "1"}, {"sa/c", "2"}},
         {{"sa/a/b", kGone}, {"sa/c", kGone}}, {}, {.fault = "ListingByIds#1"}},
        {"saveprefs: the first listing class refused, the sweep goes on", "saveprefs",
         {{"sa/ruleset/local.cf", "nL"}, {".t_local.cf.fwmaint-5-0", "part"}}, {{"t_local.cf", "nL"}, {".t_local.cf.fwmaint-5-0", kGone}},
         {}, {.fault = "ListingByIds#1"}},
        // A copy that fails half-way (here at the file-size limit, as on a full
        // disk) leaves every destination whole and no temporary behind.
        {"saveprefs: copy fails half-way", "saveprefs", {{"sa/ruleset/local.cf", big}, {"t_local.cf", "sL"}}, {}, {}, {.fileSize = 1024}},
        {"restoreprefs: copy back fails half-way", "restoreprefs", With(defaults, {{"sa/ruleset/x", ""}, {"t_local.cf", big}}),
         {{"sa/ruleset/local.cf", "dL"}, {"sa/ruleset/user_prefs", "dP"}, {"sa/ruleset/local.cf.sample", "dL"}}, {}, {.fileSize = 1024}},
        // A FIFO (or device) an archive planted in place of a file to copy is
        // not opened to wait on; the other copies go on.
        {"saveprefs: FIFOs in place of the current layout", "saveprefs",
         {{"sa/spamassassin/local.cf", "oL"}, {"sa/ruleset/local.cf", "<special>"}, {"sa/spamassassin/user_prefs", "<special>"},
          {"sa/ruleset/user_prefs", "<special>"}},
         {{"t_local.cf", "oL"}}},
        {"restoreprefs: FIFOs as a default and a saved copy", "restoreprefs",
         {{"local.cf", "<special>"}, {"user_prefs", "dP"}, {"t_local.cf", "sL"}, {"t_user_prefs", "<special>"}, {"sa/ruleset/x", ""}},
         {{"sa/ruleset/local.cf", "sL"}, {"sa/ruleset/user_prefs", "dP"}, {"t_local.cf", kGone}}},
        {"renameservice: swap", "renameservice", With(executables, {{"Zovazozu.exe~", "v0"}}),
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", "v1"}, {"RadaroziZiz.exe", kGone}}},
        // Without the main executable, the backup is the only copy of the
        // previous version (a run cut short between its renames leaves this).
        {"renameservice: no main executable keeps the backup", "renameservice", {{"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v0"}},
         {{"Zovazozu.exe", "v2"}, {"RadaroziZiz.exe", kGone}}},
        // Delivered again after a finished swap: the backup is the only copy
        // of the version before.
        {"renameservice: the same executable again keeps the backup", "renameservice",
         {{"Zovazozu.exe", "v2"}, {"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v1"}}, {{"RadaroziZiz.exe", kGone}}},
        {"renameservice: no new executable", "renameservice", {{"Zovazozu.exe", "v1"}, {"Zovazozu.exe~", "v0"}}, {}},
        {"renameservice: new one is a directory", "renameservice", {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe/x", "d"}}, {}},
        {"renameservice: undeletable backup changes nothing", "renameservice", With(executables, {{"Zovazozu.exe~", "v0"}}), {},
         {"Zovazozu.exe~"}},
        {"renameservice: a folder as the backup changes nothing", "renameservice", With(executables, {{"Zovazozu.exe~/mine", "u"}}), {}},
        {"renameservice: last rename fails, old one goes back", "renameservice", executables, {}, {},
         {.fault = "MoveFileNoReplace:RadaroziZiz.exe"}},
        {"delsa: read-only all through, unprivileged", "delsa", {{"keep", "k"}, {"sa/ro/file", "f"}}, {{"sa/ro/file", kGone}},
         {"sa/ro/file", "sa/ro", "sa"}, {.unprivileged = true}},
    };
    for (auto &c : cases) {
        if (!CanRun(c.limits) || !CanLay(c.before))
            continue;
        Renew();
        Lay(c.before, c.readOnly);
        if (c.limits.unprivileged) {
            EXPECT_EQ(system(("chown -R 65534:65534 '" + dir + "'").c_str()), 0);
        }
        Tree expected = With(c.changes, c.before);
        for (auto &[path, content] : c.changes)
            if (content == kGone)
                expected.erase(path);
        EXPECT_EQ(RunHelper(dir, {c.word}, c.limits), 0) << c.name;
        EXPECT_EQ(Snapshot(dir), expected) << c.name;
    }
}

// A populated working directory for each command, and how many calls of each
// operation it makes (so that each can be failed in turn). Read-only: a
// folder in the tree, and a saved preference copied from a read-only file.
struct PopulatedCase {
    const char *word;
    Tree before;
    std::vector<std::pair<const char *, int>> operations;
};

std::vector<PopulatedCase> PopulatedCases() {
    const Tree defaults = {{"local.cf", "dL"}, {"user_prefs", "dP"}, {"outside/canary", "c"}};
    Tree many = defaults;
    for (int i = 0; i < 40; ++i)
        many["sa/many/m" + std::to_string(i)] = "m" + std::to_string(i);
    return {
        {"deltar", With(defaults, {{"sa.tar", "a"}, {"db.tar", "b"}, {"addrules.tar", "c"}}), {{"DeleteOneFile", 3}}},
        {"saveprefs", With(defaults, {{"sa/spamassassin/local.cf", "oL"}, {"sa/spamassassin/user_prefs", "oP"},
                                      {"sa/ruleset/local.cf", "nL"}, {"t_user_prefs", "eP"}}),
         {{"CopyFileOver", 4}, {"ReplaceWithCopy", 3}}},
        // "sa/many" is big enough for its unlinks to go in a batch.
        {"delsa", With(many, {{"sa/a/f1", "1"}, {"sa/a/ro", "2"}, {"sa/b/c/f2", "3"}, {"sa/f3", "4"}, {"sa/d/", ""}}),
         {{"IoUringSetup", 1}, {"IsLinkPath", 1}, {"OpenTreeRoot", 1}, {"OpenTreeChild", 5}, {"MakeTreeDirWritable", 6},
          {"ReadTreeEntry", 24}, {"DeleteTreeEntry", 10}, {"RemoveTreeRoot", 1}}},
        {"restoreprefs", With(defaults, {{"sa/ruleset/local.cf", "old"}, {"t_local.cf", "sL"}, {"t_user_prefs", "sP"}}),
         {{"CopyFileOver", 5}, {"ReplaceWithCopy", 3}, {"SameFileContents", 2}, {"DeleteOwnFile", 2}}},
        {"renameservice", With(defaults, {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v0"}}),
         {{"IsRegularFile", 2}, {"SameFileContents", 1}, {"DeleteOrSetAside", 1}, {"MoveFileNoReplace", 3}}},
    };
}
const std::vector<std::string> kPopulatedReadOnly = {"sa/a/ro", "t_user_prefs"};

// Each operation of the platform seam fails on its 1st, 2nd, ... call in
// turn, for every command (a countdown in the test build). Whatever fails,
// the helper must still exit 0 and leave every file either as it was or as a
// clean run leaves it: no temporary, no half state, and no content a clean
// run keeps may vanish (a saved preference deleted after its copy back
// failed would).
TEST_F(HelperTest, EveryFailingOperationLeavesNoUserDataLost) {
    const auto cases = PopulatedCases();
    auto contents = [](const Tree &tree) {
        std::multiset<std::string> all;
        for (auto &entry : tree)
            all.insert(entry.second);
        return all;
    };
    for (auto &c : cases) {
        Renew();
        Lay(c.before, kPopulatedReadOnly);
        ASSERT_EQ(RunHelper(dir, {c.word}), 0);
        const Tree clean = Snapshot(dir);
        for (auto &[operation, calls] : c.operations) {
            for (int call = 1; call <= calls; ++call) {
                std::string fault = std::string(operation) + "#" + std::to_string(call);
                SCOPED_TRACE(std::string(c.word) + " with " + fault);
                Renew();
                Lay(c.before, kPopulatedReadOnly);
                EXPECT_EQ(RunHelper(dir, {c.word}, {.fault = fault.c_str()}), 0);
                const Tree after = Snapshot(dir);
                // Only names the run could make (no temporary left behind),
                // each holding a whole file that was there before (nothing
                // half-written); an emptied folder may stay.
                const auto whole = contents(c.before);
                for (auto &[path, content] : after) {
                    bool known = c.before.count(path) || clean.count(path) ||
                                 (content == "<dir>" && c.before.lower_bound(path + "/") != c.before.end() &&
                                  c.before.lower_bound(path + "/")->first.rfind(path + "/", 0) == 0);
                    EXPECT_TRUE(known && (whole.count(content) || content == "<dir>")) << path << " = " << content;
                }
                // What a clean run leaves alone, a failing one must not take.
                for (auto &[path, content] : c.before) {
                    if (clean.count(path) && clean.at(path) == content) {
                        EXPECT_TRUE(after.count(path)) << path << " lost";
                    }
                }
                const auto kept = contents(after);
                for (auto &content : contents(clean)) {
                    EXPECT_TRUE(kept.count(content)) << "content \"" << content << "\" lost";
                }
            }
        }
    }
}

// Cut short at each operation in turn (the test build ends itself there, as a
// kill or a power cut would), then run again, as an installer's retry does:
// the end must be that of one clean run, in names, contents and read-only
// bits. One window is known: killed between consuming the two saved copies,
// the retry finds no "t_local.cf" and lays the default over the restored one.
TEST_F(HelperTest, EveryCommandCutShortThenRunAgainEndsAsOneCleanRun) {
    for (auto &c : PopulatedCases()) {
        Renew();
        Lay(c.before, kPopulatedReadOnly);
        ASSERT_EQ(RunHelper(dir, {c.word}), 0);
        const Tree clean = Snapshot(dir);
        const auto cleanReadOnly = ReadOnlyPaths(dir);
        for (int call = 1;; ++call) {
            std::string crash = "*#" + std::to_string(call);
            SCOPED_TRACE(std::string(c.word) + " cut short at " + crash);
            Renew();
            Lay(c.before, kPopulatedReadOnly);
            int status = RunHelper(dir, {c.word}, {.crash = crash.c_str()});
            if (status == 0)
                break;  // it made fewer calls than that
            ASSERT_EQ(status, kCrashStatus);
            bool window = Get(At("t_local.cf")) == "<none>" && Get(At("t_user_prefs")) != "<none>";
            EXPECT_EQ(RunHelper(dir, {c.word}), 0);
            Tree expected = clean;
            if (std::string(c.word) == "restoreprefs" && window)
                expected["sa/ruleset/local.cf"] = "dL";
            EXPECT_EQ(Snapshot(dir), expected);
            EXPECT_EQ(ReadOnlyPaths(dir), cleanReadOnly);
        }
    }
}

// A copy keeps what the user set on the file: its modification time, and its
// permission bits (Linux) or read-only attribute (Windows).
TEST_F(HelperTest, CopiesCarryModeAndModificationTime) {
#ifdef _WIN32
    const fs::perms mode = fs::perms(0444);  // read-only attribute
#else
    const fs::perms mode = fs::perms(0640);
#endif
    Put(At("sa/ruleset/local.cf"), "tuned");
    fs::permissions(At("sa/ruleset/local.cf"), mode);
    const auto modified = fs::last_write_time(At("sa/ruleset/local.cf")) - std::chrono::hours(24 * 400);
    fs::last_write_time(At("sa/ruleset/local.cf"), modified);
    EXPECT_EQ(RunHelper(dir, {"saveprefs"}), 0);
    EXPECT_EQ(fs::status(At("t_local.cf")).permissions() & fs::perms::all, mode);
    EXPECT_EQ(fs::last_write_time(At("t_local.cf")), modified);
#ifdef _WIN32
    // Restored again, read-only and nothing else: Wine marks a name starting
    // with a dot hidden, and the bit would travel with a temporary's rename.
    fs::permissions(At("sa/ruleset/local.cf"), fs::perms::owner_write, fs::perm_options::add);
    fs::remove(At("sa/ruleset/local.cf"));
    EXPECT_EQ(RunHelper(dir, {"restoreprefs"}), 0);
    DWORD attributes = GetFileAttributesW(NativePath(At("sa/ruleset/local.cf")).c_str());
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), (DWORD)FILE_ATTRIBUTE_READONLY);
#endif
}

// A read-only file may have other names (hard links), even outside the
// installation: removing its name in the tree, or consuming a saved copy
// that is such a name, leaves the bit on the others.
TEST_F(HelperTest, AFilesOtherNamesKeepTheirReadOnlyBit) {
    const struct {
        const char *word, *name;
        Tree before;
    } cases[] = {
        {"delsa", "sa/sub/linked", {{"sa/sub/x", "x"}}},
        {"restoreprefs", "t_local.cf", {{"local.cf", "dL"}, {"user_prefs", "dP"}, {"sa/ruleset/x", ""}}},
    };
    for (auto &c : cases) {
        Renew();
        Lay(With(c.before, {{"outside/original", "o"}}), {"outside/original"});
        fs::create_hard_link(At("outside/original"), At(c.name));
        EXPECT_EQ(RunHelper(dir, {c.word}), 0) << c.word;
        EXPECT_EQ(Get(At(c.name)), "<none>") << c.word;
        EXPECT_EQ(ReadOnlyPaths(At("outside")), std::set<std::string>{"original"}) << c.word;
    }
}

#ifdef _WIN32
// Only the Windows build splits its own command line: the raw rest of the
// line as an installer script may pass it.
TEST_F(HelperTest, RawCommandLinesSplitByTheHelpersRule) {
    const Tree archives = {{"sa.tar", "a"}, {"db.tar", "b"}, {"addrules.tar", "c"}};
    const struct {
        const char *tail;
        int status;
    } cases[] = {
        {" deltar", 0}, {"\tDELTAR \t ", 0}, {" del\"tar\"", 0}, {" \"deltar", 0}, {" \"DelTar\"", 0},
        {"", 1}, {" \"\"", 1}, {" \"deltar \"", 1}, {" \"del tar\"", 1}, {" deltar \"", 1},
        {" deltar delsa", 1}, {" \\\"deltar", 1}, {" deltar\\\"", 1}, {" del*", 1}, {" *", 1},
        // Look-alikes the narrow line would best-fit to deltar and "delsa".
        {u8" ｄｅｌｔａｒ", 1}, {u8" deltăr", 1}, {u8" deĺtar", 1}, {u8" deltar\u2002", 1}, {u8" ＂delsa＂", 1},
    };
    for (auto &c : cases) {
        Lay(archives);
        EXPECT_EQ(RunHelperLine(dir, c.tail), c.status) << c.tail;
        EXPECT_EQ(Snapshot(dir), (c.status ? archives : Tree{})) << c.tail;
    }
}

// Installers and Explorer read these; the numbers are the released ones.
TEST(VersionResource, ReadsBackFromTheExecutable) {
    std::string path = WindowsPath(FWMAINT_PATH);
    DWORD handle = 0, size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_GT(size, 0u) << path;
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", (void **)&fixed, &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, (1u << 16) | 2u);
    EXPECT_EQ(fixed->dwFileVersionLS, (2u << 16) | 9u);
    EXPECT_EQ(fixed->dwProductVersionMS, (1u << 16) | 2u);
    EXPECT_EQ(fixed->dwProductVersionLS, (2u << 16) | 9u);
    auto text = [&](const char *name) {
        char *value = nullptr;
        std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        return VerQueryValueA(info.data(), key.c_str(), (void **)&value, &length) ? std::string(value) : "<none>";
    };
    EXPECT_EQ(text("ProductVersion"), "1.1");
    EXPECT_EQ(text("FileVersion"), "1.2.2.9");
    EXPECT_EQ(text("ProductName"), "fwmaint");
}

// The manifest: exactly the rights of the installer that starts the helper
// (no elevation, no installer detection), and every Windows from 7 to 11.
TEST(Manifest, ReadsBackFromTheExecutable) {
    HMODULE module = LoadLibraryExA(WindowsPath(FWMAINT_PATH).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(resource, nullptr) << "no manifest";
    std::string manifest((const char *)LockResource(LoadResource(module, resource)), SizeofResource(module, resource));
    FreeLibrary(module);
    for (const char *want : {"requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"",
                             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(manifest.find(want), std::string::npos) << want;
}
#endif

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

#ifdef _WIN32
// Starts `program` (the holder, or a copy of it under a service's name) to
// hold `path` with `share` (any of "rwd", "-" for none; path "-" holds
// nothing) for `ms`, and returns once it holds it.
HANDLE StartHolder(const std::string &program, const std::string &path, const char *share, int ms) {
    static int s_count;
    std::string event = "fwhold-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(s_count++);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, event.c_str());
    std::string line = "\"" + program + "\" \"" + path + "\" " + share + " " + std::to_string(ms) + " " + event;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) << line;
    HANDLE both[] = {ready, process.hProcess};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0) << line << ": the holder did not hold";
    CloseHandle(ready);
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Other programs hold the helper's files for a moment (a virus scanner, the
// indexer, a backup agent), or for good (a service still running): each
// command waits out a moment's hold and does all its work, and a hold for
// good costs it at most the wait budget, with everything else still done.
TEST_F(HelperTest, OtherProgramsHoldingFilesOnlyDelayTheCommand) {
    const std::string kGone = "<gone>", kHolder = "<holder>", holder = WindowsPath(FWHOLD_PATH);
    const Tree tree = {{"sa/ruleset/local.cf", "L"}, {"sa/a/b/held", "h"}, {"sa/a/b/other", "o"}, {"sa/a/sibling", "s"}, {"sa/c/d", "d"}};
    const Tree restore = {{"local.cf", "dL"}, {"user_prefs", "dP"}, {"sa/ruleset/local.cf", "shipped"}, {"t_local.cf", "tuned"}};
    const Tree restored = {{"sa/ruleset/local.cf", "tuned"}, {"sa/ruleset/user_prefs", "dP"}, {"sa/ruleset/local.cf.sample", "dL"}, {"t_local.cf", kGone}};
    const Tree swap = {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v0"}};
    const struct {
        const char *name, *word;
        Tree before;
        const char *held, *share;  // held by the holder (run as `runAs` if given)
        int ms;
        Tree changes;
        const char *runAs = nullptr;
    } cases[] = {
        {"delsa: a file held a moment", "delsa", tree, "sa/a/b/held", "r", 800, {{"sa", kGone}}},
        {"delsa: a file held a moment, deletable (left pending)", "delsa", tree, "sa/a/b/held", "rwd", 800, {{"sa", kGone}}},
        {"delsa: a folder held a moment", "delsa", tree, "sa/a/b", "rw", 800, {{"sa", kGone}}},
        {"delsa: sa itself held a moment", "delsa", tree, "sa", "rw", 800, {{"sa", kGone}}},
        {"delsa: a file held for good", "delsa", tree, "sa/a/b/held", "r", 60000,
         {{"sa", kGone}, {"sa/a/b/held", "h"}}},
        {"saveprefs: the current local.cf held a moment, unshared", "saveprefs", tree, "sa/ruleset/local.cf", "-", 800,
         {{"t_local.cf", "L"}}},
        // Held for good, the folders a copy works in only cost it their hold.
        {"restoreprefs: sa held for good for deleting", "restoreprefs", restore, "sa", "rwdD", 60000, restored},
        {"restoreprefs: sa\\ruleset held for good, unshared", "restoreprefs", restore, "sa/ruleset", "-", 60000, restored},
        {"restoreprefs: the tree's local.cf held a moment", "restoreprefs", restore, "sa/ruleset/local.cf", "r", 800, restored},
        {"restoreprefs: the tree's local.cf held a moment, deletable", "restoreprefs", restore, "sa/ruleset/local.cf", "rwd", 800, restored},
        {"renameservice: the main executable is running", "renameservice", swap, "-", "-", 60000,
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", kHolder}, {"RadaroziZiz.exe", kGone}}, "Zovazozu.exe"},
        {"renameservice: the backup is running", "renameservice", swap, "-", "-", 60000,
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", "v1"}, {"RadaroziZiz.exe", kGone}, {"Zovazozu.exe~.0.old", kHolder}}, "Zovazozu.exe~"},
    };
    for (auto &c : cases) {
        Renew();
        Lay(c.before);
        std::string program = holder;
        if (c.runAs) {
            program = At(c.runAs);
            EXPECT_TRUE(CopyFileA(holder.c_str(), program.c_str(), FALSE)) << c.name;
        }
        HANDLE holding = StartHolder(program, std::string(c.held) == "-" ? "-" : At(c.held), c.share, c.ms);
        ULONGLONG start = GetTickCount64();
        EXPECT_EQ(RunHelper(dir, {c.word}), 0) << c.name;
        ULONGLONG took = GetTickCount64() - start;
        TerminateProcess(holding, 0);
        WaitForSingleObject(holding, INFINITE);
        CloseHandle(holding);
        // The whole budget, and Wine's start-up besides.
        EXPECT_LT(took, kHeldWaitMs + 3000) << c.name;
        Tree expected = c.before;
        for (auto &[path, content] : c.changes) {
            if (content == kGone) {
                for (auto it = expected.lower_bound(path); it != expected.end() && it->first.rfind(path, 0) == 0;)
                    it = expected.erase(it);
            }
        }
        for (auto &[path, content] : c.changes) {
            if (content != kGone)
                expected[path] = content;
        }
        Tree after = Snapshot(dir);
        for (auto &entry : after)
            entry.second = entry.second == Get(holder) ? kHolder : entry.second;
        EXPECT_EQ(after, expected) << c.name;
    }
    // The running backup set aside goes with the next swap once its program
    // has ended; a name that merely looks like one stays.
    Put(At("RadaroziZiz.exe"), "v3");
    Put(At("Zovazozu.exe~.x.old"), "user");
    EXPECT_EQ(RunHelper(dir, {"renameservice"}), 0);
    EXPECT_EQ(Snapshot(dir), (Tree{{"Zovazozu.exe", "v3"}, {"Zovazozu.exe~", "v2"}, {"Zovazozu.exe~.x.old", "user"}}));
}

// While a copy works in "sa\ruleset", neither that folder nor "sa" can be
// renamed away (and another folder put in its place), so the copy lands in
// the very folder it checked. The test build's hook tries both at the worst
// moment: the temporary written, its rename next.
TEST_F(HelperTest, ACopyHoldsTheFoldersItWorksIn) {
    static std::vector<std::string> s_moved;
    s_moved.clear();
    Lay({{"t_local.cf", "saved"}, {"sa/ruleset/local.cf", "old"}});
    g_copyWrittenHook = [](const char *) {
        for (auto [from, to] : {std::pair{"sa\\ruleset", "sa\\elsewhere"}, std::pair{"sa", "moved"}}) {
            if (MoveFileExA(from, to, 0)) {
                s_moved.push_back(from);
                CreateDirectoryA(from, nullptr);
            }
        }
    };
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    SetCurrentDirectoryW(Wide(dir).c_str());
    bool copied = CopyFileOver("t_local.cf", "sa\\ruleset\\local.cf");
    SetCurrentDirectoryW(cwd);
    g_copyWrittenHook = nullptr;
    EXPECT_TRUE(copied);
    EXPECT_EQ(s_moved, std::vector<std::string>{});
    EXPECT_EQ(Snapshot(dir), (Tree{{"t_local.cf", "saved"}, {"sa/ruleset/local.cf", "saved"}}));
}
#else
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
TEST_F(HelperTest, DelsaRemovesTreesPastPathMaxWithFewDescriptors) {
    for (unsigned openFiles : {0u, 5u}) {
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
    for (mode_t mode : {0000, 0100, 0200, 0300, 0400, 0444, 0600}) {
        for (bool stuck : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "mode 0" << std::oct << mode << (stuck ? ", something inside stays" : ""));
            Renew();
            Lay(With(outside, {{"sa/locked/file", "f"}, {"sa/locked/sub/g", "g"}}));
            if (stuck)
                Put(At("sa/locked/root/r"), "r");
            EXPECT_EQ(system(("chown -R 65534:65534 '" + dir + "'").c_str()), 0);
            EXPECT_EQ(chown(At("sa/locked/root").c_str(), 0, 0), stuck ? 0 : -1);
            // The inner one holds a file only: its unlink is still queued as it closes.
            for (const char *locked : {"sa/locked/sub", "sa/locked"})
                EXPECT_EQ(chmod(At(locked).c_str(), mode), 0);
            EXPECT_EQ(RunHelper(dir, {"delsa"}, {.unprivileged = true}), 0);
            EXPECT_EQ(Snapshot(dir), stuck ? With(outside, {{"sa/locked/root/r", "r"}}) : outside);
            if (stuck) {
                struct stat st = {};
                EXPECT_EQ(stat(At("sa/locked").c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 07777, mode) << "the folder that stays has its mode back";
            }
        }
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
