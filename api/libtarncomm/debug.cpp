// Hex dumps, byte for byte as the console has always printed them;
// no state between calls.
#include "debug.h"

#include <cstdio>

namespace {

// Line end after position p? line_width 0 never breaks (no caller passes it;
// a division by zero is not an answer).
bool line_end_after(uint32_t p, uint32_t line_width)
{
    return line_width != 0 && p > 0 && (p + 1) % line_width == 0;
}

const char *or_empty(const char *s)
{
    return s != nullptr ? s : "";
}

unsigned hex_digits(uint64_t e)
{
    unsigned n = 0;
    while (e != 0 && n < 8) {
        ++n;
        e >>= 4;
    }
    return n;
}

} // namespace

void dump_hex(const void *data, uint32_t size, uint32_t line_width, const char *delimiter)
{
    dump_hex_pre(nullptr, data, size, line_width, delimiter);
}

void dump_hex_pre(const char *prefix, const void *data, uint32_t size, uint32_t line_width, const char *delimiter)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    if (bytes == nullptr)
        size = 0;
    if (prefix != nullptr)
        std::fputs(prefix, stdout);
    for (uint32_t i = 0; i < size; ++i) {
        std::printf("%02X", bytes[i]);
        if (line_end_after(i, line_width))
            std::putchar('\n');
        else
            std::fputs(or_empty(delimiter), stdout);
    }
    std::putchar('\n');
    std::fflush(stdout);
}

void dump_hex_offset(const char *prefix, const void *data, uint32_t size, uint32_t line_width,
                     const char *delimiter, int show_offset, uint32_t offset)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    if (bytes == nullptr)
        size = 0;
    // Address width: the digits of offset + size (or of size alone), at most 8.
    const uint64_t e = show_offset > 0 ? static_cast<uint64_t>(offset) + size : size;
    const int digits = static_cast<int>(hex_digits(e));
    const uint32_t empty_vals = line_width != 0 ? offset % line_width : 0;
    const uint32_t base = offset - empty_vals;

    if (prefix != nullptr)
        std::fputs(prefix, stdout);
    const uint64_t positions = static_cast<uint64_t>(size) + empty_vals;
    for (uint32_t p = 0; p < positions; ++p) {
        const bool line_start = line_width != 0 ? p % line_width == 0 : p == 0;
        if (show_offset > 0 && line_start)
            std::printf("%0*X: ", digits, static_cast<unsigned>(base + p));
        if (p < empty_vals) {
            std::fputs(".. ", stdout);
            continue;
        }
        std::printf("%02X", bytes[p - empty_vals]);
        if (line_end_after(p, line_width))
            std::putchar('\n');
        else
            std::fputs(or_empty(delimiter), stdout);
    }
    std::putchar('\n');
    std::fflush(stdout);
}
