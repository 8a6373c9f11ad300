// The simulated bus: devices, transfers in flight, the clock thread, the
// request log and the trace. The libusb_* functions (libusb_sim.cpp) and the
// test API (simbus.cpp) are thin layers over this.
#include "usb/bus.h"

#include "box/box.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

// Defined by the `usbsim_test` object library: the program is a test and
// sets the bus up itself.
extern "C" __attribute__((weak)) const int tarnctl_usbsim_test_mode;

namespace sim {

namespace {
constexpr size_t kLogLimit = 200000;
}

Bus &Bus::get()
{
    // Never destroyed: the driver's own start and stop code runs outside
    // main, before and after static objects live, and may call us then.
    static Bus *bus = new Bus();
    return *bus;
}

Bus::Bus() : epoch_(std::chrono::steady_clock::now())
{
    const char *t = getenv("TARNCTL_SIM_TEST_API");
    bool test = &tarnctl_usbsim_test_mode != nullptr || (t && strcmp(t, "1") == 0);
    // Nobody reads the request log in tarnctl-sim; a long run would only
    // fill memory with it.
    logging = test;
    if (!test)
        configure_from_env();
    clock_ = std::thread([this] { run(); });
    std::atexit(stop_at_exit);
}

void Bus::configure_from_env()
{
    EnvConfig cfg;
    std::string err;
    auto fail = [](const std::string &msg) {
        fprintf(stderr, "tarnctl-sim: %s\n", msg.c_str());
        fflush(stderr);
        // The simulated hardware cannot come up: nothing else has run yet.
        exit(2);
    };
    if (!parse_env(&cfg, &err, [](const char *n) { return getenv(n); }))
        fail(err);
    if (!cfg.state_dir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(cfg.state_dir, ec);
        if (ec || !std::filesystem::is_directory(cfg.state_dir))
            fail("TARNCTL_SIM_STATE: cannot create folder '" + cfg.state_dir + "'" +
                 (ec ? ": " + ec.message() : std::string()));
    }
    if (!trace.open(cfg.trace_path, &err))
        fail("TARNCTL_SIM_TRACE: " + err);

    std::vector<DeviceSpec> specs;
    for (const std::string &s : cfg.serials) {
        DeviceSpec d;
        d.serial = s;
        d.state_dir = cfg.state_dir;
        specs.push_back(d);
    }
    BusOptions o;
    o.timing = cfg.timing;
    std::lock_guard<std::mutex> lk(mu);
    reset_locked(specs, o);
    const uint64_t t0 = now();
    for (auto &d : devices) {
        const BusFaults &f = cfg.faults;
        if (f.unplug_after_ms >= 0)
            d->unplug_at = t0 + static_cast<uint64_t>(f.unplug_after_ms) * 1000;
        if (f.replug_after_ms >= 0)
            d->replug_at = t0 + static_cast<uint64_t>(f.replug_after_ms) * 1000;
        d->stall_control_nth = f.stall_control;
        d->stall_in_nth = f.stall_bulk_in;
        d->stall_out_nth = f.stall_bulk_out;
        d->unplug_out_nth = f.unplug_after_bulk_out;
        d->fail_submit = f.fail_submit;
        d->conv->set_out_blocked(f.out_accepts_nothing);
        if (f.kernel_driver >= 0 && f.kernel_driver < d->conv->channels())
            d->kernel_bound[f.kernel_driver] = true;
        for (auto &[k, v] : cfg.box_faults) {
            if (Box *b = d->conv->box()) {
                if (!b->apply_fault(k, v, &err))
                    fail("TARNCTL_SIM_FAULTS: " + k + "='" + v + "': " + err);
            }
        }
    }
}

uint64_t Bus::now() const
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - epoch_)
                                     .count());
}

void Bus::sleep_until(uint64_t us) const
{
    std::this_thread::sleep_until(epoch_ + std::chrono::microseconds(us));
}

void Bus::stop_at_exit() { get().stop(); }

void Bus::stop()
{
    {
        std::lock_guard<std::mutex> lk(mu);
        if (stopping_)
            return;
        stopping_ = true;
        clock_cv_.notify_all();
    }
    if (clock_.joinable())
        clock_.join();
}

libusb_context *Bus::default_ctx_locked()
{
    if (!default_ctx_) {
        default_ctx_ = new libusb_context;
        default_ctx_->is_default = true;
        contexts.push_back(default_ctx_);
    }
    return default_ctx_;
}

void Bus::trace_locked(const SimDevice &d, const std::string &text, uint64_t at)
{
    if (trace.enabled())
        trace.line(at == UINT64_MAX ? now() : at, d.spec.serial, text);
}

void Bus::log_locked(LogEntry e)
{
    if (!logging)
        return;
    if (log.size() >= kLogLimit)
        log.pop_front();
    log.push_back(std::move(e));
}

void Bus::reset_locked(const std::vector<DeviceSpec> &specs, const BusOptions &opts)
{
    for (auto &d : devices)
        if (d->plugged)
            unplug_locked(*d);
    devices.clear();
    log.clear();
    timing = opts.timing;
    if (!opts.trace_path.empty()) {
        std::string err;
        if (!trace.open(opts.trace_path, &err))
            fprintf(stderr, "simulated bus: trace: %s\n", err.c_str());
    }
    int i = 0;
    for (const DeviceSpec &s : specs) {
        auto d = std::make_shared<SimDevice>();
        d->index = i++;
        d->spec = s;
        SimDevice *raw = d.get();
        d->conv = std::make_unique<Converter>(s, timing, &trace, [this, raw](BulkIo *io, int status) {
            (void)raw;
            complete_locked(static_cast<XferHdr *>(io->owner), status);
        });
        devices.push_back(d);
        replug_locked(*d);
    }
    kick_locked();
}

void Bus::unplug_locked(SimDevice &d)
{
    if (!d.plugged)
        return;
    d.plugged = false;
    d.conv->finish_all(LIBUSB_TRANSFER_NO_DEVICE);
    // Transfers stalled on a halted endpoint are not in the converter.
    std::vector<XferHdr *> mine;
    for (XferHdr *x : in_flight)
        if (x->dev.get() == &d)
            mine.push_back(x);
    for (XferHdr *x : mine)
        complete_locked(x, LIBUSB_TRANSFER_NO_DEVICE);
    const uint64_t t = now();
    trace_locked(d, "UNPLUG", t);
    d.conv->power_off(t);
}

void Bus::replug_locked(SimDevice &d)
{
    if (d.plugged)
        return;
    d.plugged = true;
    d.gen++;
    d.address = next_address_++;
    if (next_address_ > 127)
        next_address_ = 2;
    d.claimed.fill(nullptr);
    d.halted.clear();
    const uint64_t t = now();
    trace_locked(d, "PLUG", t);
    d.conv->power_on(t);
    kick_locked(d);
}

void Bus::kick_locked(SimDevice &d)
{
    if (d.conv->next_event_us(now()) < planned_)
        clock_cv_.notify_one();
}

void Bus::kick_locked() { clock_cv_.notify_one(); }

void Bus::notify_locked(std::condition_variable *cv)
{
    if (!defer_notify_) {
        cv->notify_all();
        return;
    }
    if (std::find(to_notify_.begin(), to_notify_.end(), cv) == to_notify_.end())
        to_notify_.push_back(cv);
}

void Bus::complete_locked(XferHdr *x, int status)
{
    if (!x->in_flight)
        return;
    x->in_flight = false;
    in_flight.erase(x);
    x->status = status;
    const bool in = x->endpoint & LIBUSB_ENDPOINT_IN;
    if (x->transfer) {
        libusb_transfer *t = x->transfer;
        t->actual_length = static_cast<int>(x->io.actual);
        if (status == LIBUSB_TRANSFER_COMPLETED && (t->flags & LIBUSB_TRANSFER_SHORT_NOT_OK) &&
            t->actual_length < t->length)
            status = LIBUSB_TRANSFER_ERROR;
        t->status = static_cast<libusb_transfer_status>(status);
        x->status = status;
        if (t->type == LIBUSB_TRANSFER_TYPE_BULK || t->type == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
            LogEntry e;
            e.kind = LogEntry::bulk;
            e.device = x->dev->index;
            // When the chip moved the last packet, not when we got round to it.
            e.time_us = x->io.done_us ? x->io.done_us : now();
            e.endpoint = x->endpoint;
            e.requested = t->length;
            e.async = true;
            e.data.assign(x->io.buf, x->io.buf + x->io.actual);
            e.rc = status;
            if (!in)
                trace_locked(*x->dev, "BULK_OUT len=" + std::to_string(x->io.actual) +
                                          " data=" + hex(x->io.buf, x->io.actual) +
                                          " rc=" + std::to_string(status));
            log_locked(std::move(e));
        }
        x->callback_due = true;
        x->ctx->done.push_back(t);
        notify_locked(&x->ctx->cv);
    } else {
        x->done = true;
        notify_locked(&sync_cv);
    }
}

int Bus::submit_locked(XferHdr *x, libusb_transfer_type type, int timeout_ms)
{
    SimDevice &d = *x->dev;
    libusb_device *dev = x->handle->dev;
    if (dev->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    if (d.fail_submit) {
        int code = d.fail_submit;
        d.fail_submit = 0;
        return code;
    }
    const uint64_t t = now();
    x->io.actual = 0;
    x->io.done_us = 0;
    x->io.owner = x;
    x->done = false;
    x->status = -1;
    x->deadline = timeout_ms > 0 ? t + static_cast<uint64_t>(timeout_ms) * 1000 : UINT64_MAX;

    if (type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        // Control transfers submitted asynchronously: the setup packet leads
        // the buffer; the chip answers at once.
        libusb_transfer *tr = x->transfer;
        if (tr->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE))
            return LIBUSB_ERROR_INVALID_PARAM;
        libusb_control_setup *s = reinterpret_cast<libusb_control_setup *>(tr->buffer);
        uint16_t wlen = libusb_le16_to_cpu(s->wLength);
        if (tr->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE + wlen))
            return LIBUSB_ERROR_INVALID_PARAM;
        int r = d.conv->control(s->bmRequestType, s->bRequest, libusb_le16_to_cpu(s->wValue),
                                libusb_le16_to_cpu(s->wIndex), tr->buffer + LIBUSB_CONTROL_SETUP_SIZE, wlen, t);
        x->in_flight = true;
        in_flight.insert(x);
        x->io.actual = r < 0 ? 0 : static_cast<size_t>(r);
        x->io.buf = tr->buffer + LIBUSB_CONTROL_SETUP_SIZE;
        complete_locked(x, r < 0 ? LIBUSB_TRANSFER_STALL : LIBUSB_TRANSFER_COMPLETED);
        return 0;
    }

    int chn;
    if (!d.conv->endpoint_channel(x->endpoint, &chn))
        return LIBUSB_ERROR_NOT_FOUND;
    // The endpoint belongs to an interface this handle must have claimed.
    if (d.claimed[chn] != x->handle)
        return LIBUSB_ERROR_NOT_FOUND;
    const bool in = x->endpoint & LIBUSB_ENDPOINT_IN;
    if (in && d.stall_in_nth && ++d.in_count == d.stall_in_nth)
        d.halted.insert(x->endpoint);
    if (!in && d.stall_out_nth && ++d.out_count == d.stall_out_nth)
        d.halted.insert(x->endpoint);

    x->in_flight = true;
    in_flight.insert(x);
    if (d.halted.count(x->endpoint)) {
        complete_locked(x, LIBUSB_TRANSFER_STALL);
        return 0;
    }
    // A test that needs the converter to go while a command runs keys the
    // unplug to that command's request, not to a time a slow start can miss.
    if (!in && d.unplug_out_nth && ++d.out_taken == d.unplug_out_nth) {
        d.unplug_at = t;
        clock_cv_.notify_one();
    }
    const uint64_t frame = d.conv->frame_us();
    x->io.ready_us = timing == Timing::real ? (t / frame + 1) * frame : t;
    if (in)
        d.conv->queue_in(chn, &x->io, t);
    else
        d.conv->queue_out(chn, &x->io, t);
    if (x->in_flight) {
        if (x->deadline < planned_)
            clock_cv_.notify_one();
        else
            kick_locked(d);
    }
    return 0;
}

void Bus::service_locked(uint64_t t)
{
    for (size_t i = 0; i < devices.size(); i++) {
        auto d = devices[i];
        if (d->plugged && d->unplug_at <= t) {
            d->unplug_at = UINT64_MAX;
            unplug_locked(*d);
        } else if (!d->plugged && d->replug_at <= t) {
            d->replug_at = UINT64_MAX;
            replug_locked(*d);
        }
        if (d->plugged)
            d->conv->service(t);
    }
    std::vector<XferHdr *> late;
    for (XferHdr *x : in_flight)
        if (x->deadline <= t)
            late.push_back(x);
    for (XferHdr *x : late) {
        x->dev->conv->remove(&x->io);
        complete_locked(x, LIBUSB_TRANSFER_TIMED_OUT);
    }
}

uint64_t Bus::next_locked(uint64_t t)
{
    uint64_t next = UINT64_MAX;
    for (auto &d : devices) {
        next = std::min(next, d->plugged ? d->unplug_at : d->replug_at);
        if (d->plugged)
            next = std::min(next, d->conv->next_event_us(t));
    }
    for (XferHdr *x : in_flight)
        next = std::min(next, x->deadline);
    return next;
}

void Bus::run()
{
    std::unique_lock<std::mutex> lk(mu);
    std::vector<std::condition_variable *> wake;
    while (!stopping_) {
        uint64_t t = now();
        // Waiters are woken after the lock is let go, so that they do not
        // wake only to block on it again.
        defer_notify_ = true;
        service_locked(t);
        defer_notify_ = false;
        if (!to_notify_.empty()) {
            wake.swap(to_notify_);
            lk.unlock();
            for (auto *cv : wake)
                cv->notify_all();
            wake.clear();
            lk.lock();
            continue; // the world may have moved on while we were out
        }
        uint64_t next = next_locked(t);
        // Whatever was due has been done; never spin on a time in the past.
        if (next != UINT64_MAX)
            next = std::max(next, t + 20);
        planned_ = next;
        if (next == UINT64_MAX)
            clock_cv_.wait(lk);
        else
            clock_cv_.wait_until(lk, epoch_ + std::chrono::microseconds(next));
        planned_ = 0; // awake: any change is seen on the next pass
    }
}

} // namespace sim
