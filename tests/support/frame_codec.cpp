// The tests' own frame codec (see frame_codec.h).
#include "frame_codec.h"

#include <cstdio>

namespace testframe {

uint16_t fcs_register(const bytes &data, uint16_t reg)
{
    for (uint8_t b : data) {
        reg ^= b;
        for (int k = 0; k < 8; ++k)
            reg = (reg & 1) ? static_cast<uint16_t>((reg >> 1) ^ 0x8408) : static_cast<uint16_t>(reg >> 1);
    }
    return reg;
}

uint16_t fcs(const bytes &content)
{
    return static_cast<uint16_t>(~fcs_register(content));
}

bytes encode(const bytes &content)
{
    bytes out{0x7E};
    auto put = [&out](uint8_t b) {
        if (b == 0x7E || b == 0x7D) {
            out.push_back(0x7D);
            out.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    };
    for (uint8_t b : content)
        put(b);
    const uint16_t f = fcs(content);
    put(static_cast<uint8_t>(f & 0xFF));
    put(static_cast<uint8_t>(f >> 8));
    out.push_back(0x7E);
    return out;
}

bool decoder::push(uint8_t b, frame *out)
{
    if (b == 0x7E) {
        const bool done = !cur_.empty();
        if (done) {
            out->good = cur_.size() >= 2 && !esc_ && fcs_register(cur_) == 0xF0B8;
            out->content = cur_;
            if (out->content.size() >= 2)
                out->content.resize(out->content.size() - 2);
        }
        cur_.clear();
        esc_ = false;
        return done;
    }
    if (esc_) {
        cur_.push_back(static_cast<uint8_t>(b ^ 0x20));
        esc_ = false;
    } else if (b == 0x7D) {
        esc_ = true;
    } else {
        cur_.push_back(b);
    }
    return false;
}

void decoder::reset()
{
    cur_.clear();
    esc_ = false;
}

std::vector<frame> split(const bytes &stream)
{
    std::vector<frame> frames;
    decoder d;
    frame f;
    for (uint8_t b : stream)
        if (d.push(b, &f))
            frames.push_back(f);
    return frames;
}

std::vector<bytes> decode(const bytes &stream, int *bad)
{
    std::vector<bytes> good;
    int nbad = 0;
    for (frame &f : split(stream)) {
        if (f.good)
            good.push_back(std::move(f.content));
        else
            ++nbad;
    }
    if (bad != nullptr)
        *bad = nbad;
    return good;
}

std::string hex(const bytes &data)
{
    std::string s;
    char h[3];
    for (uint8_t b : data) {
        std::snprintf(h, sizeof h, "%02x", b);
        s += h;
    }
    return s;
}

bytes from_hex(const std::string &text)
{
    bytes b;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return b;
}

} // namespace testframe
