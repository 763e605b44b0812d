#pragma once
// Why the emulator cannot start: one line on standard error,
// "s2t-cloud-emulator: " and the text. Safe from any thread (workers loading their
// model among them), unlike the trace, which the loop thread alone writes.

void Complain(const char* format, ...) __attribute__((format(printf, 1, 2)));
