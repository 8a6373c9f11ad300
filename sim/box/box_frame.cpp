// Framing of the box's UART. See box_frame.h.
#include "box_frame.h"

namespace sim::boxframe {

uint16_t fcs_step(uint16_t crc, uint8_t byte)
{
    crc ^= byte;
    for (int i = 0; i < 8; ++i)
        crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    return crc;
}

uint16_t crc_raw(uint16_t start, const uint8_t *data, size_t len)
{
    for (size_t i = 0; i < len; ++i)
        start = fcs_step(start, data[i]);
    return start;
}

uint16_t fcs(const uint8_t *data, size_t len)
{
    return static_cast<uint16_t>(~crc_raw(0xFFFF, data, len));
}

static void put_stuffed(std::vector<uint8_t> &out, uint8_t b)
{
    if (b == kFlag || b == kEsc) {
        out.push_back(kEsc);
        out.push_back(static_cast<uint8_t>(b ^ 0x20));
    } else {
        out.push_back(b);
    }
}

std::vector<uint8_t> encode(const uint8_t *content, size_t len, bool corrupt)
{
    std::vector<uint8_t> out;
    out.reserve(len * 2 + 6);
    out.push_back(kFlag);
    for (size_t i = 0; i < len; ++i)
        put_stuffed(out, content[i]);
    uint16_t f = fcs(content, len);
    if (corrupt)
        f ^= 0x0101;
    put_stuffed(out, static_cast<uint8_t>(f & 0xFF));
    put_stuffed(out, static_cast<uint8_t>(f >> 8));
    out.push_back(kFlag);
    return out;
}

void Decoder::reset()
{
    len_ = 0;
    esc_ = false;
    overflow_ = false;
}

std::optional<std::vector<uint8_t>> Decoder::push(uint8_t b)
{
    if (b == kFlag) {
        std::optional<std::vector<uint8_t>> frame;
        if (esc_) {
            ++aborted;
        } else if (overflow_) {
            ++overlong;
        } else if (len_ >= 4) { // type, cmd and the FCS at the least
            if (crc_raw(0xFFFF, buf_, len_) == kGoodResidue)
                frame.emplace(buf_, buf_ + (len_ - 2));
            else
                ++bad_fcs;
        } else if (len_ > 0) {
            ++bad_fcs; // too short to be a message; counted as a bad frame
        }
        reset();
        return frame;
    }
    if (esc_) {
        esc_ = false;
        b ^= 0x20;
    } else if (b == kEsc) {
        esc_ = true;
        return std::nullopt;
    }
    if (overflow_)
        return std::nullopt;
    if (len_ == sizeof buf_) {
        overflow_ = true;
        return std::nullopt;
    }
    buf_[len_++] = b;
    return std::nullopt;
}

} // namespace sim::boxframe
