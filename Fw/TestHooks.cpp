// Test builds only; see TestHooks.h.
#include "TestHooks.h"

#include <cstdlib>
#include <cstring>

void (*g_treeEntryListedHook)(const char *name);

bool InjectedFault(const char *operation, const char *path) {
    const char *fault = getenv("FWMAINT_TEST_FAULT");
    size_t length = strlen(operation);
    if (!fault || strncmp(fault, operation, length) != 0)
        return false;
    if (fault[length] == ':')
        return strcmp(fault + length + 1, path) == 0;
    // "Operation#N": a countdown, so that a test can fail each call in turn.
    static long s_calls;
    return fault[length] == '#' && ++s_calls == atol(fault + length + 1);
}
