#include "platform/diag/Diag.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>

void diag_printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fflush(stderr);
}

void diag_dump_buf(const void* buffer, std::uint32_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    for (std::uint32_t line = 0; line < length; line += 16) {
        std::fprintf(stderr, "%08X: ", static_cast<unsigned>(line));
        for (std::uint32_t i = line; i < line + 16; ++i) {
            if (i < length)
                std::fprintf(stderr, "%02X ", bytes[i]);
            else
                std::fprintf(stderr, "   ");
        }
        std::fprintf(stderr, "|");
        for (std::uint32_t i = line; i < line + 16 && i < length; ++i)
            std::fputc(std::isprint(bytes[i]) ? bytes[i] : '.', stderr);
        std::fprintf(stderr, "|\n");
    }
    std::fflush(stderr);
}
