// The tests' own frame codec: flag 0x7E, escape 0x7D (next byte XOR 0x20),
// FCS-16 (reflected polynomial 0x8408, start 0xFFFF, complemented, low byte
// first) computed bit by bit. It shares no code with the console's framing
// or the box model's, so each of them is checked against it.
#ifndef TARNCTL_TESTS_FRAME_CODEC_H
#define TARNCTL_TESTS_FRAME_CODEC_H

#include <cstdint>
#include <string>
#include <vector>

namespace testframe {

using bytes = std::vector<uint8_t>;

// The FCS register after data, from reg; over a good frame's content and FCS
// it ends at 0xF0B8.
uint16_t fcs_register(const bytes &data, uint16_t reg = 0xFFFF);
// The FCS a frame with this content carries (the complemented register).
uint16_t fcs(const bytes &content);
// A whole frame: flag, stuffed content and FCS, flag.
bytes encode(const bytes &content);

// What lay between two flags, unstuffed. good: at least two bytes, no escape
// left open and the FCS checks. content: without the last two bytes (the
// FCS) when there are two.
struct frame {
    bool good = false;
    bytes content;
    uint8_t type() const { return content.size() > 0 ? content[0] : 0; }
    uint8_t cmd() const { return content.size() > 1 ? content[1] : 0; }
    bytes payload() const { return content.size() > 2 ? bytes(content.begin() + 2, content.end()) : bytes{}; }
};

// Byte by byte: each flag after a non-empty chunk completes a frame (bytes
// before the first flag make one too: a receiver cannot tell them apart).
class decoder {
public:
    // True when b closed a frame, stored in *out.
    bool push(uint8_t b, frame *out);
    void reset();

private:
    bytes cur_;
    bool esc_ = false;
};

// Every non-empty chunk between flags in a byte stream, good or not.
std::vector<frame> split(const bytes &stream);
// The contents of the good frames; the others counted in *bad.
std::vector<bytes> decode(const bytes &stream, int *bad = nullptr);

// Lower-case hex without separators, and back (an odd last digit is ignored).
std::string hex(const bytes &data);
bytes from_hex(const std::string &text);

} // namespace testframe

#endif
