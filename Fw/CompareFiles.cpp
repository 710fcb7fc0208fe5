// CompareFileContents: the three-way comparison, written once for every
// platform on the seam's readable files. What it cannot tell it never calls
// a difference: the callers act on a difference.
#include <cstring>

#include "Platform.h"
#include "TestHooks.h"

// True when `file` has the size and times of `before` still.
static bool StillAsStamped(ReadableFile *file, const ReadableStamp &before) {
    ReadableStamp now;
    return StampOfReadable(file, &now) && now.size == before.size && now.changed == before.changed &&
           now.written == before.written;
}

FileComparison CompareFileContents(const char *a, const char *b) {
    if (InjectedFault("CompareFileContents", a))
        return kCannotTell;
    bool notRegularA = false, notRegularB = false;
    ReadableFile *inA = OpenReadable(a, &notRegularA), *inB = OpenReadable(b, &notRegularB);
    ReadableStamp stampA = {}, stampB = {};
    FileComparison result = kCannotTell;
    if ((!inA && notRegularA) || (!inB && notRegularB))
        result = kDifferentBytes;
    else if (inA && inB && StampOfReadable(inA, &stampA) && StampOfReadable(inB, &stampB))
        result = stampA.size != stampB.size ? kDifferentBytes : kSameBytes;
    // Read to the size both had before the first read: a read error, or a
    // file that ends early (changed meanwhile), leaves the answer unknown.
    static char bufferA[1 << 16], bufferB[1 << 16];
    for (unsigned long long left = stampA.size; result == kSameBytes && left > 0;) {
        size_t want = left < sizeof bufferA ? (size_t)left : sizeof bufferA;
        if (!ReadExactly(inA, bufferA, want) || !ReadExactly(inB, bufferB, want))
            result = kCannotTell;
        else if (memcmp(bufferA, bufferB, want) != 0)
            result = kDifferentBytes;
        ComparedPiece(a);
        ComparedPiece(b);
        left -= want;
    }
    // A file written meanwhile (a new executable still being delivered,
    // grown past the bytes read) was read part-way through a change: what
    // was read says nothing of the file it became.
    if (inA && inB && result != kCannotTell && !(StillAsStamped(inA, stampA) && StillAsStamped(inB, stampB)))
        result = kCannotTell;
    if (inA)
        CloseReadable(inA);
    if (inB)
        CloseReadable(inB);
    return result;
}
