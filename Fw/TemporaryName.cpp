// Temporary names of the copies; see TemporaryName.h.
#include "TemporaryName.h"

#include <chrono>
#include <cstring>

static const char kMark[] = ".fwmaint-", kVisibleEnd[] = ".tmp";

std::string TemporaryName(const std::string &leaf, unsigned long pid, int attempt) {
    return "." + leaf + kMark + std::to_string(pid) + "-" + std::to_string(attempt);
}

std::string VisibleTemporaryName(const std::string &leaf, unsigned long pid, int attempt) {
    return TemporaryName(leaf, pid, attempt).substr(1) + kVisibleEnd;
}

// Skips one or more decimal digits; null when there are none.
static const char *SkipDigits(const char *p) {
    const char *start = p;
    while (*p >= '0' && *p <= '9')
        ++p;
    return p == start ? nullptr : p;
}

// Past "<leaf>.fwmaint-<pid>-<attempt>" at the start of `name`; null when
// it does not start so.
static const char *SkipTemporaryStem(const char *name, const std::string &leaf) {
    if (strncmp(name, leaf.c_str(), leaf.size()) != 0)
        return nullptr;
    const char *p = name + leaf.size();
    if (strncmp(p, kMark, sizeof kMark - 1) != 0)
        return nullptr;
    p = SkipDigits(p + sizeof kMark - 1);
    if (!p || *p != '-')
        return nullptr;
    return SkipDigits(p + 1);
}

bool IsTemporaryName(const char *name, const std::string &leaf) {
    const char *end = name[0] == '.' ? SkipTemporaryStem(name + 1, leaf) : nullptr;
    return end && *end == '\0';
}

bool IsVisibleTemporaryName(const char *name, const std::string &leaf) {
    const char *end = SkipTemporaryStem(name, leaf);
    return end && strcmp(end, kVisibleEnd) == 0;
}

std::string SetAsideName(const std::string &leaf, unsigned long long n) {
    return leaf + "." + std::to_string(n) + ".old";
}

unsigned long long FreshSetAsideNumber() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return (unsigned long long)std::chrono::duration_cast<std::chrono::duration<long long, std::ratio<1, 10000000>>>(now).count();
}

bool IsSetAsideName(const char *name, const std::string &leaf) {
    if (strncmp(name, leaf.c_str(), leaf.size()) != 0 || name[leaf.size()] != '.')
        return false;
    const char *digits = name + leaf.size() + 1, *end = SkipDigits(digits);
    // Up to 19 digits: every number the helper makes, with room to spare.
    if (!end || end - digits > 19 || (digits[0] == '0' && end - digits > 1))
        return false;
    return strcmp(end, ".old") == 0;
}
