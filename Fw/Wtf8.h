// Names between UTF-16 (what Windows file systems hold) and the narrow text
// the removal walk passes around. WTF-8 is UTF-8 that also carries a lone
// surrogate, which Windows allows in a name, so every name survives the round
// trip exactly. Plain code, built and tested on every platform.
#pragma once

#include <string>

// UTF-16 code units to WTF-8.
std::string Wtf8FromUtf16(const char16_t *units, size_t count);

// WTF-8 back to UTF-16. Bytes that are no valid sequence (never produced by
// Wtf8FromUtf16) each become U+FFFD, which no listed name reaches.
std::u16string Utf16FromWtf8(const char *text);
