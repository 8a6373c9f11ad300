// Driver benchmarks on the simulated bus (fast timing unless noted): how
// fast the receive pipeline moves data, what it costs per megabyte, how long
// a completed bulk-in transfer takes to reach the caller's event, and what
// an idle open handle costs.
#include "usbserial-private.h"

#include "usb/simbus.h"
#include "thread_cpu.h"

#include <benchmark/benchmark.h>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double processCpuSeconds() { return processCpuNs() / 1e9; }

// CPU of the driver's own threads (usbserial-*), in seconds.
double driverCpuSeconds() { return threadsCpuNs("usbserial-") / 1e9; }

FT_HANDLE openFirst(uint16_t bcd, sim::Timing timing)
{
    sim::DeviceSpec spec;
    spec.bcd_device = bcd;
    spec.serial = "BENCH001";
    spec.box = false;
    sim::BusOptions opts;
    opts.timing = timing;
    sim::reset_bus({spec}, opts);
    FT_SetVIDPID(0x0403, 0x7F80);
    FT_HANDLE h = nullptr;
    if (FT_Open(0, &h) != FT_OK)
        return nullptr;
    FT_SetBaudRate(h, 230400);
    FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    FT_SetLatencyTimer(h, 10);
    return h;
}

// Receive throughput: the far side streams a counting pattern; the caller
// reads it in 64 KiB pieces and checks that nothing is lost or reordered.
void BM_ReceiveThroughput(benchmark::State &state)
{
    FT_HANDLE h = openFirst(static_cast<uint16_t>(state.range(0)), sim::Timing::fast);
    if (!h) {
        state.SkipWithError("open failed");
        return;
    }
    FT_SetTimeouts(h, 1000, 0);
    FT_SetUSBParameters(h, 65536, 4096);
    std::vector<uint8_t> buf(65536);
    sim::set_stream_source(0, 0, true);
    uint64_t bytes = 0;
    bool started = false;
    uint8_t expect = 0;
    bool inOrder = true;
    const double cpu0 = processCpuSeconds();
    const double drv0 = driverCpuSeconds();
    for (auto _ : state) {
        DWORD got = 0;
        if (FT_Read(h, buf.data(), static_cast<DWORD>(buf.size()), &got) != FT_OK) {
            state.SkipWithError("read failed");
            break;
        }
        for (DWORD i = 0; i < got; ++i) {
            if (started && buf[i] != expect)
                inOrder = false;
            started = true;
            expect = static_cast<uint8_t>(buf[i] + 1);
        }
        bytes += got;
    }
    sim::set_stream_source(0, 0, false);
    state.counters["chip_lost"] = static_cast<double>(sim::channel_state(0).rx_lost);
    const double mb = bytes / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    if (mb > 0) {
        state.counters["cpu_s_per_MB"] = (processCpuSeconds() - cpu0) / mb;
        state.counters["driver_cpu_s_per_MB"] = (driverCpuSeconds() - drv0) / mb;
    }
    state.counters["in_order"] = inOrder ? 1 : 0;
    FT_Close(h);
}
BENCHMARK(BM_ReceiveThroughput)->Arg(0x0900)->Arg(0x0600)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// From the completion of a bulk-in transfer carrying data (the bus clock at
// completion, from the request log) to the caller's event being signalled.
void BM_CompletionToEvent(benchmark::State &state)
{
    FT_HANDLE h = openFirst(0x0900, sim::Timing::fast);
    if (!h) {
        state.SkipWithError("open failed");
        return;
    }
    EVENT_HANDLE ev;
    pthread_mutex_init(&ev.eMutex, nullptr);
    pthread_cond_init(&ev.eCondVar, nullptr);
    FT_SetEventNotification(h, FT_EVENT_RXCHAR, &ev);
    std::vector<double> samples;
    uint8_t b[8];
    for (auto _ : state) {
        sim::clear_request_log();
        pthread_mutex_lock(&ev.eMutex);
        sim::wire_send(0, 0, {0x55});
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        ts.tv_sec += 2;
        int rc = pthread_cond_timedwait(&ev.eCondVar, &ev.eMutex, &ts);
        const uint64_t signalled = sim::now_us();
        pthread_mutex_unlock(&ev.eMutex);
        if (rc != 0) {
            state.SkipWithError("no event");
            break;
        }
        uint64_t completed = 0;
        for (const auto &e : sim::bulk_log(0))
            if (e.async && (e.endpoint & 0x80) && e.data.size() > 2)
                completed = e.time_us;
        if (completed && signalled >= completed)
            samples.push_back(double(signalled - completed));
        DWORD got = 0;
        FT_Read(h, b, 1, &got);
    }
    if (!samples.empty()) {
        std::sort(samples.begin(), samples.end());
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[samples.size() * 99 / 100];
    }
    FT_Close(h);
    pthread_cond_destroy(&ev.eCondVar);
    pthread_mutex_destroy(&ev.eMutex);
}
BENCHMARK(BM_CompletionToEvent)->Iterations(300)->Unit(benchmark::kMicrosecond);

// Share of one CPU that an open handle on a quiet line costs (latency 10 ms:
// one status-only transfer every 10 ms). `driver` counts only the driver's
// threads; `process` adds the bus model's clock.
void BM_IdleCpuShare(benchmark::State &state)
{
    FT_HANDLE h = openFirst(0x0600, sim::Timing::fast);
    if (!h) {
        state.SkipWithError("open failed");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double cpu0 = processCpuSeconds(), drv0 = driverCpuSeconds();
    const auto t0 = Clock::now();
    for (auto _ : state)
        std::this_thread::sleep_for(std::chrono::seconds(1));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    state.counters["driver_share_pct"] = 100 * (driverCpuSeconds() - drv0) / wall;
    state.counters["process_share_pct"] = 100 * (processCpuSeconds() - cpu0) / wall;
    FT_Close(h);
}
BENCHMARK(BM_IdleCpuShare)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
