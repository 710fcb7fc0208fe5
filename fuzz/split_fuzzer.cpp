// Fuzzes the Windows command-line splitter with arbitrary lines, and checks
// what must hold for any line: the program's path is always there, no
// argument holds a NUL, and an argument never has more bytes than the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), size);
    line = line.c_str();  // the raw command line ends at its first NUL
    std::vector<std::string> args = SplitCommandLine(line.c_str());
    if (args.empty())
        abort();
    size_t total = 0;
    for (const std::string &arg : args) {
        if (arg.find('\0') != std::string::npos)
            abort();
        total += arg.size();
    }
    if (total > line.size())
        abort();
    return 0;
}
