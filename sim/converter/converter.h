// The USB-serial converter chip of one simulated device: its descriptors,
// its vendor requests, its receive and transmit buffers with the packet
// rules of the bulk endpoints, its CBUS pins, and the far side of each
// serial line (the box on channel A of the box's own converter, otherwise a
// line the tests drive). Not thread-safe: the bus calls it under its lock.
#pragma once

#include <libusb.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hwmodel.h"

namespace sim {

class Box;
class Trace;

struct TypeInfo {
    uint16_t bcd;        // high byte decides, like the chips' own families
    uint16_t vendor, product;
    int channels;
    int packet;          // wMaxPacketSize of the bulk endpoints
    bool high_speed;
    bool high_clock;     // 12 MHz divisor base available (extension bit 2)
    bool shifted_index;  // divisor extension in the high byte of wIndex
    bool ext_fraction;   // eighth-step fractions through extension bit 1
    bool vendor_cmd;     // vendor command requests 0x20/0x21
    size_t rx_fifo, tx_fifo;
    const char *product_name;
};
const TypeInfo &type_info(uint16_t bcd_device);

// One bulk transfer as the chip sees it: a buffer it fills (IN) or drains
// (OUT), not before ready_us (the next USB frame in real timing).
struct BulkIo {
    uint8_t *buf = nullptr;
    size_t len = 0;
    size_t actual = 0;
    uint64_t ready_us = 0;
    uint64_t done_us = 0; // chip time of the last packet, 0 while none
    void *owner = nullptr;
};

class Converter {
public:
    // done: a queued transfer finished with this libusb_transfer_status.
    using DoneFn = std::function<void(BulkIo *, int status)>;

    Converter(const DeviceSpec &spec, Timing timing, Trace *trace, DoneFn done);
    ~Converter();
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    const TypeInfo &type() const { return type_; }
    const DeviceSpec &spec() const { return spec_; }
    int channels() const { return type_.channels; }
    Timing timing() const { return timing_; }
    uint64_t frame_us() const { return type_.high_speed ? 125 : 1000; }

    libusb_device_descriptor device_descriptor() const;
    std::vector<uint8_t> config_descriptor() const;
    // ASCII content of string descriptor index (1 manufacturer, 2 product,
    // 3 serial); false when the device has no such string.
    bool string_descriptor(uint8_t index, std::string *out) const;
    // Endpoint address -> channel and direction; false if no such endpoint.
    bool endpoint_channel(uint8_t endpoint, int *channel) const;

    // A control request; returns bytes of the data stage or
    // LIBUSB_ERROR_PIPE when the chip stalls it.
    int control(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                uint8_t *data, uint16_t length, uint64_t now);

    void queue_in(int channel, BulkIo *io, uint64_t now);
    void queue_out(int channel, BulkIo *io, uint64_t now);
    bool remove(BulkIo *io);
    // Every queued transfer finishes with this status (unplug).
    void finish_all(int status);
    // Transfers queued on one endpoint finish with this status (halt).
    void finish_endpoint(uint8_t endpoint, int status);

    // Everything due at now: box timers, bytes arriving on the wires, the
    // packet rules. next_event_us is when this must run next.
    void service(uint64_t now);
    uint64_t next_event_us(uint64_t now) const;

    // Power: plug boots the box, unplug holds it. A port reset returns the
    // chip to its power-on settings without cutting the box's power.
    void power_on(uint64_t now);
    void power_off(uint64_t now);
    void chip_reset(uint64_t now);

    void set_out_blocked(bool on) { out_blocked_ = on; }
    Box *box() { return box_.get(); }

    // Far side of a channel without a box.
    void wire_send(int channel, const uint8_t *data, size_t len, uint64_t now);
    std::vector<uint8_t> take_wire_received(int channel);
    void set_loopback(int channel, bool on);
    void set_stream(int channel, bool on, uint64_t now);
    ChannelState state(int channel) const;

    static double divisor_to_baud(const TypeInfo &type, uint16_t word, uint16_t ext);

private:
    struct WireByte {
        uint64_t t;
        uint8_t b;
        uint8_t err; // line-status error bits the byte brings
    };
    struct Channel {
        int index = 0;
        // line settings
        uint16_t div_word = 0x4138, div_ext = 0; // 9600 at power-on
        double baud = 9600;
        uint8_t word_length = 8, parity = 0, stop_bits = 0;
        bool break_on = false;
        uint16_t flow = 0;
        uint8_t xon = 0x11, xoff = 0x13;
        bool dtr = false, rts = false;
        uint8_t event_char = 0x0D, error_char = 0;
        bool event_on = false, error_on = false;
        uint8_t latency = 16;
        uint8_t bm_mask = 0, bm_mode = 0;
        // receive side
        std::vector<uint8_t> fifo; // ring of type.rx_fifo bytes
        size_t head = 0, count = 0;
        size_t flush = 0;          // bytes that must go because the event char came
        uint64_t due_since = 0;    // when enough data (or the event char) was there
        uint8_t line_err = 0;      // reported with the next packet
        uint64_t last_packet = 0;
        uint64_t lost = 0;
        std::deque<WireByte> rx_wire; // on their way to the chip (real timing)
        uint64_t rx_busy = 0;
        // transmit side
        std::deque<WireByte> tx_wire; // in the chip's transmit buffer
        uint64_t tx_busy = 0;
        std::deque<BulkIo *> in_q, out_q;
        // far side
        bool loopback = false, stream = false;
        uint8_t stream_next = 0;
        std::vector<uint8_t> far_received;
    };

    bool line_ok(const Channel &c) const;
    uint64_t byte_us(double baud) const;
    uint64_t latency_us(const Channel &c) const;
    int channel_of(uint16_t index) const;
    uint8_t modem_status(const Channel &c) const;
    uint8_t line_status(const Channel &c) const;

    void reset_channel(Channel &c, bool settings);
    void purge_rx(Channel &c);
    void purge_tx(Channel &c);
    void far_to_chip(Channel &c, const uint8_t *data, size_t len, uint64_t now, uint64_t byte_time,
                     bool garbled);
    void push_fifo(Channel &c, uint8_t b, uint8_t err, uint64_t now);
    void push_byte(Channel &c, uint8_t b, uint8_t err, uint64_t t);
    bool data_due(const Channel &c) const;
    uint64_t due_at(const Channel &c) const;
    void send_packet(Channel &c, uint64_t t);
    void fill_stream(Channel &c, uint64_t now);
    void serve_in(Channel &c, uint64_t now);
    void serve_out(Channel &c, uint64_t now);
    size_t accept_out(Channel &c, const uint8_t *data, size_t len, uint64_t now);
    void chip_to_far(Channel &c, const uint8_t *data, size_t len, uint64_t now);
    void deliver_tx(Channel &c, uint64_t now);
    void pull_rx(Channel &c, uint64_t now);
    void finish(BulkIo *io, int status);

    // CBUS
    void pins(uint8_t *dir, uint8_t *levels) const;
    void apply_pins(uint8_t old_levels, uint64_t now);
    void box_call(uint64_t now, const std::function<void()> &f);

    void trace(uint64_t now, const std::string &text) const;

    DeviceSpec spec_;
    const TypeInfo &type_;
    Timing timing_;
    Trace *trace_;
    DoneFn done_;
    std::vector<Channel> ch_;
    std::unique_ptr<Box> box_;
    bool powered_ = false;
    bool out_blocked_ = false;
    uint64_t box_now_ = 0; // time of the box call under way (its transmit callback has none)
    std::array<uint8_t, 256> vendor_regs_{};
};

} // namespace sim
