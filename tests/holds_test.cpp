// Other programs holding the helper's files (Windows).
#include "HelperRun.h"
#include "TemporaryName.h"

namespace {

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

// Sets or clears Linux's immutable flag on `path` under Wine (as root): a
// file no one may rename or delete, which Wine refuses with access denied as
// an ACL does on Windows. False where the flag cannot be set.
bool SetImmutable(const std::string &path, bool on) {
    auto unixName = (char *(CDECL *)(LPCWSTR))(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    char *name = unixName ? unixName(NativePath(path).c_str()) : nullptr;
    if (!name)
        return false;
    std::string line = std::string("Z:\\usr\\bin\\chattr ") + (on ? "+i" : "-i") + " \"" + name + "\"";
    HeapFree(GetProcessHeap(), 0, name);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    // Wine does not wait for a Unix program's end: wait for the flag itself,
    // which refuses an open for deleting while it is set.
    for (int tries = 0; tries < 500; ++tries, Sleep(10)) {
        const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        HANDLE file = CreateFileA(path.c_str(), DELETE | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if ((file == INVALID_HANDLE_VALUE) == on)
            return true;
    }
    return false;
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
        const char *refusedForGood = nullptr;  // refused, as an ACL refuses: no wait at all
        int deniedMs = 0;                      // refusedForGood only that long, as a scanner's denial,
        const char *deniedAfter = nullptr;     // counted from when the helper writes this, just before it meets it
        bool atOnce = false;                   // costs no part of the budget
        const char *goneWhileHeld = nullptr;   // no longer listed while the holder still holds
        const char *readOnly = nullptr;        // made read-only once laid
        const char *fault = nullptr;           // for the test build
    } cases[] = {
        {"delsa: a file held a moment", "delsa", tree, "sa/a/b/held", "r", 800, {{"sa", kGone}}},
        {"delsa: a file held a moment, deletable (left pending)", "delsa", tree, "sa/a/b/held", "rwd", 800, {{"sa", kGone}}},
        {"delsa: a folder held a moment", "delsa", tree, "sa/a/b", "rw", 800, {{"sa", kGone}}},
        {"delsa: sa itself held a moment", "delsa", tree, "sa", "rw", 800, {{"sa", kGone}}},
        {"delsa: a file held for good", "delsa", tree, "sa/a/b/held", "r", 60000,
         {{"sa", kGone}, {"sa/a/b/held", "h"}}},
        {"saveprefs: the current local.cf held a moment, unshared", "saveprefs", tree, "sa/ruleset/local.cf", "-", 800,
         {{"t_local.cf", "L"}}},
        // A file that cannot be read is neither saved nor stood in for: the
        // older layout saved in its place would pass the installer's check.
        {"saveprefs: the current local.cf held for good, unshared", "saveprefs", With(tree, {{"sa/spamassassin/local.cf", "oL"}}),
         "sa/ruleset/local.cf", "-", 60000, {}},
        // Held for good, the folders a copy works in only cost it their hold.
        {"restoreprefs: sa held for good for deleting", "restoreprefs", restore, "sa", "rwdD", 60000, restored},
        {"restoreprefs: sa\\ruleset held for good, unshared", "restoreprefs", restore, "sa/ruleset", "-", 60000, restored},
        {"restoreprefs: the tree's local.cf held a moment", "restoreprefs", restore, "sa/ruleset/local.cf", "r", 800, restored},
        {"restoreprefs: a saved copy held for good gets no default", "restoreprefs", restore, "t_local.cf", "-", 60000,
         {{"sa/ruleset/user_prefs", "dP"}, {"sa/ruleset/local.cf.sample", "dL"}}},
        {"restoreprefs: the tree's local.cf held a moment, deletable", "restoreprefs", restore, "sa/ruleset/local.cf", "rwd", 800, restored},
        // Not knowing whether it is the same executable again, nothing moves:
        // a swap would cost the backup, the one copy of the version before.
        {"renameservice: the new executable held for good, unshared", "renameservice",
         {{"Zovazozu.exe", "v2"}, {"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v1"}}, "RadaroziZiz.exe", "-", 60000, {}},
        {"renameservice: the main executable held for good, unshared", "renameservice",
         {{"Zovazozu.exe", "v2"}, {"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v1"}}, "Zovazozu.exe", "-", 60000, {}},
        // The swap cannot finish: the backup it set aside goes back.
        {"renameservice: the new executable held for good against renaming", "renameservice", swap, "RadaroziZiz.exe", "r", 60000, {}},
        // Access denied on a file that is neither read-only nor a folder is
        // no hold: it costs no wait, and the backup set aside goes back.
        {"renameservice: the main executable may not be renamed", "renameservice", swap, "-", "-", 60000, {}, nullptr,
         "Zovazozu.exe"},
        {"restoreprefs: a saved copy may not be deleted", "restoreprefs", restore, "-", "-", 60000,
         {{"sa/ruleset/local.cf", "tuned"}, {"sa/ruleset/user_prefs", "dP"}, {"sa/ruleset/local.cf.sample", "dL"}}, nullptr,
         "t_local.cf"},
        {"renameservice: the main executable is running", "renameservice", swap, "-", "-", 60000,
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", kHolder}, {"RadaroziZiz.exe", kGone}}, "Zovazozu.exe"},
        // A scanner denies access for a moment: that must not cost the file.
        {"restoreprefs: a saved copy denied for a moment", "restoreprefs", restore, "-", "-", 60000, restored, nullptr, "t_local.cf",
         300, "sa/ruleset/local.cf.sample"},
        // Nobody holds the saved copy: the denial of its replacement is an
        // answer, not a hold to wait out.
        {"saveprefs: the saved copy may not be replaced", "saveprefs", With(tree, {{"t_local.cf", "old"}}), "-", "-", 60000, {},
         nullptr, "t_local.cf"},
        // The installer checks that a consumed saved copy is gone, while a
        // scanner may still hold it with delete sharing.
        {"restoreprefs: a saved copy held with delete sharing goes at once", "restoreprefs", restore, "t_local.cf", "rwd", 60000,
         restored, nullptr, nullptr, 0, nullptr, false, "t_local.cf"},
        // A refused deletion stays held whatever the calls after it leave
        // behind (here the read-only bit put back fails).
        {"delsa: a read-only program running a moment", "delsa", With(tree, {{"sa/bin/run.exe", ""}}), "-", "-", 800, {{"sa", kGone}},
         "sa/bin/run.exe", nullptr, 0, nullptr, false, nullptr, "sa/bin/run.exe", "PutReadOnlyBack#1"},
        // Its program will not end within this run: the restart is asked to
        // take it at once.
        {"renameservice: the backup is running", "renameservice", swap, "-", "-", 60000,
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", "v1"}, {"RadaroziZiz.exe", kGone}, {"Zovazozu.exe~.<n>.old", kHolder}}, "Zovazozu.exe~",
         nullptr, 0, nullptr, true},
    };
    for (auto &c : cases) {
        Renew();
        Lay(c.before);
        if (c.refusedForGood && !SetImmutable(At(c.refusedForGood), true))
            continue;  // not as root under Wine on a file system with the flag: nothing to show
        std::string program = holder;
        if (c.runAs) {
            program = At(c.runAs);
            EXPECT_TRUE(CopyFileA(holder.c_str(), program.c_str(), FALSE)) << c.name;
        }
        if (c.readOnly)
            MakeReadOnly(At(c.readOnly));
        HANDLE holding = StartHolder(program, std::string(c.held) == "-" ? "-" : At(c.held), c.share, c.ms);
        HANDLE releaser = nullptr;
        if (c.deniedMs) {
            static std::string s_denied, s_after;
            static int s_ms;
            s_denied = At(c.refusedForGood);
            s_after = At(c.deniedAfter);
            s_ms = c.deniedMs;
            releaser = CreateThread(nullptr, 0, [](void *) -> DWORD {
                for (int waited = 0; waited < 20000 && GetFileAttributesA(s_after.c_str()) == INVALID_FILE_ATTRIBUTES; waited += 5)
                    Sleep(5);
                Sleep(s_ms);
                return SetImmutable(s_denied, false);
            }, nullptr, 0, nullptr);
        }
        ULONGLONG start = GetTickCount64();
        EXPECT_EQ(RunHelper(dir, {c.word}, {.fault = c.fault}), 0) << c.name;
        ULONGLONG took = GetTickCount64() - start;
        if (c.goneWhileHeld) {
            EXPECT_EQ(Snapshot(dir).count(c.goneWhileHeld), 0u) << c.name << ": still listed";
        }
        if (releaser) {
            WaitForSingleObject(releaser, INFINITE);
            CloseHandle(releaser);
        }
        TerminateProcess(holding, 0);
        WaitForSingleObject(holding, INFINITE);
        CloseHandle(holding);
        // The whole budget, and Wine's start-up besides; a refusal for good
        // costs no part of the budget.
        EXPECT_LT(took, kHeldWaitMs + 3000) << c.name;
        if (c.refusedForGood && !c.deniedMs) {
            SetImmutable(At(c.refusedForGood), false);
            EXPECT_LT(took, kHeldWaitMs) << c.name << ": waited for a refusal for good";
        }
        if (c.atOnce) {
            EXPECT_LT(took, kHeldWaitMs) << c.name << ": waited";
        }
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
        for (auto it = after.begin(); it != after.end();) {
            if (it->first != "Zovazozu.exe~.<n>.old" && IsSetAsideName(it->first.c_str(), "Zovazozu.exe~")) {
                after["Zovazozu.exe~.<n>.old"] = it->second;
                it = after.erase(it);
            } else {
                ++it;
            }
        }
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
#endif

}  // namespace
