// Inside of the box firmware model: the state the firmware keeps (switch and
// PHY registers, the switch's indirect tables, EEPROM, CAN controller, the
// Ethernet wake-up line) and the handling of every request type. Box (box.h)
// forwards to this class; tests reach it through Box::impl() to set up and
// check state directly.
//
// Fault keys (TARNCTL_SIM_FAULTS, Box::apply_fault); counts are decimal or
// 0x-hex. "Acknowledgement" means an answer to a request; the box's own
// frames (debug text, ping, CAN trace records) are never touched by them.
//   drop-acks=N        the next N acknowledgements are not sent
//   delay-acks=N       the next N acknowledgements are sent delay-ms later,
//                      from poll()
//   delay-ms=MS        the delay of delay-acks (default 1500)
//   corrupt-fcs=N      the next N acknowledgements go out with a bad FCS
//   wrong-cmd=N        the next N acknowledgements carry another cmd
//                      (cmd XOR 0x80)
//   garbage=N          a burst of N garbage bytes (never a flag or an escape)
//                      goes out just before the next acknowledgement
//   mdio-wrong-pass=C:P  the register of case C (1 to 6) of the console's
//                      MDIO test (0x18/0x03, 0x19/0x03, 0x06/0x00, 0x18/0x00,
//                      0x19/0x00, 0x06/0x22) reads wrong (value XOR 1) once,
//                      on its P-th read counted from now. Applied before
//                      "test mdio", 2:5 makes case 2 fail on its fifth pass
//                      with 5CC3 instead of 5CC2.
//   mdio-wrong=PHY:REG:N the same for any register: its N-th read from now
//   ping-every-ms=MS   besides the ping at boot, a ping every MS (0: off,
//                      the default)
//   trace-ms=MS        interval of CAN trace records while trace is on
//                      (default 100)
//   dmac-entries=N     the dynamic MAC table holds N learned addresses (0 to
//                      1024; 0: empty) instead of the four it learns by
//                      default, now and after every boot
//   vlan-lost-writes=N the next N writes to the VLAN table are acknowledged
//                      but the entry keeps what it held (a fault, or a
//                      second writer putting it back)
//
// Personalities: firmware that answers differently, each within what the
// console may expect of a box. They combine with the faults above.
//   rmt-cmd=N          remote-function answers carry cmd N, whatever the
//                      function
//   rmt-size=natural   return blocks have the function's own size instead of
//                      the size the caller asked for (padded: the default)
//   eep-short=N        EEPROM read answers carry at most N bytes (1 to 57)
//   echo-text=short    the echo's answer holds the text up to its NUL and
//                      other bytes after it (full: the default)
//   delay-order=keep   a delayed answer holds back every answer after it, as
//                      a busy box that works in order (any: the default,
//                      later answers overtake it)
//
// Housekeeping status word (0x60/0x71): bit 0 Ethernet part powered, bit 1
// wake-up line driven, bit 2 wake-up pulse running, bit 3 boot loader
// requested, bit 4 CAN trace on, bit 5 terminal attached, bit 6 CAN
// controller in configuration mode, bits 16-23 boots since power-up.
//
// The switch's tables are reached by the remote functions (read, write, MIB
// counter, dynamic MAC entry) and, as on the chip, through the indirect
// access registers 0x6E/0x6F and 0x70-0x78 by SMI or MDIO address 6. Calls
// the firmware cannot carry out (unknown function, table or index, a
// read-only table, an address beyond the EEPROM, a request shorter than its
// layout) get no acknowledgement and a debug text (0xF1/0x03) saying why.
#pragma once

#include "box.h"
#include "box_frame.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class BoxImpl {
public:
    // Identification the firmware reports.
    static constexpr std::array<uint8_t, 4> kFwVersion{2, 1, 0, 14};
    // Wire order: century, year, month, day (the console shows 06.12.2026).
    static constexpr std::array<uint8_t, 4> kFwDate{20, 26, 12, 6};
    // Wire order: major, separator, minor, letter (shown as 1.3b).
    static constexpr std::array<uint8_t, 4> kBlVersion{1, '.', 3, 'b'};
    static constexpr const char *kBlString = "Corvane boot loader 1.3b";

    static constexpr size_t kE2pSize = 4096;
    static constexpr size_t kSmacEntries = 32, kSmacSize = 8;
    static constexpr size_t kVlanEntries = 1024, kVlanSize = 7;
    static constexpr size_t kDmacEntries = 1024, kDmacSize = 9;
    static constexpr size_t kMibEntries = 272;
    static constexpr uint64_t kWupPulseUs = 400000;
    // PHY addresses on the MDIO bus; address 6 reaches the switch registers.
    static constexpr std::array<uint8_t, 4> kPhyAddrs{0x02, 0x03, 0x18, 0x19};
    static constexpr uint8_t kSwitchMdioAddr = 0x06;

    struct DynMac {
        std::array<uint8_t, 6> mac; // least significant octet first
        uint8_t fid;
        uint8_t port; // 0..3 as the switch counts
    };

    struct Can {
        std::array<uint8_t, 11> speed{};
        std::array<uint8_t, 34> mask_filter{};
        uint8_t mode = 0x00;       // requested operating mode
        uint8_t active_mode = 0x00; // what the controller runs (0x80: configuration, after reset)
        uint8_t lcmode = 0x00;
        int32_t wakeup_ms = 0;
        uint8_t wakeup_selective = 0;
        bool trace = false;
        uint32_t trace_seq = 0;
        uint32_t resets = 0, reinits = 0;
    };

    struct Faults {
        unsigned drop_acks = 0, delay_acks = 0, corrupt_fcs = 0, wrong_cmd = 0, garbage = 0;
        uint64_t delay_ms = 1500;
        bool mdio_wrong_armed = false;
        uint8_t mdio_wrong_phy = 0, mdio_wrong_reg = 0;
        unsigned mdio_wrong_nth = 0, mdio_wrong_seen = 0;
        uint64_t ping_every_ms = 0;
        uint64_t trace_ms = 100;
        int dmac_entries = -1; // -1: the default table
        int rmt_cmd = -1;      // -1: the function number
        bool rmt_natural = false, echo_short = false, delay_keep = false;
        unsigned eep_short = 0; // 0: as many as asked
        unsigned vlan_lost_writes = 0;
    };

    explicit BoxImpl(Box::Options opts);

    // --- entry points used by Box -------------------------------------
    void set_tx(Box::TxFn tx) { tx_ = std::move(tx); }
    void on_serial_rx(const uint8_t *data, size_t len, uint64_t now_us);
    void set_reset(bool held, uint64_t now_us);
    void set_terminal(bool attached, uint64_t now_us);
    void poll(uint64_t now_us);
    uint64_t next_event_us() const;
    static bool is_fault_key(std::string_view key);
    bool apply_fault(std::string_view key, std::string_view value, std::string *err);
    bool running() const { return running_; }
    bool ping_echoed() const { return boot_ping_echoed_; }

    // --- register and table access, as the firmware does it ------------
    uint8_t smi_read(uint8_t reg) const { return sw_regs[reg]; }
    void smi_write(uint8_t reg, uint8_t value);
    uint16_t mdio_read(uint8_t phy, uint8_t reg); // applies the mdio-wrong fault
    void mdio_write(uint8_t phy, uint8_t reg, uint16_t value);
    uint32_t mib_counter(size_t index) const; // at the last time seen
    // One entry of an indirect table into out (zero padded to 9 bytes);
    // false for an unknown table or an index out of range.
    bool table_read(uint8_t table, uint16_t index, std::array<uint8_t, 9> &out) const;
    bool dmac_entry(uint16_t index, std::array<uint8_t, 9> &out) const;
    // Static MAC and VLAN entries only; false for anything else.
    bool table_write(uint8_t table, uint16_t index, const uint8_t *data, size_t n);

    // --- EEPROM: every change is written through to the state file ----
    size_t e2p_write(uint16_t addr, const uint8_t *data, size_t n); // bytes written
    size_t e2p_erase(uint16_t addr, size_t n);                      // bytes erased
    std::string e2p_path() const;

    // --- state (public for tests) ----------------------------------------
    std::array<uint8_t, 256> sw_regs{};
    std::array<std::array<uint16_t, 32>, 4> phy_regs{}; // indexed like kPhyAddrs
    std::array<std::array<uint8_t, kSmacSize>, kSmacEntries> smac{};
    std::vector<std::array<uint8_t, kVlanSize>> vlan;
    std::vector<DynMac> dynmac;
    std::array<uint8_t, kE2pSize> eeprom{};
    Can can;
    Faults faults;

    bool eth_power = true;
    bool wup_driven = false;     // wake-up line pulled to UBatt
    uint64_t wup_pulse_end = 0;  // 0: no pulse running
    bool bl_enabled = false;     // boot loader requested for the next start
    bool terminal = false;
    int32_t eth_wakeup_ms = 400, eth_wakeup_threshold = 3;
    std::array<uint8_t, 60> led_ctrl{}; // last parameter block of remote function 3
    unsigned boots = 0;
    unsigned requests = 0;          // requests handled (good frames of a request type)
    unsigned pings_sent = 0, pings_echoed = 0;
    std::string last_debug;         // text of the last debug frame sent
    std::string persist_error;      // set when the EEPROM file could not be written
    boxframe::Decoder decoder;

private:
    void boot(uint64_t now_us);
    void reset_ram_state();
    void learn_dynmac();
    void apply_stored_config();
    void indirect_access();
    void load_eeprom();
    void save_eeprom();
    void run_due(uint64_t now_us);
    void handle_frame(const std::vector<uint8_t> &f);
    void handle_remote(uint8_t func, const uint8_t *p, size_t n, size_t rsz);
    void send_frame(uint8_t type, uint8_t cmd, const uint8_t *payload, size_t n);
    void send_ack(uint8_t type, uint8_t cmd, const uint8_t *payload, size_t n);
    void send_ack(uint8_t type, uint8_t cmd, const std::vector<uint8_t> &p) { send_ack(type, cmd, p.data(), p.size()); }
    void send_debug(uint8_t type, const std::string &text);
    void send_answer(std::vector<uint8_t> bytes, bool delay); // in order under delay-order=keep
    void send_ping();
    void send_trace_record();
    uint8_t wup_state() const;
    bool can_receives() const;
    void tx_bytes(const std::vector<uint8_t> &b);

    Box::Options opts_;
    Box::TxFn tx_;
    bool held_ = false;
    bool running_ = false;
    bool boot_pending_ = false;
    uint64_t boot_us_ = 0;
    uint64_t now_us_ = 0;
    bool clock_unknown_ = false;
    bool boot_ping_echoed_ = false;
    std::vector<std::vector<uint8_t>> pings_out_; // payloads not yet echoed
    std::vector<uint8_t> boot_ping_;
    uint64_t next_ping_us_ = UINT64_MAX;
    uint64_t next_trace_us_ = UINT64_MAX;
    struct Delayed {
        uint64_t due;
        std::vector<uint8_t> bytes;
    };
    std::deque<Delayed> delayed_;
    uint32_t garbage_seed_ = 0x2545F491;
    bool persist_warned_ = false;
};

} // namespace sim
