// Which reparse points stand for another name. Plain code, shared by every
// platform (only the Windows layer has reparse points to ask about).
#pragma once

// The attribute word `attributes` (Win32 bits) of an entry whose reparse tag
// is `tag`, as the helper takes it. The reparse-point bit stays only for a
// name surrogate (a symbolic link, a junction, a mount point), which stands
// for another name: never entered, read or written through. Any other
// reparse point (a deduplicated file, a `compact /exe` file, a cloud-files
// placeholder) is an ordinary file or folder, as its directory bit says. A
// reparse point whose tag is unknown (0) is taken for a link. `tag` counts
// only where the word carries the reparse-point bit.
unsigned AttributesAsTaken(unsigned attributes, unsigned long tag);

// What the helper takes an attribute word for, each a question every layer
// asks the same way. The word for "no such entry" (all bits set) is neither.

// A regular file, as itself: no folder, no link, no device.
inline bool IsPlainFile(unsigned attributes) {
    return !(attributes & (0x10 | 0x40 | 0x400));  // directory, device, reparse point
}

// A folder of its own, not a link to one.
inline bool IsRealFolder(unsigned attributes) {
    return (attributes & 0x10) && !(attributes & 0x400);  // directory, not a reparse point
}
