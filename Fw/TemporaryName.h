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
// from it, moved out of the way until it can go.
std::string SetAsideName(const std::string &leaf, int n);

// True when `name` is exactly such a set-aside name of `leaf`.
bool IsSetAsideName(const char *name, const std::string &leaf);
