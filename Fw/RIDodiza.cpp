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
#include "TemporaryName.h"

// "deltar": the update archives are spent once the installer has unpacked them.
static void DeleteArchives() {
    DeleteUnlessReadOnly("sa.tar");
    DeleteUnlessReadOnly("db.tar");
    DeleteUnlessReadOnly("addrules.tar");
}

// Saves one preference file: the current layout's where it exists, else the
// older layout's; where neither does, an earlier saved copy stays as it was.
// A current file that exists but cannot be read is not replaced by the older
// one: the installer's check (a saved copy for every current file) catches
// the missing copy, where an older file saved in its place would pass it and
// be restored over the tuned preferences. The saved copies are ours: a
// read-only bit one carries from the file it saved (or from an earlier run)
// must not pin it.
static void SavePref(const char *current, const char *older, const char *saved) {
    if (!CopyOverOwnFile(current, saved) && IsAbsent(current))
        CopyOverOwnFile(older, saved);
}

// "saveprefs": keep the user's preferences out of the tree before it goes.
static void SavePrefs() {
    SavePref("sa\\ruleset\\local.cf", "sa\\spamassassin\\local.cf", "t_local.cf");
    SavePref("sa\\ruleset\\user_prefs", "sa\\spamassassin\\user_prefs", "t_user_prefs");
}

// "delsa": the rule-set tree goes whole; the result does not matter to the
// installer, which unpacks a fresh tree next.
static void DeleteRuleTree() {
    RemoveTree("sa");
}

// Puts one preference file back into the tree: its saved copy where there is
// one, else the default. True when the saved copy is in place. A saved copy
// that stands there but cannot be put back (held past the wait, a full disk)
// gets no default in its place: the tree then lacks the file, the waiting copy
// stays the one record of the site's preferences, and the installer's check
// sees it. A default laid there would look like a whole tree to a rerun, whose
// "saveprefs" would then save the default over the tuned copy.
static bool RestorePref(const char *saved, const char *fallback, const char *dest) {
    // A run cut short after a read-only saved copy landed finds the tree's
    // copy read-only now, refusing to be replaced by the very same file.
    if (CopyFileOver(saved, dest) || CompareFileContents(saved, dest) == kSameBytes)
        return true;
    if (IsAbsent(saved))
        CopyFileOver(fallback, dest);
    return false;
}

// "restoreprefs": a saved copy wins, and a default fills in only where none
// was saved. The saved copy goes straight into the tree, so the tree never
// holds a default over a preference still waiting to be restored: the command
// may be cut short anywhere and run again.
static void RestorePrefs() {
    bool localRestored = RestorePref("t_local.cf", "local.cf", "sa\\ruleset\\local.cf");
    bool prefsRestored = RestorePref("t_user_prefs", "user_prefs", "sa\\ruleset\\user_prefs");
    CopyFileOver("local.cf", "sa\\ruleset\\local.cf.sample");
    // A saved copy is consumed last, once all the rest is in place, and only
    // once it is back in the tree: when the copy failed (no "sa\ruleset", a
    // full disk), it is the user's only copy. A read-only bit it carries was
    // copied from the file it saved; the copy in the tree keeps it.
    if (localRestored)
        DeleteConsumedCopy("t_local.cf");
    if (prefsRestored)
        DeleteConsumedCopy("t_user_prefs");
}

// "renameservice": the new executable takes the main name, the old one the
// backup name, and an older backup is discarded, but only once the swap has
// happened: until then every version keeps a copy.
static void RenameService() {
    // Without a new executable there is nothing to swap in; moving the old one
    // away would leave the service without any. A swap cut short after both
    // renames left the older backup set aside: with the main executable and
    // the backup in place, it is older than both.
    if (!IsRegularFile("RadaroziZiz.exe")) {
        if (IsRegularFile("Zovazozu.exe") && IsRegularFile("Zovazozu.exe~"))
            DropSetAside("Zovazozu.exe~");
        return;
    }
    switch (CompareFileContents("RadaroziZiz.exe", "Zovazozu.exe")) {
    case kSameBytes:
        // The very same executable delivered again (an installer run a second
        // time): swapping would only replace the backup, the one copy of the
        // version before, with a second copy of this one.
        DeleteUnlessReadOnly("RadaroziZiz.exe");
        return;
    case kCannotTell:
        // It may be the same again: a swap would then cost the version before
        // its only copy. Not knowing, all three stay as they are.
        return;
    case kDifferentBytes:
        break;
    }
    // Without the main executable (a run cut short between the two renames
    // leaves exactly that), the backup is the only copy of the previous
    // version: it stays, and the new one takes the free main name. Copies a
    // cut-short run set aside are older still.
    if (!IsRegularFile("Zovazozu.exe")) {
        if (MoveFileNoReplace("RadaroziZiz.exe", "Zovazozu.exe"))
            DropSetAside("Zovazozu.exe~");
        return;
    }
    // A rename never replaces its target, so the backup moves out of the way
    // first: set aside, not deleted, so that a swap that cannot finish (a
    // file held past the wait budget) leaves every file as it was. A
    // backup that cannot move (read-only, held) keeps all three as they are.
    long long aside = -1;
    if (!IsAbsent("Zovazozu.exe~") && (aside = SetAsideFile("Zovazozu.exe~")) < 0)
        return;
    if (MoveFileNoReplace("Zovazozu.exe", "Zovazozu.exe~")) {
        if (MoveFileNoReplace("RadaroziZiz.exe", "Zovazozu.exe")) {
            // A backup still running (a service not restarted since the last
            // upgrade) stays set aside until it can go.
            DropSetAside("Zovazozu.exe~");
            return;
        }
        MoveFileNoReplace("Zovazozu.exe~", "Zovazozu.exe");  // never leave the service without one
    }
    if (aside >= 0)
        MoveFileNoReplace(SetAsideName("Zovazozu.exe~", (unsigned long long)aside).c_str(), "Zovazozu.exe~");
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
