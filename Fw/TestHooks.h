// Hooks that only test builds carry (FW_TEST_HOOKS): the shipped program
// compiles them away to nothing.
#pragma once

#ifdef FW_TEST_HOOKS
// Called with each entry's name right after the listing hands it out and
// before the walk acts on it, so that a test can swap the entry for something
// else at the worst moment.
extern void (*g_treeEntryListedHook)(const char *name);

// The listing layers call this as they hand out an entry.
inline void EntryListed(const char *name) {
    if (g_treeEntryListedHook)
        g_treeEntryListedHook(name);
}

// Called as a copy's temporary, written and flushed, is about to take the
// name `to`, so that a test can try to move the folders it works in.
extern void (*g_copyWrittenHook)(const char *to);

inline void CopyWritten(const char *to) {
    if (g_copyWrittenHook)
        g_copyWrittenHook(to);
}

// Called as a comparison has read another piece of the file `path`:
// FWMAINT_TEST_FAULT "GrowWhileCompared:path" appends a byte to it there, as
// a program still writing the file would.
void ComparedPiece(const char *path);

// True when the test asked this call to fail, through FWMAINT_TEST_FAULT:
// "Operation:path" fails `operation` on `path`, "Operation#N" its Nth call.
// Failures a real file system will not give on demand. Every operation of
// the platform seam asks first, and a copy again before its temporary takes
// the destination's name ("ReplaceWithCopy").
//
// FWMAINT_TEST_CRASH, in the same form ("*#N": the Nth of any operation),
// ends the process right there with kCrashStatus, as a kill would.
bool InjectedFault(const char *operation, const char *path);
const int kCrashStatus = 86;
#else
inline void EntryListed(const char *) {}
inline void CopyWritten(const char *) {}
inline void ComparedPiece(const char *) {}
inline bool InjectedFault(const char *, const char *) {
    return false;
}
#endif
