// A USB host for the real libusb-1.0: converters and boxes (the same models
// as the simulated bus) behind emulated usbfs device nodes.
//
// The host builds a umockdev testbed: each device gets its sysfs entry
// (busnum, devnum, speed, descriptors, ...) and its node under
// /dev/bus/usb/001/. A program started with child_env() in its environment
// runs under umockdev's preload, so the system's libusb finds these devices
// and its usbfs ioctls (claim, submit, reap, discard, ...) come here, where
// the converter model answers them.
//
// The node itself is a FIFO (or a pseudo-terminal) that this host keeps full
// while no URB waits to be reaped and empties as soon as one does: libusb
// polls the node for POLLOUT to learn that it can reap, so an idle handle
// costs nothing. Hanging up a pseudo-terminal makes poll report POLLERR,
// which libusb takes as the device's disconnection.
//
// One mutex (mu_) guards the devices, their converters and boxes and every
// URB; umockdev's worker thread and our clock thread both take it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hwmodel.h"

namespace sim {
class Box;
}

namespace realusb {

struct HostOptions {
    sim::Timing timing = sim::Timing::fast;
    std::string trace_path; // the converters' trace (same format as the simulated bus); empty: none
    // Device nodes are pseudo-terminals instead of FIFOs, so that unplug()
    // can hang them up: that is how libusb learns a device has gone.
    bool unpluggable = false;
};

// One control request as the host saw it.
struct ControlRecord {
    uint8_t request_type = 0, request = 0;
    uint16_t value = 0, index = 0, length = 0;
    std::vector<uint8_t> data; // OUT: sent, IN: answered
    int rc = 0;                // bytes, or LIBUSB_ERROR_PIPE (-9) when it stalled
};

class UsbfsHost {
public:
    explicit UsbfsHost(const std::vector<sim::DeviceSpec> &devices, const HostOptions &opts = {});
    ~UsbfsHost();
    UsbfsHost(const UsbfsHost &) = delete;
    UsbfsHost &operator=(const UsbfsHost &) = delete;

    // False (with the reason in error()) when the testbed could not be built.
    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }

    // Environment for a child process that must see these devices.
    std::map<std::string, std::string> child_env() const;

    // Vendor control requests (bmRequestType 0x40/0xC0) of a device, in order.
    std::vector<ControlRecord> vendor_requests(int device) const;
    // Everything the host was asked and did not know (ioctl numbers); tests
    // expect none.
    std::vector<std::string> unknown_requests() const;

    // Faults.
    // The device goes (needs HostOptions::unpluggable): URBs in flight end
    // with ENODEV, the node reports an error to poll, every later request
    // fails with ENODEV, and the box loses power.
    void unplug(int device);
    void stall_next_control(int device);
    void stall_bulk(int device, uint8_t endpoint); // until the host clears the halt
    void set_kernel_driver(int device, int interface, bool bound);
    bool kernel_driver_bound(int device, int interface) const;

    // The serial side.
    bool with_box(int device, const std::function<void(sim::Box &)> &f);
    void set_loopback(int device, int channel, bool on);
    sim::ChannelState channel_state(int device, int channel = 0) const;

    // Times (microseconds on the host's clock) of every ioctl the clients
    // made, all devices.
    std::vector<uint64_t> ioctl_times() const;

    // URBs submitted by the clients and not yet reaped (all devices).
    size_t urbs_outstanding() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::string error_;
};

// Where umockdev's preload library is, or "" when it is not installed.
std::string preload_library();

} // namespace realusb
