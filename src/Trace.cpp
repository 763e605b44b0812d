#include "Trace.h"

#include <cstdio>

namespace Trace
{

void Print(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    PrintV(format, arguments);
    va_end(arguments);
}

void PrintV(const char* format, va_list arguments)
{
    vprintf(format, arguments);
}

void Body(const char* data, size_t size)
{
    fwrite(data, 1, size, stdout);
}

void Flush()
{
    fflush(stdout);
}

uint64_t DroppedBytes()
{
    return 0;
}

} // namespace Trace
