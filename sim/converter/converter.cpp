// The converter chip. The receive side follows the chip's packet rules: a
// bulk IN packet carries the modem-status byte, the line-status byte and up
// to packet-2 data bytes, and goes to the host when it is full, when the
// event character has arrived, or when the latency timer runs out (then also
// without data, which is how the host learns the line is idle). The transmit
// side hands bytes to the far side of the serial line, which only
// understands them when the line runs at its rate and format.
#include "converter/converter.h"

#include "box/box.h"
#include "simenv.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {

namespace {

// The far side of every line (the box, or the test's line) runs 230400 8N1.
constexpr double kFarBaud = 230400;

constexpr uint8_t kLineTxEmpty = 0x60; // transmitter holding and shift register empty
constexpr uint8_t kOverrun = 0x02, kFraming = 0x08;

// Bytes received at the wrong rate or format are not the bytes sent.
// The mask always has its top bit set, so no byte survives unchanged.
uint8_t garble(uint8_t b) { return static_cast<uint8_t>(b ^ (0x80 | ((b * 37 + 11) & 0x7F))); }

const TypeInfo kTypes[] = {
    // bcd    vid     pid    ch pkt  hs     hiclk  shift  extfr  vcmd   rx    tx
    {0x0200, 0x0403, 0x6001, 1, 64, false, false, false, false, false, 128, 128, "Serial Converter"},
    {0x0400, 0x0403, 0x6001, 1, 64, false, false, false, true, false, 384, 128, "Serial Converter"},
    {0x0500, 0x0403, 0x6010, 2, 64, false, false, true, true, false, 384, 128, "Dual Serial Converter"},
    {0x0600, 0x0403, 0x7F80, 1, 64, false, false, false, true, false, 256, 128, "Corvane"},
    {0x0700, 0x0403, 0x6010, 2, 512, true, true, true, true, false, 4096, 4096, "Dual HS Serial Converter"},
    {0x0800, 0x0403, 0x6011, 4, 512, true, true, true, true, false, 2048, 2048, "Quad HS Serial Converter"},
    {0x0900, 0x0403, 0x6014, 1, 512, true, true, true, true, false, 1024, 1024, "HS Serial Converter"},
    {0x1000, 0x0403, 0x6015, 1, 64, false, false, true, true, false, 512, 512, "Serial Converter X"},
    {0x1400, 0x0403, 0x6015, 1, 64, false, false, false, true, true, 512, 512, "Serial Converter Y"},
    {0x1500, 0x0403, 0x6015, 2, 64, false, false, true, true, true, 512, 512, "Dual Serial Converter Y"},
    {0x1600, 0x0403, 0x6015, 2, 64, false, false, true, true, true, 512, 512, "Dual Serial Converter Y"},
    {0x1700, 0x0403, 0x6014, 1, 512, true, true, false, true, true, 1024, 1024, "HS Serial Converter Y"},
    {0x1800, 0x0403, 0x6010, 2, 512, true, true, true, true, true, 2048, 2048, "Dual HS Serial Converter Y"},
    {0x1900, 0x0403, 0x6011, 4, 512, true, true, true, true, true, 2048, 2048, "Quad HS Serial Converter Y"},
    {0x2100, 0x0403, 0x6015, 1, 64, false, false, false, true, true, 512, 512, "Serial Converter Z"},
};
const TypeInfo kUnknownType = {0, 0x0403, 0x6001, 1, 64, false, false, false, false, false, 128, 128,
                               "Serial Converter"};

constexpr uint8_t kManufacturer = 1, kProduct = 2, kSerial = 3;

} // namespace

const TypeInfo &type_info(uint16_t bcd)
{
    for (const TypeInfo &t : kTypes)
        if ((t.bcd & 0xFF00) == (bcd & 0xFF00))
            return t;
    return kUnknownType;
}

double Converter::divisor_to_baud(const TypeInfo &type, uint16_t word, uint16_t ext)
{
    bool hi = type.high_clock && (ext & 2);
    double base = hi ? 12000000.0 : 3000000.0;
    bool e = type.ext_fraction && (ext & 1);
    unsigned n = word & 0x3FFF, f = word >> 14;
    if (word == 0 && !e)
        return base;
    if (word == 1 && !e)
        return hi ? 8000000.0 : 2000000.0;
    static const double frac[2][4] = {{0, 0.5, 0.25, 0.125}, {0.375, 0.625, 0.75, 0.875}};
    double d = n + frac[e][f];
    if (d < 1.0)
        return 0; // no such divisor on the chip
    return base / d;
}

Converter::Converter(const DeviceSpec &spec, Timing timing, Trace *tracer, DoneFn done)
    : spec_(spec), type_(type_info(spec.bcd_device)), timing_(timing), trace_(tracer),
      done_(std::move(done))
{
    ch_.resize(type_.channels);
    for (int i = 0; i < type_.channels; i++) {
        ch_[i].index = i;
        ch_[i].fifo.assign(type_.rx_fifo, 0);
    }
    if (spec_.box) {
        Box::Options o;
        o.serial = spec_.serial.empty() ? "CV000001" : spec_.serial;
        o.state_dir = spec_.state_dir;
        box_ = std::make_unique<Box>(std::move(o));
        box_->set_tx([this](const uint8_t *data, size_t len) {
            trace(box_now_, "WIRE_RX " + hex(data, len));
            Channel &c = ch_[0];
            far_to_chip(c, data, len, box_now_, byte_us(kFarBaud), !line_ok(c));
        });
    }
}

Converter::~Converter() = default;

// ---- descriptors ---------------------------------------------------------

libusb_device_descriptor Converter::device_descriptor() const
{
    libusb_device_descriptor d{};
    d.bLength = LIBUSB_DT_DEVICE_SIZE;
    d.bDescriptorType = LIBUSB_DT_DEVICE;
    d.bcdUSB = 0x0200; // USB 2.0 devices, at full or high speed
    d.bDeviceClass = 0;
    d.bMaxPacketSize0 = 64;
    d.idVendor = spec_.vendor ? spec_.vendor : type_.vendor;
    d.idProduct = spec_.product ? spec_.product : type_.product;
    d.bcdDevice = spec_.bcd_device;
    d.iManufacturer = kManufacturer;
    d.iProduct = kProduct;
    d.iSerialNumber = spec_.serial.empty() ? 0 : kSerial;
    d.bNumConfigurations = 1;
    return d;
}

std::vector<uint8_t> Converter::config_descriptor() const
{
    std::vector<uint8_t> v = {9, LIBUSB_DT_CONFIG, 0, 0, static_cast<uint8_t>(type_.channels), 1, 0,
                              0x80, 45};
    for (int i = 0; i < type_.channels; i++) {
        uint8_t iface[] = {9, LIBUSB_DT_INTERFACE, static_cast<uint8_t>(i), 0, 2, 0xFF, 0xFF, 0xFF,
                           kProduct};
        v.insert(v.end(), iface, iface + 9);
        for (int dir = 0; dir < 2; dir++) {
            uint8_t addr = dir == 0 ? static_cast<uint8_t>(0x81 + 2 * i) : static_cast<uint8_t>(0x02 + 2 * i);
            uint8_t ep[] = {7, LIBUSB_DT_ENDPOINT, addr, LIBUSB_TRANSFER_TYPE_BULK,
                            static_cast<uint8_t>(type_.packet & 0xFF), static_cast<uint8_t>(type_.packet >> 8), 0};
            v.insert(v.end(), ep, ep + 7);
        }
    }
    v[2] = static_cast<uint8_t>(v.size() & 0xFF);
    v[3] = static_cast<uint8_t>(v.size() >> 8);
    return v;
}

bool Converter::string_descriptor(uint8_t index, std::string *out) const
{
    switch (index) {
    case kManufacturer:
        *out = "Corvane Sim";
        return true;
    case kProduct:
        *out = spec_.product_name.empty() ? std::string(type_.product_name) : spec_.product_name;
        return true;
    case kSerial:
        if (spec_.serial.empty())
            return false;
        *out = spec_.serial;
        return true;
    default:
        return false;
    }
}

bool Converter::endpoint_channel(uint8_t ep, int *channel) const
{
    for (int i = 0; i < type_.channels; i++) {
        if (ep == 0x81 + 2 * i || ep == 0x02 + 2 * i) {
            *channel = i;
            return true;
        }
    }
    return false;
}

// ---- line --------------------------------------------------------------

bool Converter::line_ok(const Channel &c) const
{
    if (c.word_length != 8 || c.parity != 0 || c.stop_bits != 0 || c.break_on)
        return false;
    return std::fabs(c.baud - kFarBaud) <= kFarBaud * 0.03;
}

uint64_t Converter::byte_us(double baud) const
{
    if (timing_ == Timing::fast || baud <= 0)
        return 0;
    // Start bit, eight data bits, stop bit.
    return static_cast<uint64_t>(std::llround(10e6 / baud));
}

uint64_t Converter::latency_us(const Channel &c) const
{
    // A latency of 0 would have the chip send packets back to back.
    return static_cast<uint64_t>(std::max<uint8_t>(c.latency, 1)) * 1000;
}

int Converter::channel_of(uint16_t index) const
{
    if (type_.channels == 1)
        return 0;
    unsigned low = index & 0xFF;
    if (low == 0)
        return 0;
    return low <= static_cast<unsigned>(type_.channels) ? static_cast<int>(low - 1) : -1;
}

uint8_t Converter::modem_status(const Channel &c) const
{
    uint8_t s = 0x01; // the chip always sets the low bit
    if (c.loopback) {
        // A loop-back plug ties RTS to CTS and DTR to DSR and DCD.
        if (c.rts)
            s |= 0x10;
        if (c.dtr)
            s |= 0xA0;
    } else if (c.index == 0 && box_) {
        s |= 0x30; // the box holds CTS and DSR asserted
    }
    return s;
}

uint8_t Converter::line_status(const Channel &c) const
{
    return static_cast<uint8_t>((c.tx_wire.empty() ? kLineTxEmpty : 0) | c.line_err);
}

void Converter::trace(uint64_t now, const std::string &text) const
{
    if (trace_ && trace_->enabled())
        trace_->line(now, spec_.serial, text);
}

void Converter::box_call(uint64_t now, const std::function<void()> &f)
{
    if (!box_)
        return;
    box_now_ = now;
    f();
}

// ---- power and reset -----------------------------------------------------

void Converter::reset_channel(Channel &c, bool settings)
{
    purge_rx(c);
    purge_tx(c);
    c.rx_wire.clear();
    c.line_err = 0;
    if (!settings)
        return;
    c.div_word = 0x4138;
    c.div_ext = 0;
    c.baud = 9600;
    c.word_length = 8;
    c.parity = c.stop_bits = 0;
    c.break_on = false;
    c.flow = 0;
    c.dtr = c.rts = false;
    c.event_char = 0x0D;
    c.event_on = false;
    c.error_char = 0;
    c.error_on = false;
    c.latency = 16;
    c.bm_mask = c.bm_mode = 0;
}

void Converter::power_on(uint64_t now)
{
    for (Channel &c : ch_) {
        reset_channel(c, true);
        c.last_packet = now;
        c.rx_busy = c.tx_busy = now;
    }
    powered_ = true;
    if (box_) {
        // The box runs from the same supply: it boots as it is plugged in
        // (a new box comes up running and only waits for the clock).
        trace(now, "BOOT");
        box_call(now, [&] {
            box_->set_terminal(true, now);
            box_->set_reset(false, now);
        });
    }
}

void Converter::power_off(uint64_t now)
{
    powered_ = false;
    for (Channel &c : ch_)
        reset_channel(c, true);
    if (box_)
        box_call(now, [&] { box_->set_reset(true, now); });
}

void Converter::chip_reset(uint64_t now)
{
    uint8_t dir, old;
    pins(&dir, &old);
    for (Channel &c : ch_) {
        reset_channel(c, true);
        c.last_packet = now;
    }
    apply_pins(old, now);
}

// ---- CBUS ----------------------------------------------------------------

void Converter::pins(uint8_t *dir, uint8_t *levels) const
{
    const Channel &c = ch_[0];
    if (c.bm_mode != 0x20) {
        // Pins in their normal function: outputs at their idle (high) level.
        *dir = 0x0F;
        *levels = 0x0F;
        return;
    }
    *dir = c.bm_mask >> 4;
    // An input pin is pulled up on the board.
    *levels = static_cast<uint8_t>(((c.bm_mask & 0x0F) | (~*dir & 0x0F)) & 0x0F);
}

void Converter::apply_pins(uint8_t old_levels, uint64_t now)
{
    uint8_t dir, levels;
    pins(&dir, &levels);
    char buf[40];
    snprintf(buf, sizeof buf, "CBUS dir=0x%x levels=0x%x", dir, levels);
    trace(now, buf);
    if (!box_)
        return;
    uint8_t changed = old_levels ^ levels;
    if (changed & 0x01) {
        bool held = !(levels & 0x01);
        if (!held)
            trace(now, "BOOT");
        box_call(now, [&] { box_->set_reset(held, now); });
    }
    if (changed & 0x02) {
        bool attached = levels & 0x02;
        box_call(now, [&] { box_->set_terminal(attached, now); });
    }
}

// ---- control requests ----------------------------------------------------

int Converter::control(uint8_t rt, uint8_t req, uint16_t value, uint16_t index, uint8_t *data,
                       uint16_t length, uint64_t now)
{
    const bool in = rt & LIBUSB_ENDPOINT_IN;
    auto answer = [&](const uint8_t *src, size_t n) {
        n = std::min<size_t>(n, length);
        if (n)
            memcpy(data, src, n);
        return static_cast<int>(n);
    };

    if ((rt & 0x60) == LIBUSB_REQUEST_TYPE_STANDARD) {
        if (rt == 0x80 && req == LIBUSB_REQUEST_GET_DESCRIPTOR) {
            uint8_t dtype = value >> 8, di = value & 0xFF;
            if (dtype == LIBUSB_DT_DEVICE) {
                libusb_device_descriptor d = device_descriptor();
                uint8_t b[18] = {d.bLength, d.bDescriptorType, static_cast<uint8_t>(d.bcdUSB),
                                 static_cast<uint8_t>(d.bcdUSB >> 8), d.bDeviceClass, d.bDeviceSubClass,
                                 d.bDeviceProtocol, d.bMaxPacketSize0, static_cast<uint8_t>(d.idVendor),
                                 static_cast<uint8_t>(d.idVendor >> 8), static_cast<uint8_t>(d.idProduct),
                                 static_cast<uint8_t>(d.idProduct >> 8), static_cast<uint8_t>(d.bcdDevice),
                                 static_cast<uint8_t>(d.bcdDevice >> 8), d.iManufacturer, d.iProduct,
                                 d.iSerialNumber, d.bNumConfigurations};
                return answer(b, sizeof b);
            }
            if (dtype == LIBUSB_DT_CONFIG && di == 0) {
                std::vector<uint8_t> c = config_descriptor();
                return answer(c.data(), c.size());
            }
            if (dtype == LIBUSB_DT_STRING) {
                if (di == 0) {
                    const uint8_t langs[] = {4, LIBUSB_DT_STRING, 0x09, 0x04};
                    return answer(langs, sizeof langs);
                }
                std::string s;
                if (!string_descriptor(di, &s))
                    return LIBUSB_ERROR_PIPE;
                std::vector<uint8_t> b = {static_cast<uint8_t>(2 + 2 * s.size()), LIBUSB_DT_STRING};
                for (char ch : s) {
                    b.push_back(static_cast<uint8_t>(ch));
                    b.push_back(0);
                }
                return answer(b.data(), b.size());
            }
            return LIBUSB_ERROR_PIPE;
        }
        if (rt == 0x80 && req == LIBUSB_REQUEST_GET_STATUS) {
            const uint8_t st[2] = {0, 0};
            return answer(st, 2);
        }
        if (rt == 0x00 && req == LIBUSB_REQUEST_SET_CONFIGURATION && value == 1)
            return 0;
        if (rt == 0x01 && req == LIBUSB_REQUEST_SET_INTERFACE && value == 0)
            return 0;
        return LIBUSB_ERROR_PIPE;
    }
    if ((rt & 0x60) != LIBUSB_REQUEST_TYPE_VENDOR || (rt & 0x1F) != LIBUSB_RECIPIENT_DEVICE)
        return LIBUSB_ERROR_PIPE;

    // The requests that read answer only as IN requests, the others only as
    // OUT requests; the chip stalls the rest.
    const bool reads = req == 5 || req == 10 || req == 12 || req == 0x20;
    if (reads != in)
        return LIBUSB_ERROR_PIPE;

    int chn = channel_of(index);
    if (req == 3 && type_.shifted_index)
        chn = channel_of(index & 0xFF);
    else if (req == 3)
        chn = 0;
    if (chn < 0)
        return LIBUSB_ERROR_PIPE;
    Channel &c = ch_[chn];

    switch (req) {
    case 0: // reset and purges
        if (value == 0) {
            // On a chip with several channels index 0 names none of them: the
            // request is taken, and one channel's open does not empty the
            // buffers of another channel in use.
            if (type_.channels > 1 && (index & 0xFF) == 0)
                return 0;
            reset_channel(c, false);
            c.flow = 0;
            return 0;
        }
        if (value == 1) {
            purge_rx(c);
            return 0;
        }
        if (value == 2) {
            purge_tx(c);
            return 0;
        }
        return LIBUSB_ERROR_PIPE;
    case 1: { // modem control: high byte says which lines, low byte their state
        uint8_t which = value >> 8, lines = value & 0xFF;
        if (which & 0x01)
            c.dtr = lines & 0x01;
        if (which & 0x02)
            c.rts = lines & 0x02;
        return 0;
    }
    case 2: { // flow control
        uint16_t mode = index & 0xFF00;
        if (mode != 0 && mode != 0x0100 && mode != 0x0200 && mode != 0x0400)
            return LIBUSB_ERROR_PIPE;
        c.flow = mode;
        if (mode == 0x0400) {
            c.xon = value & 0xFF;
            c.xoff = value >> 8;
        }
        return 0;
    }
    case 3: { // baud divisor
        uint16_t ext = type_.shifted_index ? (index >> 8) : index;
        double baud = divisor_to_baud(type_, value, ext);
        if (baud <= 0)
            return LIBUSB_ERROR_PIPE;
        c.div_word = value;
        c.div_ext = ext;
        c.baud = baud;
        return 0;
    }
    case 4: { // data characteristics and break
        uint8_t wl = value & 0xFF, par = (value >> 8) & 0x07, stop = (value >> 11) & 0x03;
        if (wl < 7 || wl > 8 || par > 4 || stop == 3)
            return LIBUSB_ERROR_PIPE;
        c.word_length = wl;
        c.parity = par;
        c.stop_bits = stop;
        c.break_on = value & 0x4000;
        return 0;
    }
    case 5: { // modem status
        const uint8_t st[2] = {modem_status(c), line_status(c)};
        return answer(st, 2);
    }
    case 6:
        c.event_char = value & 0xFF;
        c.event_on = value & 0x0100;
        return 0;
    case 7:
        c.error_char = value & 0xFF;
        c.error_on = value & 0x0100;
        return 0;
    case 9:
        c.latency = value & 0xFF;
        return 0;
    case 10: {
        const uint8_t l = c.latency;
        return answer(&l, 1);
    }
    case 11: { // bit mode; on channel A mode 0x20 drives the CBUS pins
        uint8_t dir, old;
        pins(&dir, &old);
        c.bm_mask = value & 0xFF;
        c.bm_mode = value >> 8;
        if (chn == 0)
            apply_pins(old, now);
        return 0;
    }
    case 12: { // instantaneous pins: directions high nibble, levels low nibble
        uint8_t dir, levels;
        pins(&dir, &levels);
        const uint8_t b = static_cast<uint8_t>(dir << 4 | levels);
        return answer(&b, 1);
    }
    case 0x20: // vendor command, read
        if (!type_.vendor_cmd)
            return LIBUSB_ERROR_PIPE;
        {
            uint8_t out[256];
            for (size_t i = 0; i < sizeof out; i++)
                out[i] = vendor_regs_[(value + i) & 0xFF];
            return answer(out, std::min<size_t>(length, 128));
        }
    case 0x21: // vendor command, write
        if (!type_.vendor_cmd)
            return LIBUSB_ERROR_PIPE;
        if (length == 0)
            vendor_regs_[value & 0xFF] = value >> 8;
        for (size_t i = 0; i < std::min<size_t>(length, 128); i++)
            vendor_regs_[(value + i) & 0xFF] = data[i];
        return std::min<int>(length, 128);
    default:
        return LIBUSB_ERROR_PIPE;
    }
}

// ---- receive side ----------------------------------------------------------

void Converter::purge_rx(Channel &c)
{
    c.head = c.count = 0;
    c.flush = 0;
}

void Converter::purge_tx(Channel &c)
{
    c.tx_wire.clear();
}

void Converter::far_to_chip(Channel &c, const uint8_t *data, size_t len, uint64_t now, uint64_t bt,
                            bool garbled)
{
    if (!powered_)
        return;
    for (size_t i = 0; i < len; i++) {
        uint8_t b = data[i], err = 0;
        if (garbled) {
            b = garble(b);
            err = kFraming;
            if (c.error_on)
                b = c.error_char;
        }
        if (bt == 0) {
            push_fifo(c, b, err, now);
        } else {
            c.rx_busy = std::max(c.rx_busy, now) + bt;
            c.rx_wire.push_back({c.rx_busy, b, err});
        }
    }
}

bool Converter::data_due(const Channel &c) const
{
    return c.count >= static_cast<size_t>(type_.packet - 2) || c.flush > 0;
}

uint64_t Converter::due_at(const Channel &c) const
{
    if (c.in_q.empty())
        return UINT64_MAX;
    // A packet is due when enough data or the event character is there, or
    // when the latency timer runs out; it leaves on the next frame.
    uint64_t since = data_due(c) ? c.due_since : c.last_packet + latency_us(c);
    uint64_t t = std::max(since, c.in_q.front()->ready_us);
    if (timing_ == Timing::real) {
        const uint64_t f = frame_us();
        t = (t + f - 1) / f * f;
    }
    return t;
}

void Converter::push_byte(Channel &c, uint8_t b, uint8_t err, uint64_t t)
{
    const size_t cap = c.fifo.size();
    if (c.count == cap) {
        // The chip has nowhere to put the byte.
        c.lost++;
        c.line_err |= kOverrun;
        return;
    }
    const bool was_due = data_due(c);
    c.fifo[(c.head + c.count) % cap] = b;
    c.count++;
    c.line_err |= err;
    if (c.event_on && b == c.event_char)
        c.flush = c.count;
    if (!was_due && data_due(c))
        c.due_since = t;
}

void Converter::push_fifo(Channel &c, uint8_t b, uint8_t err, uint64_t now)
{
    // Fast timing: a full buffer first empties into a waiting transfer.
    if (c.count == c.fifo.size())
        serve_in(c, now);
    push_byte(c, b, err, now);
    if (data_due(c))
        serve_in(c, now);
}

void Converter::fill_stream(Channel &c, uint64_t now)
{
    if (!c.stream)
        return;
    if (timing_ == Timing::fast) {
        // The far side never lets the receive buffer run dry.
        const size_t cap = c.fifo.size();
        const bool was_due = data_due(c);
        while (c.count < cap) {
            c.fifo[(c.head + c.count) % cap] = c.stream_next++;
            c.count++;
        }
        if (!was_due && data_due(c))
            c.due_since = now;
        return;
    }
    // Keep a few milliseconds of the stream on the wire ahead of the clock.
    uint8_t chunk[64];
    while (c.rx_busy < now + 4000) {
        for (auto &b : chunk)
            b = c.stream_next++;
        far_to_chip(c, chunk, sizeof chunk, now, byte_us(kFarBaud), !line_ok(c));
    }
}

void Converter::pull_rx(Channel &c, uint64_t now)
{
    // Bytes arriving and packets leaving, in the order they happen up to now.
    for (;;) {
        uint64_t e = due_at(c);
        uint64_t b = c.rx_wire.empty() ? UINT64_MAX : c.rx_wire.front().t;
        if (e <= now && e <= b) {
            send_packet(c, e);
        } else if (b <= now) {
            WireByte w = c.rx_wire.front();
            c.rx_wire.pop_front();
            push_byte(c, w.b, w.err, w.t);
        } else {
            return;
        }
    }
}

void Converter::serve_in(Channel &c, uint64_t now)
{
    if (c.stream && timing_ == Timing::fast)
        fill_stream(c, now);
    for (uint64_t t = due_at(c); t <= now; t = due_at(c)) {
        send_packet(c, t);
        if (c.stream && timing_ == Timing::fast)
            fill_stream(c, now);
    }
}

void Converter::send_packet(Channel &c, uint64_t t)
{
    const size_t payload = static_cast<size_t>(type_.packet - 2);
    const size_t cap = c.fifo.size();
    BulkIo *io = c.in_q.front();
    size_t n = std::min(c.count, payload);
    size_t plen = n + 2;
    size_t room = io->len - io->actual;
    uint8_t *p = io->buf + io->actual;
    const uint8_t hdr[2] = {modem_status(c), line_status(c)};
    size_t put = std::min(plen, room);
    for (size_t i = 0; i < put && i < 2; i++)
        p[i] = hdr[i];
    if (put > 2) {
        // Copy out of the ring in at most two pieces.
        size_t k = put - 2;
        size_t first = std::min(k, cap - c.head);
        memcpy(p + 2, &c.fifo[c.head], first);
        memcpy(p + 2 + first, &c.fifo[0], k - first);
    }
    io->actual += put;
    c.head = (c.head + n) % cap;
    c.count -= n;
    c.flush = c.flush > n ? c.flush - n : 0;
    c.line_err = 0;
    c.last_packet = t;
    io->done_us = t;
    if (data_due(c))
        c.due_since = t; // the rest goes on in the same frame
    if (put < plen) {
        // The host gave less room than the packet: the rest is lost, as on
        // a real bus.
        c.in_q.pop_front();
        finish(io, LIBUSB_TRANSFER_OVERFLOW);
    } else if (plen < static_cast<size_t>(type_.packet) || io->actual == io->len) {
        // A short packet ends the transfer.
        c.in_q.pop_front();
        finish(io, LIBUSB_TRANSFER_COMPLETED);
    }
}

// ---- transmit side ---------------------------------------------------------

size_t Converter::accept_out(Channel &c, const uint8_t *data, size_t len, uint64_t now)
{
    if (timing_ == Timing::fast) {
        chip_to_far(c, data, len, now);
        return len;
    }
    size_t room = type_.tx_fifo > c.tx_wire.size() ? type_.tx_fifo - c.tx_wire.size() : 0;
    size_t k = std::min(len, room);
    uint64_t bt = byte_us(c.baud);
    for (size_t i = 0; i < k; i++) {
        c.tx_busy = std::max(c.tx_busy, now) + bt;
        c.tx_wire.push_back({c.tx_busy, data[i], 0});
    }
    return k;
}

void Converter::chip_to_far(Channel &c, const uint8_t *data, size_t len, uint64_t now)
{
    if (len == 0 || c.break_on)
        return; // a line held in break carries no characters
    if (c.loopback) {
        far_to_chip(c, data, len, now, byte_us(c.baud), false);
        return;
    }
    std::vector<uint8_t> got(data, data + len);
    if (!line_ok(c))
        for (auto &b : got)
            b = garble(b);
    if (c.index == 0 && box_) {
        trace(now, "WIRE_TX " + hex(got.data(), got.size()));
        box_call(now, [&] { box_->on_serial_rx(got.data(), got.size(), now); });
    } else {
        c.far_received.insert(c.far_received.end(), got.begin(), got.end());
    }
}

void Converter::deliver_tx(Channel &c, uint64_t now)
{
    std::vector<uint8_t> batch;
    uint64_t t = now;
    while (!c.tx_wire.empty() && c.tx_wire.front().t <= now) {
        batch.push_back(c.tx_wire.front().b);
        t = c.tx_wire.front().t;
        c.tx_wire.pop_front();
    }
    if (!batch.empty())
        chip_to_far(c, batch.data(), batch.size(), t);
}

void Converter::serve_out(Channel &c, uint64_t now)
{
    while (!c.out_q.empty()) {
        BulkIo *io = c.out_q.front();
        if (out_blocked_ || now < io->ready_us)
            return;
        // Taken on the frame it was due in, even if we got round to it late:
        // its bytes start on the wire then, so a busy host machine does not
        // shift the line's timing.
        const uint64_t at = timing_ == Timing::real ? std::max(io->ready_us, now / frame_us() * frame_us()) : now;
        io->actual += accept_out(c, io->buf + io->actual, io->len - io->actual, at);
        if (io->actual < io->len)
            return; // waits for room in the transmit buffer
        c.out_q.pop_front();
        io->done_us = at;
        finish(io, LIBUSB_TRANSFER_COMPLETED);
    }
}

// ---- transfers and time ----------------------------------------------------

void Converter::finish(BulkIo *io, int status) { done_(io, status); }

void Converter::queue_in(int channel, BulkIo *io, uint64_t now)
{
    Channel &c = ch_[channel];
    c.in_q.push_back(io);
    pull_rx(c, now);
    serve_in(c, now);
}

void Converter::queue_out(int channel, BulkIo *io, uint64_t now)
{
    Channel &c = ch_[channel];
    c.out_q.push_back(io);
    serve_out(c, now);
    serve_in(c, now);
}

bool Converter::remove(BulkIo *io)
{
    for (Channel &c : ch_) {
        for (auto *q : {&c.in_q, &c.out_q}) {
            auto it = std::find(q->begin(), q->end(), io);
            if (it != q->end()) {
                q->erase(it);
                return true;
            }
        }
    }
    return false;
}

void Converter::finish_all(int status)
{
    for (Channel &c : ch_) {
        for (auto *q : {&c.in_q, &c.out_q}) {
            while (!q->empty()) {
                BulkIo *io = q->front();
                q->pop_front();
                finish(io, status);
            }
        }
    }
}

void Converter::finish_endpoint(uint8_t ep, int status)
{
    int chn;
    if (!endpoint_channel(ep, &chn))
        return;
    auto &q = (ep & 0x80) ? ch_[chn].in_q : ch_[chn].out_q;
    while (!q.empty()) {
        BulkIo *io = q.front();
        q.pop_front();
        finish(io, status);
    }
}

void Converter::service(uint64_t now)
{
    if (!powered_)
        return;
    if (box_ && box_->next_event_us() <= now)
        box_call(now, [&] { box_->poll(now); });
    for (Channel &c : ch_) {
        deliver_tx(c, now);
        fill_stream(c, now);
        pull_rx(c, now);
        serve_out(c, now);
        serve_in(c, now);
    }
}

uint64_t Converter::next_event_us(uint64_t now) const
{
    if (!powered_)
        return UINT64_MAX;
    uint64_t t = UINT64_MAX;
    if (box_) {
        // The box has been polled up to now; a time still in the past would
        // only make the clock spin.
        uint64_t b = box_->next_event_us();
        t = b <= now ? now + 1000 : b;
    }
    const bool real = timing_ == Timing::real;
    const uint64_t frame = frame_us();
    auto frame_ceil = [&](uint64_t x) { return real ? (x + frame - 1) / frame * frame : x; };
    const size_t payload = static_cast<size_t>(type_.packet - 2);
    for (const Channel &c : ch_) {
        if (!c.tx_wire.empty()) {
            // Hand bytes to the far side in batches: at the end of a frame
            // (the box acts on its closing flag) or at the latest after a
            // millisecond.
            uint64_t due = std::min(c.tx_wire.back().t, c.tx_wire.front().t + 1000);
            for (const WireByte &w : c.tx_wire) {
                if (w.t >= due)
                    break;
                if (w.b == 0x7E) {
                    due = w.t;
                    break;
                }
            }
            t = std::min(t, due);
        }
        if (!c.out_q.empty() && !out_blocked_) {
            const BulkIo *io = c.out_q.front();
            if (now < io->ready_us)
                t = std::min(t, io->ready_us);
            else if (!c.tx_wire.empty())
                t = std::min(t, frame_ceil(c.tx_wire.front().t));
        }
        if (c.stream && real)
            t = std::min(t, c.rx_busy > 4000 ? c.rx_busy - 4000 : now);
        if (!c.in_q.empty()) {
            uint64_t when = due_at(c);
            // A byte on its way may make a packet due sooner.
            size_t have = c.count;
            for (const WireByte &w : c.rx_wire) {
                if (w.t >= when)
                    break;
                have++;
                if (have >= payload || (c.event_on && w.b == c.event_char)) {
                    when = std::min(when, frame_ceil(std::max(w.t, c.in_q.front()->ready_us)));
                    break;
                }
            }
            t = std::min(t, when);
        }
    }
    return t;
}

// ---- test access -------------------------------------------------------------

void Converter::wire_send(int channel, const uint8_t *data, size_t len, uint64_t now)
{
    Channel &c = ch_[channel];
    far_to_chip(c, data, len, now, byte_us(kFarBaud), !line_ok(c));
}

std::vector<uint8_t> Converter::take_wire_received(int channel)
{
    std::vector<uint8_t> v;
    v.swap(ch_[channel].far_received);
    return v;
}

void Converter::set_loopback(int channel, bool on) { ch_[channel].loopback = on; }

void Converter::set_stream(int channel, bool on, uint64_t now)
{
    Channel &c = ch_[channel];
    c.stream = on;
    if (on)
        c.rx_busy = std::max(c.rx_busy, now);
}

ChannelState Converter::state(int channel) const
{
    const Channel &c = ch_[channel];
    ChannelState s;
    s.baud = c.baud;
    s.divisor = c.div_word;
    s.divisor_ext = c.div_ext;
    s.word_length = c.word_length;
    s.parity = c.parity;
    s.stop_bits = c.stop_bits;
    s.break_on = c.break_on;
    s.flow = c.flow;
    s.xon = c.xon;
    s.xoff = c.xoff;
    s.dtr = c.dtr;
    s.rts = c.rts;
    s.event_char = c.event_char;
    s.event_char_on = c.event_on;
    s.error_char = c.error_char;
    s.error_char_on = c.error_on;
    s.latency_ms = c.latency;
    s.bitmode_mask = c.bm_mask;
    s.bitmode_mode = c.bm_mode;
    if (channel == 0)
        pins(&s.cbus_dir, &s.cbus_levels);
    s.rx_fifo = c.count;
    s.rx_lost = c.lost;
    s.line_ok = line_ok(c);
    return s;
}

} // namespace sim
