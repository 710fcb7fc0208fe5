// CompareFileContents: the three-way comparison, written once for every
// platform on the seam's readable files. What it cannot tell it never calls
// a difference: the callers act on a difference.
#include <cstring>

#include "Platform.h"
#include "TestHooks.h"

FileComparison CompareFileContents(const char *a, const char *b) {
    if (InjectedFault("CompareFileContents", a))
        return kCannotTell;
    bool notRegularA = false, notRegularB = false;
    ReadableFile *inA = OpenReadable(a, &notRegularA), *inB = OpenReadable(b, &notRegularB);
    unsigned long long sizeA = 0, sizeB = 0;
    FileComparison result = kCannotTell;
    if ((!inA && notRegularA) || (!inB && notRegularB))
        result = kDifferentBytes;
    else if (inA && inB && SizeOfReadable(inA, &sizeA) && SizeOfReadable(inB, &sizeB))
        result = sizeA != sizeB ? kDifferentBytes : kSameBytes;
    // Read to the size both had when opened: a read error, or a file that
    // ends early (changed meanwhile), leaves the answer unknown.
    static char bufferA[1 << 16], bufferB[1 << 16];
    for (unsigned long long left = sizeA; result == kSameBytes && left > 0;) {
        size_t want = left < sizeof bufferA ? (size_t)left : sizeof bufferA;
        if (!ReadExactly(inA, bufferA, want) || !ReadExactly(inB, bufferB, want))
            result = kCannotTell;
        else if (memcmp(bufferA, bufferB, want) != 0)
            result = kDifferentBytes;
        left -= want;
    }
    if (inA)
        CloseReadable(inA);
    if (inB)
        CloseReadable(inB);
    return result;
}
