// RemoveTree: the walk itself, written once for every platform. The platform
// seam opens each directory relative to its parent without following links,
// so nothing outside the tree is reached even if the tree changes under us.
#include "RemoveTree.h"

#include <string>

#include "Platform.h"
#include "ReparseTag.h"

// Each level costs a stack frame and one open directory. Far past any real
// tree, this bound keeps the memory the walk holds small whatever the depth;
// anything deeper is left in place, with the directories above it.
const int kMaxDepth = 8192;

static bool IsDotOrDotDot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Empties `dir`, entry by entry in listing order. A failure never stops the
// walk: whatever cannot go stays, and so do the directories above it.
static void EmptyTreeDir(TreeDir *dir, int depth) {
    TreeEntry entry;
    while (ReadTreeEntry(dir, &entry)) {
        if (IsDotOrDotDot(entry.name))
            continue;
        // A link is removed as a link, whatever it points at.
        if (IsRealFolder(entry.attributes)) {
            // The child's own listing reuses the entry, so keep the name.
            const std::string name = entry.name;
            const unsigned attributes = entry.attributes;
            // The listing's word is only a hint: the open refuses anything that
            // is no longer a real directory, and then the entry goes as it is
            // now (a link swapped in since the listing goes as a link).
            TreeDir *child = depth < kMaxDepth ? OpenTreeChild(dir, name.c_str()) : nullptr;
            if (!child) {
                DeleteTreeEntry(dir, name.c_str(), attributes & ~kAttrDirectory);
                continue;
            }
            // Read-only would refuse the removal of its entries (Linux) or of
            // the directory itself (Windows): clear it before descending.
            MakeTreeDirWritable(child);
            EmptyTreeDir(child, depth + 1);
            CloseTreeDir(child);
            // Fails harmlessly when something below could not be removed.
            DeleteTreeEntry(dir, name.c_str(), attributes);
        } else {
            DeleteTreeEntry(dir, entry.name, entry.attributes);
        }
    }
}

int RemoveTree(const char *path) {
    // A link in place of the tree is not ours to empty: only the link goes.
    if (IsLinkPath(path))
        return RemoveLinkPath(path);
    TreeDir *root = OpenTreeRoot(path);
    if (!root)
        return 0;  // missing, not a directory, or cannot be listed: nothing changed
    // The root's read-only bit comes from its own attribute word, looked up now.
    MakeTreeDirWritable(root);
    // What another program held goes on a later round, once the rest of the
    // tree is done and a short wait has passed; the rounds go through the
    // root the walk holds, never through the path again.
    do
        EmptyTreeDir(root, 0);
    while (WaitForHeldEntries(root));
    return RemoveTreeRoot(root, path);
}
