// The box firmware model: decodes requests from the UART, keeps the state of
// the switch, PHYs, EEPROM and CAN controller, answers every request type and
// sends the firmware's own frames (boot text, ping, CAN trace records).
#include "box_impl.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace sim {

namespace {

uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void put16(std::vector<uint8_t> &v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t> &v, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// Default register contents after power-up. The 100BaseTX PHYs report link
// and autonegotiation done; the BroadR-Reach PHYs carry the ID 0x0362/0x5CC2.
uint16_t phy_default(size_t phy_index, unsigned reg)
{
    const bool broadr = phy_index >= 2;
    switch (reg) {
    case 0: return broadr ? 0x0200 : 0x3100;
    case 1: return broadr ? 0x0065 : 0x786D;
    case 2: return broadr ? 0x0362 : 0x0022;
    case 3: return broadr ? 0x5CC2 : 0x1561;
    case 4: return broadr ? 0x0000 : 0x01E1;
    case 5: return broadr ? 0x0000 : 0x45E1;
    default: return 0;
    }
}

// Packets (or bytes) per second that the traffic on each port adds to the
// MIB counters of a port block, by counter number. The size buckets add up
// to the broadcast, multicast and unicast counts.
constexpr std::array<uint32_t, 32> kMibRate{
    6400, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 4, 40, 12, 22, // 0x00..0x0F
    8,    3, 1, 0, 5200, 0, 0, 0, 1, 3, 34, 0, 0, 0, 0, 0, // 0x10..0x1F
};

bool parse_count(std::string_view s, uint64_t &out)
{
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    if (s.empty())
        return false;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
    return ec == std::errc() && ptr == s.data() + s.size();
}

// Splits "a:b:c" into exactly n numbers.
bool parse_tuple(std::string_view s, size_t n, uint64_t *out)
{
    for (size_t i = 0; i < n; ++i) {
        size_t colon = s.find(':');
        std::string_view part = (i + 1 < n) ? s.substr(0, colon) : s;
        if ((i + 1 < n && colon == std::string_view::npos) || !parse_count(part, out[i]))
            return false;
        if (i + 1 < n)
            s.remove_prefix(colon + 1);
    }
    return true;
}

struct MdioCase {
    uint8_t phy, reg;
};
// The registers that the console's MDIO test reads, case by case.
constexpr std::array<MdioCase, 6> kMdioTestCases{{{0x18, 0x03}, {0x19, 0x03}, {0x06, 0x00},
                                                  {0x18, 0x00}, {0x19, 0x00}, {0x06, 0x22}}};

constexpr std::string_view kFaultKeys[] = {"drop-acks", "delay-acks",      "delay-ms",   "corrupt-fcs",
                                           "wrong-cmd", "garbage",         "mdio-wrong", "mdio-wrong-pass",
                                           "ping-every-ms", "trace-ms", "dmac-entries", "rmt-cmd",
                                           "rmt-size", "eep-short", "echo-text", "delay-order", "vlan-lost-writes"};

} // namespace

BoxImpl::BoxImpl(Box::Options opts) : opts_(std::move(opts))
{
    eeprom.fill(0xFF);
    load_eeprom();
    boot(0); // power-up with reset released
    // The owner's clock is not known yet: the boot counts from the first
    // time it gives us, so counters and time stamps start near zero.
    clock_unknown_ = true;
}

// ---------------------------------------------------------------------------
// Boot and RAM state

void BoxImpl::reset_ram_state()
{
    sw_regs.fill(0);
    sw_regs[0] = 0x95; // family ID
    sw_regs[1] = 0x41; // chip ID, switch started
    for (unsigned port = 1; port <= 4; ++port) {
        const unsigned block = 0x10 * (port + 1);
        sw_regs[block + 1] = 0x1F; // member of every port's VLAN
        sw_regs[block + 2] = 0x06; // transmit and receive enabled
        sw_regs[block + 4] = 0x01; // PVID 1
    }
    for (size_t i = 0; i < phy_regs.size(); ++i)
        for (unsigned r = 0; r < 32; ++r)
            phy_regs[i][r] = phy_default(i, r);

    for (auto &e : smac)
        e.fill(0);
    vlan.assign(kVlanEntries, {});
    // VLAN 1 (entry 0, group 1): FID 0, all four ports, valid.
    {
        uint64_t bits = static_cast<uint64_t>(0x0F00 | 0x1000) << 13;
        for (size_t k = 0; k < kVlanSize; ++k)
            vlan[0][k] = static_cast<uint8_t>(bits >> (8 * k));
    }
    learn_dynmac();

    can = Can{};
    // 500 kbit/s from the 16 MHz oscillator, triple sampling.
    can.speed = {3, 0, 1, 1, 4, 4, 0, 4, 0xC0, 0xE4, 0x04};

    eth_power = true;
    wup_driven = false;
    wup_pulse_end = 0;
    bl_enabled = false;
    eth_wakeup_ms = 400;
    eth_wakeup_threshold = 3;
    led_ctrl.fill(0);
}

// Addresses the switch has learned: four by default, or as many as the
// dmac-entries setting asks for (02:00:00:00:hh:ll, on ports 0 to 3 in turn).
void BoxImpl::learn_dynmac()
{
    if (faults.dmac_entries < 0) {
        dynmac = {
            {{0x01, 0x4d, 0x3c, 0x2b, 0x1a, 0x00}, 0, 0},
            {{0x02, 0x00, 0x00, 0x00, 0x00, 0x02}, 0, 1},
            {{0x18, 0x00, 0x00, 0x00, 0x00, 0x02}, 0, 2},
            {{0x19, 0x00, 0x00, 0x00, 0x00, 0x02}, 0, 3},
        };
        return;
    }
    dynmac.clear();
    for (int i = 0; i < faults.dmac_entries; ++i)
        dynmac.push_back({{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0, 0, 0, 0x02}, 0,
                          static_cast<uint8_t>(i % 4)});
}

// What the firmware does at start: take the register sequences and the CAN
// settings stored in the EEPROM, where they are intact.
void BoxImpl::apply_stored_config()
{
    struct Area {
        uint16_t first, limit;
    };
    for (Area a : {Area{0x200, 0x61F}, Area{0x620, 0x70F}, Area{0x710, 0x7FF}}) {
        size_t off = a.first;
        if (!(eeprom[off] == 0x03 && eeprom[off + 1] == 0xBB && eeprom[off + 2] == 0xCC))
            continue; // no begin marker: nothing stored here
        off += 3;
        while (off < a.limit) {
            const uint8_t hdr = eeprom[off];
            const unsigned size = hdr & 0x0F, kind = hdr >> 4;
            if (size == 0 || size > 13 || off + size > a.limit)
                break;
            if (kind == 1)
                break; // end marker
            if ((kind == 3 || kind == 5) && size >= 5)
                mdio_write(eeprom[off + 1], eeprom[off + 2], le16(&eeprom[off + 3]));
            off += size;
        }
    }

    // CAN block: speed (11), masks and filters (34), wake-up record (16), CRC.
    const uint8_t *blk = &eeprom[0x800];
    if (boxframe::crc_raw(0xFFFF, blk, 61) == le16(&eeprom[0x83D])) {
        std::copy(blk, blk + 11, can.speed.begin());
        std::copy(blk + 11, blk + 45, can.mask_filter.begin());
        const uint8_t *w = blk + 45;
        can.lcmode = w[0];
        can.wakeup_ms = static_cast<int32_t>(le32(w + 1));
        can.wakeup_selective = w[5];
        can.mode = can.active_mode = w[15];
    }
}

void BoxImpl::boot(uint64_t now_us)
{
    ++boots;
    held_ = false;
    running_ = true;
    boot_us_ = now_us;
    now_us_ = now_us;
    clock_unknown_ = false;
    reset_ram_state();
    apply_stored_config();
    decoder.reset();
    delayed_.clear();
    pings_out_.clear();
    boot_ping_.clear();
    boot_ping_echoed_ = false;
    boot_pending_ = true;
    next_trace_us_ = UINT64_MAX;
    next_ping_us_ = faults.ping_every_ms ? now_us + faults.ping_every_ms * 1000 : UINT64_MAX;
}

// ---------------------------------------------------------------------------
// Entry points

void BoxImpl::on_serial_rx(const uint8_t *data, size_t len, uint64_t now_us)
{
    run_due(now_us);
    if (!running_)
        return; // a microcontroller held in reset hears nothing
    for (size_t i = 0; i < len; ++i) {
        if (auto f = decoder.push(data[i]))
            handle_frame(*f);
    }
    run_due(now_us);
}

void BoxImpl::set_reset(bool held, uint64_t now_us)
{
    run_due(now_us);
    if (held) {
        if (!held_) {
            held_ = true;
            running_ = false;
            boot_pending_ = false;
            delayed_.clear();
        }
        return;
    }
    if (held_)
        boot(now_us);
    run_due(now_us);
}

void BoxImpl::set_terminal(bool attached, uint64_t now_us)
{
    run_due(now_us);
    terminal = attached;
}

void BoxImpl::poll(uint64_t now_us) { run_due(now_us); }

uint64_t BoxImpl::next_event_us() const
{
    if (!running_)
        return UINT64_MAX;
    uint64_t t = UINT64_MAX;
    if (wup_pulse_end)
        t = wup_pulse_end;
    if (!tx_)
        return t; // output waits for a transmit path; do not ask to be polled for it
    if (boot_pending_)
        t = std::min(t, boot_us_);
    for (const auto &d : delayed_)
        t = std::min(t, d.due);
    if (can.trace && can_receives())
        t = std::min(t, next_trace_us_);
    return std::min(t, next_ping_us_);
}

void BoxImpl::run_due(uint64_t now_us)
{
    if (clock_unknown_) {
        clock_unknown_ = false;
        boot_us_ = now_us_ = now_us;
        if (faults.ping_every_ms)
            next_ping_us_ = now_us + faults.ping_every_ms * 1000;
    }
    now_us_ = std::max(now_us_, now_us);
    if (!running_)
        return;
    if (wup_pulse_end && now_us_ >= wup_pulse_end)
        wup_pulse_end = 0;
    if (!tx_)
        return; // nothing can go out yet; keep it for when it can
    if (boot_pending_ && now_us_ >= boot_us_) {
        boot_pending_ = false;
        char text[60];
        std::snprintf(text, sizeof text, "Corvane %s firmware %u.%u.%u.%u (%02u.%02u.%02u%02u) started",
                      opts_.serial.c_str(), kFwVersion[0], kFwVersion[1], kFwVersion[2], kFwVersion[3],
                      kFwDate[3], kFwDate[2], kFwDate[0], kFwDate[1]);
        send_debug(0xF0, text);
        send_ping();
        boot_ping_ = pings_out_.back();
    }
    for (auto it = delayed_.begin(); it != delayed_.end();) {
        if (it->due <= now_us_) {
            tx_bytes(it->bytes);
            it = delayed_.erase(it);
        } else {
            ++it;
        }
    }
    if (can.trace && can_receives() && next_trace_us_ <= now_us_) {
        const uint64_t step = std::max<uint64_t>(faults.trace_ms, 1) * 1000;
        // A late poll catches up a few records, not a flood.
        for (int i = 0; i < 4 && next_trace_us_ <= now_us_; ++i) {
            send_trace_record();
            next_trace_us_ += step;
        }
        if (next_trace_us_ <= now_us_)
            next_trace_us_ = now_us_ + step;
    }
    if (next_ping_us_ <= now_us_) {
        send_ping();
        next_ping_us_ = faults.ping_every_ms ? now_us_ + faults.ping_every_ms * 1000 : UINT64_MAX;
    }
}

// ---------------------------------------------------------------------------
// Faults

bool BoxImpl::is_fault_key(std::string_view key)
{
    return std::find(std::begin(kFaultKeys), std::end(kFaultKeys), key) != std::end(kFaultKeys);
}

bool BoxImpl::apply_fault(std::string_view key, std::string_view value, std::string *err)
{
    auto fail = [&](const std::string &msg) {
        if (err)
            *err = msg;
        return false;
    };
    const std::string k(key), v(value);
    if (!is_fault_key(key))
        return fail("unknown box fault '" + k + "'");
    if (key == "mdio-wrong-pass") {
        uint64_t t[2];
        if (!parse_tuple(value, 2, t) || t[0] < 1 || t[0] > kMdioTestCases.size() || t[1] < 1 || t[1] > 1000000)
            return fail("bad value '" + v + "' for mdio-wrong-pass: expected <case 1-6>:<pass>, for example 2:5");
        faults.mdio_wrong_phy = kMdioTestCases[t[0] - 1].phy;
        faults.mdio_wrong_reg = kMdioTestCases[t[0] - 1].reg;
        faults.mdio_wrong_nth = static_cast<unsigned>(t[1]);
        faults.mdio_wrong_seen = 0;
        faults.mdio_wrong_armed = true;
        return true;
    }
    if (key == "mdio-wrong") {
        uint64_t t[3];
        if (!parse_tuple(value, 3, t) || t[0] > 0xFF || t[1] > 0xFF || t[2] < 1 || t[2] > 1000000)
            return fail("bad value '" + v + "' for mdio-wrong: expected <phy>:<register>:<read number>, for example 0x19:3:5");
        faults.mdio_wrong_phy = static_cast<uint8_t>(t[0]);
        faults.mdio_wrong_reg = static_cast<uint8_t>(t[1]);
        faults.mdio_wrong_nth = static_cast<unsigned>(t[2]);
        faults.mdio_wrong_seen = 0;
        faults.mdio_wrong_armed = true;
        return true;
    }
    auto choice = [&](const char *a, const char *b, bool &flag) {
        if (value != a && value != b)
            return fail("bad value '" + v + "' for " + k + ": expected " + a + " or " + b);
        flag = value == a;
        return true;
    };
    if (key == "rmt-size")
        return choice("natural", "padded", faults.rmt_natural);
    if (key == "echo-text")
        return choice("short", "full", faults.echo_short);
    if (key == "delay-order")
        return choice("keep", "any", faults.delay_keep);
    uint64_t n = 0;
    if (!parse_count(value, n) || n > 1000000000)
        return fail("bad value '" + v + "' for " + k + ": expected a number");
    const unsigned u = static_cast<unsigned>(n);
    if (key == "drop-acks")
        faults.drop_acks = u;
    else if (key == "delay-acks")
        faults.delay_acks = u;
    else if (key == "delay-ms")
        faults.delay_ms = n;
    else if (key == "corrupt-fcs")
        faults.corrupt_fcs = u;
    else if (key == "wrong-cmd")
        faults.wrong_cmd = u;
    else if (key == "garbage") {
        if (n > 65536)
            return fail("bad value '" + v + "' for garbage: at most 65536 bytes");
        faults.garbage = u;
    } else if (key == "ping-every-ms") {
        faults.ping_every_ms = n;
        next_ping_us_ = (n && running_) ? now_us_ + n * 1000 : UINT64_MAX;
    } else if (key == "dmac-entries") {
        if (n > kDmacEntries)
            return fail("bad value '" + v + "' for dmac-entries: at most 1024");
        faults.dmac_entries = static_cast<int>(n);
        learn_dynmac();
    } else if (key == "vlan-lost-writes") {
        faults.vlan_lost_writes = u;
    } else if (key == "rmt-cmd") {
        if (n > 0xFF)
            return fail("bad value '" + v + "' for rmt-cmd: at most 255");
        faults.rmt_cmd = static_cast<int>(n);
    } else if (key == "eep-short") {
        if (n < 1 || n > 57)
            return fail("bad value '" + v + "' for eep-short: 1 to 57 bytes");
        faults.eep_short = u;
    } else if (key == "trace-ms") {
        if (n == 0)
            return fail("bad value '" + v + "' for trace-ms: must be at least 1");
        faults.trace_ms = n;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Output

void BoxImpl::tx_bytes(const std::vector<uint8_t> &b)
{
    if (tx_ && !b.empty())
        tx_(b.data(), b.size());
}

void BoxImpl::send_frame(uint8_t type, uint8_t cmd, const uint8_t *payload, size_t n)
{
    std::vector<uint8_t> content{type, cmd};
    content.insert(content.end(), payload, payload + std::min(n, boxframe::kMaxContent - 2));
    tx_bytes(boxframe::encode(content.data(), content.size()));
}

void BoxImpl::send_ack(uint8_t type, uint8_t cmd, const uint8_t *payload, size_t n)
{
    if (!tx_)
        return;
    if (faults.garbage) {
        std::vector<uint8_t> junk;
        junk.reserve(faults.garbage);
        while (junk.size() < faults.garbage) {
            garbage_seed_ ^= garbage_seed_ << 13;
            garbage_seed_ ^= garbage_seed_ >> 17;
            garbage_seed_ ^= garbage_seed_ << 5;
            const uint8_t b = static_cast<uint8_t>(garbage_seed_ >> 11);
            if (b != boxframe::kFlag && b != boxframe::kEsc)
                junk.push_back(b);
        }
        faults.garbage = 0;
        tx_bytes(junk);
    }
    if (faults.drop_acks) {
        --faults.drop_acks;
        return;
    }
    if (faults.wrong_cmd) {
        --faults.wrong_cmd;
        cmd ^= 0x80;
    }
    bool corrupt = false;
    if (faults.corrupt_fcs) {
        --faults.corrupt_fcs;
        corrupt = true;
    }
    std::vector<uint8_t> content{type, cmd};
    content.insert(content.end(), payload, payload + std::min(n, boxframe::kMaxContent - 2));
    const bool delay = faults.delay_acks != 0;
    if (delay)
        --faults.delay_acks;
    send_answer(boxframe::encode(content.data(), content.size(), corrupt), delay);
}

void BoxImpl::send_answer(std::vector<uint8_t> bytes, bool delay)
{
    uint64_t due = delay ? now_us_ + faults.delay_ms * 1000 : now_us_;
    // A box that works in order sends nothing before the answer it holds.
    if (faults.delay_keep && !delayed_.empty())
        due = std::max(due, delayed_.back().due);
    if (due > now_us_)
        delayed_.push_back({due, std::move(bytes)});
    else
        tx_bytes(bytes);
}

void BoxImpl::send_debug(uint8_t type, const std::string &text)
{
    std::vector<uint8_t> p(text.begin(), text.begin() + static_cast<long>(std::min<size_t>(text.size(), 59)));
    p.push_back(0);
    last_debug = text;
    send_frame(type, 0x03, p.data(), p.size());
}

void BoxImpl::send_ping()
{
    std::vector<uint8_t> p{'C', 'V'};
    put16(p, static_cast<uint16_t>(boots));
    put32(p, pings_sent);
    put32(p, static_cast<uint32_t>(now_us_));
    put32(p, static_cast<uint32_t>(now_us_ >> 32));
    ++pings_sent;
    pings_out_.push_back(p);
    if (pings_out_.size() > 8)
        pings_out_.erase(pings_out_.begin());
    send_frame(0xF0, 0x04, p.data(), p.size());
}

bool BoxImpl::can_receives() const
{
    // Configuration (0x80) and sleep (0x20) receive nothing.
    return can.active_mode != 0x80 && can.active_mode != 0x20;
}

void BoxImpl::send_trace_record()
{
    const uint32_t seq = can.trace_seq++;
    uint32_t ts = static_cast<uint32_t>((now_us_ - boot_us_) / 1000);
    std::vector<uint8_t> p;
    if (seq % 20 == 19) {
        // Now and then the controller reports trouble.
        if ((seq / 20) % 2 == 0) {
            p.push_back(1);
            put32(p, ts);
        } else {
            const uint8_t errnum = static_cast<uint8_t>(1 + (seq / 40) % 8);
            p.push_back(2);
            put32(p, (ts & 0x00FFFFFF) | (static_cast<uint32_t>(errnum) << 24));
        }
        send_frame(0x6F, 0x4D, p.data(), p.size());
        return;
    }
    struct Tpl {
        bool ext;
        uint32_t id;
        uint8_t dlc;
    };
    static constexpr Tpl kFrames[] = {{false, 0x123, 2}, {false, 0x7DF, 8}, {true, 0x31234, 4},
                                      {false, 0x0F0, 0}, {true, 0x1ABCD, 8}, {false, 0x4A1, 3}};
    const Tpl &t = kFrames[seq % 6];
    uint8_t data[8];
    for (uint8_t i = 0; i < 8; ++i)
        data[i] = static_cast<uint8_t>(seq + i * 0x11);
    if (t.id == 0x123) {
        data[0] = 0xDE;
        data[1] = 0xAD;
    }

    // Acceptance masks and filters: a buffer whose mask is 0 takes everything.
    auto mf = [&](size_t off) { return le32(&can.mask_filter[off]); };
    auto buf_accepts = [&](uint32_t mask, std::initializer_list<size_t> filters) {
        if (mask == 0)
            return true;
        for (size_t f : filters)
            if (((t.id ^ mf(f)) & mask) == 0)
                return true;
        return false;
    };
    if (!buf_accepts(mf(1), {5, 9}) && !buf_accepts(mf(14), {18, 22, 26, 30}))
        return;

    p.push_back(0);
    put32(p, ts);
    if (t.ext) {
        p.push_back(static_cast<uint8_t>(t.id >> 21));
        p.push_back(static_cast<uint8_t>((((t.id >> 18) & 7) << 5) | 0x08 | ((t.id >> 16) & 3)));
        p.push_back(static_cast<uint8_t>(t.id >> 8));
        p.push_back(static_cast<uint8_t>(t.id));
    } else {
        p.push_back(static_cast<uint8_t>(t.id >> 3));
        p.push_back(static_cast<uint8_t>((t.id & 7) << 5));
        p.push_back(0);
        p.push_back(0);
    }
    p.push_back(t.dlc);
    p.insert(p.end(), data, data + t.dlc);
    send_frame(0x6F, 0x4D, p.data(), p.size());
}

// ---------------------------------------------------------------------------
// Registers and tables

void BoxImpl::smi_write(uint8_t reg, uint8_t value)
{
    if (reg == 0)
        return; // family ID
    if (reg == 1) {
        sw_regs[1] = static_cast<uint8_t>((sw_regs[1] & 0xFE) | (value & 0x01)); // only "start switch" is writable
        return;
    }
    sw_regs[reg] = value;
    if (reg == 0x6F)
        indirect_access();
}

static int phy_index(uint8_t phy)
{
    for (size_t i = 0; i < BoxImpl::kPhyAddrs.size(); ++i)
        if (BoxImpl::kPhyAddrs[i] == phy)
            return static_cast<int>(i);
    return -1;
}

uint16_t BoxImpl::mdio_read(uint8_t phy, uint8_t reg)
{
    uint16_t v = 0xFFFF; // nobody drives the bus: pulled up
    if (phy == kSwitchMdioAddr) {
        v = sw_regs[reg];
    } else if (int i = phy_index(phy); i >= 0 && reg < 32) {
        v = phy_regs[static_cast<size_t>(i)][reg];
        if (reg == 1 && !eth_power)
            v &= static_cast<uint16_t>(~0x0004); // no link while the Ethernet part is off
    }
    if (faults.mdio_wrong_armed && phy == faults.mdio_wrong_phy && reg == faults.mdio_wrong_reg &&
        ++faults.mdio_wrong_seen == faults.mdio_wrong_nth) {
        faults.mdio_wrong_armed = false;
        v ^= 0x0001;
    }
    return v;
}

void BoxImpl::mdio_write(uint8_t phy, uint8_t reg, uint16_t value)
{
    if (phy == kSwitchMdioAddr) {
        smi_write(reg, static_cast<uint8_t>(value));
        return;
    }
    const int i = phy_index(phy);
    if (i < 0 || reg >= 32)
        return;
    auto &regs = phy_regs[static_cast<size_t>(i)];
    if (reg == 1 || reg == 2 || reg == 3)
        return; // status and identifier are read-only
    if (reg == 0 && (value & 0x8000)) {
        for (unsigned r = 0; r < 32; ++r) // software reset, bit clears itself
            regs[r] = phy_default(static_cast<size_t>(i), r);
        return;
    }
    regs[reg] = value;
}

uint32_t BoxImpl::mib_counter(size_t index) const
{
    uint64_t count = 0;
    if (index < 0x80) { // four port blocks of 32 counters
        const uint64_t elapsed = now_us_ - boot_us_;
        count = kMibRate[index % 32] * (index / 32 + 1) * elapsed / 1000000;
    }
    uint32_t word = 0x40000000; // valid
    if (count > 0x3FFFFFFF)
        word |= 0x80000000;
    return word | static_cast<uint32_t>(count & 0x3FFFFFFF);
}

bool BoxImpl::dmac_entry(uint16_t index, std::array<uint8_t, 9> &out) const
{
    if (index >= kDmacEntries)
        return false;
    out.fill(0);
    const size_t n = std::min(dynmac.size(), kDmacEntries);
    if (index < n) {
        const DynMac &d = dynmac[index];
        std::copy(d.mac.begin(), d.mac.end(), out.begin());
        out[6] = d.fid;
        out[7] = d.port & 0x07;
    }
    if (n == 0) {
        out[8] = 0x80;
    } else {
        const size_t m = n - 1;
        out[7] |= static_cast<uint8_t>((m & 0x07) << 5);
        out[8] = static_cast<uint8_t>((m >> 3) & 0x7F);
    }
    return true;
}

bool BoxImpl::table_read(uint8_t table, uint16_t index, std::array<uint8_t, 9> &out) const
{
    out.fill(0);
    switch (table) {
    case 0:
        if (index >= kSmacEntries)
            return false;
        std::copy(smac[index].begin(), smac[index].end(), out.begin());
        return true;
    case 1:
        if (index >= kVlanEntries)
            return false;
        std::copy(vlan[index].begin(), vlan[index].end(), out.begin());
        return true;
    case 2:
        return dmac_entry(index, out);
    case 3: {
        if (index >= kMibEntries)
            return false;
        const uint32_t w = mib_counter(index);
        for (int i = 0; i < 4; ++i)
            out[static_cast<size_t>(i)] = static_cast<uint8_t>(w >> (8 * i));
        return true;
    }
    default:
        return false;
    }
}

bool BoxImpl::table_write(uint8_t table, uint16_t index, const uint8_t *data, size_t n)
{
    if (table == 0 && index < kSmacEntries) {
        smac[index].fill(0);
        std::copy(data, data + std::min(n, kSmacSize), smac[index].begin());
        return true;
    }
    if (table == 1 && index < kVlanEntries) {
        if (faults.vlan_lost_writes > 0) {
            --faults.vlan_lost_writes;
            return true;
        }
        vlan[index].fill(0);
        std::copy(data, data + std::min(n, kVlanSize), vlan[index].begin());
        vlan[index][6] &= 0x0F; // the entry has 52 bits
        return true;
    }
    return false; // the dynamic MAC table and the counters are the switch's own
}

// The switch's own indirect access: control in 0x6E (bit 4 read, bits 3-2
// table, bits 1-0 address bits 9-8), address bits 7-0 in 0x6F, whose write
// starts the access; data in 0x70 (bits 71-64) down to 0x78 (bits 7-0).
void BoxImpl::indirect_access()
{
    const uint8_t ctl = sw_regs[0x6E];
    const uint8_t table = (ctl >> 2) & 0x03;
    const uint16_t index = static_cast<uint16_t>(((ctl & 0x03) << 8) | sw_regs[0x6F]);
    std::array<uint8_t, 9> data{};
    if (ctl & 0x10) {
        table_read(table, index, data); // out of range reads as zero
        for (size_t k = 0; k < data.size(); ++k)
            sw_regs[0x78 - k] = data[k];
    } else {
        for (size_t k = 0; k < data.size(); ++k)
            data[k] = sw_regs[0x78 - k];
        table_write(table, index, data.data(), data.size());
    }
}

uint8_t BoxImpl::wup_state() const
{
    // 1: the line sits at ground; driven or pulsed it is at battery voltage.
    return (wup_driven || wup_pulse_end) ? 0 : 1;
}

// ---------------------------------------------------------------------------
// EEPROM

std::string BoxImpl::e2p_path() const
{
    if (opts_.state_dir.empty())
        return {};
    // The serial number comes from the user; keep the name inside the folder.
    std::string name;
    for (char c : opts_.serial)
        name += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
    if (name.empty())
        name = "box";
    return (std::filesystem::path(opts_.state_dir) / (name + ".eeprom")).string();
}

void BoxImpl::load_eeprom()
{
    const std::string path = e2p_path();
    if (path.empty())
        return;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return; // a new box: erased
    in.read(reinterpret_cast<char *>(eeprom.data()), static_cast<std::streamsize>(eeprom.size()));
    // A short file keeps the erased value for what it does not hold.
}

void BoxImpl::save_eeprom()
{
    const std::string path = e2p_path();
    if (path.empty())
        return;
    std::error_code ec;
    std::filesystem::create_directories(opts_.state_dir, ec);
    const std::string tmp = path + ".tmp";
    bool ok = false;
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(reinterpret_cast<const char *>(eeprom.data()), static_cast<std::streamsize>(eeprom.size()));
            out.close();
            ok = static_cast<bool>(out);
        }
    }
    if (ok) {
        std::filesystem::rename(tmp, path, ec); // whole file or the old one, never half
        ok = !ec;
    }
    if (ok) {
        persist_error.clear();
        return;
    }
    persist_error = "cannot write EEPROM file " + path + (ec ? ": " + ec.message() : std::string());
    std::filesystem::remove(tmp, ec);
    if (!persist_warned_) {
        persist_warned_ = true;
        std::fprintf(stderr, "tarnctl-sim: %s; EEPROM changes of %s are kept in memory only\n",
                     persist_error.c_str(), opts_.serial.c_str());
    }
}

size_t BoxImpl::e2p_write(uint16_t addr, const uint8_t *data, size_t n)
{
    if (addr >= kE2pSize)
        return 0;
    n = std::min(n, kE2pSize - addr);
    if (n == 0)
        return 0;
    std::memcpy(&eeprom[addr], data, n);
    save_eeprom();
    return n;
}

size_t BoxImpl::e2p_erase(uint16_t addr, size_t n)
{
    if (addr >= kE2pSize)
        return 0;
    n = std::min(n, kE2pSize - addr);
    if (n == 0)
        return 0;
    std::fill_n(&eeprom[addr], n, 0xFF);
    save_eeprom();
    return n;
}

// ---------------------------------------------------------------------------
// Requests

void BoxImpl::handle_frame(const std::vector<uint8_t> &f)
{
    const uint8_t type = f[0], cmd = f[1];
    const uint8_t *p = f.data() + 2;
    const size_t n = f.size() - 2;

    switch (type) {
    case 0xF1:
        if (cmd == 0x04) { // the console's echo of our ping
            std::vector<uint8_t> payload(p, p + n);
            auto it = std::find(pings_out_.begin(), pings_out_.end(), payload);
            if (it != pings_out_.end()) {
                pings_out_.erase(it);
                ++pings_echoed;
                if (payload == boot_ping_)
                    boot_ping_echoed_ = true;
            }
        }
        return;
    case 0x5F:
    case 0x6F:
    case 0xF3:
        return; // answers are not ours to answer
    case 0x50:
    case 0x60:
    case 0xF0:
    case 0xF2:
        break;
    default: {
        char text[48];
        std::snprintf(text, sizeof text, "unknown request %02X %02X\n", type, cmd);
        send_debug(0xF1, text);
        return;
    }
    }
    ++requests;

    auto need = [&](size_t k) {
        if (n >= k)
            return true;
        char text[64];
        std::snprintf(text, sizeof text, "short request %02X %02X: %zu of %zu bytes\n", type, cmd, n, k);
        send_debug(0xF1, text);
        return false;
    };
    auto unknown = [&]() {
        char text[48];
        std::snprintf(text, sizeof text, "unknown request %02X %02X\n", type, cmd);
        send_debug(0xF1, text);
    };
    std::vector<uint8_t> a;

    if (type == 0x50) {
        switch (cmd) {
        case 0x10: eth_power = true; break;
        case 0x1F: eth_power = false; break;
        case 0x20: bl_enabled = true; break;
        case 0x2F: bl_enabled = false; break;
        case 0x30:
            if (!need(1))
                return;
            switch (p[0]) {
            case 0: wup_driven = true; wup_pulse_end = 0; break;
            case 1: wup_driven = false; wup_pulse_end = 0; break;
            case 2: wup_pulse_end = now_us_ + kWupPulseUs; break;
            case 3: break;
            default: {
                char text[48];
                std::snprintf(text, sizeof text, "invalid wake-up mode %u\n", p[0]);
                send_debug(0xF1, text);
                return;
            }
            }
            a.push_back(wup_state());
            break;
        default: unknown(); return;
        }
        send_ack(0x5F, cmd, a);
        return;
    }

    if (type == 0x60) {
        switch (cmd) {
        case 0x80: a.assign(kFwVersion.begin(), kFwVersion.end()); break;
        case 0x81: a.assign(kFwDate.begin(), kFwDate.end()); break;
        case 0x82: a.assign(kBlString, kBlString + std::strlen(kBlString) + 1); break;
        case 0x83: a.assign(kBlVersion.begin(), kBlVersion.end()); break;
        case 0x71: {
            uint32_t s = (eth_power ? 0x01u : 0) | (wup_driven ? 0x02u : 0) | (wup_pulse_end ? 0x04u : 0) |
                         (bl_enabled ? 0x08u : 0) | (can.trace ? 0x10u : 0) | (terminal ? 0x20u : 0) |
                         (can.active_mode == 0x80 ? 0x40u : 0) | ((boots & 0xFFu) << 16);
            put32(a, s);
            break;
        }
        case 0x62: a.push_back(can.lcmode); break;
        default: unknown(); return;
        }
        send_ack(0x6F, cmd, a);
        return;
    }

    if (type == 0xF2) {
        if (!need(4))
            return;
        const size_t psz = le16(p);
        if (!need(4 + psz))
            return;
        const size_t rsz = std::min<size_t>(le16(p + 2), 56);
        handle_remote(cmd, p + 4, psz, rsz);
        return;
    }

    // type 0xF0
    uint8_t ack_type = 0xF1;
    switch (cmd) {
    case 0x01:
        if (!need(4))
            return;
        mdio_write(p[0], p[1], le16(p + 2));
        a.assign(p, p + 4);
        break;
    case 0x02: {
        if (!need(2))
            return;
        const uint16_t v = mdio_read(p[0], p[1]);
        a = {p[0], p[1]};
        put16(a, v);
        break;
    }
    case 0x03:
        return; // debug text from the host: nothing to do
    case 0x04:
        a.assign(p, p + n); // the host's ping: its time stamp goes straight back
        break;
    case 0x05:
        if (!need(2))
            return;
        smi_write(p[0], p[1]);
        a = {p[0], p[1]};
        break;
    case 0x06:
        if (!need(1))
            return;
        a = {p[0], smi_read(p[0])};
        break;
    case 0x08: {
        if (!need(3))
            return;
        const uint16_t addr = le16(p);
        // Never more than the frame carries, whatever the header claims.
        const size_t k = std::min<size_t>({p[2], n - 3, 57});
        const size_t done = e2p_write(addr, p + 3, k);
        a = {p[0], p[1], static_cast<uint8_t>(done)};
        break;
    }
    case 0x09: {
        if (!need(3))
            return;
        const uint16_t addr = le16(p);
        size_t k = std::min<size_t>(p[2], faults.eep_short ? faults.eep_short : 57);
        k = addr < kE2pSize ? std::min(k, kE2pSize - addr) : 0;
        a = {p[0], p[1], static_cast<uint8_t>(k)};
        if (k)
            a.insert(a.end(), &eeprom[addr], &eeprom[addr] + k);
        break;
    }
    case 0x41:
        if (!need(11))
            return;
        std::copy(p, p + 11, can.speed.begin());
        a.assign(can.speed.begin(), can.speed.end());
        break;
    case 0x42:
        ack_type = 0x6F;
        a.assign(can.speed.begin(), can.speed.end());
        break;
    case 0x47:
        if (!need(34))
            return;
        std::copy(p, p + 34, can.mask_filter.begin());
        a.assign(can.mask_filter.begin(), can.mask_filter.end());
        break;
    case 0x48:
        ack_type = 0x6F;
        a.assign(can.mask_filter.begin(), can.mask_filter.end());
        break;
    case 0x49:
        if (!can.trace)
            next_trace_us_ = now_us_ + std::max<uint64_t>(faults.trace_ms, 1) * 1000;
        can.trace = true;
        break;
    case 0x4A:
        can.trace = false;
        next_trace_us_ = UINT64_MAX;
        break;
    case 0x4B:
        if (!need(1))
            return;
        can.mode = p[0]; // takes effect with the next re-init
        a.push_back(can.mode);
        break;
    case 0x4C:
        a.push_back(can.active_mode);
        break;
    case 0x50:
        can.active_mode = 0x80; // configuration mode until re-initialised
        ++can.resets;
        break;
    case 0x51:
        can.active_mode = can.mode;
        ++can.reinits;
        // Nothing was received while the controller was down: no backlog.
        if (can.trace)
            next_trace_us_ = now_us_ + std::max<uint64_t>(faults.trace_ms, 1) * 1000;
        break;
    case 0x52:
        put32(a, static_cast<uint32_t>(can.wakeup_ms));
        a.push_back(can.wakeup_selective);
        break;
    case 0x53:
        if (!need(5))
            return;
        can.wakeup_ms = static_cast<int32_t>(le32(p));
        can.wakeup_selective = p[4];
        a.assign(p, p + 5);
        break;
    case 0x60:
        put32(a, static_cast<uint32_t>(eth_wakeup_ms));
        put32(a, static_cast<uint32_t>(eth_wakeup_threshold));
        break;
    case 0x61:
        if (!need(8))
            return;
        eth_wakeup_ms = static_cast<int32_t>(le32(p));
        eth_wakeup_threshold = static_cast<int32_t>(le32(p + 4));
        a.assign(p, p + 8);
        break;
    case 0x62:
        if (!need(1))
            return;
        can.lcmode = p[0];
        a.push_back(can.lcmode);
        break;
    default:
        unknown();
        return;
    }
    send_ack(ack_type, cmd, a);
}

void BoxImpl::handle_remote(uint8_t func, const uint8_t *p, size_t n, size_t rsz)
{
    // The firmware has no status field in its return block: a call it cannot
    // carry out gets no acknowledgement (the host times out) and a debug
    // text that says why.
    auto refuse = [&](const char *why) {
        char text[60];
        std::snprintf(text, sizeof text, "remote function %u: %s\n", func, why);
        // The refusal stands for the answer: it keeps the answers' order.
        std::vector<uint8_t> p(text, text + std::min<size_t>(std::strlen(text), 59));
        p.push_back(0);
        last_debug = text;
        p.insert(p.begin(), {0xF1, 0x03});
        send_answer(boxframe::encode(p.data(), p.size()), false);
    };
    auto need = [&](size_t k) {
        if (n >= k)
            return true;
        refuse("parameter block too short");
        return false;
    };
    std::vector<uint8_t> r;
    switch (func) {
    case 0: // echo
        r.assign(p, p + n);
        if (faults.echo_short) {
            // The text and its NUL; what follows is whatever the buffer held.
            const size_t text = std::find(r.begin(), r.end(), 0) - r.begin();
            for (size_t i = text + 1; i < r.size(); ++i)
                r[i] = static_cast<uint8_t>(0xA5 ^ i);
        }
        break;
    case 1: { // MIB counter of a port
        if (!need(3))
            return;
        const unsigned port = p[0];
        const unsigned off = le16(p + 1);
        if (port < 1 || port > 4)
            return refuse("invalid port");
        size_t index;
        if (off < 0x20)
            index = (port - 1) * 0x20 + off;
        else if (off >= 0x100 && off + (port - 1) < kMibEntries)
            index = off + (port - 1); // drop counters: one per port from 0x100 and 0x105
        else
            return refuse("invalid counter");
        put32(r, mib_counter(index));
        break;
    }
    case 2: { // dynamic MAC table entry
        if (!need(2))
            return;
        std::array<uint8_t, 9> e;
        if (!dmac_entry(le16(p), e))
            return refuse("invalid index");
        r.assign(e.begin(), e.end());
        break;
    }
    case 3: // LED control of the BroadR-Reach PHYs: kept, nothing to show
        std::fill(led_ctrl.begin(), led_ctrl.end(), 0);
        std::copy(p, p + std::min(n, led_ctrl.size()), led_ctrl.begin());
        r.push_back(0);
        break;
    case 4: { // indirect table entry read
        if (!need(4))
            return;
        std::array<uint8_t, 9> e;
        if (!table_read(p[0], le16(p + 1), e))
            return refuse(p[0] > 3 ? "unknown table" : "invalid index");
        r.assign(e.begin(), e.end());
        break;
    }
    case 5: { // indirect table entry write
        if (!need(4))
            return;
        const uint8_t table = p[0];
        const uint16_t index = le16(p + 1);
        const size_t given = std::min<size_t>({p[3], n - 4, 9});
        if (table == 2 || table == 3)
            return refuse("table is read-only");
        if (!table_write(table, index, p + 4, given))
            return refuse(table > 3 ? "unknown table" : "invalid index");
        r.push_back(0);
        break;
    }
    case 6: // erase one EEPROM byte
        if (!need(2))
            return;
        if (e2p_erase(le16(p), 1) == 0)
            return refuse("address out of range");
        r.push_back(0);
        break;
    case 7: // erase an EEPROM block
        if (!need(4))
            return;
        if (le16(p + 2) != 0 && e2p_erase(le16(p), le16(p + 2)) == 0)
            return refuse("address out of range");
        r.push_back(0);
        break;
    default:
        return refuse("unknown function");
    }
    if (!faults.rmt_natural)
        r.resize(rsz, 0);
    send_ack(0xF3, faults.rmt_cmd >= 0 ? static_cast<uint8_t>(faults.rmt_cmd) : func, r);
}

} // namespace sim
