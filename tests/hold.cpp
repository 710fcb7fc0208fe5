// fwhold: another program holding a file, for the tests that show what the
// helper does while a virus scanner, the indexer or a service holds its
// files (Windows only).
//
//   fwhold PATH SHARE MILLISECONDS EVENT
//
// Opens PATH (a file or a folder) for reading (and for deleting with D in
// SHARE), sharing it only as SHARE says (any of r, w, d; "-" for none), sets the named event once it holds it, and
// keeps it for MILLISECONDS. PATH "-" holds nothing: the program just runs,
// as a service not restarted since its executable was replaced. An EVENT of
// the form @FILE is for scripts, which cannot make an event: the program
// creates FILE once it holds PATH, and lets go as soon as FILE is deleted.
#include <windows.h>

#include <cstdlib>
#include <cwchar>

// Wide arguments: the paths may hold characters outside the ANSI code page.
int wmain(int argc, wchar_t **argv) {
    if (argc != 5)
        return 2;
    HANDLE held = INVALID_HANDLE_VALUE;
    if (wcscmp(argv[1], L"-") != 0) {
        DWORD share = (wcschr(argv[2], L'r') ? FILE_SHARE_READ : 0) | (wcschr(argv[2], L'w') ? FILE_SHARE_WRITE : 0) |
                      (wcschr(argv[2], L'd') ? FILE_SHARE_DELETE : 0);
        DWORD access = GENERIC_READ | (wcschr(argv[2], L'D') ? DELETE : 0);
        held = CreateFileW(argv[1], access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (held == INVALID_HANDLE_VALUE)
            return 3;
    }
    DWORD ms = (DWORD)wcstol(argv[3], nullptr, 10);
    if (argv[4][0] == L'@') {
        HANDLE ready = CreateFileW(argv[4] + 1, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (ready == INVALID_HANDLE_VALUE)
            return 4;
        CloseHandle(ready);
        for (DWORD slept = 0; slept < ms && GetFileAttributesW(argv[4] + 1) != INVALID_FILE_ATTRIBUTES; slept += 50)
            Sleep(50);
        return 0;
    }
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4]);
    if (!ready || !SetEvent(ready))
        return 4;
    Sleep(ms);
    return 0;
}
