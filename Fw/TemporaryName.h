// The names the helper gives files of its own in passing: a copy's temporary,
// written beside its destination before it takes the destination's name, and
// a file in use moved out of the way. Plain code, shared by every platform.
#pragma once

#include <string>

// ".<leaf>.fwmaint-<pid>-<attempt>": hidden, named for its destination and
// for the run that wrote it.
std::string TemporaryName(const std::string &leaf, unsigned long pid, int attempt);

// True when `name` is exactly a temporary of the destination `leaf`, from any
// run: what a copy cut short (a kill, a power cut) leaves behind. Only names
// of that exact pattern qualify, so a user's file is never taken for one.
bool IsTemporaryName(const char *name, const std::string &leaf);

// "<leaf>.fwmaint-<pid>-<attempt>.tmp": the same, without the leading dot,
// for Windows, where Wine marks a dot name hidden and the hidden bit then
// travels with the file through its rename.
std::string VisibleTemporaryName(const std::string &leaf, unsigned long pid, int attempt);

// True when `name` is exactly such a temporary of `leaf`.
bool IsVisibleTemporaryName(const char *name, const std::string &leaf);

// "<leaf>.<n>.old": a file the helper could not delete because a program ran
// from it, moved out of the way until it can go; n in plain decimal.
std::string SetAsideName(const std::string &leaf, unsigned long long n);

// A number for a new set-aside name that no earlier run has taken: the wall
// clock in 100-ns steps. Windows deletes a name registered for deletion at
// restart by that name, whatever stands under it by then, so a name a run may
// have registered (and a later run deleted itself) must never be made again;
// and the names of earlier runs, however many, never block a new one.
unsigned long long FreshSetAsideNumber();

// True when `name` is exactly such a set-aside name of `leaf`, as the helper
// writes it: n in decimal without leading zeros, and no larger than the
// numbers it makes. Anything else that merely looks like one is a user's.
bool IsSetAsideName(const char *name, const std::string &leaf);
