// Temporary names of the copies; see TemporaryName.h.
#include "TemporaryName.h"

#include <cstring>

static const char kMark[] = ".fwmaint-";

std::string TemporaryName(const std::string &leaf, unsigned long pid, int attempt) {
    return "." + leaf + kMark + std::to_string(pid) + "-" + std::to_string(attempt);
}

// Skips one or more decimal digits; null when there are none.
static const char *SkipDigits(const char *p) {
    const char *start = p;
    while (*p >= '0' && *p <= '9')
        ++p;
    return p == start ? nullptr : p;
}

bool IsTemporaryName(const char *name, const std::string &leaf) {
    if (name[0] != '.' || strncmp(name + 1, leaf.c_str(), leaf.size()) != 0)
        return false;
    const char *p = name + 1 + leaf.size();
    if (strncmp(p, kMark, sizeof kMark - 1) != 0)
        return false;
    p = SkipDigits(p + sizeof kMark - 1);
    if (!p || *p != '-')
        return false;
    p = SkipDigits(p + 1);
    return p && *p == '\0';
}

std::string SetAsideName(const std::string &leaf, int n) {
    return leaf + "." + std::to_string(n) + ".old";
}

bool IsSetAsideName(const char *name, const std::string &leaf) {
    if (strncmp(name, leaf.c_str(), leaf.size()) != 0 || name[leaf.size()] != '.')
        return false;
    const char *p = SkipDigits(name + leaf.size() + 1);
    return p && strcmp(p, ".old") == 0;
}
