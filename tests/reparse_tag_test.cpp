// Which reparse points the helper takes for links: only name surrogates;
// every other kind is the file or folder its directory bit says. Plain code,
// checked on every build.
#include "ReparseTag.h"

#include <gtest/gtest.h>

TEST(ReparseTag, OnlyNameSurrogatesAreLinks) {
    const unsigned kFile = 0x20, kDir = 0x10, kLink = 0x400, kReadOnly = 0x1;
    const struct {
        const char *name;
        unsigned attributes;
        unsigned long tag;
        unsigned taken;
    } cases[] = {
        {"plain file", kFile, 0, kFile},
        {"folder (without the bit, EaSize is no tag)", kDir, 0xA0000003, kDir},
        {"symbolic link to a file", kFile | kLink, 0xA000000C, kFile | kLink},
        {"symbolic link to a folder", kDir | kLink, 0xA000000C, kDir | kLink},
        {"junction or mount point", kDir | kLink, 0xA0000003, kDir | kLink},
        {"WSL symbolic link", kFile | kLink, 0xA000001D, kFile | kLink},
        {"listed without its tag (Wine's Unix link)", kDir | kLink, 0, kDir | kLink},
        {"deduplicated file, read-only", kFile | kLink | kReadOnly, 0x80000013, kFile | kReadOnly},
        {"compact /exe file", kFile | kLink, 0x80000017, kFile},
        {"cloud-files placeholder folder", kDir | kLink, 0x9000601A, kDir},
        {"cloud-files placeholder file", kFile | kLink, 0x9000001A, kFile},
        {"hierarchical storage", kFile | kLink, 0xC0000004, kFile},
        {"app execution alias", kFile | kLink, 0x8000001B, kFile},
    };
    for (auto &c : cases)
        EXPECT_EQ(AttributesAsTaken(c.attributes, c.tag), c.taken) << c.name;
}
