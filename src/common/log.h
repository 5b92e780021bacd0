// The console channels, and the fatal consistency check every module uses.
#pragma once

#include <cstdio>
#include <string>

class Log {
public:
    static FILE* inf;
    static FILE* wrn;
    static FILE* ero;
    static FILE* bug;
    static FILE* out;
    static FILE* rst;
    // Put before each error message when set: one process of several
    // naming itself.
    static const char* tag;
    // Called, after a message on standard error, when standard output cannot
    // be written, from whichever thread found it: a report nobody can read
    // is no result, and the program decides how it ends (unset, the line is
    // lost and the caller goes on).
    static void (*unwritable)();

    static void open();
    static void close();
    static int pinfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static int pwarning(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static int perror(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static int pdebug(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static int output(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static int result(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // The text printf would write.
    static std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
};

// An input a run cannot go on with (a missing or damaged table, a bad
// registration, an unusable deck or selector): library code throws it with
// the message the user is to see, the library's entry points hand it back
// as an error, and only the front ends print it and end the process with
// `status`.
struct InputError {
    std::string message;
    int status = 255;
};

// Writes "korva: <source>:<line>: <function>: Assertion `<expr>' failed."
// on standard error and aborts. Internal inconsistencies must never let a
// walk continue.
[[noreturn]] void FatalCheckFailed(const char* expr, const char* source, int line,
                                   const char* function);

// Each module defines `static const char KORVA_SOURCE[] = "src/<module>";`
// before using these.
#define FATAL_CHECK(expr) \
    ((expr) ? (void)0 : FatalCheckFailed(#expr, KORVA_SOURCE, __LINE__, __PRETTY_FUNCTION__))
#define FATAL_CHECK_TEXT(expr, text) \
    ((expr) ? (void)0 : FatalCheckFailed(text, KORVA_SOURCE, __LINE__, __PRETTY_FUNCTION__))
