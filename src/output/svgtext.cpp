#include "svgtext.h"

#include "textsafe.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

void Append(std::string& out, const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if ((size_t)n < sizeof buf) {
        out.append(buf, (size_t)n);
        return;
    }
    std::string big((size_t)n + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(&big[0], big.size(), fmt, ap);
    va_end(ap);
    big.resize((size_t)n);
    out += big;
}

std::string EscapeXml(const std::string& raw)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (char c : TextSafe::ValidUtf8(raw)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            // XML has no way at all to hold these, not even as references:
            // they are written as the stray bytes of a name are.
            if ((unsigned char)c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                out += "\\x";
                out += hex[(unsigned char)c >> 4];
                out += hex[c & 15];
            } else {
                out += c;
            }
        }
    }
    return out;
}

double NiceStep(double span, int parts)
{
    double raw = span / parts;
    double p = std::pow(10.0, std::floor(std::log10(raw)));
    double m = raw / p;
    return (m < 1.5 ? 1 : m < 3 ? 2 : m < 7 ? 5 : 10) * p;
}
