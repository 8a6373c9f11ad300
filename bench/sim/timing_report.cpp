// Two measurements of the simulated hardware that Google Benchmark does not
// express well:
//   idle CPU  - the share of one core the process uses while a converter is
//               open and idle, read the way the driver reads (four bulk IN
//               transfers in flight, an event thread, latency 10 ms), for
//               fast and real timing;
//   turnaround - in real timing, the time from the first byte of the version
//               request (written a byte per transfer, as the console does)
//               to the arrival of the box's answer, against the wire-time
//               model: each OUT transfer on the next 1 ms frame, 10 bit
//               times per byte each way, the answer's packet on the next
//               frame after its closing flag.
// Usage: sim_timing_report [idle-seconds] [turnaround-runs]
#include <libusb.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "usb/simbus.h"

namespace {

struct Rig {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;
    std::atomic<bool> run{true};
    std::thread events;
    std::mutex mu;
    std::condition_variable cv;
    std::vector<uint8_t> data; // received data bytes, status bytes stripped
    uint64_t last_us = 0;
    struct Slot {
        Rig *rig;
        libusb_transfer *t;
        std::vector<uint8_t> buf;
    };
    std::vector<Slot> slots;

    static void LIBUSB_CALL cb(libusb_transfer *t)
    {
        auto *s = static_cast<Slot *>(t->user_data);
        Rig *r = s->rig;
        if (t->status == LIBUSB_TRANSFER_COMPLETED) {
            std::lock_guard<std::mutex> lk(r->mu);
            for (int p = 0; p < t->actual_length; p += 64)
                for (int i = p + 2; i < std::min(t->actual_length, p + 64); i++)
                    r->data.push_back(t->buffer[i]);
            if (t->actual_length > 2)
                r->last_us = sim::now_us();
            r->cv.notify_all();
            if (r->run)
                libusb_submit_transfer(t);
        }
    }

    explicit Rig(sim::Timing timing) : slots(4)
    {
        sim::DeviceSpec d;
        sim::BusOptions o;
        o.timing = timing;
        sim::reset_bus({d}, o);
        libusb_init(&ctx);
        libusb_device **list;
        libusb_get_device_list(ctx, &list);
        libusb_open(list[0], &h);
        libusb_free_device_list(list, 1);
        libusb_claim_interface(h, 0);
        auto out = [&](uint8_t req, uint16_t val) { libusb_control_transfer(h, 0x40, req, val, 0, nullptr, 0, 1000); };
        out(0, 0);
        out(3, 0x000D);
        out(4, 0x0008);
        out(2, 0);
        out(6, 0x017E);
        out(9, 10);
        out(0, 1);
        out(0, 2);
        events = std::thread([this] {
            while (run) {
                timeval tv{0, 100000};
                libusb_handle_events_timeout(ctx, &tv);
            }
        });
        for (auto &s : slots) {
            s.rig = this;
            s.buf.resize(4096);
            s.t = libusb_alloc_transfer(0);
            libusb_fill_bulk_transfer(s.t, h, 0x81, s.buf.data(), 4096, cb, &s, 5660);
            libusb_submit_transfer(s.t);
        }
    }
    ~Rig()
    {
        run = false;
        for (auto &s : slots)
            libusb_cancel_transfer(s.t);
        events.join();
        timeval tv{0, 10000};
        libusb_handle_events_timeout(ctx, &tv);
        for (auto &s : slots)
            libusb_free_transfer(s.t);
        libusb_release_interface(h, 0);
        libusb_close(h);
        libusb_exit(ctx);
    }
};

double cpu_seconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void idle(sim::Timing timing, double seconds)
{
    Rig rig(timing);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double c0 = cpu_seconds();
    auto w0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    double cpu = cpu_seconds() - c0;
    printf("idle %-4s: %.1f s wall, %.3f s CPU, %.2f %% of one core\n", timing == sim::Timing::fast ? "fast" : "real",
           wall, cpu, 100.0 * cpu / wall);
}

// The wire-time model of one request/answer exchange starting at t0 (bus
// clock): 6 one-byte OUT transfers, each taken on the next 1 ms frame;
// 43 us per byte on the wire; an answer of `answer` bytes; its packet on the
// next frame after the closing flag.
uint64_t model(uint64_t t0, size_t answer)
{
    const uint64_t byte = 43; // 10 bits at 230400 (and at the chip's 230769)
    uint64_t t = t0, tx = 0;
    for (int i = 0; i < 6; i++) {
        t = (t / 1000 + 1) * 1000;
        tx = std::max(tx, t) + byte;
    }
    uint64_t done = tx + answer * byte;
    return (done + 999) / 1000 * 1000 - t0;
}

void turnaround(int runs)
{
    Rig rig(sim::Timing::real);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint8_t req[6] = {0x7E, 0x60, 0x80, 0x1A, 0xEE, 0x7E};
    double sum_meas = 0, sum_model = 0, worst = 0;
    for (int k = 0; k < runs; k++) {
        {
            std::lock_guard<std::mutex> lk(rig.mu);
            rig.data.clear();
        }
        uint64_t t0 = sim::now_us();
        for (uint8_t b : req) {
            int n;
            libusb_bulk_transfer(rig.h, 0x02, &b, 1, &n, 50);
        }
        std::unique_lock<std::mutex> lk(rig.mu);
        // The answer: 7E 6F 80 v v v v fcs fcs 7E (longer when a byte is escaped).
        rig.cv.wait_for(lk, std::chrono::seconds(1), [&] {
            return rig.data.size() >= 10 && rig.data.back() == 0x7E;
        });
        uint64_t meas = rig.last_us - t0;
        uint64_t mod = model(t0, rig.data.size());
        lk.unlock();
        sum_meas += static_cast<double>(meas);
        sum_model += static_cast<double>(mod);
        worst = std::max(worst, std::fabs(static_cast<double>(meas) - static_cast<double>(mod)) / static_cast<double>(mod));
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }
    printf("turnaround real: %d runs, measured mean %.0f us, model mean %.0f us, mean off by %+.1f %%, worst %.1f %%\n",
           runs, sum_meas / runs, sum_model / runs, 100.0 * (sum_meas - sum_model) / sum_model, 100.0 * worst);
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 10.0;
    int runs = argc > 2 ? atoi(argv[2]) : 50;
    idle(sim::Timing::fast, seconds);
    idle(sim::Timing::real, seconds);
    turnaround(runs);
    return 0;
}
