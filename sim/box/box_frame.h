// The box firmware's own framing on its UART: flag 0x7E, 0x7D escapes, FCS-16
// sent low byte first. Written apart from the console's link layer on
// purpose, so that a mistake on either side shows up as a failed exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim::boxframe {

inline constexpr uint8_t kFlag = 0x7E;
inline constexpr uint8_t kEsc = 0x7D;
// Content bytes the firmware's receive buffer holds (header and 60 payload
// bytes); the FCS needs two more.
inline constexpr size_t kMaxContent = 62;
// Register value after running a good frame and its FCS through the CRC.
inline constexpr uint16_t kGoodResidue = 0xF0B8;

// One CRC step (reflected polynomial 0x8408), bit by bit like the small
// microcontroller does it.
uint16_t fcs_step(uint16_t crc, uint8_t byte);
// FCS over a block: start 0xFFFF, ones' complement at the end.
uint16_t fcs(const uint8_t *data, size_t len);
// CRC register over a block from a given start, without complement (the
// check word of the stored CAN configuration uses this form).
uint16_t crc_raw(uint16_t start, const uint8_t *data, size_t len);

// Whole frame with both flags; corrupt flips a bit of the FCS (fault
// injection).
std::vector<uint8_t> encode(const uint8_t *content, size_t len, bool corrupt = false);

// Receiver: feed bytes, get complete frames whose FCS is good (content
// only). Frames shorter than a message header, overlong frames, aborted
// frames and bad checks are dropped.
class Decoder {
public:
    std::optional<std::vector<uint8_t>> push(uint8_t b);
    void reset();
    // Counters, for tests and the curious.
    unsigned bad_fcs = 0;
    unsigned overlong = 0;
    unsigned aborted = 0;

private:
    uint8_t buf_[kMaxContent + 2] = {};
    size_t len_ = 0;
    bool esc_ = false;
    bool overflow_ = false;
};

} // namespace sim::boxframe
