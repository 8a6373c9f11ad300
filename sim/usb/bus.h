// Inside of the simulated USB bus: the devices plugged into it, the libusb
// objects handed to the caller, the transfers in flight and the clock
// thread that runs the converters' timers. One mutex (Bus::mu) guards all of
// it, converters and boxes included; callbacks run without it.
//
// Only one thread at a time runs a context's callbacks (libusb's event
// lock); that is a flag under Bus::mu, so there is no second mutex to order.
#pragma once

#include <libusb.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "converter/converter.h"
#include "simenv.h"
#include "usb/simbus.h"

namespace sim {

constexpr int kMaxInterfaces = 4;

struct SimDevice {
    int index = 0;
    DeviceSpec spec;
    std::unique_ptr<Converter> conv;
    bool plugged = false;
    uint32_t gen = 0;      // counts plug-ins; a libusb_device belongs to one
    uint8_t address = 0;
    std::array<bool, kMaxInterfaces> kernel_bound{};
    std::array<libusb_device_handle *, kMaxInterfaces> claimed{};
    // faults
    bool stall_control = false;
    int fail_submit = 0, fail_open = 0;
    std::set<uint8_t> halted;
    int stall_control_nth = 0, control_count = 0;
    int stall_in_nth = 0, in_count = 0, stall_out_nth = 0, out_count = 0;
    int unplug_out_nth = 0, out_taken = 0;
    uint64_t unplug_at = UINT64_MAX, replug_at = UINT64_MAX;
};

// Private part of a transfer, kept in front of the libusb_transfer it
// belongs to (as libusb itself does), or on the stack for synchronous calls.
struct alignas(16) XferHdr {
    BulkIo io;
    libusb_context *ctx = nullptr;
    std::shared_ptr<SimDevice> dev;
    libusb_device_handle *handle = nullptr;
    libusb_transfer *transfer = nullptr; // null for synchronous calls
    uint8_t endpoint = 0;
    bool in_flight = false;
    bool callback_due = false;           // finished, callback not yet run: still ours
    bool done = false;                   // synchronous calls: finished
    int status = 0;
    uint64_t deadline = UINT64_MAX;
    int iso_packets = 0;
};

class Bus {
public:
    static Bus &get();

    std::mutex mu; // guards everything below and all converters and boxes

    uint64_t now() const;
    void sleep_until(uint64_t us) const; // on the bus clock, without the lock
    // Build the devices (under mu).
    void reset_locked(const std::vector<DeviceSpec> &specs, const BusOptions &opts);
    void unplug_locked(SimDevice &d);
    void replug_locked(SimDevice &d);
    // Wake the clock thread if the device needs it sooner than planned.
    void kick_locked(SimDevice &d);
    void kick_locked();
    void complete_locked(XferHdr *x, int status);
    void notify_locked(std::condition_variable *cv);
    int submit_locked(XferHdr *x, libusb_transfer_type type, int timeout_ms);
    void log_locked(LogEntry e);
    void trace_locked(const SimDevice &d, const std::string &text, uint64_t at = UINT64_MAX);
    libusb_context *default_ctx_locked();

    std::vector<std::shared_ptr<SimDevice>> devices;
    std::vector<libusb_context *> contexts;
    std::set<XferHdr *> in_flight;
    std::deque<LogEntry> log;
    Trace trace;
    Timing timing = Timing::fast;
    bool logging = true; // keep the request log (tests)
    std::condition_variable sync_cv; // synchronous transfers finishing

private:
    Bus();
    void run();
    void stop();
    static void stop_at_exit();
    void service_locked(uint64_t now);
    uint64_t next_locked(uint64_t now);
    void configure_from_env();

    std::chrono::steady_clock::time_point epoch_;
    std::condition_variable clock_cv_;
    uint64_t planned_ = UINT64_MAX;
    bool stopping_ = false;
    bool defer_notify_ = false;                     // the clock thread is servicing
    std::vector<std::condition_variable *> to_notify_; // whom to wake when it is done
    uint8_t next_address_ = 2;
    std::thread clock_;
    libusb_context *default_ctx_ = nullptr;
};

} // namespace sim

struct libusb_context {
    bool is_default = false;
    int refs = 0;
    bool handling = false;            // a thread runs callbacks (Bus::mu); one at a time
    std::condition_variable ev_cv;    // with Bus::mu: the handler finished
    std::deque<libusb_transfer *> done; // finished, callback not yet run (Bus::mu)
    std::condition_variable cv;       // with Bus::mu: something finished
    bool interrupted = false;
    std::vector<libusb_device *> devs; // libusb_device objects alive in this context
};

struct libusb_device {
    libusb_context *ctx = nullptr;
    std::shared_ptr<sim::SimDevice> sd;
    uint32_t gen = 0;
    uint8_t address = 0;
    int refs = 0;
    libusb_device_descriptor desc{};
    bool gone() const { return !sd->plugged || sd->gen != gen; }
};

struct libusb_device_handle {
    libusb_device *dev = nullptr;
    bool auto_detach = false;
};
