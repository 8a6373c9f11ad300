// The libusb-1.0 functions over the simulated bus, with the declarations of
// the system's <libusb.h>: the driver compiles against the real header and
// links against this library instead of libusb-1.0. Return codes, transfer
// statuses, ownership and the thread that runs callbacks are those libusb
// documents.
#include "usb/bus.h"

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

using sim::Bus;
using sim::SimDevice;
using sim::XferHdr;

namespace {

// The context whose callbacks this thread is running (libusb refuses to
// handle events from inside a callback).
thread_local libusb_context *tls_in_callback = nullptr;

libusb_context *ctx_or_default(libusb_context *ctx)
{
    return ctx ? ctx : Bus::get().default_ctx_locked();
}

XferHdr *hdr_of(libusb_transfer *t)
{
    return reinterpret_cast<XferHdr *>(reinterpret_cast<char *>(t) - sizeof(XferHdr));
}

void log_control(Bus &bus, const SimDevice &d, uint8_t rt, uint8_t req, uint16_t val, uint16_t idx,
                 const uint8_t *data, uint16_t len, int rc)
{
    sim::LogEntry e;
    e.kind = sim::LogEntry::control;
    e.device = d.index;
    e.time_us = bus.now();
    e.request_type = rt;
    e.request = req;
    e.value = val;
    e.index = idx;
    e.length = len;
    const bool in = rt & LIBUSB_ENDPOINT_IN;
    size_t n = in ? (rc > 0 ? static_cast<size_t>(rc) : 0) : len;
    if (data && n)
        e.data.assign(data, data + n);
    e.rc = rc;
    if (bus.trace.enabled()) {
        char head[96];
        snprintf(head, sizeof head, "CTRL %s req=0x%02x val=0x%04x idx=0x%04x len=%u", in ? "IN" : "OUT", req,
                 val, idx, len);
        std::string line = head;
        if (data && n)
            line += " data=" + sim::hex(data, n);
        line += " rc=" + std::to_string(rc);
        bus.trace_locked(d, line);
    }
    bus.log_locked(std::move(e));
}

// One synchronous control request, under the bus lock.
int control_locked(Bus &bus, libusb_device_handle *h, uint8_t rt, uint8_t req, uint16_t val, uint16_t idx,
                   unsigned char *data, uint16_t len)
{
    SimDevice &d = *h->dev->sd;
    int rc;
    if (h->dev->gone()) {
        rc = LIBUSB_ERROR_NO_DEVICE;
    } else if (len && !data) {
        rc = LIBUSB_ERROR_INVALID_PARAM;
    } else {
        d.control_count++;
        if (d.stall_control || (d.stall_control_nth && d.control_count == d.stall_control_nth)) {
            d.stall_control = false;
            rc = LIBUSB_ERROR_PIPE;
        } else {
            rc = d.conv->control(rt, req, val, idx, data, len, bus.now());
        }
    }
    log_control(bus, d, rt, req, val, idx, data, len, rc);
    if (rc >= 0)
        bus.kick_locked(d); // a new latency or line setting changes what is due
    return rc;
}

int status_to_error(int status)
{
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return 0;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    default:
        return LIBUSB_ERROR_IO;
    }
}

int sync_bulk(libusb_device_handle *h, unsigned char endpoint, unsigned char *data, int length,
              int *transferred, unsigned int timeout)
{
    if (!h || length < 0 || (length > 0 && !data))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (tls_in_callback)
        return LIBUSB_ERROR_BUSY;
    Bus &bus = Bus::get();
    std::unique_lock<std::mutex> lk(bus.mu);
    XferHdr x;
    x.ctx = h->dev->ctx;
    x.dev = h->dev->sd;
    x.handle = h;
    x.endpoint = endpoint;
    x.io.buf = data;
    x.io.len = static_cast<size_t>(length);
    int r = bus.submit_locked(&x, LIBUSB_TRANSFER_TYPE_BULK, static_cast<int>(timeout));
    if (r == 0) {
        bus.sync_cv.wait(lk, [&] { return x.done; });
        r = status_to_error(x.status);
    }
    if (transferred)
        *transferred = static_cast<int>(x.io.actual);
    sim::LogEntry e;
    e.kind = sim::LogEntry::bulk;
    e.device = x.dev->index;
    e.time_us = x.io.done_us ? x.io.done_us : bus.now();
    e.endpoint = endpoint;
    e.requested = length;
    e.data.assign(data, data + (r == 0 || x.io.actual ? x.io.actual : 0));
    e.rc = r;
    if (!(endpoint & LIBUSB_ENDPOINT_IN))
        bus.trace_locked(*x.dev, "BULK_OUT len=" + std::to_string(x.io.actual) +
                                      " data=" + sim::hex(data, x.io.actual) + " rc=" + std::to_string(r));
    bus.log_locked(std::move(e));
    return r;
}

void free_config(libusb_config_descriptor *c)
{
    if (!c)
        return;
    for (int i = 0; i < c->bNumInterfaces; i++) {
        const libusb_interface &in = c->interface[i];
        for (int a = 0; a < in.num_altsetting; a++)
            free(const_cast<libusb_endpoint_descriptor *>(in.altsetting[a].endpoint));
        free(const_cast<libusb_interface_descriptor *>(in.altsetting));
    }
    free(const_cast<libusb_interface *>(c->interface));
    free(c);
}

// Parse the converter's configuration descriptor into libusb's structures.
libusb_config_descriptor *build_config(const std::vector<uint8_t> &b)
{
    auto *c = static_cast<libusb_config_descriptor *>(calloc(1, sizeof(libusb_config_descriptor)));
    c->bLength = b[0];
    c->bDescriptorType = b[1];
    c->wTotalLength = static_cast<uint16_t>(b[2] | b[3] << 8);
    c->bNumInterfaces = b[4];
    c->bConfigurationValue = b[5];
    c->iConfiguration = b[6];
    c->bmAttributes = b[7];
    c->MaxPower = b[8];
    auto *ifs = static_cast<libusb_interface *>(calloc(c->bNumInterfaces, sizeof(libusb_interface)));
    c->interface = ifs;
    size_t p = b[0];
    libusb_interface_descriptor *cur = nullptr;
    while (p + 2 <= b.size()) {
        uint8_t len = b[p], type = b[p + 1];
        if (type == LIBUSB_DT_INTERFACE) {
            uint8_t n = b[p + 2];
            cur = static_cast<libusb_interface_descriptor *>(calloc(1, sizeof(libusb_interface_descriptor)));
            cur->bLength = len;
            cur->bDescriptorType = type;
            cur->bInterfaceNumber = n;
            cur->bAlternateSetting = b[p + 3];
            cur->bNumEndpoints = b[p + 4];
            cur->bInterfaceClass = b[p + 5];
            cur->bInterfaceSubClass = b[p + 6];
            cur->bInterfaceProtocol = b[p + 7];
            cur->iInterface = b[p + 8];
            cur->endpoint = static_cast<libusb_endpoint_descriptor *>(
                calloc(cur->bNumEndpoints, sizeof(libusb_endpoint_descriptor)));
            cur->bNumEndpoints = 0; // counted up as they come
            ifs[n].altsetting = cur;
            ifs[n].num_altsetting = 1;
        } else if (type == LIBUSB_DT_ENDPOINT && cur) {
            auto *ep = const_cast<libusb_endpoint_descriptor *>(&cur->endpoint[cur->bNumEndpoints++]);
            ep->bLength = len;
            ep->bDescriptorType = type;
            ep->bEndpointAddress = b[p + 2];
            ep->bmAttributes = b[p + 3];
            ep->wMaxPacketSize = static_cast<uint16_t>(b[p + 4] | b[p + 5] << 8);
            ep->bInterval = b[p + 6];
        }
        p += len;
    }
    return c;
}

} // namespace

// Counted for sim::event_interrupts().
std::atomic<uint64_t> sim_event_interrupts{0};

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (!ctx) {
        bus.default_ctx_locked()->refs++;
        return 0;
    }
    auto *c = new (std::nothrow) libusb_context;
    if (!c)
        return LIBUSB_ERROR_NO_MEM;
    c->refs = 1;
    bus.contexts.push_back(c);
    *ctx = c;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context *ctx)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    libusb_context *c = ctx_or_default(ctx);
    // Contexts stay allocated (the bus keeps them): a device or transfer the
    // caller forgot must not point into freed memory.
    if (c->refs > 0)
        c->refs--;
}

void LIBUSB_CALL libusb_set_debug(libusb_context *, int) {}
void LIBUSB_CALL libusb_set_log_cb(libusb_context *, libusb_log_cb, int) {}

int LIBUSB_CALL libusb_set_option(libusb_context *, enum libusb_option, ...) { return 0; }

const struct libusb_version *LIBUSB_CALL libusb_get_version(void)
{
    static const libusb_version v = {1, 0, 26, 0, "", "simulated bus"};
    return &v;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    return capability == LIBUSB_CAP_HAS_CAPABILITY || capability == LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER;
}

int LIBUSB_CALL libusb_setlocale(const char *) { return 0; }

const char *LIBUSB_CALL libusb_error_name(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR: return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT: return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED: return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL: return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE: return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW: return "LIBUSB_TRANSFER_OVERFLOW";
    default: return "**UNKNOWN**";
    }
}

const char *LIBUSB_CALL libusb_strerror(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    default: return "Other error";
    }
}

// ---- enumeration -------------------------------------------------------

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *ctx, libusb_device ***list)
{
    if (!list)
        return LIBUSB_ERROR_INVALID_PARAM;
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    libusb_context *c = ctx_or_default(ctx);
    std::vector<libusb_device *> found;
    for (auto &sd : bus.devices) {
        if (!sd->plugged)
            continue;
        libusb_device *dev = nullptr;
        for (libusb_device *d : c->devs)
            if (d->sd == sd && d->gen == sd->gen)
                dev = d;
        if (!dev) {
            dev = new libusb_device;
            dev->ctx = c;
            dev->sd = sd;
            dev->gen = sd->gen;
            dev->address = sd->address;
            dev->desc = sd->conv->device_descriptor();
            c->devs.push_back(dev);
        }
        dev->refs++;
        found.push_back(dev);
    }
    auto **out = static_cast<libusb_device **>(calloc(found.size() + 1, sizeof(libusb_device *)));
    if (!out) {
        for (libusb_device *d : found)
            d->refs--;
        return LIBUSB_ERROR_NO_MEM;
    }
    for (size_t i = 0; i < found.size(); i++)
        out[i] = found[i];
    *list = out;
    return static_cast<ssize_t>(found.size());
}

static void unref_locked(libusb_device *dev)
{
    if (--dev->refs > 0)
        return;
    auto &v = dev->ctx->devs;
    v.erase(std::remove(v.begin(), v.end(), dev), v.end());
    delete dev;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref_devices)
{
    if (!list)
        return;
    if (unref_devices) {
        Bus &bus = Bus::get();
        std::lock_guard<std::mutex> lk(bus.mu);
        for (libusb_device **p = list; *p; p++)
            unref_locked(*p);
    }
    free(list);
}

libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *dev)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    dev->refs++;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device *dev)
{
    if (!dev)
        return;
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    unref_locked(dev);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc)
{
    // Kept from enumeration, as libusb does: readable after an unplug too.
    *desc = dev->desc;
    return 0;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device *dev, uint8_t config_index,
                                             struct libusb_config_descriptor **config)
{
    if (config_index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    *config = build_config(dev->sd->conv->config_descriptor());
    return 0;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device *dev, struct libusb_config_descriptor **config)
{
    return libusb_get_config_descriptor(dev, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device *dev, uint8_t value,
                                                      struct libusb_config_descriptor **config)
{
    return value == 1 ? libusb_get_config_descriptor(dev, 0, config) : LIBUSB_ERROR_NOT_FOUND;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor *config) { free_config(config); }

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *) { return 1; }
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *dev) { return dev->address; }

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device *dev)
{
    return static_cast<uint8_t>(dev->sd->index + 1);
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device *dev, uint8_t *port_numbers, int len)
{
    if (len <= 0)
        return LIBUSB_ERROR_OVERFLOW;
    port_numbers[0] = libusb_get_port_number(dev);
    return 1;
}

int LIBUSB_CALL libusb_get_port_path(libusb_context *, libusb_device *dev, uint8_t *path, uint8_t len)
{
    return libusb_get_port_numbers(dev, path, len);
}

libusb_device *LIBUSB_CALL libusb_get_parent(libusb_device *) { return nullptr; }

int LIBUSB_CALL libusb_get_device_speed(libusb_device *dev)
{
    return dev->sd->conv->type().high_speed ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device *dev, unsigned char endpoint)
{
    int chn;
    if (!dev->sd->conv->endpoint_channel(endpoint, &chn))
        return LIBUSB_ERROR_NOT_FOUND;
    return dev->sd->conv->type().packet;
}

// ---- handles -------------------------------------------------------------

int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **dev_handle)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (dev->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    if (dev->sd->fail_open) {
        int code = dev->sd->fail_open;
        dev->sd->fail_open = 0;
        return code;
    }
    auto *h = new (std::nothrow) libusb_device_handle;
    if (!h)
        return LIBUSB_ERROR_NO_MEM;
    h->dev = dev;
    dev->refs++;
    *dev_handle = h;
    return 0;
}

libusb_device_handle *LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context *ctx, uint16_t vendor_id,
                                                                  uint16_t product_id)
{
    libusb_device **list;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0)
        return nullptr;
    libusb_device_handle *h = nullptr;
    for (ssize_t i = 0; i < n && !h; i++) {
        if (list[i]->desc.idVendor == vendor_id && list[i]->desc.idProduct == product_id)
            if (libusb_open(list[i], &h) != 0)
                h = nullptr;
    }
    libusb_free_device_list(list, 1);
    return h;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *h)
{
    if (!h)
        return;
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice &d = *h->dev->sd;
    if (!h->dev->gone())
        for (auto &c : d.claimed)
            if (c == h)
                c = nullptr;
    // Transfers still in flight on this handle end as cancelled, so nothing
    // here points at the handle afterwards.
    std::vector<XferHdr *> mine;
    for (XferHdr *x : bus.in_flight)
        if (x->handle == h)
            mine.push_back(x);
    for (XferHdr *x : mine) {
        d.conv->remove(&x->io);
        bus.complete_locked(x, LIBUSB_TRANSFER_CANCELLED);
    }
    unref_locked(h->dev);
    delete h;
}

libusb_device *LIBUSB_CALL libusb_get_device(libusb_device_handle *h) { return h->dev; }

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle *h, int *config)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (h->dev->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    *config = 1;
    return 0;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *h, int config)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (h->dev->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    return config == 1 || config == -1 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *h, int iface)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice &d = *h->dev->sd;
    if (h->dev->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    if (iface < 0 || iface >= d.conv->channels())
        return LIBUSB_ERROR_NOT_FOUND;
    if (d.claimed[iface] == h)
        return 0;
    if (d.claimed[iface])
        return LIBUSB_ERROR_BUSY;
    if (d.kernel_bound[iface]) {
        if (!h->auto_detach)
            return LIBUSB_ERROR_BUSY;
        d.kernel_bound[iface] = false;
    }
    d.claimed[iface] = h;
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *h, int iface)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice &d = *h->dev->sd;
    if (iface < 0 || iface >= d.conv->channels())
        return LIBUSB_ERROR_NOT_FOUND;
    if (h->dev->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    if (d.claimed[iface] != h)
        return LIBUSB_ERROR_NOT_FOUND;
    d.claimed[iface] = nullptr;
    return 0;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle *h, int iface, int alt)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice &d = *h->dev->sd;
    if (h->dev->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    if (iface < 0 || iface >= d.conv->channels() || d.claimed[iface] != h || alt != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return 0;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *h, unsigned char endpoint)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice &d = *h->dev->sd;
    int chn;
    int rc = 0;
    if (h->dev->gone())
        rc = LIBUSB_ERROR_NO_DEVICE;
    else if (!d.conv->endpoint_channel(endpoint, &chn))
        rc = LIBUSB_ERROR_NOT_FOUND;
    else
        d.halted.erase(endpoint);
    // CLEAR_FEATURE(ENDPOINT_HALT) goes over the control pipe like any request.
    log_control(bus, d, LIBUSB_RECIPIENT_ENDPOINT, LIBUSB_REQUEST_CLEAR_FEATURE, 0, endpoint, nullptr, 0, rc);
    return rc;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle *h)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    // libusb answers NOT_FOUND for a device that has gone.
    if (h->dev->gone())
        return LIBUSB_ERROR_NOT_FOUND;
    SimDevice &d = *h->dev->sd;
    d.halted.clear();
    d.conv->chip_reset(bus.now());
    bus.kick_locked(d);
    return 0;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle *h, int iface)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice &d = *h->dev->sd;
    if (h->dev->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    if (iface < 0 || iface >= d.conv->channels())
        return LIBUSB_ERROR_NOT_FOUND;
    return d.kernel_bound[iface] ? 1 : 0;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *h, int iface)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice &d = *h->dev->sd;
    if (h->dev->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    if (iface < 0 || iface >= d.conv->channels())
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!d.kernel_bound[iface])
        return LIBUSB_ERROR_NOT_FOUND;
    d.kernel_bound[iface] = false;
    return 0;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle *h, int iface)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    SimDevice &d = *h->dev->sd;
    if (h->dev->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    if (iface < 0 || iface >= d.conv->channels())
        return LIBUSB_ERROR_INVALID_PARAM;
    if (d.claimed[iface] || d.kernel_bound[iface])
        return LIBUSB_ERROR_BUSY;
    d.kernel_bound[iface] = true;
    return 0;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *h, int enable)
{
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    h->auto_detach = enable != 0;
    return 0;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle *h, uint8_t desc_index,
                                                   unsigned char *data, int length)
{
    if (desc_index == 0 || !data || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char tbuf[255];
    // Language list first, then the string in the first language, as
    // libusb does it: two requests on the control pipe, the first asking
    // for just the list's head and its first language (4 bytes).
    int r = libusb_control_transfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_STRING << 8, 0,
                                    tbuf, 4, 1000);
    if (r < 0)
        return r;
    if (r != 4 || tbuf[0] < 4 || tbuf[1] != LIBUSB_DT_STRING)
        return LIBUSB_ERROR_IO;
    uint16_t langid = static_cast<uint16_t>(tbuf[2] | tbuf[3] << 8);
    r = libusb_control_transfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | desc_index), langid, tbuf,
                                sizeof tbuf, 1000);
    if (r < 0)
        return r;
    if (tbuf[1] != LIBUSB_DT_STRING || tbuf[0] > r)
        return LIBUSB_ERROR_IO;
    int di = 0;
    for (int si = 2; si + 1 < tbuf[0]; si += 2) {
        if (di >= length - 1)
            break;
        data[di++] = tbuf[si + 1] ? '?' : tbuf[si];
    }
    data[di] = 0;
    return di;
}

// ---- transfers -------------------------------------------------------------

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *h, uint8_t request_type, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char *data, uint16_t length,
                                        unsigned int)
{
    if (!h)
        return LIBUSB_ERROR_INVALID_PARAM;
    // Synchronous calls cannot wait from inside a callback.
    if (tls_in_callback)
        return LIBUSB_ERROR_BUSY;
    Bus &bus = Bus::get();
    std::unique_lock<std::mutex> lk(bus.mu);
    if (bus.timing == sim::Timing::real && !h->dev->gone()) {
        // The request goes out on the next (micro-)frame.
        const uint64_t f = h->dev->sd->conv->frame_us();
        const uint64_t at = (bus.now() / f + 1) * f;
        lk.unlock();
        bus.sleep_until(at);
        lk.lock();
    }
    return control_locked(bus, h, request_type, request, value, index, data, length);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *h, unsigned char endpoint, unsigned char *data,
                                     int length, int *transferred, unsigned int timeout)
{
    return sync_bulk(h, endpoint, data, length, transferred, timeout);
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle *h, unsigned char endpoint, unsigned char *data,
                                          int length, int *transferred, unsigned int timeout)
{
    return sync_bulk(h, endpoint, data, length, transferred, timeout);
}

struct libusb_transfer *LIBUSB_CALL libusb_alloc_transfer(int iso_packets)
{
    if (iso_packets < 0)
        return nullptr;
    static_assert(sizeof(XferHdr) % alignof(std::max_align_t) == 0, "transfer must stay aligned");
    size_t size = sizeof(XferHdr) + sizeof(libusb_transfer) +
                  static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
    void *mem = calloc(1, size);
    if (!mem)
        return nullptr;
    XferHdr *x = new (mem) XferHdr;
    x->iso_packets = iso_packets;
    auto *t = reinterpret_cast<libusb_transfer *>(static_cast<char *>(mem) + sizeof(XferHdr));
    x->transfer = t;
    t->num_iso_packets = iso_packets;
    return t;
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer *t)
{
    if (!t || !t->dev_handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    XferHdr *x = hdr_of(t);
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    // Until its callback has run the transfer belongs to the library.
    if (x->in_flight || x->callback_due)
        return LIBUSB_ERROR_BUSY;
    if (t->type != LIBUSB_TRANSFER_TYPE_BULK && t->type != LIBUSB_TRANSFER_TYPE_INTERRUPT &&
        t->type != LIBUSB_TRANSFER_TYPE_CONTROL)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    if (t->length < 0 || (t->length > 0 && !t->buffer))
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device_handle *h = t->dev_handle;
    x->ctx = h->dev->ctx;
    x->dev = h->dev->sd;
    x->handle = h;
    x->endpoint = t->type == LIBUSB_TRANSFER_TYPE_CONTROL ? 0 : t->endpoint;
    x->io.buf = t->buffer;
    x->io.len = static_cast<size_t>(t->length);
    t->actual_length = 0;
    return bus.submit_locked(x, static_cast<libusb_transfer_type>(t->type), static_cast<int>(t->timeout));
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer *t)
{
    if (!t)
        return LIBUSB_ERROR_INVALID_PARAM;
    XferHdr *x = hdr_of(t);
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    if (!x->in_flight)
        return LIBUSB_ERROR_NOT_FOUND;
    x->dev->conv->remove(&x->io);
    bus.complete_locked(x, LIBUSB_TRANSFER_CANCELLED);
    return 0;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer *t)
{
    if (!t)
        return;
    XferHdr *x = hdr_of(t);
    {
        Bus &bus = Bus::get();
        std::lock_guard<std::mutex> lk(bus.mu);
        // Freeing a transfer in flight is the caller's error; take it off the
        // bus quietly rather than leave the bus holding freed memory.
        if (x->in_flight) {
            x->dev->conv->remove(&x->io);
            x->in_flight = false;
            bus.in_flight.erase(x);
        }
        if (x->ctx) {
            auto &q = x->ctx->done;
            q.erase(std::remove(q.begin(), q.end(), t), q.end());
        }
    }
    if ((t->flags & LIBUSB_TRANSFER_FREE_BUFFER) && t->buffer)
        free(t->buffer);
    x->~XferHdr();
    free(x);
}

void LIBUSB_CALL libusb_transfer_set_stream_id(struct libusb_transfer *, uint32_t) {}
uint32_t LIBUSB_CALL libusb_transfer_get_stream_id(struct libusb_transfer *) { return 0; }

// ---- events ----------------------------------------------------------------

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *ctx, struct timeval *tv, int *completed)
{
    if (!tv || tv->tv_sec < 0 || tv->tv_usec < 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    Bus &bus = Bus::get();
    libusb_context *c;
    {
        std::lock_guard<std::mutex> lk(bus.mu);
        c = ctx_or_default(ctx);
    }
    if (tls_in_callback == c)
        return LIBUSB_ERROR_BUSY;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(tv->tv_sec) +
                    std::chrono::microseconds(tv->tv_usec);
    std::deque<libusb_transfer *> ready;
    {
        std::unique_lock<std::mutex> lk(bus.mu);
        // Another thread handling events: wait for it, as libusb does.
        while (c->handling) {
            if (c->ev_cv.wait_until(lk, deadline) == std::cv_status::timeout)
                return 0;
        }
        while (c->done.empty() && !c->interrupted && !(completed && *completed)) {
            if (c->cv.wait_until(lk, deadline) == std::cv_status::timeout)
                break;
        }
        c->interrupted = false;
        ready.swap(c->done);
        for (libusb_transfer *t : ready)
            hdr_of(t)->callback_due = false;
        c->handling = true;
    }
    tls_in_callback = c;
    for (libusb_transfer *t : ready) {
        const bool free_it = t->flags & LIBUSB_TRANSFER_FREE_TRANSFER;
        if (t->callback)
            t->callback(t);
        if (free_it)
            libusb_free_transfer(t);
    }
    tls_in_callback = nullptr;
    std::lock_guard<std::mutex> lk(bus.mu);
    c->handling = false;
    c->ev_cv.notify_all();
    return 0;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context *ctx, struct timeval *tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

int LIBUSB_CALL libusb_handle_events(libusb_context *ctx)
{
    struct timeval tv = {60, 0};
    return libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context *ctx, int *completed)
{
    struct timeval tv = {60, 0};
    return libusb_handle_events_timeout_completed(ctx, &tv, completed);
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context *ctx)
{
    sim_event_interrupts.fetch_add(1);
    Bus &bus = Bus::get();
    std::lock_guard<std::mutex> lk(bus.mu);
    libusb_context *c = ctx_or_default(ctx);
    c->interrupted = true;
    c->cv.notify_all();
}

int LIBUSB_CALL libusb_get_next_timeout(libusb_context *, struct timeval *) { return 0; }

} // extern "C"
