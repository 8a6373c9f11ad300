// Start-up settings of the simulated hardware and its trace. tarnctl-sim
// takes its boxes, timing, trace file and faults from the environment; the
// parser checks every value so that a typo ends the run at once with a clear
// message instead of a simulation that quietly does something else.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "hwmodel.h"

namespace sim {

// Faults that belong to the bus and the converter; each applies to every
// simulated box.
struct BusFaults {
    int64_t unplug_after_ms = -1;  // unplug-after-ms=N
    int64_t replug_after_ms = -1;  // replug-after-ms=N (after the unplug)
    int unplug_after_bulk_out = 0; // unplug-after-bulk-out=N: gone once the N-th bulk OUT transfer is taken
    int stall_control = 0;         // stall-control=N: the N-th control request stalls
    int stall_bulk_in = 0;         // stall-bulk-in=N: the N-th bulk IN submission halts the endpoint
    int stall_bulk_out = 0;        // stall-bulk-out=N
    int fail_submit = 0;           // fail-submit=CODE: the first submission fails with CODE
    bool out_accepts_nothing = false; // out-accepts-nothing=1
    int kernel_driver = -1;        // kernel-driver=IFACE: interface bound to a kernel driver
};

struct EnvConfig {
    std::vector<std::string> serials;
    std::string state_dir;
    Timing timing = Timing::real;
    std::string trace_path;
    BusFaults faults;
    std::vector<std::pair<std::string, std::string>> box_faults;
};

// Reads TARNCTL_SIM_BOXES, _STATE, _TIMING, _TRACE and _FAULTS through
// getenv_fn. Returns false with a one-line message in *err for a bad value.
// Does not touch the file system (the caller creates the state folder).
bool parse_env(EnvConfig *cfg, std::string *err,
               const std::function<const char *(const char *)> &getenv_fn);

// A libusb error code by name (LIBUSB_ERROR_IO, IO) or number (-1); false
// when it is neither.
bool parse_libusb_error(const std::string &text, int *code);

// Lower-case hex without separators.
std::string hex(const uint8_t *data, size_t len);

// One event a line: "<us> <serial> <text>". Thread-safe.
class Trace {
public:
    Trace() = default;
    ~Trace();
    bool open(const std::string &path, std::string *err);
    void close();
    bool enabled() const { return f_ != nullptr; }
    void line(uint64_t us, const std::string &serial, const std::string &text);

private:
    std::mutex mu_; // guards f_ writes
    FILE *f_ = nullptr;
};

} // namespace sim
