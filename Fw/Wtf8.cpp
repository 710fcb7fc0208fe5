// WTF-8 conversion; see Wtf8.h.
#include "Wtf8.h"

static void Append(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += (char)c;
    } else if (c < 0x800) {
        out += (char)(0xC0 | (c >> 6));
        out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += (char)(0xE0 | (c >> 12));
        out += (char)(0x80 | ((c >> 6) & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    } else {
        out += (char)(0xF0 | (c >> 18));
        out += (char)(0x80 | ((c >> 12) & 0x3F));
        out += (char)(0x80 | ((c >> 6) & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    }
}

std::string Wtf8FromUtf16(const char16_t *units, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        char32_t c = units[i];
        // A high surrogate followed by a low one is one character; any other
        // surrogate stands for itself.
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        Append(out, c);
    }
    return out;
}

std::u16string Utf16FromWtf8(const char *text) {
    std::u16string out;
    const unsigned char *p = (const unsigned char *)text;
    while (*p) {
        unsigned length = *p < 0x80 ? 1 : (*p >> 5) == 0x6 ? 2 : (*p >> 4) == 0xE ? 3 : (*p >> 3) == 0x1E ? 4 : 0;
        char32_t c = length == 1 ? *p : length == 2 ? (*p & 0x1F) : length == 3 ? (*p & 0x0F) : (*p & 0x07);
        for (unsigned i = 1; i < length; ++i) {
            if ((p[i] >> 6) != 0x2) {
                length = 0;
                break;
            }
            c = (c << 6) | (p[i] & 0x3F);
        }
        static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!length || c < kLeast[length] || c > 0x10FFFF) {
            out += u'\uFFFD';
            ++p;
            continue;
        }
        p += length;
        if (c >= 0x10000) {
            out += (char16_t)(0xD800 + ((c - 0x10000) >> 10));
            out += (char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += (char16_t)c;
        }
    }
    return out;
}
