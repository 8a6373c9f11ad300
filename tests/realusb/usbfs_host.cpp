// usbfs emulation over umockdev, answered by the converter and box models.
#include "usbfs_host.h"

#include "box/box.h"
#include "converter/converter.h"
#include "simenv.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <umockdev.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <thread>

namespace realusb {

namespace {

constexpr int kBus = 1;
constexpr int kFirstAddress = 2;
constexpr int kMaxInterfaces = 4;
// What a current kernel offers; without scatter-gather a bulk transfer
// still goes in one URB (no packet size limit).
constexpr uint32_t kCaps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                           USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
// Name a bound kernel driver answers to; anything but "usbfs".
constexpr const char *kKernelDriver = "serial-kdrv";

int urb_status(int libusb_status)
{
    switch (libusb_status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return 0;
    case LIBUSB_TRANSFER_STALL:
        return -EPIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return -ENODEV;
    case LIBUSB_TRANSFER_CANCELLED:
        return -ENOENT;
    case LIBUSB_TRANSFER_OVERFLOW:
        return -EOVERFLOW;
    default:
        return -EPROTO;
    }
}

std::string description(int addr, const std::string &name, const sim::Converter &conv)
{
    libusb_device_descriptor d = conv.device_descriptor();
    const uint8_t dd[18] = {d.bLength, d.bDescriptorType, static_cast<uint8_t>(d.bcdUSB),
                            static_cast<uint8_t>(d.bcdUSB >> 8), d.bDeviceClass, d.bDeviceSubClass,
                            d.bDeviceProtocol, d.bMaxPacketSize0, static_cast<uint8_t>(d.idVendor),
                            static_cast<uint8_t>(d.idVendor >> 8), static_cast<uint8_t>(d.idProduct),
                            static_cast<uint8_t>(d.idProduct >> 8), static_cast<uint8_t>(d.bcdDevice),
                            static_cast<uint8_t>(d.bcdDevice >> 8), d.iManufacturer, d.iProduct,
                            d.iSerialNumber, d.bNumConfigurations};
    std::vector<uint8_t> desc(dd, dd + sizeof dd);
    std::vector<uint8_t> cfg = conv.config_descriptor();
    desc.insert(desc.end(), cfg.begin(), cfg.end());

    char node[32], vidpid[64];
    snprintf(node, sizeof node, "bus/usb/%03d/%03d", kBus, addr);
    snprintf(vidpid, sizeof vidpid, "%x/%x/%x", d.idVendor, d.idProduct, d.bcdDevice);
    const bool hs = conv.type().high_speed;
    std::string s;
    s += "P: /devices/pci0000:00/0000:00:14.0/usb1/" + name + "\n";
    s += std::string("N: ") + node + "\n";
    s += std::string("E: DEVNAME=/dev/") + node + "\n";
    s += "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n";
    s += std::string("E: PRODUCT=") + vidpid + "\n";
    s += "E: BUSNUM=" + std::string(node + 8, 3) + "\nE: DEVNUM=" + std::string(node + 12, 3) + "\n";
    s += "A: busnum=" + std::to_string(kBus) + "\\n\n";
    s += "A: devnum=" + std::to_string(addr) + "\\n\n";
    s += std::string("A: speed=") + (hs ? "480" : "12") + "\\n\n";
    s += "A: bConfigurationValue=1\\n\n";
    s += "A: bNumConfigurations=1\\n\n";
    s += "A: devpath=" + name.substr(2) + "\\n\n";
    s += "H: descriptors=" + sim::hex(desc.data(), desc.size()) + "\n";
    return s;
}

} // namespace

struct Urb;

struct Device {
    UsbfsHost::Impl *host = nullptr;
    int index = 0;
    sim::DeviceSpec spec;
    std::unique_ptr<sim::Converter> conv;
    std::string devnode; // as the client names it
    std::string syspath;
    int fill_fd = -1;    // our end of the node: written to make it poll full
    int drain_fd = -1;   // read to make it poll writable (the FIFO itself, or the pty master)
    bool ready = false;  // the node polls writable: a URB waits to be reaped
    bool gone = false;   // unplugged
    UMockdevIoctlBase *handler = nullptr;
    std::set<Urb *> pending;
    std::deque<Urb *> reapable;
    std::array<UMockdevIoctlClient *, kMaxInterfaces> claimed{};
    std::array<bool, kMaxInterfaces> kernel_bound{};
    std::set<uint8_t> halted;
    bool stall_control = false;
    std::vector<ControlRecord> controls;
};

struct Urb {
    sim::BulkIo io;
    Device *dev = nullptr;
    UMockdevIoctlClient *client = nullptr;
    UMockdevIoctlData *urb_data = nullptr; // the client's usbdevfs_urb
    UMockdevIoctlData *buf_data = nullptr; // its buffer
    uint64_t client_addr = 0;
    int status = 0;
    ~Urb()
    {
        if (buf_data)
            g_object_unref(buf_data);
        if (urb_data)
            g_object_unref(urb_data);
    }
};

struct UsbfsHost::Impl {
    HostOptions opts;
    UMockdevTestbed *testbed = nullptr;
    std::string root;
    sim::Trace trace;

    mutable std::mutex mu; // guards everything below, converters and boxes included
    std::vector<std::unique_ptr<Device>> devices;
    std::vector<std::string> unknown;
    std::vector<uint64_t> ioctl_times;
    std::condition_variable clock_cv;
    bool stopping = false;
    std::thread clock;
    std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();

    uint64_t now() const
    {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - epoch)
                .count());
    }

    // ---- the node's readiness ---------------------------------------------

    void set_ready_locked(Device &d, bool on)
    {
        if (d.ready == on || d.fill_fd < 0 || d.gone)
            return;
        d.ready = on;
        static uint8_t chunk[4096];
        if (on) {
            while (read(d.drain_fd, chunk, sizeof chunk) > 0) {
            }
        } else {
            while (write(d.fill_fd, chunk, sizeof chunk) > 0) {
            }
        }
    }

    void finish_locked(Urb *u, int status)
    {
        Device &d = *u->dev;
        if (!d.pending.erase(u))
            return;
        u->status = status;
        d.reapable.push_back(u);
        set_ready_locked(d, true);
    }

    // ---- ioctls -----------------------------------------------------------

    static gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
    {
        Device *d = static_cast<Device *>(user);
        long res;
        int err = 0;
        {
            std::lock_guard<std::mutex> lk(d->host->mu);
            d->host->ioctl_times.push_back(d->host->now());
            res = d->host->ioctl_locked(*d, client, &err);
        }
        umockdev_ioctl_client_complete(client, res, err);
        return TRUE;
    }

    static void on_connect(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
    {
        // A closed or ended client never says so: what the earlier ones left
        // behind goes when the next one opens the node.
        Device *d = static_cast<Device *>(user);
        std::lock_guard<std::mutex> lk(d->host->mu);
        d->host->drop_others_locked(*d, client);
    }

    void drop_others_locked(Device &d, UMockdevIoctlClient *client)
    {
        std::vector<Urb *> gone;
        for (Urb *u : d.pending)
            if (u->client != client)
                gone.push_back(u);
        for (Urb *u : gone) {
            d.conv->remove(&u->io);
            d.pending.erase(u);
            delete u;
        }
        std::deque<Urb *> keep;
        for (Urb *u : d.reapable) {
            if (u->client != client)
                delete u;
            else
                keep.push_back(u);
        }
        d.reapable.swap(keep);
        set_ready_locked(d, !d.reapable.empty());
        for (auto &c : d.claimed)
            if (c != client)
                c = nullptr;
    }

    template <typename T> static T *resolve(UMockdevIoctlData *arg, UMockdevIoctlData **out)
    {
        *out = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
        return *out ? reinterpret_cast<T *>((*out)->data) : nullptr;
    }

    static uint32_t arg_u32(UMockdevIoctlData *arg, bool *ok)
    {
        UMockdevIoctlData *p;
        uint32_t *v = resolve<uint32_t>(arg, &p);
        *ok = v != nullptr;
        uint32_t r = v ? *v : 0;
        if (p)
            g_object_unref(p);
        return r;
    }

    long ioctl_locked(Device &d, UMockdevIoctlClient *client, int *err)
    {
        const unsigned long req = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        auto fail = [&](int e) {
            *err = e;
            return -1L;
        };
        bool ok = true;
        if (d.gone) {
            // What was in flight can still be reaped; then nothing works.
            if ((req == USBDEVFS_REAPURBNDELAY || req == USBDEVFS_REAPURB) &&
                std::any_of(d.reapable.begin(), d.reapable.end(), [&](Urb *u) { return u->client == client; }))
                return reap_locked(d, client, arg, err);
            return fail(ENODEV);
        }
        switch (req) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *p;
            uint32_t *caps = resolve<uint32_t>(arg, &p);
            if (!caps)
                return fail(EFAULT);
            *caps = kCaps;
            g_object_unref(p);
            return 0;
        }
        case USBDEVFS_GET_SPEED:
            return d.conv->type().high_speed ? 3 : 2; // USB_SPEED_HIGH / _FULL
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
            return 0;
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData *p;
            auto *gd = resolve<usbdevfs_getdriver>(arg, &p);
            if (!gd)
                return fail(EFAULT);
            long r = 0;
            if (gd->interface >= static_cast<unsigned>(d.conv->channels()))
                r = fail(EINVAL);
            else if (d.claimed[gd->interface])
                snprintf(gd->driver, sizeof gd->driver, "usbfs");
            else if (d.kernel_bound[gd->interface])
                snprintf(gd->driver, sizeof gd->driver, "%s", kKernelDriver);
            else
                r = fail(ENODATA);
            g_object_unref(p);
            return r;
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData *p;
            auto *io = resolve<usbdevfs_ioctl>(arg, &p);
            if (!io)
                return fail(EFAULT);
            const int ifno = io->ifno;
            const unsigned code = static_cast<unsigned>(io->ioctl_code);
            g_object_unref(p);
            if (ifno < 0 || ifno >= d.conv->channels())
                return fail(EINVAL);
            if (code == USBDEVFS_DISCONNECT) {
                if (!d.kernel_bound[ifno])
                    return fail(ENODATA);
                d.kernel_bound[ifno] = false;
                return 0;
            }
            if (code == USBDEVFS_CONNECT) {
                if (!d.claimed[ifno])
                    d.kernel_bound[ifno] = true;
                return 0;
            }
            unknown.push_back("IOCTL code " + std::to_string(code));
            return fail(ENOTTY);
        }
        case USBDEVFS_DISCONNECT_CLAIM: {
            UMockdevIoctlData *p;
            auto *dc = resolve<usbdevfs_disconnect_claim>(arg, &p);
            if (!dc)
                return fail(EFAULT);
            const unsigned ifno = dc->interface;
            g_object_unref(p);
            if (ifno >= static_cast<unsigned>(d.conv->channels()))
                return fail(ENOENT);
            if (d.claimed[ifno] && d.claimed[ifno] != client)
                return fail(EBUSY);
            d.kernel_bound[ifno] = false;
            d.claimed[ifno] = client;
            return 0;
        }
        case USBDEVFS_CLAIMINTERFACE: {
            uint32_t ifno = arg_u32(arg, &ok);
            if (!ok)
                return fail(EFAULT);
            if (ifno >= static_cast<unsigned>(d.conv->channels()))
                return fail(ENOENT);
            if (d.kernel_bound[ifno] || (d.claimed[ifno] && d.claimed[ifno] != client))
                return fail(EBUSY);
            d.claimed[ifno] = client;
            return 0;
        }
        case USBDEVFS_RELEASEINTERFACE: {
            uint32_t ifno = arg_u32(arg, &ok);
            if (!ok)
                return fail(EFAULT);
            if (ifno >= static_cast<unsigned>(d.conv->channels()) || d.claimed[ifno] != client)
                return fail(EINVAL);
            d.claimed[ifno] = nullptr;
            return 0;
        }
        case USBDEVFS_CLEAR_HALT: {
            uint32_t ep = arg_u32(arg, &ok);
            if (!ok)
                return fail(EFAULT);
            // The kernel sends the device a CLEAR_FEATURE(ENDPOINT_HALT).
            d.halted.erase(static_cast<uint8_t>(ep));
            ControlRecord c;
            c.request_type = 0x02;
            c.request = 0x01;
            c.index = static_cast<uint16_t>(ep);
            trace_control_locked(d, c);
            return 0;
        }
        case USBDEVFS_RESET:
            d.conv->chip_reset(now());
            return 0;
        case USBDEVFS_SUBMITURB:
            return submit_locked(d, client, arg, err);
        case USBDEVFS_DISCARDURB: {
            // The argument is the URB's address itself.
            uint64_t addr = 0;
            memcpy(&addr, arg->data, std::min<size_t>(sizeof addr, static_cast<size_t>(arg->data_len)));
            for (Urb *u : d.pending) {
                if (u->client == client && u->client_addr == addr) {
                    d.conv->remove(&u->io);
                    finish_locked(u, -ENOENT);
                    return 0;
                }
            }
            return fail(EINVAL);
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap_locked(d, client, arg, err);
        default:
            char buf[64];
            snprintf(buf, sizeof buf, "ioctl 0x%lx", req);
            unknown.push_back(buf);
            return fail(ENOTTY);
        }
    }

    long submit_locked(Device &d, UMockdevIoctlClient *client, UMockdevIoctlData *arg, int *err)
    {
        auto *u = new Urb;
        u->dev = &d;
        u->client = client;
        memcpy(&u->client_addr, arg->data, sizeof u->client_addr);
        usbdevfs_urb *urb = resolve<usbdevfs_urb>(arg, &u->urb_data);
        if (!urb) {
            delete u;
            *err = EFAULT;
            return -1;
        }
        const int len = urb->buffer_length;
        if (len < 0 || (len > 0 && !urb->buffer)) {
            delete u;
            *err = EINVAL;
            return -1;
        }
        if (len > 0) {
            u->buf_data = umockdev_ioctl_data_resolve(u->urb_data, offsetof(usbdevfs_urb, buffer),
                                                      static_cast<size_t>(len), nullptr);
            if (!u->buf_data) {
                delete u;
                *err = EFAULT;
                return -1;
            }
        }
        uint8_t *buf = u->buf_data ? u->buf_data->data : nullptr;
        const uint64_t t = now();
        urb->actual_length = 0;
        urb->status = 0;

        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            if (len < 8) {
                delete u;
                *err = EINVAL;
                return -1;
            }
            ControlRecord c;
            c.request_type = buf[0];
            c.request = buf[1];
            c.value = static_cast<uint16_t>(buf[2] | buf[3] << 8);
            c.index = static_cast<uint16_t>(buf[4] | buf[5] << 8);
            c.length = static_cast<uint16_t>(buf[6] | buf[7] << 8);
            if (8 + c.length > len) {
                delete u;
                *err = EINVAL;
                return -1;
            }
            int r;
            if (d.stall_control) {
                d.stall_control = false;
                r = LIBUSB_ERROR_PIPE;
            } else {
                r = d.conv->control(c.request_type, c.request, c.value, c.index, buf + 8, c.length, t);
            }
            const bool in = c.request_type & 0x80;
            c.rc = r < 0 ? r : (in ? r : c.length);
            size_t n = in ? (r > 0 ? static_cast<size_t>(r) : 0) : c.length;
            c.data.assign(buf + 8, buf + 8 + n);
            trace_control_locked(d, c);
            if ((c.request_type & 0x60) == 0x40)
                d.controls.push_back(c);
            u->io.actual = r < 0 ? 0 : static_cast<size_t>(r);
            d.pending.insert(u);
            finish_locked(u, r < 0 ? -EPIPE : 0);
            return 0;
        }
        if (urb->type != USBDEVFS_URB_TYPE_BULK) {
            delete u;
            *err = EINVAL;
            return -1;
        }
        int chn;
        if (!d.conv->endpoint_channel(urb->endpoint, &chn)) {
            delete u;
            *err = ENOENT;
            return -1;
        }
        // usbfs claims an unclaimed interface on first use; one claimed by
        // someone else (or a kernel driver) refuses.
        if (d.kernel_bound[chn] || (d.claimed[chn] && d.claimed[chn] != client)) {
            delete u;
            *err = EBUSY;
            return -1;
        }
        d.claimed[chn] = client;
        const uint8_t ep = urb->endpoint;
        u->io.buf = buf;
        u->io.len = static_cast<size_t>(len);
        u->io.owner = u;
        d.pending.insert(u);
        if (d.halted.count(ep)) {
            finish_locked(u, -EPIPE);
            return 0;
        }
        const uint64_t frame = d.conv->frame_us();
        u->io.ready_us = opts.timing == sim::Timing::real ? (t / frame + 1) * frame : t;
        if (ep & 0x80)
            d.conv->queue_in(chn, &u->io, t);
        else
            d.conv->queue_out(chn, &u->io, t);
        clock_cv.notify_one();
        return 0;
    }

    long reap_locked(Device &d, UMockdevIoctlClient *client, UMockdevIoctlData *arg, int *err)
    {
        auto it = std::find_if(d.reapable.begin(), d.reapable.end(), [&](Urb *u) { return u->client == client; });
        if (it == d.reapable.end()) {
            set_ready_locked(d, !d.reapable.empty());
            *err = EAGAIN;
            return -1;
        }
        Urb *u = *it;
        d.reapable.erase(it);
        set_ready_locked(d, !d.reapable.empty());
        auto *urb = reinterpret_cast<usbdevfs_urb *>(u->urb_data->data);
        urb->status = u->status;
        urb->actual_length = static_cast<int>(u->io.actual);
        // The answer is a pointer to the client's own URB, which carries the
        // status, the length and (IN) the data back with it.
        UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
        long r = 0;
        if (!slot || !umockdev_ioctl_data_set_ptr(slot, 0, u->urb_data)) {
            *err = EFAULT;
            r = -1;
        }
        if (slot)
            g_object_unref(slot);
        delete u;
        return r;
    }

    void unplug_locked(Device &d);

    void trace_control_locked(Device &d, const ControlRecord &c)
    {
        if (!trace.enabled())
            return;
        char head[96];
        snprintf(head, sizeof head, "CTRL %s req=0x%02x val=0x%04x idx=0x%04x len=%u",
                 (c.request_type & 0x80) ? "IN" : "OUT", c.request, c.value, c.index, c.length);
        std::string line = head;
        if (!c.data.empty())
            line += " data=" + sim::hex(c.data.data(), c.data.size());
        line += " rc=" + std::to_string(c.rc);
        trace.line(now(), d.spec.serial, line);
    }

    // ---- the clock --------------------------------------------------------

    void run()
    {
        std::unique_lock<std::mutex> lk(mu);
        while (!stopping) {
            const uint64_t t = now();
            uint64_t next = UINT64_MAX;
            for (auto &d : devices) {
                if (d->gone)
                    continue;
                d->conv->service(t);
                next = std::min(next, d->conv->next_event_us(t));
            }
            if (next == UINT64_MAX) {
                clock_cv.wait(lk);
            } else {
                next = std::max(next, t + 20);
                clock_cv.wait_until(lk, epoch + std::chrono::microseconds(next));
            }
        }
    }
};

namespace {

bool make_fifo_node(Device &d, const std::string &path)
{
    if (mkfifo(path.c_str(), 0666) != 0)
        return false;
    d.fill_fd = d.drain_fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return d.fill_fd >= 0;
}

// The node is a link to the slave side; we fill through a slave descriptor
// of our own and drain through the master. Closing the master hangs the
// slave up.
bool make_pty_node(Device &d, const std::string &path)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m < 0)
        return false;
    char name[64];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        close(m);
        return false;
    }
    int s = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s < 0) {
        close(m);
        return false;
    }
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    tcsetattr(s, TCSANOW, &t);
    d.drain_fd = m;
    d.fill_fd = s;
    return symlink(name, path.c_str()) == 0;
}

} // namespace

UsbfsHost::UsbfsHost(const std::vector<sim::DeviceSpec> &specs, const HostOptions &opts) : impl_(new Impl)
{
    Impl &h = *impl_;
    h.opts = opts;
    if (!opts.trace_path.empty() && !h.trace.open(opts.trace_path, &error_))
        return;
    if (preload_library().empty()) {
        error_ = "umockdev is not installed (its preload library is missing): "
                 "run scripts/deps.sh --tests or apt-get install umockdev libumockdev-dev";
        return;
    }
    h.testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(h.testbed);
    h.root = root;
    g_free(root);
    int addr = kFirstAddress;
    int port = 1;
    for (const sim::DeviceSpec &s : specs) {
        auto d = std::make_unique<Device>();
        d->host = &h;
        d->index = static_cast<int>(h.devices.size());
        d->spec = s;
        Device *raw = d.get();
        d->conv = std::make_unique<sim::Converter>(s, opts.timing, &h.trace, [raw](sim::BulkIo *io, int status) {
            raw->host->finish_locked(static_cast<Urb *>(io->owner), urb_status(status));
        });
        std::string name = std::to_string(kBus) + "-" + std::to_string(port++);
        GError *gerr = nullptr;
        if (!umockdev_testbed_add_from_string(h.testbed, description(addr, name, *d->conv).c_str(), &gerr)) {
            error_ = std::string("umockdev: cannot add device: ") + (gerr ? gerr->message : "?");
            g_clear_error(&gerr);
            return;
        }
        char node[40];
        snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", kBus, addr++);
        d->devnode = node;
        d->syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + name;
        // The node becomes a FIFO or a pseudo-terminal whose POLLOUT says
        // "a URB is ready".
        const std::string path = h.root + node;
        unlink(path.c_str());
        if (!(opts.unpluggable ? make_pty_node(*d, path) : make_fifo_node(*d, path))) {
            error_ = "cannot make the device node " + path + ": " + strerror(errno);
            return;
        }
        d->ready = true;
        h.set_ready_locked(*d, false);
        d->handler = umockdev_ioctl_base_new();
        g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(Impl::on_ioctl), raw);
        g_signal_connect(d->handler, "client-connected", G_CALLBACK(Impl::on_connect), raw);
        if (!umockdev_testbed_attach_ioctl(h.testbed, node, d->handler, &gerr)) {
            error_ = std::string("umockdev: cannot attach the ioctl handler: ") + (gerr ? gerr->message : "?");
            g_clear_error(&gerr);
            return;
        }
        d->conv->power_on(h.now());
        h.devices.push_back(std::move(d));
    }
    h.clock = std::thread([&h] { h.run(); });
}

UsbfsHost::~UsbfsHost()
{
    Impl &h = *impl_;
    {
        std::lock_guard<std::mutex> lk(h.mu);
        h.stopping = true;
        h.clock_cv.notify_all();
    }
    if (h.clock.joinable())
        h.clock.join();
    for (auto &d : h.devices) {
        if (h.testbed)
            umockdev_testbed_detach_ioctl(h.testbed, d->devnode.c_str(), nullptr);
        if (d->handler)
            g_object_unref(d->handler);
    }
    if (h.testbed)
        g_object_unref(h.testbed);
    std::lock_guard<std::mutex> lk(h.mu);
    for (auto &d : h.devices) {
        for (Urb *u : d->pending) {
            d->conv->remove(&u->io);
            delete u;
        }
        d->pending.clear();
        for (Urb *u : d->reapable)
            delete u;
        d->reapable.clear();
        if (d->fill_fd >= 0)
            close(d->fill_fd);
        if (d->drain_fd >= 0 && d->drain_fd != d->fill_fd)
            close(d->drain_fd);
    }
    h.devices.clear();
}

std::map<std::string, std::string> UsbfsHost::child_env() const
{
    std::map<std::string, std::string> env;
    env["LD_PRELOAD"] = preload_library();
    env["UMOCKDEV_DIR"] = impl_->root;
    // The preload comes before the sanitizer's runtime.
    const char *asan = getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
    return env;
}

std::vector<ControlRecord> UsbfsHost::vendor_requests(int device) const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->devices.at(static_cast<size_t>(device))->controls;
}

std::vector<std::string> UsbfsHost::unknown_requests() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->unknown;
}

void UsbfsHost::unplug(int device)
{
    Impl &h = *impl_;
    std::string syspath;
    {
        std::lock_guard<std::mutex> lk(h.mu);
        Device &d = *h.devices.at(static_cast<size_t>(device));
        if (d.gone || d.drain_fd == d.fill_fd)
            return;
        h.unplug_locked(d);
        syspath = d.syspath;
    }
    // Gone from sysfs too, so that a new enumeration does not find it.
    umockdev_testbed_remove_device(h.testbed, syspath.c_str());
}

void UsbfsHost::Impl::unplug_locked(Device &d)
{
    Impl &h = *this;
    d.conv->finish_all(LIBUSB_TRANSFER_NO_DEVICE);
    std::vector<Urb *> rest(d.pending.begin(), d.pending.end());
    for (Urb *u : rest)
        h.finish_locked(u, -ENODEV);
    d.conv->power_off(h.now());
    d.gone = true;
    close(d.drain_fd);
    d.drain_fd = -1;
    if (h.trace.enabled())
        h.trace.line(h.now(), d.spec.serial, "UNPLUG");
}

void UsbfsHost::stall_next_control(int device)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->devices.at(static_cast<size_t>(device))->stall_control = true;
}

void UsbfsHost::stall_bulk(int device, uint8_t endpoint)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    Device &d = *impl_->devices.at(static_cast<size_t>(device));
    d.halted.insert(endpoint);
    d.conv->finish_endpoint(endpoint, LIBUSB_TRANSFER_STALL);
}

void UsbfsHost::set_kernel_driver(int device, int interface, bool bound)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->devices.at(static_cast<size_t>(device))->kernel_bound.at(static_cast<size_t>(interface)) = bound;
}

bool UsbfsHost::kernel_driver_bound(int device, int interface) const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->devices.at(static_cast<size_t>(device))->kernel_bound.at(static_cast<size_t>(interface));
}

bool UsbfsHost::with_box(int device, const std::function<void(sim::Box &)> &f)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    sim::Box *b = impl_->devices.at(static_cast<size_t>(device))->conv->box();
    if (!b)
        return false;
    f(*b);
    impl_->clock_cv.notify_one();
    return true;
}

void UsbfsHost::set_loopback(int device, int channel, bool on)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->devices.at(static_cast<size_t>(device))->conv->set_loopback(channel, on);
}

sim::ChannelState UsbfsHost::channel_state(int device, int channel) const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->devices.at(static_cast<size_t>(device))->conv->state(channel);
}

std::vector<uint64_t> UsbfsHost::ioctl_times() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->ioctl_times;
}

size_t UsbfsHost::urbs_outstanding() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    size_t n = 0;
    for (auto &d : impl_->devices)
        n += d->pending.size() + d->reapable.size();
    return n;
}

std::string preload_library()
{
    for (const char *p : {UMOCKDEV_PRELOAD_PATH, "/usr/lib/x86_64-linux-gnu/libumockdev-preload.so.0",
                          "/usr/lib/libumockdev-preload.so.0"}) {
        if (p[0] && access(p, R_OK) == 0)
            return p;
    }
    return "";
}

} // namespace realusb
