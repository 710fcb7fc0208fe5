// The Windows command-line rule, checked on every platform: one row per rule,
// and rows where it parts from the C runtime's.
#include "CommandLine.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheHelpersOwnRule) {
    const struct {
        const char *line;
        Args args;
    } cases[] = {
        // The program's own path comes first, quoted or not.
        {"fwmaint.exe", {"fwmaint.exe"}},
        {"\"C:\\Program Files\\x\\fwmaint.exe\" deltar", {"C:\\Program Files\\x\\fwmaint.exe", "deltar"}},
        {"C:\\x\\fwmaint.exe\tdeltar", {"C:\\x\\fwmaint.exe", "deltar"}},
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
    for (auto &c : cases)
        EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

}  // namespace
