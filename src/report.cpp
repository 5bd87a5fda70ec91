#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

// Every error line printed in this run, without its prefix and line end, for the run report.
static std::vector<std::string> errors;

// A C-style variadic function, so that the compiler checks every call's format against its
// arguments, which a parameter pack would not let it do.
void printError(const char *format, ...)  // NOLINT(cert-dcl50-cpp)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    // The analyser loses track of va_start through the C library's macros.
    std::vsnprintf(text, sizeof text, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    std::printf("ERROR: %s\n\n", text);
    errors.emplace_back(text);
}

void forgetErrors()
{
    errors.clear();
}
