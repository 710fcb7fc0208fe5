// The helper's own command-line splitter, for platforms that hand a program
// its raw command line (Windows). Plain code, so that it is built and tested
// on every platform.
#pragma once

#include <string>
#include <vector>

// Splits `line` into the argument vector, the program's own path first:
// - the first word is the program's path, quoted or up to the first blank or tab;
// - the rest splits at runs of blanks and tabs, and trailing ones give nothing;
// - a double quote opens a stretch up to the next double quote or the end of
//   the line, blanks and tabs included; touching pieces form one argument and
//   the quotes are dropped (so "" alone is an empty argument);
// - a backslash directly before a double quote gives a literal double quote;
//   every other backslash is ordinary;
// - wildcards stay as typed.
std::vector<std::string> SplitCommandLine(const char *line);
