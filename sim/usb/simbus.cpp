// Test API of the simulated bus (simbus.h).
#include "usb/simbus.h"

#include <atomic>

#include "box/box.h"
#include "usb/bus.h"

extern std::atomic<uint64_t> sim_event_interrupts;

namespace sim {

namespace {

// The device at a position, or null (a wrong number in a test is the test's
// error; it must not crash the run).
SimDevice *dev_locked(Bus &bus, int device)
{
    if (device < 0 || static_cast<size_t>(device) >= bus.devices.size())
        return nullptr;
    return bus.devices[device].get();
}

bool channel_ok(SimDevice *d, int channel) { return d && channel >= 0 && channel < d->conv->channels(); }

} // namespace

void reset_bus(const std::vector<DeviceSpec> &devices, const BusOptions &opts)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    bus.logging = true; // a test set the bus up: it reads the log
    bus.reset_locked(devices, opts);
}

size_t device_count()
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    return bus.devices.size();
}

int find_device(const std::string &serial)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    for (auto &d : bus.devices)
        if (d->spec.serial == serial)
            return d->index;
    return -1;
}

std::vector<LogEntry> request_log()
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    return {bus.log.begin(), bus.log.end()};
}

std::vector<LogEntry> vendor_requests(int device)
{
    std::vector<LogEntry> out;
    for (LogEntry &e : request_log())
        if (e.kind == LogEntry::control && e.device == device && (e.request_type & 0x60) == 0x40)
            out.push_back(std::move(e));
    return out;
}

std::vector<LogEntry> bulk_log(int device, uint8_t endpoint)
{
    std::vector<LogEntry> out;
    for (LogEntry &e : request_log())
        if (e.kind == LogEntry::bulk && e.device == device && (endpoint == 0 || e.endpoint == endpoint))
            out.push_back(std::move(e));
    return out;
}

void clear_request_log()
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    bus.log.clear();
}

void unplug(int device)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (SimDevice *d = dev_locked(bus, device))
        bus.unplug_locked(*d);
}

void replug(int device)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (SimDevice *d = dev_locked(bus, device))
        bus.replug_locked(*d);
}

bool plugged(int device)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice *d = dev_locked(bus, device);
    return d && d->plugged;
}

void stall_next_control(int device)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (SimDevice *d = dev_locked(bus, device))
        d->stall_control = true;
}

void stall_bulk(int device, uint8_t endpoint)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice *d = dev_locked(bus, device);
    int chn;
    if (!d || !d->conv->endpoint_channel(endpoint, &chn))
        return;
    d->halted.insert(endpoint);
    // The chip answers every token on the endpoint with a stall from now on.
    d->conv->finish_endpoint(endpoint, LIBUSB_TRANSFER_STALL);
}

void fail_next_submit(int device, int libusb_error)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (SimDevice *d = dev_locked(bus, device))
        d->fail_submit = libusb_error;
}

void fail_next_open(int device, int libusb_error)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (SimDevice *d = dev_locked(bus, device))
        d->fail_open = libusb_error;
}

void bulk_out_accepts_nothing(int device, bool on)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (SimDevice *d = dev_locked(bus, device)) {
        d->conv->set_out_blocked(on);
        if (!on)
            d->conv->service(bus.now());
        bus.kick_locked(*d);
    }
}

void set_kernel_driver(int device, int interface, bool bound)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice *d = dev_locked(bus, device);
    if (channel_ok(d, interface))
        d->kernel_bound[interface] = bound;
}

bool with_box(int device, const std::function<void(Box &)> &f)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice *d = dev_locked(bus, device);
    if (!d || !d->conv->box())
        return false;
    f(*d->conv->box());
    // The box may have sent something or set a new timer.
    d->conv->service(bus.now());
    bus.kick_locked(*d);
    return true;
}

void wire_send(int device, int channel, const std::vector<uint8_t> &bytes)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice *d = dev_locked(bus, device);
    if (!channel_ok(d, channel) || !d->plugged)
        return;
    d->conv->wire_send(channel, bytes.data(), bytes.size(), bus.now());
    bus.kick_locked(*d);
}

std::vector<uint8_t> wire_received(int device, int channel)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice *d = dev_locked(bus, device);
    if (!channel_ok(d, channel))
        return {};
    d->conv->service(bus.now()); // bytes whose wire time is over
    return d->conv->take_wire_received(channel);
}

void set_loopback(int device, int channel, bool on)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice *d = dev_locked(bus, device);
    if (channel_ok(d, channel))
        d->conv->set_loopback(channel, on);
}

void set_stream_source(int device, int channel, bool on)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice *d = dev_locked(bus, device);
    if (!channel_ok(d, channel))
        return;
    d->conv->set_stream(channel, on, bus.now());
    bus.kick_locked(*d);
}

ChannelState channel_state(int device, int channel)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice *d = dev_locked(bus, device);
    if (!channel_ok(d, channel))
        return {};
    return d->conv->state(channel);
}

uint64_t now_us() { return Bus::get().now(); }

uint64_t event_interrupts() { return sim_event_interrupts.load(); }

double divisor_to_baud(uint16_t bcd_device, uint16_t word, uint16_t ext)
{
    return Converter::divisor_to_baud(type_info(bcd_device), word, ext);
}

} // namespace sim
