// Test builds only; see TestHooks.h.
#include "TestHooks.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <cstring>

void (*g_treeEntryListedHook)(const char *name);
void (*g_copyWrittenHook)(const char *to);

// Ends the process on the spot, as a kill or a power cut would: no cleanup,
// no destructors, nothing flushed.
[[noreturn]] static void CrashNow() {
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), kCrashStatus);
#endif
    _exit(kCrashStatus);
}

// "Operation#N" (or "*#N", any operation) counts the calls it matches and
// says whether this is the Nth. "Operation:path" names one path instead.
static bool Matches(const char *spec, const char *operation, const char *path, long *calls) {
    size_t length = strlen(operation);
    if (spec[0] == '*' && spec[1] == '#')
        return ++*calls == atol(spec + 2);
    if (strncmp(spec, operation, length) != 0)
        return false;
    if (spec[length] == ':')
        return strcmp(spec + length + 1, path) == 0;
    return spec[length] == '#' && ++*calls == atol(spec + length + 1);
}

bool InjectedFault(const char *operation, const char *path) {
    static long s_crashCalls, s_faultCalls;
    const char *crash = getenv("FWMAINT_TEST_CRASH"), *fault = getenv("FWMAINT_TEST_FAULT");
    if (crash && Matches(crash, operation, path, &s_crashCalls))
        CrashNow();
    return fault && Matches(fault, operation, path, &s_faultCalls);
}

void ComparedPiece(const char *path) {
    if (!InjectedFault("GrowWhileCompared", path))
        return;
#ifdef _WIN32
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    DWORD put = 0;
    WriteFile(file, "+", 1, &put, nullptr);
    CloseHandle(file);
#else
    int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    ssize_t put = fd >= 0 ? write(fd, "+", 1) : -1;
    (void)put;
    if (fd >= 0)
        close(fd);
#endif
}
