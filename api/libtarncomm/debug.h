// Hex dumps for the console commands: two upper-case hex digits per byte, a
// chosen separator, a chosen number of values a line, an optional prefix and an
// optional address column. All write to stdout and flush it before returning.
#ifndef TARNCOMM_DEBUG_H
#define TARNCOMM_DEBUG_H

#include "common.h"

// Same as dump_hex_pre with a null prefix.
void dump_hex(const void *data, uint32_t size, uint32_t line_width, const char *delimiter);

// prefix (if not null) unchanged, then each byte as "%02X" followed by the
// delimiter, or by a line end when i > 0 and (i + 1) % line_width == 0; one
// line end at the end. line_width 0 means no line breaks (one line).
void dump_hex_pre(const char *prefix, const void *data, uint32_t size, uint32_t line_width, const char *delimiter);

// Lays the values out as if the buffer started at address offset, lines
// aligned to multiples of line_width, ".. " standing for addresses before
// offset. With show_offset > 0 each line starts with its address (as many hex
// digits as offset + size needs) and ": ". line_width 0: no line breaks and a
// single address at the start.
void dump_hex_offset(const char *prefix, const void *data, uint32_t size, uint32_t line_width,
                     const char *delimiter, int show_offset, uint32_t offset);

#endif
