// An open, idle converter read the way the driver reads it must cost next to
// nothing: the chip's status packets come once per latency period and every
// wait in the bus is a timed wait. The cost is measured per status packet
// over a fixed number of them, so a slow or busy machine (which delivers
// fewer packets and charges more for each wake-up) cannot break the bound,
// while a busy loop, which burns most of every period, still does.
#include "sim_test_util.h"
#include "thread_cpu.h"
#include "wait_for.h"

#include <atomic>
#include <cstdio>
#include <thread>

using namespace simtest;

namespace {

constexpr size_t kPackets = 150; // 1.5 s of status packets at 10 ms

// Microseconds of process CPU per status packet while kPackets come in.
double cpu_per_packet_us(sim::Timing timing)
{
    sim::DeviceSpec s;
    sim::BusOptions o;
    o.timing = timing;
    sim::reset_bus({s}, o);
    Dev d;
    d.setup_line(10);
    Reader r(d, 4, 4096);
    std::atomic<size_t> packets{0};
    std::atomic<bool> run{true};
    // Events handled on a thread of their own, as the driver does.
    std::thread ev([&] {
        while (run) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout(d.ctx, &tv);
            packets = r.transfers.size();
        }
    });
    // Counted from the first packet on, so the set-up is not charged.
    EXPECT_TRUE(waitFor([&] { return packets >= 1; }, std::chrono::seconds(30)));
    const size_t p0 = packets;
    const uint64_t c0 = processCpuNs();
    const bool enough = waitFor([&] { return packets >= p0 + kPackets; }, std::chrono::seconds(60));
    const uint64_t cpu = processCpuNs() - c0;
    const size_t got = packets - p0;
    run = false;
    ev.join();
    EXPECT_TRUE(enough) << got << " status packets";
    return got == 0 ? 1e9 : static_cast<double>(cpu) / 1000.0 / static_cast<double>(got);
}

// A release build measures 100 to 400 us a packet (more on a loaded machine),
// instrumented builds several times that; a thread that spins burns the whole
// 10 ms period, or a good share of it when a loaded machine gives it only part
// of a core.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kLimitUs = 5000;
#else
constexpr double kLimitUs = 2500;
#endif

} // namespace

TEST(SimIdle, OpenIdleDeviceCostsAlmostNoCpu)
{
    for (sim::Timing t : {sim::Timing::fast, sim::Timing::real}) {
        const double us = cpu_per_packet_us(t);
        std::printf("%s timing: %.0f us of CPU per status packet\n", t == sim::Timing::fast ? "fast" : "real", us);
        EXPECT_LT(us, kLimitUs) << (t == sim::Timing::fast ? "fast" : "real");
    }
}
