// The box firmware behind the converter's serial line. The converter model
// owns one Box per simulated device and drives it: it hands over the bytes
// the box receives, tells it about the CBUS pins and gives it the time. The
// box never starts threads of its own and is not thread-safe: its owner
// calls every member under the owner's own lock. Bytes the box sends go out
// through the transmit callback, called synchronously from within these
// members.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace sim {

class BoxImpl;

class Box {
public:
    struct Options {
        std::string serial = "CV000001"; // names the EEPROM file
        std::string state_dir;           // empty: EEPROM kept in memory only
    };
    using TxFn = std::function<void(const uint8_t *data, size_t len)>;

    explicit Box(Options opts);
    ~Box();
    Box(const Box &) = delete;
    Box &operator=(const Box &) = delete;

    // Where the box's serial output goes.
    void set_tx(TxFn tx);

    // Bytes the box's UART received, at time now_us (microseconds on the
    // owner's clock). The owner passes bytes garbled already when the line
    // runs at the wrong rate or format.
    void on_serial_rx(const uint8_t *data, size_t len, uint64_t now_us);

    // CBUS0: true while the reset line is held low. The rising edge (held
    // true -> false) boots the firmware: debug text, then a ping.
    void set_reset(bool held, uint64_t now_us);
    // CBUS1: a terminal is attached.
    void set_terminal(bool attached, uint64_t now_us);

    // Timed behaviour (delayed acknowledgements, trace records, pings, the
    // wake-up pulse). poll() runs everything due at now_us; next_event_us()
    // is the time of the next thing due, or UINT64_MAX when nothing is.
    void poll(uint64_t now_us);
    uint64_t next_event_us() const;

    // Fault injection: a key and value of TARNCTL_SIM_FAULTS that belongs to
    // the box (for example "drop-acks", "2"). Returns false and fills *err for
    // an unknown key or a bad value.
    static bool is_box_fault(std::string_view key);
    bool apply_fault(std::string_view key, std::string_view value, std::string *err);

    // True while the firmware runs (not held in reset).
    bool running() const;
    // Whether the ping sent at the last boot was echoed back.
    bool ping_echoed() const;

    BoxImpl &impl(); // test access to the state (registers, tables, EEPROM)

private:
    std::unique_ptr<BoxImpl> impl_;
};

} // namespace sim
