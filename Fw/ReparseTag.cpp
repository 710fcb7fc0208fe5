// Reparse tags; see ReparseTag.h.
#include "ReparseTag.h"

const unsigned kReparsePointBit = 0x400;
// The name-surrogate bit of a reparse tag (IsReparseTagNameSurrogate in the
// Windows headers; Microsoft Learn, "Reparse Point Tags").
const unsigned long kNameSurrogate = 0x20000000;

unsigned AttributesAsTaken(unsigned attributes, unsigned long tag) {
    // No file system hands out tag 0: a reparse point reported without its
    // tag (Wine lists a Unix symbolic link so) stays a link.
    if ((attributes & kReparsePointBit) && tag != 0 && !(tag & kNameSurrogate))
        return attributes & ~kReparsePointBit;
    return attributes;
}
