// The helper's own command-line splitter, for platforms that hand a program
// its raw command line (Windows). Plain code, so that it is built and tested
// on every platform. One rule for both widths: narrow bytes, and the UTF-16
// units Windows keeps the line in (built for char and char16_t).
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
// - wildcards stay as typed;
// - only ASCII blank, tab, double quote and backslash mean anything: every
//   other unit, non-ASCII look-alikes and lone surrogates included, passes
//   through as it came.
template <typename Char>
std::vector<std::basic_string<Char>> SplitCommandLine(const Char *line);
