// fwhold: another program holding a file, for the tests that show what the
// helper does while a virus scanner, the indexer or a service holds its
// files (Windows only).
//
//   fwhold PATH SHARE MILLISECONDS EVENT
//
// Opens PATH (a file or a folder) for reading (and for deleting with D in
// SHARE), sharing it only as SHARE says (any of r, w, d; "-" for none), sets the named event once it holds it, and
// keeps it for MILLISECONDS. PATH "-" holds nothing: the program just runs,
// as a service not restarted since its executable was replaced.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 5)
        return 2;
    HANDLE held = INVALID_HANDLE_VALUE;
    if (strcmp(argv[1], "-") != 0) {
        DWORD share = (strchr(argv[2], 'r') ? FILE_SHARE_READ : 0) | (strchr(argv[2], 'w') ? FILE_SHARE_WRITE : 0) |
                      (strchr(argv[2], 'd') ? FILE_SHARE_DELETE : 0);
        DWORD access = GENERIC_READ | (strchr(argv[2], 'D') ? DELETE : 0);
        held = CreateFileA(argv[1], access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (held == INVALID_HANDLE_VALUE)
            return 3;
    }
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[4]);
    if (!ready || !SetEvent(ready))
        return 4;
    Sleep((DWORD)atol(argv[3]));
    return 0;
}
