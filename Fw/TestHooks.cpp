// Test builds only; see TestHooks.h.
#include "TestHooks.h"

#include <cstdlib>
#include <cstring>

void (*g_treeEntryListedHook)(const char *name);

bool InjectedFault(const char *operation, const char *path) {
    const char *fault = getenv("FWMAINT_TEST_FAULT");
    size_t length = strlen(operation);
    return fault && strncmp(fault, operation, length) == 0 && fault[length] == ':' && strcmp(fault + length + 1, path) == 0;
}
