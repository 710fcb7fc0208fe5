// fwmaint: the installer's maintenance helper. One command word in, one fixed
// sequence of whole-file operations in the working directory, and an exit
// status out: 0 when the word named a command, 1 otherwise. It prints nothing;
// the installer reads only the status, and relies on 0 for every command that
// ran, whatever became of its file operations.
#include <algorithm>
#include <cstring>
#include <string>

#include "Platform.h"
#include "RemoveTree.h"

// "deltar": the update archives are spent once the installer has unpacked them.
static void DeleteArchives() {
    DeleteOneFile("sa.tar");
    DeleteOneFile("db.tar");
    DeleteOneFile("addrules.tar");
}

// "saveprefs": keep the user's preferences out of the tree before it goes.
// The current layout is copied second, so it wins where both exist; where
// neither does, an earlier saved copy stays as it was. The saved copies are
// ours: a read-only bit one carries from the file it saved (or from an
// earlier run) must not pin it.
static void SavePrefs() {
    CopyOverOwnFile("sa\\spamassassin\\local.cf", "t_local.cf");
    CopyOverOwnFile("sa\\ruleset\\local.cf", "t_local.cf");
    CopyOverOwnFile("sa\\spamassassin\\user_prefs", "t_user_prefs");
    CopyOverOwnFile("sa\\ruleset\\user_prefs", "t_user_prefs");
}

// "delsa": the rule-set tree goes whole; the result does not matter to the
// installer, which unpacks a fresh tree next.
static void DeleteRuleTree() {
    RemoveTree("sa");
}

// Puts one preference file back into the tree: its saved copy where there is
// one and it lands, else the default. True when the saved copy is in place.
static bool RestorePref(const char *saved, const char *fallback, const char *dest) {
    // A run cut short after a read-only saved copy landed finds the tree's
    // copy read-only now, refusing to be replaced by the very same file.
    if (CopyFileOver(saved, dest) || SameFileContents(saved, dest))
        return true;
    CopyFileOver(fallback, dest);
    return false;
}

// "restoreprefs": a saved copy wins, and a default fills in where none was
// saved or it could not be put back. The saved copy goes straight into the
// tree, so the tree never holds a default over a preference still waiting to
// be restored: the command may be cut short anywhere and run again.
static void RestorePrefs() {
    bool localRestored = RestorePref("t_local.cf", "local.cf", "sa\\ruleset\\local.cf");
    bool prefsRestored = RestorePref("t_user_prefs", "user_prefs", "sa\\ruleset\\user_prefs");
    CopyFileOver("local.cf", "sa\\ruleset\\local.cf.sample");
    // A saved copy is consumed last, once all the rest is in place, and only
    // once it is back in the tree: when the copy failed (no "sa\ruleset", a
    // full disk), it is the user's only copy. A read-only bit it carries was
    // copied from the file it saved; the copy in the tree keeps it.
    if (localRestored)
        DeleteOwnFile("t_local.cf");
    if (prefsRestored)
        DeleteOwnFile("t_user_prefs");
}

// "renameservice": the new executable takes the main name, the old one the
// backup name, and an older backup is discarded.
static void RenameService() {
    // Without a new executable there is nothing to swap in; moving the old one
    // away would leave the service without any.
    if (!IsRegularFile("RadaroziZiz.exe"))
        return;
    // The very same executable delivered again (an installer run a second
    // time): swapping would only replace the backup, the one copy of the
    // version before, with a second copy of this one.
    if (SameFileContents("RadaroziZiz.exe", "Zovazozu.exe")) {
        DeleteOneFile("RadaroziZiz.exe");
        return;
    }
    // Without the main executable (a run cut short between the two renames
    // leaves exactly that), the backup is the only copy of the previous
    // version: it stays. A backup still running (a service not restarted
    // since the last upgrade) is moved out of the way instead.
    if (IsRegularFile("Zovazozu.exe"))
        DeleteOrSetAside("Zovazozu.exe~");
    // A rename never replaces its target, so the old executable moves away
    // first; if the backup could not be deleted this fails and so does the next
    // step, leaving all three files as they were.
    bool oldMoved = MoveFileNoReplace("Zovazozu.exe", "Zovazozu.exe~");
    if (!MoveFileNoReplace("RadaroziZiz.exe", "Zovazozu.exe") && oldMoved)
        MoveFileNoReplace("Zovazozu.exe~", "Zovazozu.exe");  // never leave the service without one
}

// The command words, lower case, in the order they are tried.
static constexpr struct {
    const char *word;
    void (*action)();
} kCommands[] = {
    {"deltar", DeleteArchives},
    {"saveprefs", SavePrefs},
    {"delsa", DeleteRuleTree},
    {"restoreprefs", RestorePrefs},
    {"renameservice", RenameService},
};

// The longest command word; a longer argument matches none.
static constexpr size_t LongestWord() {
    size_t longest = 0;
    for (const auto &command : kCommands)
        longest = std::max(longest, std::char_traits<char>::length(command.word));
    return longest;
}
static constexpr size_t kLongestWord = LongestWord();

// Runs the command whose word equals `word` whole, byte for byte; false when
// none does. No prefixes, abbreviations or trimming.
static bool DispatchCommand(const char *word) {
    for (const auto &command : kCommands) {
        if (strcmp(word, command.word) == 0) {
            command.action();
            return true;
        }
    }
    return false;
}

int main(int argc, char **argv) {
    GetCommandArguments(&argc, &argv);
    if (argc != 2)
        return 1;
    // The word lives on the stack: a rejected word costs no allocation, and
    // one too long for any command is rejected without a copy.
    char word[kLongestWord + 1];
    size_t length = strnlen(argv[1], kLongestWord + 1);
    if (length > kLongestWord)
        return 1;
    memcpy(word, argv[1], length + 1);
    // "C"-locale folding by hand: only A-Z change, whatever the locale or the
    // byte values above 0x7F.
    for (size_t i = 0; i < length; ++i) {
        if (word[i] >= 'A' && word[i] <= 'Z')
            word[i] = (char)(word[i] - 'A' + 'a');
    }
    return DispatchCommand(word) ? 0 : 1;
}
