#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

// Every error line printed in this run, without its prefix and line end, for the run report.
static std::vector<std::string> errors;

void printError(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::printf("ERROR: %s\n\n", text);
    errors.emplace_back(text);
}
