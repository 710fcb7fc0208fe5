// Running the built helper as the installer does: in a fresh working
// directory, judged by its exit status and by what it left on disk. The
// same tables run on the Linux build and on the Windows build under Wine.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
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

using Tree = std::map<std::string, std::string>;

// `base` with `more` laid over it.
inline Tree With(Tree base, const Tree &more) {
    base.insert(more.begin(), more.end());
    return base;
}

struct Limits {
    unsigned long long fileSize = 0;  // bytes a write may reach; 0: no limit
    unsigned openFiles = 0;           // 0: as inherited
    const char *fault = nullptr;      // "Operation:path" or "Operation#N" for the fault-injecting build
    const char *crash = nullptr;      // the same, or "*#N", to end the test build there
    bool unprivileged = false;        // run as nobody, where read-only bits bite
    const char *procLinksTo = nullptr;  // a /proc of its own that is no procfs, each
                                        // self/fd/N a link to this path (Linux, root)
};

// How long one run of the helper may take before a test calls it hung.
const int kHelperSeconds = 30;

// Windows has no per-process file-size or descriptor limit to set, and no
// user to drop to: rows that need one run on Linux only.
inline bool CanRun(const Limits &limits) {
#ifdef _WIN32
    return !limits.fileSize && !limits.openFiles && !limits.unprivileged;
#else
    (void)limits;
    return true;
#endif
}

// FIFOs are for Linux rows only.
inline bool CanLay(const Tree &files) {
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
inline std::string WindowsPath(const std::string &path) {
    return path[0] == '/' ? "Z:" + path : path;
}

// UTF-8 to UTF-16 (bytes that are no UTF-8 become U+FFFD).
inline std::wstring Wide(const std::string &text) {
    std::wstring wide(text.size() + 1, L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], (int)wide.size()) - 1);
    return wide;
}

// Runs the helper in `dir` with `tail` (UTF-8) as the raw rest of its command
// line and returns its exit status. The line goes in as UTF-16, as Windows
// keeps it, so a row can carry any character. The helper must never print, so
// any output fails the test.
inline int RunHelperLine(const std::string &dir, const std::string &tail, Limits limits = {}) {
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
inline int RunHelper(const std::string &dir, std::vector<std::string> args, Limits limits = {}) {
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
inline int RunHelper(const std::string &dir, std::vector<std::string> args, Limits limits = {}) {
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
        if (limits.procLinksTo) {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("fake", "/proc", "tmpfs", 0, nullptr) != 0 || mkdir("/proc/self", 0755) != 0 || mkdir("/proc/self/fd", 0755) != 0)
                _exit(97);
            for (int n = 0; n < 64; ++n)
                symlink(limits.procLinksTo, ("/proc/self/fd/" + std::to_string(n)).c_str());
        }
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
