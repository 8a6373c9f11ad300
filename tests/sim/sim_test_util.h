// Helpers shared by the bus tests: open a simulated device through the
// libusb API alone and run asynchronous bulk IN transfers. Frames are built
// and read with the tests' own codec (frame_codec.h), so the box's answers
// are checked independently of the console's code.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "frame_codec.h"
#include "usb/simbus.h"

namespace simtest {

using testframe::encode;
using testframe::decode;

// An opened and claimed simulated device.
struct Dev {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;
    int iface = 0;

    explicit Dev(int index = 0, int interface = 0) : iface(interface)
    {
        EXPECT_EQ(libusb_init(&ctx), 0);
        libusb_device **list;
        ssize_t n = libusb_get_device_list(ctx, &list);
        EXPECT_GT(n, index);
        if (n > index) {
            EXPECT_EQ(libusb_open(list[index], &h), 0);
            if (h) {
                EXPECT_EQ(libusb_claim_interface(h, iface), 0);
            }
        }
        libusb_free_device_list(list, 1);
    }
    ~Dev()
    {
        if (h) {
            libusb_release_interface(h, iface);
            libusb_close(h);
        }
        libusb_exit(ctx);
    }
    int out(uint8_t req, uint16_t val, uint16_t idx = 0)
    {
        return libusb_control_transfer(h, 0x40, req, val, idx, nullptr, 0, 1000);
    }
    // The console's line set-up: 230400 8N1, no flow control, event char 0x7E.
    void setup_line(uint8_t latency = 10)
    {
        ASSERT_EQ(out(0, 0), 0);          // reset
        ASSERT_EQ(out(3, 0x000D, 0), 0);  // 230400
        ASSERT_EQ(out(4, 0x0008), 0);     // 8N1
        ASSERT_EQ(out(2, 0, 0), 0);       // no flow control
        ASSERT_EQ(out(6, 0x017E), 0);     // event char 0x7E on
        ASSERT_EQ(out(9, latency), 0);    // latency timer
        ASSERT_EQ(out(0, 1), 0);          // purge rx
        ASSERT_EQ(out(0, 2), 0);          // purge tx
    }
};

// Asynchronous bulk IN transfers kept in flight; collects every packet.
struct Reader {
    struct Xfer {
        libusb_transfer *t = nullptr;
        std::vector<uint8_t> buf;
        Reader *r = nullptr;
    };
    Dev &dev;
    int packet;
    std::vector<Xfer> xfers;
    std::vector<std::vector<uint8_t>> transfers; // raw data of each completed transfer
    std::vector<int> statuses;
    std::vector<uint64_t> times;
    bool resubmit = true;
    int in_flight = 0;

    Reader(Dev &d, int n, int size, int packet_size = 64, uint8_t ep = 0x81) : dev(d), packet(packet_size), xfers(n)
    {
        for (auto &x : xfers) {
            x.r = this;
            x.buf.resize(size);
            x.t = libusb_alloc_transfer(0);
            libusb_fill_bulk_transfer(x.t, dev.h, ep, x.buf.data(), size, cb, &x, 5000);
            EXPECT_EQ(libusb_submit_transfer(x.t), 0);
            in_flight++;
        }
    }
    static void LIBUSB_CALL cb(libusb_transfer *t)
    {
        auto *x = static_cast<Xfer *>(t->user_data);
        Reader *r = x->r;
        r->in_flight--;
        r->statuses.push_back(t->status);
        r->times.push_back(sim::now_us());
        r->transfers.emplace_back(t->buffer, t->buffer + t->actual_length);
        if (r->resubmit && t->status == LIBUSB_TRANSFER_COMPLETED && libusb_submit_transfer(t) == 0)
            r->in_flight++;
    }
    void pump(int ms)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            timeval tv{0, 10000};
            libusb_handle_events_timeout(dev.ctx, &tv);
        }
    }
    // Handles events until cond holds; false when it still does not after
    // limit_ms (a limit only a fault reaches, not a slow machine).
    template <class Cond>
    bool pump_until(Cond cond, int limit_ms = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
        while (!cond()) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            timeval tv{0, 10000};
            libusb_handle_events_timeout(dev.ctx, &tv);
        }
        return true;
    }
    // Data bytes with the two status bytes of every packet stripped.
    std::vector<uint8_t> data() const
    {
        std::vector<uint8_t> out;
        for (auto &t : transfers)
            for (size_t p = 0; p < t.size(); p += packet)
                for (size_t i = p + 2; i < std::min(t.size(), p + packet); i++)
                    out.push_back(t[i]);
        return out;
    }
    void stop()
    {
        resubmit = false;
        for (auto &x : xfers)
            libusb_cancel_transfer(x.t);
        for (int i = 0; i < 100 && in_flight > 0; i++) {
            timeval tv{0, 10000};
            libusb_handle_events_timeout(dev.ctx, &tv);
        }
    }
    ~Reader()
    {
        stop();
        for (auto &x : xfers)
            libusb_free_transfer(x.t);
    }
};

} // namespace simtest
