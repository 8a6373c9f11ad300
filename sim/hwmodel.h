// What both of our USB hosts (the simulated bus and the usbfs emulation of
// the real-libusb tests) need to know to build a converter and the box
// behind it: the device to plug in, the timing model, and the decoded state
// of a channel that tests look at. The models themselves live in
// converter/ and box/; neither depends on the host that drives them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

enum class Timing {
    fast, // no wire delays; status-only packets still once per latency period
    real, // 10 bit times per serial byte, USB packets on (micro-)frames
};

struct DeviceSpec {
    // Converter type by its release number: 0x0600 is the box's own
    // converter (64-byte packets, one channel); 0x0200, 0x0400, 0x0500
    // (2 channels), 0x0700 (2 channels, high speed), 0x0800 (4 channels,
    // high speed), 0x0900 (high speed), 0x1000 are the other types.
    uint16_t bcd_device = 0x0600;
    // Serial-number string; empty: the device has none (iSerialNumber 0).
    std::string serial = "CV000001";
    // 0: the type's own identifiers (0x0403:0x7F80 for 0x0600).
    uint16_t vendor = 0;
    uint16_t product = 0;
    // Product string; empty: the type's own name.
    std::string product_name;
    // A box behind channel A. Without one the far side of each channel is a
    // plain line the test drives with wire_send()/wire_received().
    bool box = true;
    // Folder for the box's EEPROM file; empty keeps the EEPROM in memory.
    std::string state_dir;
};

// What the converter's channel is set to, decoded.
struct ChannelState {
    double baud = 0;             // the rate the divisor gives on this chip
    uint16_t divisor = 0;        // last divisor word
    uint16_t divisor_ext = 0;    // its extension bits
    uint8_t word_length = 8, parity = 0, stop_bits = 0;
    bool break_on = false;
    uint16_t flow = 0;           // 0, 0x0100 RTS/CTS, 0x0200 DTR/DSR, 0x0400 XON/XOFF
    uint8_t xon = 0, xoff = 0;
    bool dtr = false, rts = false;
    uint8_t event_char = 0;
    bool event_char_on = false;
    uint8_t error_char = 0;
    bool error_char_on = false;
    uint8_t latency_ms = 16;
    uint8_t bitmode_mask = 0, bitmode_mode = 0;
    uint8_t cbus_dir = 0, cbus_levels = 0x0F; // effective pins
    size_t rx_fifo = 0;          // bytes waiting in the receive buffer
    uint64_t rx_lost = 0;        // bytes lost to overrun
    bool line_ok = true;         // the far side understands the line (230400 within 3 %, 8N1)
};

} // namespace sim
