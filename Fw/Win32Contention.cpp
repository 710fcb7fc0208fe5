// The Windows layer's patience with other programs. A virus scanner, the
// indexer, a backup agent or an Explorer window opens the helper's files for
// a moment, and a service may still run from an old executable: Windows then
// refuses to delete, remove or replace them until the holder lets go. Each
// refusal of that kind is tried again after a short sleep, doubling from
// 1 ms, and the sleeps of the whole invocation share one budget.
#include <windows.h>

#include "Platform.h"
#include "Win32Layer.h"

// Milliseconds of the budget already slept.
static DWORD s_slept;
// Something the walk asked for was refused by a holder since it last asked.
static bool s_walkHeld;

bool IsHeldError(DWORD error, DWORD attributes) {
    switch (error) {
    case ERROR_SHARING_VIOLATION:  // opened elsewhere without the sharing we need
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:   // mapped into another process
        return true;
    // A running image, a destination open elsewhere (a replacing rename), or
    // a file whose deletion is pending. Read-only gives the same code, and so
    // does a folder where a file was expected: those refusals are final.
    case ERROR_ACCESS_DENIED:
        return !Exists(attributes) || !(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
    default:
        return false;
    }
}

bool SleepBeforeRetry(unsigned *attempt) {
    if (s_slept >= kHeldWaitMs)
        return false;
    DWORD wait = *attempt < 10 ? 1u << *attempt : 1024u;
    if (wait > kHeldWaitMs - s_slept)
        wait = kHeldWaitMs - s_slept;
    ++*attempt;
    // Sleep may take longer than asked (the timer ticks every 15.6 ms by
    // default): the budget counts the time that really passed.
    ULONGLONG start = GetTickCount64();
    Sleep(wait);
    ULONGLONG passed = GetTickCount64() - start;
    s_slept += passed > wait ? (DWORD)passed : wait;
    return true;
}

void NoteHeldEntry() {
    s_walkHeld = true;
}

bool TakeHeldEntries() {
    bool held = s_walkHeld;
    s_walkHeld = false;
    return held;
}
