// The driver used as an outside program would use it: all of its calls, from
// several threads, with closes, unplugs and stalls in between. Each case
// here once broke: a read that copied past the caller's buffer, a close that
// freed what a waiting reader or a running call still used, a completion
// that signalled a freed slot, an unplug unseen behind a full ring, a stalled
// bulk OUT that never recovered, a full-length serial number cut short, a
// CRLF configuration file half applied, an exit that waited for a poll.
#include "usbserial-private.h"

#include "usb/simbus.h"
#include "wait_for.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <vector>

extern std::atomic<void (*)()> gSlotCompletionTestHook;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A close that never returns would hang the whole suite; fail loudly instead.
void closeWithin(FT_HANDLE h, std::chrono::seconds limit, const char *what)
{
    auto done = std::async(std::launch::async, [h] { return FT_Close(h); });
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "FT_Close hung: %s\n", what);
        std::fflush(stderr);
        _exit(1);
    }
    EXPECT_EQ(done.get(), FT_OK) << what;
}

class HardeningTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(FT_SetVIDPID(0x0403, 0x7F80), FT_OK); }

    void plug(const std::string &serial = "CV000001")
    {
        sim::DeviceSpec s;
        s.serial = serial;
        s.box = false;
        sim::reset_bus({s});
    }

    FT_HANDLE openLine()
    {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(FT_Open(0, &h), FT_OK);
        if (h) {
            EXPECT_EQ(FT_SetBaudRate(h, 230400), FT_OK);
            EXPECT_EQ(FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE), FT_OK);
        }
        return h;
    }

    void TearDown() override
    {
        gSlotCompletionTestHook = nullptr;
        // Whatever a failed case left open.
        while (DeviceExtension *d = FindDevice(0))
            FT_Close(d);
        sim::reset_bus({});
    }
};

// A read whose time-out expires while more than it asked for has arrived
// hands out what was asked for, never more.
TEST_F(HardeningTest, TimedOutReadNeverCopiesMoreThanAsked)
{
    plug();
    FT_HANDLE h = openLine();
    ASSERT_NE(h, nullptr);
    DeviceExtension *d = Ext(h);
    ASSERT_EQ(FT_SetTimeouts(h, 40, 0), FT_OK);
    constexpr size_t kAsked = 16, kGuard = 2048;
    std::vector<uint8_t> buf(kAsked + kGuard, 0xEE);
    DWORD got = 0;
    FT_STATUS st = FT_OTHER_ERROR;
    std::atomic<bool> entered{false};
    std::thread reader([&] {
        entered = true;
        st = FT_Read(h, buf.data(), kAsked, &got);
    });
    ASSERT_TRUE(waitFor([&] { return entered.load(); }, 3000ms));
    {
        // Keep it from waking until its time-out has passed, then have
        // 1000 bytes queued when it does. A reader already waiting took its
        // deadline before this lock, so twice the time-out from here is past
        // it however late the lock comes; a reader not yet waiting finds the
        // bytes at once, and must take only what it asked for all the same.
        std::lock_guard lock(d->rxMutex);
        const auto past_deadline = Clock::now() + 80ms;
        while (Clock::now() < past_deadline)
            std::this_thread::sleep_for(5ms);
        for (int i = 0; i < 1000; ++i)
            d->ring[(d->ringWrite + i) % d->ringSize] = static_cast<uint8_t>(i);
        d->ringWrite = (d->ringWrite + 1000) % d->ringSize;
        d->ringFree -= 1000;
    }
    reader.join();
    EXPECT_EQ(st, FT_OK);
    EXPECT_EQ(got, kAsked);
    for (size_t i = kAsked; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], 0xEE) << "written past the buffer at " << i;
    DWORD left = 0;
    ASSERT_EQ(FT_GetQueueStatusEx(h, &left), FT_OK);
    EXPECT_EQ(left, 1000 - kAsked);
}

// Readers waiting in FT_Read, with and without a time-out, are woken by a
// close on another thread and get an error; nothing is freed under them.
TEST_F(HardeningTest, CloseWakesWaitingReaders)
{
    plug();
    for (ULONG timeout : {0u, 300u}) {
        FT_HANDLE h = openLine();
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(FT_SetTimeouts(h, timeout, 0), FT_OK);
        std::vector<std::thread> readers;
        std::atomic<int> bad{0};
        for (int i = 0; i < 3; ++i)
            readers.emplace_back([&] {
                uint8_t buf[64];
                DWORD got = 0;
                FT_STATUS st = FT_Read(h, buf, sizeof buf, &got);
                if (st != FT_IO_ERROR && st != FT_INVALID_HANDLE && st != FT_OK)
                    ++bad;
            });
        std::this_thread::sleep_for(30ms);
        closeWithin(h, 10s, timeout ? "readers with a time-out" : "readers without a time-out");
        for (auto &t : readers)
            t.join();
        EXPECT_EQ(bad.load(), 0);
    }
}

// A completion that is slow between publishing its result and signalling
// its slot must not find the slot freed by a close in between.
TEST_F(HardeningTest, CompletionRacingCloseTouchesNoFreedSlot)
{
    plug();
    gSlotCompletionTestHook = [] { std::this_thread::sleep_for(30ms); };
    for (int round = 0; round < 3; ++round) {
        FT_HANDLE h = openLine();
        ASSERT_NE(h, nullptr);
        std::this_thread::sleep_for(20ms);
        closeWithin(h, 10s, "completion racing close");
    }
    gSlotCompletionTestHook = nullptr;
    // The event thread is still healthy: a new handle receives.
    FT_HANDLE h = openLine();
    ASSERT_NE(h, nullptr);
    sim::wire_send(0, 0, {1, 2, 3});
    EXPECT_TRUE(waitFor([&] {
        DWORD n = 0;
        return FT_GetQueueStatus(h, &n) == FT_OK && n == 3;
    }));
    FT_Close(h);
}

// Every call racing FT_Close of its handle ends cleanly or with
// FT_INVALID_HANDLE / FT_IO_ERROR, never in freed memory.
TEST_F(HardeningTest, CallsRacingCloseEndCleanly)
{
    plug();
    for (int round = 0; round < 12; ++round) {
        FT_HANDLE h = openLine();
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(FT_SetTimeouts(h, 20, 200), FT_OK);
        std::atomic<bool> go{true};
        std::atomic<int> bad{0};
        auto check = [&](FT_STATUS st) {
            if (st != FT_OK && st != FT_INVALID_HANDLE && st != FT_IO_ERROR)
                ++bad;
            return st != FT_INVALID_HANDLE;
        };
        std::vector<std::thread> callers;
        callers.emplace_back([&] {
            while (go && check(FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX))) {
            }
        });
        callers.emplace_back([&] {
            char serial[32], desc[80];
            DWORD type, id;
            while (go && check(FT_GetDeviceInfo(h, &type, &id, serial, desc, nullptr))) {
            }
        });
        callers.emplace_back([&] {
            uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
            DWORD n;
            while (go && check(FT_Write(h, b, sizeof b, &n)) && check(FT_Read(h, b, sizeof b, &n))) {
            }
        });
        callers.emplace_back([&] {
            DWORD q;
            ULONG m;
            while (go && check(FT_GetQueueStatus(h, &q)) && check(FT_GetModemStatus(h, &m)) &&
                   check(FT_SetBaudRate(h, 230400))) {
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2 + round));
        closeWithin(h, 10s, "calls racing close");
        go = false;
        for (auto &t : callers)
            t.join();
        EXPECT_EQ(bad.load(), 0) << "round " << round;
    }
}

// With the ring full, a change of the modem lines and an unplug still show.
TEST_F(HardeningTest, StatusAndUnplugSeenWhileTheRingIsFull)
{
    plug();
    FT_HANDLE h = openLine();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_SetTimeouts(h, 0, 2000), FT_OK);
    ASSERT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
    sim::set_loopback(0, 0, true);
    ASSERT_EQ(FT_ClrRts(h), FT_OK);
    std::vector<uint8_t> chunk(4096, 0x55);
    const DWORD full = static_cast<DWORD>(kRingSize) - 62;
    DWORD q = 0;
    for (int i = 0; i < 200 && q < full; ++i) {
        DWORD w = 0;
        ASSERT_EQ(FT_Write(h, chunk.data(), static_cast<DWORD>(chunk.size()), &w), FT_OK);
        waitFor([&] { return FT_GetQueueStatusEx(h, &q) == FT_OK && q >= full; }, 20ms);
    }
    ASSERT_GE(q, full) << "the ring did not fill";
    // The loop-back plug ties RTS to CTS.
    ASSERT_EQ(FT_SetRts(h), FT_OK);
    EXPECT_TRUE(waitFor([&] {
        ULONG m = 0;
        return FT_GetModemStatus(h, &m) == FT_OK && (m & 0x10);
    })) << "modem status stale behind a full ring";
    sim::unplug(0);
    EXPECT_TRUE(waitFor([&] { return FT_GetQueueStatus(h, &q) == FT_IO_ERROR; }))
        << "unplug unseen behind a full ring";
    uint8_t b;
    DWORD got;
    EXPECT_EQ(FT_Read(h, &b, 1, &got), FT_IO_ERROR);
    closeWithin(h, 10s, "after unplug with a full ring");
}

// A stall on bulk OUT fails the write it hit; the halt is cleared and the
// next write goes through.
TEST_F(HardeningTest, StalledBulkOutIsClearedAndWritingGoesOn)
{
    plug();
    for (bool threaded : {false, true}) {
        FT_HANDLE h = openLine();
        ASSERT_NE(h, nullptr);
        if (threaded)
            Ext(h)->writeFunction = FT_WriteMultiThread;
        ASSERT_EQ(FT_SetTimeouts(h, 0, 2000), FT_OK);
        sim::wire_received(0, 0);
        sim::stall_bulk(0, Ext(h)->usbctx.bulkOut);
        uint8_t first[3] = {1, 2, 3};
        DWORD w = 0;
        EXPECT_EQ(FT_Write(h, first, 3, &w), FT_IO_ERROR);
        for (uint8_t i = 0; i < 3; ++i) {
            uint8_t b[2] = {0x40, i};
            ASSERT_EQ(FT_Write(h, b, 2, &w), FT_OK) << int(i);
            EXPECT_EQ(w, 2u);
        }
        std::vector<uint8_t> line;
        waitFor([&] {
            auto more = sim::wire_received(0, 0);
            line.insert(line.end(), more.begin(), more.end());
            return line.size() >= 6;
        });
        EXPECT_EQ(line, (std::vector<uint8_t>{0x40, 0, 0x40, 1, 0x40, 2}));
        FT_Close(h);
    }
}

// A serial number of the full 16 characters is listed whole and opens.
TEST_F(HardeningTest, FullLengthSerialNumberIsListedWhole)
{
    plug("ABCDEFGHIJKLMNOP");
    DWORD n = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    ASSERT_EQ(n, 1u);
    FT_DEVICE_LIST_INFO_NODE node{};
    ASSERT_EQ(FT_GetDeviceInfoList(&node, &n), FT_OK);
    EXPECT_EQ(std::string(node.SerialNumber, strnlen(node.SerialNumber, sizeof node.SerialNumber)),
              "ABCDEFGHIJKLMNOP");
    char name[64];
    ASSERT_EQ(FT_ListDevices(reinterpret_cast<PVOID>(0), name, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_STREQ(name, "ABCDEFGHIJKLMNOP");
    FT_HANDLE h = nullptr;
    ASSERT_EQ(FT_OpenEx(const_cast<char *>("ABCDEFGHIJKLMNOP"), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
    char serial[32] = {};
    ASSERT_EQ(FT_GetDeviceInfo(h, nullptr, nullptr, serial, nullptr, nullptr), FT_OK);
    EXPECT_STREQ(serial, "ABCDEFGHIJKLMNOP");
    FT_Close(h);
}

// Leaving the library wakes the USB event thread at once instead of
// letting it finish its poll.
TEST_F(HardeningTest, StoppingTheLibraryWakesTheEventThread)
{
    const uint64_t before = sim::event_interrupts();
    ShutdownDriver();
    EXPECT_GT(sim::event_interrupts(), before);
    {
        std::lock_guard lock(*LibMutex());
        ASSERT_TRUE(constructDriver());
    }
    plug();
    FT_HANDLE h = openLine();
    ASSERT_NE(h, nullptr);
    FT_Close(h);
}

} // namespace

namespace {

// Listing the converters and opening one reads each string once and sends
// the reset and purges once: the listing opens nothing.
TEST_F(HardeningTest, ListThenOpenDoesTheWorkOnce)
{
    plug();
    sim::clear_request_log();
    DWORD n = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    ASSERT_EQ(n, 1u);
    FT_HANDLE h = nullptr;
    ASSERT_EQ(FT_Open(0, &h), FT_OK);
    std::vector<uint16_t> strings;
    int resets = 0, purges = 0;
    for (const auto &e : sim::request_log()) {
        if (e.kind != sim::LogEntry::control)
            continue;
        if (e.request_type == 0x80 && e.request == LIBUSB_REQUEST_GET_DESCRIPTOR && (e.value >> 8) == LIBUSB_DT_STRING &&
            (e.value & 0xFF) != 0)
            strings.push_back(e.value & 0xFF);
        if (e.request_type == 0x40 && e.request == 0)
            (e.value == 0 ? resets : purges)++;
    }
    EXPECT_EQ(strings.size(), 2u) << "each string once";
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(purges, 7); // six receive purges and one transmit purge
    FT_DEVICE_LIST_INFO_NODE node{};
    ASSERT_EQ(FT_GetDeviceInfoList(&node, &n), FT_OK);
    EXPECT_STREQ(node.SerialNumber, Ext(h)->info.SerialNumber);
    EXPECT_STREQ(node.Description, Ext(h)->info.Description);
    EXPECT_EQ(node.LocId, Ext(h)->info.LocId);
    FT_Close(h);
}

} // namespace
