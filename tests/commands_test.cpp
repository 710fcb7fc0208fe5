// Each command as the installer runs it: the words, what each changes, what
// a copy carries, and what the Windows executable says of itself.
#include "HelperRun.h"

namespace {

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

// "Zovazozu.exe~.0.old" to "Zovazozu.exe~.<count - 1>.old", each holding `content`.
Tree Leftovers(int count, const std::string &content = "old") {
    Tree leftovers;
    for (int n = 0; n < count; ++n)
        leftovers["Zovazozu.exe~." + std::to_string(n) + ".old"] = content;
    return leftovers;
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
        std::vector<std::string> unreadable = {};  // mode 0200, for the unprivileged run (Linux)
        const char *writerWaitsOn = nullptr;       // a FIFO a writer is blocked on (Linux)
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
        // A saved copy that could not be put back gets no default in its
        // place: a rerun's saveprefs would take the default for the site's.
        {"restoreprefs: copy back fails half-way", "restoreprefs", With(defaults, {{"sa/ruleset/x", ""}, {"t_local.cf", big}}),
         {{"sa/ruleset/user_prefs", "dP"}, {"sa/ruleset/local.cf.sample", "dL"}}, {}, {.fileSize = 1024}},
        // A FIFO (or device) an archive planted in place of a file to copy is
        // not opened to wait on; the other copies go on.
        {"saveprefs: FIFOs in place of the current layout", "saveprefs",
         {{"sa/spamassassin/local.cf", "oL"}, {"sa/ruleset/local.cf", "<special>"}, {"sa/spamassassin/user_prefs", "<special>"},
          {"sa/ruleset/user_prefs", "<special>"}},
         {}},
        {"restoreprefs: FIFOs as a default and a saved copy", "restoreprefs",
         {{"local.cf", "<special>"}, {"user_prefs", "dP"}, {"t_local.cf", "sL"}, {"t_user_prefs", "<special>"}, {"sa/ruleset/x", ""}},
         {{"sa/ruleset/local.cf", "sL"}, {"t_local.cf", kGone}}},
        // Even an open that does not wait would let a blocked writer go on.
        {"saveprefs: a FIFO with a writer blocked on it is never opened", "saveprefs",
         {{"sa/spamassassin/local.cf", "oL"}, {"sa/ruleset/local.cf", "<special>"}}, {}, {}, {}, {}, "sa/ruleset/local.cf"},
        {"restoreprefs: a FIFO as the saved copy, a writer blocked on it", "restoreprefs",
         {{"local.cf", "dL"}, {"t_local.cf", "<special>"}, {"sa/ruleset/x", ""}},
         {{"sa/ruleset/local.cf.sample", "dL"}}, {}, {}, {}, "t_local.cf"},
        {"renameservice: swap", "renameservice", With(executables, {{"Zovazozu.exe~", "v0"}}),
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", "v1"}, {"RadaroziZiz.exe", kGone}}},
        // Set-aside copies are swept by the exact names the helper writes,
        // and only as regular files; look-alikes are a user's.
        {"renameservice: set-aside copies go, look-alikes stay", "renameservice",
         With(executables, {{"Zovazozu.exe~", "v0"}, {"Zovazozu.exe~.0.old", "a"}, {"Zovazozu.exe~.17000000000000000.old", "b"},
                            {"Zovazozu.exe~.00.old", "u"}, {"Zovazozu.exe~.007.old", "u"}, {"Zovazozu.exe~.1.old.bak", "u"},
                            {"Zovazozu.exe~." + std::string(30, '1') + ".old", "u"}}),
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", "v1"}, {"RadaroziZiz.exe", kGone}, {"Zovazozu.exe~.0.old", kGone},
          {"Zovazozu.exe~.17000000000000000.old", kGone}}},
        {"renameservice: a FIFO under a set-aside name stays", "renameservice",
         With(executables, {{"Zovazozu.exe~", "v0"}, {"Zovazozu.exe~.5.old", "<special>"}}),
         {{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", "v1"}, {"RadaroziZiz.exe", kGone}}},
        {"renameservice: a hundred leftovers do not block the swap", "renameservice",
         With(With(executables, {{"Zovazozu.exe~", "v0"}}), Leftovers(100)),
         With({{"Zovazozu.exe", "v2"}, {"Zovazozu.exe~", "v1"}, {"RadaroziZiz.exe", kGone}}, Leftovers(100, kGone))},
        // Without the main executable, the backup is the only copy of the
        // previous version (a run cut short between its renames leaves this).
        {"renameservice: no main executable keeps the backup", "renameservice", {{"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v0"}},
         {{"Zovazozu.exe", "v2"}, {"RadaroziZiz.exe", kGone}}},
        // Delivered again after a finished swap: the backup is the only copy
        // of the version before.
        {"renameservice: the same executable again keeps the backup", "renameservice",
         {{"Zovazozu.exe", "v2"}, {"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v1"}}, {{"RadaroziZiz.exe", kGone}}},
        // Still being written as it is compared (a byte appended after each
        // piece read): what was read is no answer, and all three stay.
        {"renameservice: the new executable grows while compared", "renameservice",
         {{"Zovazozu.exe", big + "x"}, {"RadaroziZiz.exe", big + "x"}, {"Zovazozu.exe~", "v1"}}, {{"RadaroziZiz.exe", big + "x++"}}, {}, {.fault = "GrowWhileCompared:RadaroziZiz.exe"}},
        {"renameservice: no new executable", "renameservice", {{"Zovazozu.exe", "v1"}, {"Zovazozu.exe~", "v0"}}, {}},
        {"renameservice: new one is a directory", "renameservice", {{"Zovazozu.exe", "v1"}, {"RadaroziZiz.exe/x", "d"}}, {}},
        {"renameservice: undeletable backup changes nothing", "renameservice", With(executables, {{"Zovazozu.exe~", "v0"}}), {},
         {"Zovazozu.exe~"}},
        {"renameservice: a folder as the backup changes nothing", "renameservice", With(executables, {{"Zovazozu.exe~/mine", "u"}}), {}},
        {"renameservice: last rename fails, old one goes back", "renameservice", executables, {}, {},
         {.fault = "MoveFileNoReplace:RadaroziZiz.exe"}},
        {"renameservice: last rename fails, the backup goes back too", "renameservice", With(executables, {{"Zovazozu.exe~", "v0"}}),
         {}, {}, {.fault = "MoveFileNoReplace:RadaroziZiz.exe"}},
        {"renameservice: first rename fails, the backup stays", "renameservice", With(executables, {{"Zovazozu.exe~", "v0"}}), {}, {},
         {.fault = "MoveFileNoReplace:Zovazozu.exe"}},
        // A file that cannot be read is neither the same nor different: the
        // same executable again would cost the backup, the version before.
        {"renameservice: an unreadable new executable changes nothing", "renameservice",
         {{"Zovazozu.exe", "v2"}, {"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v1"}}, {}, {}, {.unprivileged = true},
         {"RadaroziZiz.exe"}},
        {"renameservice: an unreadable main executable changes nothing", "renameservice",
         {{"Zovazozu.exe", "v2"}, {"RadaroziZiz.exe", "v2"}, {"Zovazozu.exe~", "v1"}}, {}, {}, {.unprivileged = true},
         {"Zovazozu.exe"}},
        // An unreadable current layout is not saved, nor replaced by the older
        // one: the installer finds no saved copy, instead of the older file.
        {"saveprefs: an unreadable current layout keeps the earlier copy", "saveprefs",
         {{"sa/spamassassin/local.cf", "oL"}, {"sa/ruleset/local.cf", "nL"}, {"t_local.cf", "eL"}}, {}, {}, {.unprivileged = true},
         {"sa/ruleset/local.cf"}},
        {"saveprefs: an unreadable current layout saves nothing in its place", "saveprefs",
         {{"sa/spamassassin/user_prefs", "oP"}, {"sa/ruleset/user_prefs", "nP"}}, {}, {}, {.unprivileged = true},
         {"sa/ruleset/user_prefs"}},
        {"restoreprefs: an unreadable saved copy gets no default", "restoreprefs",
         With(defaults, {{"sa/ruleset/x", ""}, {"t_local.cf", "sL"}, {"t_user_prefs", "sP"}}),
         {{"sa/ruleset/user_prefs", "sP"}, {"sa/ruleset/local.cf.sample", "dL"}, {"t_user_prefs", kGone}}, {}, {.unprivileged = true},
         {"t_local.cf"}},
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
#ifndef _WIN32
        for (auto &path : c.unreadable)
            chmod(At(path).c_str(), 0200);
#endif
        Tree expected = With(c.changes, c.before);
        for (auto &[path, content] : c.changes)
            if (content == kGone)
                expected.erase(path);
#ifndef _WIN32
        const std::string fifo = c.writerWaitsOn ? At(c.writerWaitsOn) : "";
        pid_t writer = c.writerWaitsOn ? fork() : -1;
        if (writer == 0)
            _exit(open(fifo.c_str(), O_WRONLY) < 0 ? 2 : 0);
        // Blocked in its open before the helper starts.
        for (int tries = 0; writer > 0 && tries < 200 && Get("/proc/" + std::to_string(writer) + "/stat").find(") S ") == std::string::npos; ++tries)
            usleep(10000);
#endif
        EXPECT_EQ(RunHelper(dir, {c.word}, c.limits), 0) << c.name;
#ifndef _WIN32
        if (writer > 0) {
            int status = 0;
            EXPECT_EQ(waitpid(writer, &status, WNOHANG), 0) << c.name << ": the writer was let go on";
            int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            EXPECT_EQ(waitpid(writer, &status, 0), writer);
            close(reader);
        }
#endif
        EXPECT_EQ(Snapshot(dir), expected) << c.name;
    }
}

// A copy keeps what the user set on the file: its modification time, and its
// permission bits (Linux) or read-only attribute (Windows). Never more: a
// set-user-ID or set-group-ID file another user owns, copied by root, would
// give that user root's rights through the copy.
TEST_F(HelperTest, CopiesCarryModeAndModificationTime) {
    const struct {
        const char *word, *from, *to;
        fs::perms mode, carried;
    } cases[] = {
#ifdef _WIN32
        {"saveprefs", "sa/ruleset/local.cf", "t_local.cf", fs::perms(0444), fs::perms(0444)},  // read-only attribute
#else
        {"saveprefs", "sa/ruleset/local.cf", "t_local.cf", fs::perms(0640), fs::perms(0640)},
        {"saveprefs", "sa/ruleset/local.cf", "t_local.cf", fs::perms(06755), fs::perms(0755)},
        {"restoreprefs", "t_local.cf", "sa/ruleset/local.cf", fs::perms(07777), fs::perms(0777)},
#endif
    };
    for (auto &c : cases) {
        Renew();
        Lay({{c.from, "tuned"}, {"sa/ruleset/x", ""}});
#ifndef _WIN32
        EXPECT_EQ(chown(At(c.from).c_str(), 65534, 65534), getuid() == 0 ? 0 : -1);
#endif
        fs::permissions(At(c.from), c.mode);
        const auto modified = fs::last_write_time(At(c.from)) - std::chrono::hours(24 * 400);
        fs::last_write_time(At(c.from), modified);
        EXPECT_EQ(RunHelper(dir, {c.word}), 0);
        EXPECT_EQ(fs::status(At(c.to)).permissions() & fs::perms::mask, c.carried) << c.word << " " << c.from;
        EXPECT_EQ(fs::last_write_time(At(c.to)), modified) << c.word << " " << c.from;
    }
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

}  // namespace
