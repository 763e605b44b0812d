#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// The trace: plain lines on standard output. Every object writes its lines through
// one writer of its own, and they all end here.
namespace Trace
{
// A formatted piece of a line, or several lines.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintV(const char* format, va_list arguments);
// A body (of a request, a reply or a cloud call), byte for byte.
void Body(const char* data, size_t size);
// Hands what the trace holds to the system; the loop calls it once per pass.
void Flush();
// Bytes dropped so far because the trace's reader fell behind.
uint64_t DroppedBytes();
} // namespace Trace
