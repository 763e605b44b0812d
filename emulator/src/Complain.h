#pragma once
// Why the emulator cannot start: one line on standard error,
// "s2t-cloud-emulator: " and the text. Safe from any thread (workers loading their
// model among them), unlike the trace, which the loop thread alone writes. And the
// reading of the files it needs to start.

#include <string>

void Complain(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The whole of a file read at start (a word list, a key file); false when it cannot be read.
bool ReadFile(const std::string& path, std::string& text);
