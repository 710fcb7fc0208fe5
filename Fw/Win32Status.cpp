// The Windows layer's statuses and its patience with other programs. A virus
// scanner, the indexer, a backup agent or an Explorer window opens the
// helper's files for a moment, and a service may still run from an old
// executable: Windows then refuses to delete, remove or replace them until
// the holder lets go. Every call that can be refused hands its NTSTATUS back
// as a value, and that very value is classified here, at the call; a refusal
// a holder caused is tried again after a short sleep, doubling from 1 ms,
// until one deadline for the whole invocation.
#include <windows.h>
#include <winternl.h>

#include "Platform.h"
#include "Win32Layer.h"

// When the invocation stops waiting, in QueryPerformanceCounter units; 0
// until the first hold.
static LONGLONG s_deadline;
// When a plain access denial stops counting as a possible hold; 0 until the
// first one.
static LONGLONG s_deniedDeadline;
// Something the walk asked for was refused by a holder since it last asked.
static bool s_walkHeld;

bool UnsupportedCall(NTSTATUS status) {
    // What an older Windows, FAT, exFAT, a redirector or Wine answers for an
    // information class or flag it does not know.
    return status == kStatusInvalidParameter || status == kStatusNotSupported || status == kStatusInvalidInfoClass ||
           status == kStatusNotImplemented || status == kStatusInvalidDeviceRequest;
}

NTSTATUS StatusOfWin32Error(DWORD error) {
    // The Win32 calls left in the layer have no NT counterpart it calls; their
    // errors stand for these statuses alone where the hold rule asks.
    switch (error) {
    case ERROR_SHARING_VIOLATION:
        return kStatusSharingViolation;
    case ERROR_LOCK_VIOLATION:
        return kStatusFileLockConflict;
    case ERROR_FILE_NOT_FOUND:
        return kStatusObjectNameNotFound;
    case ERROR_PATH_NOT_FOUND:
        return kStatusObjectPathNotFound;
    case ERROR_ACCESS_DENIED:
        return kStatusAccessDenied;
    case ERROR_NO_MORE_FILES:
        return kStatusNoMoreFiles;
    case ERROR_INVALID_PARAMETER:
        return kStatusInvalidParameter;
    case ERROR_NOT_SUPPORTED:
        return kStatusNotSupported;
    case ERROR_INVALID_FUNCTION:
        return kStatusInvalidDeviceRequest;
    default:
        return kStatusUnsuccessful;
    }
}

Refusal Classify(RefusedCall call, NTSTATUS status) {
    switch (status) {
    case kStatusSharingViolation:  // opened elsewhere without the sharing we need
    case kStatusFileLockConflict:  // a byte range locked elsewhere
    case kStatusLockNotGranted:
    case kStatusUserMappedFile:    // mapped into another process
        return kHeld;
    case kStatusDeletePending:
        return kPendingDeletion;
    // One code, two causes: a read-only file and a running image refuse a
    // deletion alike. Every deletion here checks or lifts read-only first, so
    // what is left is the image: held in the walk, where the program may end
    // within the budget; a set-aside copy's program is a service that will
    // not, and the restart takes it.
    case kStatusCannotDelete:
        return call == kDelete ? kHeld : kFinal;
    // An on-access scanner answers plain access denied for a moment too, so
    // it is tried again for a short part of the budget; an ACL that forbids
    // the call answers the same for good, and then costs no more than that.
    // A replacing rename has asked its probe already (ReplaceOnce): final.
    case kStatusAccessDenied:
        return call == kReplace ? kFinal : kMaybeHeld;
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
    // Monotonic, and finer than the timer tick.
    LARGE_INTEGER now, perSecond;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&perSecond);
    *frequency = perSecond.QuadPart;
    return now.QuadPart;
}

bool DenialMayPass() {
    LONGLONG frequency;
    LONGLONG now = Now(&frequency);
    if (s_deniedDeadline == 0)
        s_deniedDeadline = now + frequency * kDeniedWaitMs / 1000;
    return now < s_deniedDeadline;
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
