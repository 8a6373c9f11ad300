// An open, idle converter read the way the driver reads it must cost next to
// nothing: the chip's status packets come once per latency period and every
// wait in the bus is a timed wait. A busy loop anywhere shows up here as
// tens of percent.
#include "sim_test_util.h"

#include <sys/resource.h>

#include <atomic>
#include <thread>

using namespace simtest;

namespace {

double cpu_seconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double idle_share(sim::Timing timing)
{
    sim::DeviceSpec s;
    sim::BusOptions o;
    o.timing = timing;
    sim::reset_bus({s}, o);
    Dev d;
    d.setup_line(10);
    Reader r(d, 4, 4096);
    std::atomic<bool> run{true};
    std::atomic<int> packets{0};
    // Events handled on a thread of their own, as the driver does.
    std::thread ev([&] {
        while (run) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout(d.ctx, &tv);
        }
    });
    double c0 = cpu_seconds();
    auto w0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    double cpu = cpu_seconds() - c0;
    run = false;
    ev.join();
    packets = static_cast<int>(r.transfers.size());
    EXPECT_GE(packets.load(), 150); // about one status packet per 10 ms
    return cpu / wall;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kLimit = 0.15; // instrumented code: only a busy loop fails
#else
constexpr double kLimit = 0.03; // about 1 % in a release build
#endif

} // namespace

TEST(SimIdle, OpenIdleDeviceCostsAlmostNoCpu)
{
    EXPECT_LT(idle_share(sim::Timing::fast), kLimit);
    EXPECT_LT(idle_share(sim::Timing::real), kLimit);
}
