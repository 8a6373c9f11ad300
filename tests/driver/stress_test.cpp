// Many threads on one converter at once, as an outside program might drive
// the driver: two readers (one waiting without limit, one with a time-out),
// one writer switching between both write paths, and threads changing line
// settings, asking the queue and status and listing the devices, with purges
// at the start of each cycle, through open/close cycles and unplugs. The loop-back plug sends
// every written byte back: what arrives must be exactly what was written,
// in order, and every thread must be out at the end of each cycle.
#include "usbserial-private.h"

#include "usb/simbus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

uint8_t pattern(size_t i) { return static_cast<uint8_t>(i * 13 + i / 256); }

struct Cycle {
    FT_HANDLE h;
    std::atomic<bool> writing{true}, running{true};
    std::atomic<size_t> written{0};
    std::mutex rxMutex; // the two readers take turns so their chunks keep their order
    std::vector<uint8_t> received;
    std::atomic<size_t> receivedCount{0};
    std::atomic<int> badStatus{0}, lateCalls{0};
};

// Written and not yet read. The writer counts its bytes after FT_Write
// returns, by when the loop-back may have delivered and a reader taken them.
size_t unread(const Cycle &c, size_t received)
{
    const size_t written = c.written;
    return written > received ? written - received : 0;
}

void readerThread(Cycle &c, ULONG timeoutMs, unsigned seed)
{
    std::mt19937 rnd(seed);
    uint8_t buf[64];
    while (c.running) {
        std::lock_guard lock(c.rxMutex);
        FT_SetTimeouts(c.h, timeoutMs, 1000); // the two readers take turns, each with its own
        // Never more than the writer has sent and nobody has taken yet, so
        // that once the writer stops everything it sent can be read.
        const size_t outstanding = unread(c, c.received.size());
        const DWORD want = static_cast<DWORD>(std::max<size_t>(1, std::min<size_t>(1 + rnd() % sizeof buf, outstanding)));
        DWORD got = 0;
        const auto t0 = Clock::now();
        FT_STATUS st = FT_Read(c.h, buf, want, &got);
        // A hang detector, not a speed check: far beyond any time-out here.
        if (timeoutMs && Clock::now() - t0 > std::chrono::milliseconds(timeoutMs) + 3s)
            ++c.lateCalls;
        c.received.insert(c.received.end(), buf, buf + got);
        c.receivedCount = c.received.size();
        if (st == FT_INVALID_HANDLE || st == FT_IO_ERROR)
            return;
        if (st != FT_OK)
            ++c.badStatus;
    }
}

void writerThread(Cycle &c, unsigned seed)
{
    std::mt19937 rnd(seed);
    std::vector<uint8_t> chunk;
    bool threaded = false;
    while (c.writing) {
        // The loop-back line is infinitely fast: keep no more unread than the
        // chip's 256-byte receive buffer holds, as a flow-controlled line
        // would, or a busy machine lets it overrun.
        const size_t n = 1 + rnd() % 120;
        while (c.writing && unread(c, c.receivedCount) + n > 256)
            std::this_thread::sleep_for(100us);
        chunk.resize(n);
        for (size_t i = 0; i < n; ++i)
            chunk[i] = pattern(c.written + i);
        // Both write paths; this thread is the only writer, so switching
        // between its own writes is safe.
        threaded = !threaded;
        Ext(c.h)->writeFunction = threaded ? FT_WriteMultiThread : FT_WriteSingleThread;
        DWORD w = 0;
        FT_STATUS st = FT_Write(c.h, chunk.data(), static_cast<DWORD>(n), &w);
        c.written += w;
        if (st == FT_INVALID_HANDLE || st == FT_IO_ERROR)
            return;
        if (st != FT_OK)
            ++c.badStatus;
    }
}

void controlThread(Cycle &c, unsigned seed)
{
    std::mt19937 rnd(seed);
    while (c.running) {
        FT_STATUS st = FT_OK;
        DWORD q = 0;
        ULONG m = 0;
        // (A transmit purge would drop bytes on their way by design; the
        // purges run at the start of each cycle instead.)
        switch (rnd() % 6) {
        case 0: st = FT_GetStatus(c.h, &q, &q, &q); break;
        case 1: st = FT_SetLatencyTimer(c.h, static_cast<UCHAR>(2 + rnd() % 14)); break;
        case 2: st = FT_SetBaudRate(c.h, 230400); break;
        case 3: st = FT_GetQueueStatus(c.h, &q); break;
        case 4: st = FT_GetModemStatus(c.h, &m); break;
        case 5: st = FT_SetChars(c.h, 0x7E, rnd() % 2, 0, 0); break;
        }
        if (st == FT_INVALID_HANDLE)
            return;
        if (st != FT_OK && st != FT_IO_ERROR)
            ++c.badStatus;
        std::this_thread::sleep_for(1ms);
    }
}

void listThread(Cycle &c)
{
    while (c.running) {
        DWORD n = 0;
        if (FT_CreateDeviceInfoList(&n) != FT_OK)
            ++c.badStatus;
        std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(n + 1);
        if (FT_GetDeviceInfoList(nodes.data(), &n) != FT_OK)
            ++c.badStatus;
        std::this_thread::sleep_for(5ms);
    }
}

TEST(DriverStress, ConcurrentCallsAcrossOpenCloseAndUnplug)
{
    ASSERT_EQ(FT_SetVIDPID(0x0403, 0x7F80), FT_OK);
    sim::DeviceSpec spec;
    spec.box = false;
    sim::reset_bus({spec});
    size_t total = 0;
    for (int cycle = 0; cycle < 6; ++cycle) {
        const bool unplug = cycle % 3 == 2;
        if (!sim::plugged(0))
            sim::replug(0);
        sim::set_loopback(0, 0, true);
        Cycle c;
        const uint64_t lostBefore = sim::channel_state(0).rx_lost;
        ASSERT_EQ(FT_Open(0, &c.h), FT_OK) << cycle;
        ASSERT_EQ(FT_SetBaudRate(c.h, 230400), FT_OK);
        ASSERT_EQ(FT_SetDataCharacteristics(c.h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE), FT_OK);
        ASSERT_EQ(FT_SetTimeouts(c.h, 0, 1000), FT_OK);
        std::vector<std::thread> threads;
        threads.emplace_back(readerThread, std::ref(c), 0, cycle * 10 + 1);
        threads.emplace_back(readerThread, std::ref(c), 5, cycle * 10 + 2);
        threads.emplace_back(controlThread, std::ref(c), cycle * 10 + 4);
        threads.emplace_back(listThread, std::ref(c));
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(FT_Purge(c.h, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
        std::thread writer(writerThread, std::ref(c), cycle * 10 + 3);
        std::this_thread::sleep_for(400ms);
        if (unplug) {
            sim::unplug(0);
            c.writing = false;
            writer.join();
        } else {
            c.writing = false;
            writer.join(); // it switches the write path of the handle: done before the close
            // Every byte written comes back before the close.
            const auto end = Clock::now() + 10s;
            while (c.receivedCount < c.written && Clock::now() < end)
                std::this_thread::sleep_for(1ms);
            DWORD q = 0;
            FT_GetQueueStatusEx(c.h, &q);
            EXPECT_EQ(c.receivedCount.load(), c.written.load())
                << "bytes lost in cycle " << cycle << "; queued " << q << ", in the chip "
                << sim::channel_state(0).rx_fifo;
            // Not by the chip either (its receive buffer never overran).
            EXPECT_EQ(sim::channel_state(0).rx_lost, lostBefore) << cycle;
        }
        c.running = false;
        EXPECT_EQ(FT_Close(c.h), FT_OK);
        for (auto &t : threads)
            t.join(); // every thread out: a hang here fails the test by its time limit
        EXPECT_EQ(c.badStatus.load(), 0) << cycle;
        EXPECT_EQ(c.lateCalls.load(), 0) << cycle;
        // Whatever arrived is exactly the start of what was written.
        ASSERT_LE(c.received.size(), c.written.load()) << "duplicated bytes in cycle " << cycle;
        for (size_t i = 0; i < c.received.size(); ++i)
            ASSERT_EQ(c.received[i], pattern(i)) << "cycle " << cycle << " byte " << i;
        EXPECT_GT(c.received.size(), 0u) << cycle;
        total += c.received.size();
    }
    RecordProperty("bytes_looped", std::to_string(total));
    sim::reset_bus({});
}

} // namespace
