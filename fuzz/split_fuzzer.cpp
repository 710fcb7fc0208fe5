// Fuzzes the Windows command-line splitter with arbitrary lines, narrow and
// as UTF-16 units, and checks what must hold for any line: the program's
// path is always there, no argument holds a NUL, an argument never has more
// units than the line, and only ASCII units are ever dropped, so every other
// unit comes out unchanged and in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include "CommandLine.h"

template <typename Char>
static std::basic_string<Char> NonAscii(const std::basic_string<Char> &text) {
    std::basic_string<Char> kept;
    for (Char c : text)
        if (static_cast<std::make_unsigned_t<Char>>(c) > 0x7F)
            kept += c;
    return kept;
}

template <typename Char>
static void Check(std::basic_string<Char> line) {
    line = line.c_str();  // the raw command line ends at its first NUL
    std::vector<std::basic_string<Char>> args = SplitCommandLine(line.c_str());
    if (args.empty())
        abort();
    std::basic_string<Char> all;
    for (const std::basic_string<Char> &arg : args) {
        if (arg.find(Char(0)) != std::basic_string<Char>::npos)
            abort();
        all += arg;
    }
    if (all.size() > line.size() || NonAscii(all) != NonAscii(line))
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Check(std::string(reinterpret_cast<const char *>(data), size));
    // The same bytes as the UTF-16 line Windows keeps: little-endian units.
    std::u16string wide;
    for (size_t i = 0; i + 1 < size; i += 2)
        wide += (char16_t)(data[i] | data[i + 1] << 8);
    Check(wide);
    return 0;
}
