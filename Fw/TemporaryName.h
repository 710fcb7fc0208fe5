// The name a copy is written under beside its destination before it takes the
// destination's name. Plain code, shared by every platform's copy.
#pragma once

#include <string>

// ".<leaf>.fwmaint-<pid>-<attempt>": hidden, named for its destination and
// for the run that wrote it.
std::string TemporaryName(const std::string &leaf, unsigned long pid, int attempt);

// True when `name` is exactly a temporary of the destination `leaf`, from any
// run: what a copy cut short (a kill, a power cut) leaves behind. Only names
// of that exact pattern qualify, so a user's file is never taken for one.
bool IsTemporaryName(const char *name, const std::string &leaf);
