#include "Complain.h"

#include <fstream>
#include <sstream>

#include <cstdarg>
#include <cstdio>

void Complain(const char* format, ...)
{
    char text[4096]; // room for a path of PATH_MAX
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    // One call for the whole line, so two workers failing at once do not mix theirs.
    std::fprintf(stderr, "s2t-cloud-emulator: %s\n", text);
}

bool ReadFile(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}
