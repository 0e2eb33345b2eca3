// Diagnostic output of the board's hardware layer: formatted text and hex dumps on the
// debug channel (the process's standard error here), unbuffered.
#pragma once

#include <cstdint>

void diag_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// 16 bytes a line: the address, the bytes in hex and as characters.
void diag_dump_buf(const void* buffer, std::uint32_t length);
