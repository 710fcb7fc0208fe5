// The Windows layer's one rule for refusals, and its patience with other
// programs. A virus scanner, the indexer, a backup agent or an Explorer
// window opens the helper's files for a moment, and a service may still run
// from an old executable: Windows then refuses to delete, remove or replace
// them until the holder lets go. Each refusal is classified once, here; one
// that a holder caused is tried again after a short sleep, doubling from
// 1 ms, until one deadline for the whole invocation.
#include <windows.h>
#include <winternl.h>

#include "Platform.h"
#include "Win32Layer.h"

// In ntdll since Windows XP, but in no MinGW-w64 header: the status behind
// the thread's last Win32 error.
extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

// When the invocation stops waiting, in QueryPerformanceCounter units; 0
// until the first hold.
static LONGLONG s_deadline;
// Something the walk asked for was refused by a holder since it last asked.
static bool s_walkHeld;

bool Refuse(NTSTATUS status) {
    // RtlNtStatusToDosError also records `status` as the thread's last one,
    // as every failing Win32 call does through it.
    SetLastError(RtlNtStatusToDosError(status));
    return false;
}

Refusal LastRefusal(RefusedCall call) {
    DWORD error = GetLastError();
    NTSTATUS status = RtlGetLastNtStatus();
    // The thread's last status may be older than its last error (an error
    // set without one): only a status that gives this very error decides.
    if (RtlNtStatusToDosError(status) != error) {
        bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE;
        return held ? kHeld : kFinal;
    }
    switch (status) {
    case kStatusSharingViolation:  // opened elsewhere without the sharing we need
    case kStatusFileLockConflict:  // a byte range locked elsewhere
    case kStatusLockNotGranted:
    case kStatusUserMappedFile:    // mapped into another process
        return kHeld;
    case kStatusDeletePending:
        return kPendingDeletion;
    // One code, two causes: a read-only file and a running image refuse a
    // deletion alike ([MS-FSA] FileDispositionInformation: the read-only
    // attribute, and an image section the memory manager will not flush;
    // Wine 8 answers both so too). Every deletion here checks or lifts read-only itself first, so
    // what is left is the image: held.
    case kStatusCannotDelete:
        return call == kDelete ? kHeld : kFinal;
    // One code, two causes: a replacing rename is refused while the file it
    // would replace is open elsewhere ([MS-FSA] FileRenameInformation, with
    // ReplaceIfExists), and so is one the ACL forbids. The replacing rename
    // (Win32Rename.cpp) opens that file for DELETE to tell them apart, and
    // reports a holder as a sharing violation; read-only and folders it has
    // checked before. What stays access denied is the ACL: final at once.
    case kStatusAccessDenied:
        return kFinal;
    // A folder whose every entry went, as far as the walk could tell, and
    // which still may not be removed: its entries' deletions wait for other
    // programs' handles to close (without POSIX semantics they stay listed
    // until then).
    case kStatusDirectoryNotEmpty:
        return call == kRemoveEmptied ? kHeld : kFinal;
    default:
        return kFinal;
    }
}

static LONGLONG Now(LONGLONG *frequency) {
    // Monotonic, and finer than the timer tick (Microsoft Learn,
    // "Acquiring high-resolution time stamps").
    LARGE_INTEGER now, perSecond;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&perSecond);
    *frequency = perSecond.QuadPart;
    return now.QuadPart;
}

bool SleepBeforeRetry(unsigned *attempt) {
    LONGLONG frequency;
    LONGLONG now = Now(&frequency);
    if (s_deadline == 0)
        s_deadline = now + frequency * kHeldWaitMs / 1000;
    if (now >= s_deadline)
        return false;
    LONGLONG left = (s_deadline - now) * 1000 / frequency;
    DWORD wait = *attempt < 10 ? 1u << *attempt : 1024u;
    if ((LONGLONG)wait > left)
        wait = (DWORD)left;
    ++*attempt;
    // Sleep may overrun by a timer tick (15.6 ms by default); the next call
    // reads the clock again, so no overrun adds up.
    Sleep(wait);
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
