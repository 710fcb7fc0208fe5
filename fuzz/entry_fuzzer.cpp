// Fuzzes the helper's entry (argument count, copy, fold, whole-word match)
// through its real main, linked against a platform that touches nothing.
// The input is the argument vector, arguments separated by NUL bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "NullPlatform.h"

int FwmaintMain(int argc, char **argv);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args = {"fwmaint", ""};
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += (char)data[i];
    }
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    // What the entry must decide, worked out independently: exactly one
    // argument, equal to a command word once A-Z alone are lowered.
    std::string folded = args[1];
    for (char &c : folded)
        c = (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c;
    bool matches = args.size() == 2 && (folded == "deltar" || folded == "saveprefs" || folded == "delsa" ||
                                        folded == "restoreprefs" || folded == "renameservice");

    g_platformCalls = 0;
    int status = FwmaintMain((int)args.size(), argv.data());
    if (status != (matches ? 0 : 1))
        abort();
    // A rejected command line touches no file; a matched one asks at least once.
    if (matches != (g_platformCalls > 0))
        abort();
    return 0;
}
