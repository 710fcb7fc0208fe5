// Which reparse points the helper takes for links: only name surrogates;
// every other kind is the file or folder its directory bit says. Plain code,
// checked on every build.
#include "ReparseTag.h"

#include <gtest/gtest.h>

// Each row also says whether the word taken is a plain file or a real folder.
TEST(ReparseTag, OnlyNameSurrogatesAreLinks) {
    const unsigned kFile = 0x20, kDir = 0x10, kLink = 0x400, kReadOnly = 0x1, kDevice = 0x40;
    const bool F = false, T = true;
    const struct {
        const char *name;
        unsigned attributes;
        unsigned long tag;
        unsigned taken;
        bool plainFile, realFolder;
    } cases[] = {
        {"plain file", kFile, 0, kFile, T, F},
        {"folder (without the bit, EaSize is no tag)", kDir, 0xA0000003, kDir, F, T},
        {"symbolic link to a file", kFile | kLink, 0xA000000C, kFile | kLink, F, F},
        {"symbolic link to a folder", kDir | kLink, 0xA000000C, kDir | kLink, F, F},
        {"junction or mount point", kDir | kLink, 0xA0000003, kDir | kLink, F, F},
        {"WSL symbolic link", kFile | kLink, 0xA000001D, kFile | kLink, F, F},
        {"listed without its tag (Wine's Unix link)", kDir | kLink, 0, kDir | kLink, F, F},
        {"deduplicated file, read-only", kFile | kLink | kReadOnly, 0x80000013, kFile | kReadOnly, T, F},
        {"compact /exe file", kFile | kLink, 0x80000017, kFile, T, F},
        {"cloud-files placeholder folder", kDir | kLink, 0x9000601A, kDir, F, T},
        {"cloud-files placeholder file", kFile | kLink, 0x9000001A, kFile, T, F},
        {"hierarchical storage", kFile | kLink, 0xC0000004, kFile, T, F},
        {"app execution alias", kFile | kLink, 0x8000001B, kFile, T, F},
        {"device", kDevice, 0, kDevice, F, F},
        {"no such entry (INVALID_FILE_ATTRIBUTES)", ~0u, 0, ~0u, F, F},
    };
    for (auto &c : cases) {
        unsigned taken = AttributesAsTaken(c.attributes, c.tag);
        EXPECT_EQ(taken, c.taken) << c.name;
        EXPECT_EQ(IsPlainFile(taken), c.plainFile) << c.name;
        EXPECT_EQ(IsRealFolder(taken), c.realFolder) << c.name;
    }
}
