// Small text helpers shared by the SVG and HTML writers.
#pragma once

#include <string>

// Appends printf-style text to `out`, however long it gets.
void Append(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// `text` with the five characters that XML reserves replaced by entities,
// made valid UTF-8 (TextSafe) and rid of the control characters XML cannot
// hold, so that any name at all gives a well-formed page or picture.
std::string EscapeXml(const std::string& text);

// A round axis step (1, 2 or 5 times a power of ten) near span / parts.
double NiceStep(double span, int parts);
