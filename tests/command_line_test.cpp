// The Windows command-line rule, checked on every platform and at both widths:
// one row per rule, and rows where it parts from the C runtime's.
#include "CommandLine.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;
using WideArgs = std::vector<std::u16string>;

// Each byte as one UTF-16 unit: the same line as Windows keeps it wide.
std::u16string Widen(const std::string &text) {
    std::u16string wide;
    for (unsigned char c : text)
        wide += (char16_t)c;
    return wide;
}

// The narrow rows run through both widths.
TEST(SplitCommandLine, FollowsTheHelpersOwnRule) {
    const struct {
        const char *line;
        Args args;
    } cases[] = {
        // The program's own path comes first, quoted or not.
        {"fwmaint.exe", {"fwmaint.exe"}},
        {"\"C:\\Program Files\\x\\fwmaint.exe\" deltar", {"C:\\Program Files\\x\\fwmaint.exe", "deltar"}},
        {"C:\\x\\fwmaint.exe\tdeltar", {"C:\\x\\fwmaint.exe", "deltar"}},
        // A word directly after the quoted path is the next argument, as
        // CommandLineToArgvW and the older C runtime split it.
        {"\"C:\\Program Files\\x\\fwmaint.exe\"deltar", {"C:\\Program Files\\x\\fwmaint.exe", "deltar"}},
        {"", {""}},
        // Runs of blanks and tabs split; trailing ones give nothing.
        {"f  deltar \t delsa", {"f", "deltar", "delsa"}},
        {"f deltar \t ", {"f", "deltar"}},
        {"f \t", {"f"}},
        // A quoted stretch keeps blanks and tabs; touching pieces join.
        {"f \"del tar\"", {"f", "del tar"}},
        {"f \"deltar \"", {"f", "deltar "}},
        {"f del\"t\tar\"x y", {"f", "delt\tarx", "y"}},
        {"f \"del\"\"tar\"", {"f", "deltar"}},
        // An unterminated quote runs to the end of the line.
        {"f \"del tar  ", {"f", "del tar  "}},
        {"f deltar \"", {"f", "deltar", ""}},
        // An empty pair of quotes is an empty argument.
        {"f \"\"", {"f", ""}},
        {"f \"\" \"\"", {"f", "", ""}},
        // Backslash-quote is a literal quote and opens or closes nothing.
        {"f a\\\"b", {"f", "a\"b"}},
        {"f \\\"a b\\\"", {"f", "\"a", "b\""}},
        {"f \"a\\\" b\"", {"f", "a\" b"}},
        // Two backslashes and a quote: one backslash, then a literal quote
        // (the C runtime would make that one backslash and a closing quote).
        {"f \"a\\\\\" b\"", {"f", "a\\\" b"}},
        {"f a\\\\\"b", {"f", "a\\\"b"}},
        // Other backslashes are ordinary, trailing ones included.
        {"f sa\\ruleset\\ x\\\\", {"f", "sa\\ruleset\\", "x\\\\"}},
        // Wildcards stay as typed, quoted or not.
        {"f *.tar \"d?l*\"", {"f", "*.tar", "d?l*"}},
        // Bytes above 0x7F pass through untouched.
        {"f d\xC5ltar", {"f", "d\xC5ltar"}},
    };
    for (auto &c : cases) {
        EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
        WideArgs wide;
        for (const std::string &arg : c.args)
            wide.push_back(Widen(arg));
        EXPECT_EQ(SplitCommandLine(Widen(c.line).c_str()), wide) << c.line;
    }
}

// Only the ASCII blank, tab, quote and backslash count: a look-alike is an
// ordinary character, and so is a lone surrogate.
TEST(SplitCommandLine, WideLookAlikesAreOrdinary) {
    const struct {
        const char16_t *line;
        WideArgs args;
    } cases[] = {
        {u"f \uFF02delsa\uFF02", {u"f", u"\uFF02delsa\uFF02"}},
        {u"f \uFF02del sa\uFF02", {u"f", u"\uFF02del", u"sa\uFF02"}},
        {u"f deltar\u2002 x\u3000y\u00A0", {u"f", u"deltar\u2002", u"x\u3000y\u00A0"}},
        {u"f\u2002deltar", {u"f\u2002deltar"}},
        {u"f a\xDC00 \xD800\"b c\"", {u"f", u"a\xDC00", u"\xD800" u"b c"}},
        // Units whose low byte is a blank, a quote or a backslash.
        {u"f a\u0120b \u2022c\u2022 \u015C\"d\"", {u"f", u"a\u0120b", u"\u2022c\u2022", u"\u015Cd"}},
    };
    for (auto &c : cases)
        EXPECT_EQ(SplitCommandLine(c.line), c.args);
}

}  // namespace
