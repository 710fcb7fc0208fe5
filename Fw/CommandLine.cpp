// The command-line rule differs from the C runtime's on purpose: backslashes
// before a quote are not halved, so "a\\"b" is a, a backslash and a literal
// quote, not a closing one. Installer scripts were written against this rule.
#include "CommandLine.h"

template <typename Char>
static bool IsBlank(Char c) {
    return c == ' ' || c == '\t';
}

template <typename Char>
std::vector<std::basic_string<Char>> SplitCommandLine(const Char *line) {
    std::vector<std::basic_string<Char>> args(1);
    const Char *p = line;
    // The program's path: no escapes in it, since a path holds no quote.
    if (*p == '"') {
        for (++p; *p && *p != '"'; ++p)
            args[0] += *p;
        if (*p)
            ++p;
    } else {
        for (; *p && !IsBlank(*p); ++p)
            args[0] += *p;
    }
    for (;;) {
        while (IsBlank(*p))
            ++p;
        if (!*p)
            return args;
        std::basic_string<Char> arg;
        bool quoted = false;
        for (; *p && (quoted || !IsBlank(*p)); ++p) {
            if (p[0] == '\\' && p[1] == '"')
                arg += *++p;  // literal quote, opens and closes nothing
            else if (*p == '"')
                quoted = !quoted;
            else
                arg += *p;
        }
        args.push_back(arg);
    }
}

template std::vector<std::string> SplitCommandLine(const char *line);
template std::vector<std::u16string> SplitCommandLine(const char16_t *line);
