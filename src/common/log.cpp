#include "log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <cstdlib>

FILE* Log::inf = nullptr;
FILE* Log::wrn = stdout;
FILE* Log::ero = stdout;
FILE* Log::bug = stderr;
FILE* Log::out = stdout;
FILE* Log::rst = stdout;
const char* Log::tag = nullptr;
void (*Log::unwritable)() = nullptr;

void Log::open()
{
    inf = stdout;
    wrn = stdout;
    ero = stdout;
    out = stdout;
    rst = stdout;
}

void Log::close()
{
    fflush(stdout);
}

int Log::pinfo(const char*, ...)
{
    return 1;
}

static int Print(FILE* stream, const char* format, va_list args)
{
    if (!stream)
        return 0;
    int n = vfprintf(stream, format, args);
    if ((fflush(stream) != 0 || n < 0) && stream == stdout) {
        fprintf(stderr, "korva: cannot write to standard output: %s\n", strerror(errno));
        if (Log::unwritable)
            Log::unwritable();
    }
    return n;
}

#define KORVA_LOG_PRINT(stream)            \
    va_list args;                          \
    va_start(args, format);                \
    int n = Print(stream, format, args);   \
    va_end(args);                          \
    return n

int Log::pwarning(const char* format, ...) { KORVA_LOG_PRINT(wrn); }
int Log::perror(const char* format, ...)
{
    if (tag && ero)
        fputs(tag, ero);
    KORVA_LOG_PRINT(ero);
}
int Log::pdebug(const char* format, ...) { KORVA_LOG_PRINT(bug); }
int Log::output(const char* format, ...) { KORVA_LOG_PRINT(out); }
int Log::result(const char* format, ...) { KORVA_LOG_PRINT(out); }

std::string Log::format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    char small[512];
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0)
        return std::string();
    if ((size_t)n < sizeof small)
        return std::string(small, (size_t)n);
    std::string text((size_t)n, '\0');
    va_start(args, format);
    vsnprintf(&text[0], (size_t)n + 1, format, args);
    va_end(args);
    return text;
}

void FatalCheckFailed(const char* expr, const char* source, int line, const char* function)
{
    fflush(stdout);
    fprintf(stderr, "korva: %s:%d: %s: Assertion `%s' failed.\n", source, line, function, expr);
    fflush(stderr);
    abort();
}
