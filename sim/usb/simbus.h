// Test access to the simulated USB bus that stands in for libusb-1.0.
//
// The bus offers the libusb_* functions of <libusb.h>; this header is the
// other side of it: what a test uses to decide which converters are plugged
// in, to look at what the code under test asked of them, and to make the
// hardware misbehave on purpose.
//
// How the bus comes up. The bus builds itself on its first use, whichever
// comes first: a libusb_* call (the driver calls libusb_init from a
// constructor, before main) or a call of this API.
//   - In a test program, link the target `usbsim_test` (instead of `usbsim`):
//     it marks the program as a test, and the bus then starts empty and waits
//     for reset_bus(). The environment is not read.
//   - Without it (tarnctl-sim), the bus reads TARNCTL_SIM_BOXES, _STATE,
//     _TIMING, _TRACE and _FAULTS and plugs in the boxes they describe; a bad
//     value ends the program with a message and exit code 2.
//   - Setting TARNCTL_SIM_TEST_API=1 in the environment has the same effect
//     as linking `usbsim_test`.
//   reset_bus() may be called at any time in either case and replaces every
//   device; handles on the old devices then answer LIBUSB_ERROR_NO_DEVICE.
//
// Threads. Every function here is thread-safe and may be called while the
// code under test runs. The box model is not thread-safe: reach it only
// through with_box(), which holds the bus lock around the call.
//
// Devices are numbered by their position in the list given to reset_bus(),
// from 0; the number stays valid across unplug/replug.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hwmodel.h"

namespace sim {

class Box;

struct BusOptions {
    Timing timing = Timing::fast;
    std::string trace_path; // append the trace here; empty: no trace
};

// Replace every device on the bus (old ones are unplugged first). Clears the
// request log and all faults.
void reset_bus(const std::vector<DeviceSpec> &devices, const BusOptions &opts = {});
size_t device_count();
// Position of the device with this serial number, or -1.
int find_device(const std::string &serial);

// ---- what the code under test asked for -------------------------------

struct LogEntry {
    enum Kind { control, bulk } kind = control;
    int device = -1;
    uint64_t time_us = 0;       // bus clock, at completion
    // control requests
    uint8_t request_type = 0;   // bmRequestType
    uint8_t request = 0;        // bRequest
    uint16_t value = 0;         // wValue
    uint16_t index = 0;         // wIndex
    uint16_t length = 0;        // wLength
    // bulk transfers
    uint8_t endpoint = 0;       // with the direction bit
    int requested = 0;          // buffer length given
    bool async = false;         // libusb_submit_transfer rather than a synchronous call
    // both: the bytes that moved (OUT: accepted by the device, IN: returned)
    std::vector<uint8_t> data;
    // synchronous calls: the libusb return value the caller got;
    // asynchronous ones: the transfer status of the completion
    int rc = 0;
};

std::vector<LogEntry> request_log();
// Only the vendor control requests (bmRequestType 0x40 / 0xC0) of a device.
std::vector<LogEntry> vendor_requests(int device);
// Only bulk transfers of a device on an endpoint (0: any).
std::vector<LogEntry> bulk_log(int device, uint8_t endpoint = 0);
void clear_request_log();

// ---- faults ------------------------------------------------------------

// Unplug: calls on open handles give LIBUSB_ERROR_NO_DEVICE, pending
// transfers complete with LIBUSB_TRANSFER_NO_DEVICE, the device leaves the
// device list and its box loses power. Re-plug brings it back with a new
// address, its converter in its power-on state and the box booting.
void unplug(int device);
void replug(int device);
bool plugged(int device);

// The next control request on the device stalls (LIBUSB_ERROR_PIPE).
void stall_next_control(int device);
// Halt a bulk endpoint (with direction bit, e.g. 0x81): transfers on it
// stall until the host clears the halt (libusb_clear_halt).
void stall_bulk(int device, uint8_t endpoint);
// The next transfer submission on the device (asynchronous or synchronous
// bulk) fails with this libusb error code; nothing is submitted.
void fail_next_submit(int device, int libusb_error);
// The next libusb_open of the device fails with this code.
void fail_next_open(int device, int libusb_error);
// Bulk OUT accepts no bytes while on: writes time out having moved nothing.
void bulk_out_accepts_nothing(int device, bool on);
// Mark an interface as bound to a kernel driver: claiming it gives
// LIBUSB_ERROR_BUSY and libusb_kernel_driver_active answers 1.
void set_kernel_driver(int device, int interface, bool bound);

// ---- the serial side ---------------------------------------------------

// Run f on the device's box under the bus lock. Returns false (and does not
// call f) when the device has no box.
bool with_box(int device, const std::function<void(Box &)> &f);

// Far side of a channel without a box: send bytes to the converter as if
// they came over the serial line (at the line's own 230400 8N1), and take
// the bytes the converter put on the line so far.
void wire_send(int device, int channel, const std::vector<uint8_t> &bytes);
std::vector<uint8_t> wire_received(int device, int channel);
// Far side loops the channel's transmit line back to its receive line.
void set_loopback(int device, int channel, bool on);
// Far side sends an endless counting pattern 00 01 02 ... as fast as the
// timing allows (fast: the receive buffer never runs dry).
void set_stream_source(int device, int channel, bool on);

ChannelState channel_state(int device, int channel = 0);

// How often libusb_interrupt_event_handler was called.
uint64_t event_interrupts();

// Microseconds on the bus clock (the clock of the trace and the box).
uint64_t now_us();

// Decode a divisor word and its extension bits as the given converter type
// does; 0 for a word the type cannot run.
double divisor_to_baud(uint16_t bcd_device, uint16_t word, uint16_t ext);

} // namespace sim
