// The command-line rule differs from the C runtime's on purpose: backslashes
// before a quote are not halved, so "a\\"b" is a, a backslash and a literal
// quote, not a closing one. Installer scripts were written against this rule.
#include "CommandLine.h"

static bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::vector<std::string> SplitCommandLine(const char *line) {
    std::vector<std::string> args(1);
    const char *p = line;
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
        std::string arg;
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
