// Names come from the user's file system and files: any bytes at all. Every
// output format Korva writes (JSON, CSV, SPEF, HTML, SVG) needs valid UTF-8,
// and a JSON library throws on anything else, so names are made valid at the
// one place they are written, the same way everywhere: a byte that does not
// belong to a well-formed UTF-8 sequence becomes the four characters \xNN.
// A name that is already valid UTF-8 (and holds no such escape) is unchanged.
#pragma once

#include <string>

namespace TextSafe {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when the
// byte there does not start one (overlong forms, surrogates and code points
// past U+10FFFF are not well formed).
inline size_t Utf8SequenceLength(const std::string& s, size_t i)
{
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80)
        return 1;
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else
        return 0;
    if (i + len > s.size())
        return 0;
    for (size_t k = 1; k < len; ++k) {
        const unsigned char b = static_cast<unsigned char>(s[i + k]);
        if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF))
            return 0;
    }
    return len;
}

inline bool IsValidUtf8(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        const size_t n = Utf8SequenceLength(s, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

// `s` with every byte outside a well-formed sequence written as \xNN
// (lower-case hex). The result is always valid UTF-8.
inline std::string ValidUtf8(const std::string& s)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t n = Utf8SequenceLength(s, i);
        if (n == 0) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

}  // namespace TextSafe
