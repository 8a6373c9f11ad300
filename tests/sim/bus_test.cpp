// The simulated bus seen through the libusb API alone: enumeration,
// descriptors, claiming, vendor requests, the box's answer to a request, and
// the faults a test can inject.
#include "sim_test_util.h"

#include <set>
#include <thread>

#include "box/box.h"

using namespace simtest;

namespace {

sim::DeviceSpec spec(uint16_t bcd, const std::string &serial, bool box)
{
    sim::DeviceSpec s;
    s.bcd_device = bcd;
    s.serial = serial;
    s.box = box;
    return s;
}

std::string ascii(libusb_device_handle *h, uint8_t index)
{
    unsigned char buf[64];
    int n = libusb_get_string_descriptor_ascii(h, index, buf, sizeof buf);
    return n < 0 ? "<" + std::to_string(n) + ">" : std::string(reinterpret_cast<char *>(buf), n);
}

} // namespace

TEST(SimBus, EnumeratesDevicesWithTheirDescriptors)
{
    sim::reset_bus({spec(0x0600, "CV000001", true), spec(0x0500, "DUAL1", false), spec(0x0700, "", false)});
    libusb_context *ctx;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device **list;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 3);
    EXPECT_EQ(list[3], nullptr);

    struct Want {
        uint16_t pid, bcd;
        int ifaces, packet;
        uint8_t iserial;
    } want[] = {{0x7F80, 0x0600, 1, 64, 3}, {0x6010, 0x0500, 2, 64, 3}, {0x6010, 0x0700, 2, 512, 0}};
    std::set<uint8_t> addresses;
    for (int i = 0; i < 3; i++) {
        libusb_device_descriptor d;
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
        EXPECT_EQ(d.idVendor, 0x0403);
        EXPECT_EQ(d.idProduct, want[i].pid);
        EXPECT_EQ(d.bcdDevice, want[i].bcd);
        EXPECT_EQ(d.iSerialNumber, want[i].iserial);
        libusb_config_descriptor *c;
        ASSERT_EQ(libusb_get_config_descriptor(list[i], 0, &c), 0);
        ASSERT_EQ(c->bNumInterfaces, want[i].ifaces);
        for (int k = 0; k < want[i].ifaces; k++) {
            const libusb_interface_descriptor &a = c->interface[k].altsetting[0];
            EXPECT_EQ(a.bInterfaceNumber, k);
            ASSERT_EQ(a.bNumEndpoints, 2);
            EXPECT_EQ(a.endpoint[0].bEndpointAddress, 0x81 + 2 * k);
            EXPECT_EQ(a.endpoint[1].bEndpointAddress, 0x02 + 2 * k);
            EXPECT_EQ(a.endpoint[0].wMaxPacketSize, want[i].packet);
            EXPECT_EQ(a.endpoint[0].bmAttributes, LIBUSB_TRANSFER_TYPE_BULK);
        }
        libusb_free_config_descriptor(c);
        EXPECT_EQ(libusb_get_config_descriptor(list[i], 1, &c), LIBUSB_ERROR_NOT_FOUND);
        EXPECT_EQ(libusb_get_bus_number(list[i]), 1);
        addresses.insert(libusb_get_device_address(list[i]));
        uint8_t ports[7];
        EXPECT_EQ(libusb_get_port_numbers(list[i], ports, 7), 1);
        EXPECT_EQ(ports[0], libusb_get_port_number(list[i]));
    }
    EXPECT_EQ(addresses.size(), 3u);

    libusb_device_handle *h;
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    EXPECT_EQ(libusb_get_device(h), list[0]);
    EXPECT_EQ(ascii(h, 3), "CV000001");
    EXPECT_EQ(ascii(h, 2), "Corvane");
    EXPECT_EQ(ascii(h, 9), "<" + std::to_string(LIBUSB_ERROR_PIPE) + ">");
    // A short buffer cuts the string and still terminates it.
    unsigned char small[4];
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 3, small, sizeof small), 3);
    EXPECT_STREQ(reinterpret_cast<char *>(small), "CV0");
    libusb_close(h);
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
}

TEST(SimBus, ClaimingRefusesABusyInterface)
{
    sim::reset_bus({spec(0x0500, "DUAL1", false)});
    Dev a(0, 0);
    libusb_device_handle *other;
    ASSERT_EQ(libusb_open(libusb_get_device(a.h), &other), 0);
    EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(other, 1), 0);
    EXPECT_EQ(libusb_claim_interface(other, 2), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_release_interface(other, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_release_interface(other, 1), 0);

    sim::set_kernel_driver(0, 1, true);
    EXPECT_EQ(libusb_kernel_driver_active(other, 1), 1);
    EXPECT_EQ(libusb_kernel_driver_active(other, 0), 0);
    EXPECT_EQ(libusb_claim_interface(other, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_detach_kernel_driver(other, 1), 0);
    EXPECT_EQ(libusb_kernel_driver_active(other, 1), 0);
    EXPECT_EQ(libusb_claim_interface(other, 1), 0);
    libusb_close(other); // releases interface 1
    libusb_device_handle *third;
    ASSERT_EQ(libusb_open(libusb_get_device(a.h), &third), 0);
    EXPECT_EQ(libusb_claim_interface(third, 1), 0);
    libusb_close(third);
}

TEST(SimBus, VendorRequestsAreDecodedAndLogged)
{
    sim::reset_bus({spec(0x0600, "CV000001", false)});
    Dev d;
    sim::clear_request_log();
    d.setup_line(10);
    sim::ChannelState s = sim::channel_state(0);
    EXPECT_NEAR(s.baud, 230769.2, 0.5);
    EXPECT_EQ(s.word_length, 8);
    EXPECT_TRUE(s.event_char_on);
    EXPECT_EQ(s.event_char, 0x7E);
    EXPECT_EQ(s.latency_ms, 10);
    EXPECT_TRUE(s.line_ok);

    auto log = sim::vendor_requests(0);
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[1].request_type, 0x40);
    EXPECT_EQ(log[1].request, 3);
    EXPECT_EQ(log[1].value, 0x000D);
    EXPECT_EQ(log[1].index, 0);
    EXPECT_EQ(log[2].value, 0x0008);
    EXPECT_EQ(log[4].value, 0x017E);

    uint8_t b[2] = {0, 0};
    EXPECT_EQ(libusb_control_transfer(d.h, 0xC0, 10, 0, 0, b, 1, 1000), 1); // latency read back
    EXPECT_EQ(b[0], 10);
    EXPECT_EQ(libusb_control_transfer(d.h, 0xC0, 5, 0, 0, b, 2, 1000), 2); // modem status
    EXPECT_EQ(b[0] & 0x0F, 0x01);
    // Unknown requests, and known ones in the wrong direction, stall.
    EXPECT_EQ(libusb_control_transfer(d.h, 0xC0, 0x90, 0, 0, b, 2, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(d.h, 0x40, 10, 0, 0, nullptr, 0, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(d.out(0, 7), LIBUSB_ERROR_PIPE); // no such reset sub-command

    // Wrong rate, and two stop bits, make the line unusable for the box.
    EXPECT_EQ(d.out(3, 0x4138), 0);
    EXPECT_NEAR(sim::channel_state(0).baud, 9600, 1);
    EXPECT_FALSE(sim::channel_state(0).line_ok);
    EXPECT_EQ(d.out(3, 0x000D), 0);
    EXPECT_EQ(d.out(4, 0x1008), 0);
    EXPECT_FALSE(sim::channel_state(0).line_ok);
}

TEST(SimBus, CbusPinsDriveTheBoxReset)
{
    sim::reset_bus({spec(0x0600, "CV000001", true)});
    Dev d;
    uint8_t v = 0;
    // Bit mode off: all four pins are outputs at their idle level (high).
    ASSERT_EQ(libusb_control_transfer(d.h, 0xC0, 12, 0, 0, &v, 1, 1000), 1);
    EXPECT_EQ(v, 0xFF);
    bool running = false;
    ASSERT_TRUE(sim::with_box(0, [&](sim::Box &b) { running = b.running(); }));
    EXPECT_TRUE(running);

    // CBUS0 low (all outputs, levels 1110): the box is held in reset.
    EXPECT_EQ(d.out(11, 0x20FE), 0);
    ASSERT_EQ(libusb_control_transfer(d.h, 0xC0, 12, 0, 0, &v, 1, 1000), 1);
    EXPECT_EQ(v, 0xFE);
    sim::with_box(0, [&](sim::Box &b) { running = b.running(); });
    EXPECT_FALSE(running);
    // CBUS0 as an input floats high through its pull-up: the box runs again.
    EXPECT_EQ(d.out(11, 0x20E0), 0);
    ASSERT_EQ(libusb_control_transfer(d.h, 0xC0, 12, 0, 0, &v, 1, 1000), 1);
    EXPECT_EQ(v, 0xE1);
    sim::with_box(0, [&](sim::Box &b) { running = b.running(); });
    EXPECT_TRUE(running);
    EXPECT_EQ(d.out(11, 0x0000), 0);
    ASSERT_EQ(libusb_control_transfer(d.h, 0xC0, 12, 0, 0, &v, 1, 1000), 1);
    EXPECT_EQ(v, 0xFF);
}

TEST(SimBus, BoxAnswersTheVersionRequest)
{
    sim::reset_bus({spec(0x0600, "CV000001", true)});
    Dev d;
    d.setup_line(10);
    Reader r(d, 4, 4096);
    std::vector<uint8_t> req = encode({0x60, 0x80});
    ASSERT_EQ(req, (std::vector<uint8_t>{0x7E, 0x60, 0x80, 0x1A, 0xEE, 0x7E}));
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(d.h, 0x02, req.data(), static_cast<int>(req.size()), &n, 1000), 0);
    EXPECT_EQ(n, 6);
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 100 && frames.empty(); i++) {
        r.pump(10);
        for (auto &f : decode(r.data()))
            if (f.size() >= 2 && f[0] == 0x6F && f[1] == 0x80)
                frames.push_back(f);
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 6u); // header and the four version bytes
    // Every transfer is made of packets that start with the two status bytes.
    for (auto &t : r.transfers) {
        ASSERT_GE(t.size(), 2u);
        EXPECT_EQ(t[0] & 0xF0, 0x30);
    }
}

TEST(SimBus, UnplugEndsPendingTransfersAndCalls)
{
    sim::reset_bus({spec(0x0600, "CV000001", false)});
    Dev d;
    d.setup_line(200);
    Reader r(d, 2, 4096);
    r.pump(20); // the first status packet goes at once, then the latency runs
    size_t before = r.statuses.size();
    sim::unplug(0);
    ASSERT_TRUE(r.pump_until([&] { return r.in_flight == 0; }));
    ASSERT_GE(r.statuses.size(), before + 2);
    EXPECT_EQ(r.statuses.back(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(r.statuses[r.statuses.size() - 2], LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(r.in_flight, 0);

    uint8_t b[2];
    EXPECT_EQ(libusb_control_transfer(d.h, 0xC0, 5, 0, 0, b, 2, 100), LIBUSB_ERROR_NO_DEVICE);
    int n = 7;
    EXPECT_EQ(libusb_bulk_transfer(d.h, 0x02, b, 1, &n, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(libusb_submit_transfer(r.xfers[0].t), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(d.h, 0), LIBUSB_ERROR_NO_DEVICE);
    libusb_device **list;
    EXPECT_EQ(libusb_get_device_list(d.ctx, &list), 0);
    libusb_free_device_list(list, 1);

    uint8_t old_addr = libusb_get_device_address(libusb_get_device(d.h));
    sim::replug(0);
    ASSERT_EQ(libusb_get_device_list(d.ctx, &list), 1);
    EXPECT_NE(libusb_get_device_address(list[0]), old_addr);
    libusb_device_handle *h2;
    EXPECT_EQ(libusb_open(list[0], &h2), 0);
    EXPECT_EQ(libusb_claim_interface(h2, 0), 0);
    // The chip came back with its power-on settings.
    EXPECT_NEAR(sim::channel_state(0).baud, 9600, 1);
    libusb_close(h2);
    libusb_free_device_list(list, 1);
}

TEST(SimBus, InjectedFaults)
{
    sim::reset_bus({spec(0x0600, "CV000001", false)});
    Dev d;
    d.setup_line(10);

    sim::stall_next_control(0);
    EXPECT_EQ(d.out(9, 10), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(d.out(9, 10), 0); // only the next one

    sim::fail_next_submit(0, LIBUSB_ERROR_IO);
    libusb_transfer *t = libusb_alloc_transfer(0);
    std::vector<uint8_t> buf(64);
    libusb_fill_bulk_transfer(t, d.h, 0x81, buf.data(), 64, nullptr, nullptr, 1000);
    EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_IO);
    libusb_free_transfer(t);

    // A halted endpoint stalls until the host clears it.
    sim::stall_bulk(0, 0x81);
    int n = -1;
    EXPECT_EQ(libusb_bulk_transfer(d.h, 0x81, buf.data(), 64, &n, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(d.h, 0x81, buf.data(), 64, &n, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(d.h, 0x81), 0);
    EXPECT_EQ(libusb_bulk_transfer(d.h, 0x81, buf.data(), 64, &n, 100), 0);
    EXPECT_EQ(n, 2);

    // Bulk OUT that accepts nothing: the write times out having moved nothing.
    sim::bulk_out_accepts_nothing(0, true);
    auto t0 = std::chrono::steady_clock::now();
    uint8_t byte = 0x7E;
    EXPECT_EQ(libusb_bulk_transfer(d.h, 0x02, &byte, 1, &n, 50), LIBUSB_ERROR_TIMEOUT);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(n, 0);
    EXPECT_GE(ms, 49);
    EXPECT_LT(ms, 500);
    sim::bulk_out_accepts_nothing(0, false);
    EXPECT_EQ(libusb_bulk_transfer(d.h, 0x02, &byte, 1, &n, 50), 0);
    EXPECT_EQ(n, 1);

    sim::fail_next_open(0, LIBUSB_ERROR_ACCESS);
    libusb_device_handle *h2;
    EXPECT_EQ(libusb_open(libusb_get_device(d.h), &h2), LIBUSB_ERROR_ACCESS);

    // An endpoint of an interface this handle has not claimed is refused.
    EXPECT_EQ(libusb_bulk_transfer(d.h, 0x83, buf.data(), 64, &n, 100), LIBUSB_ERROR_NOT_FOUND);
}

TEST(SimBus, EventsBlockUntilDueAndCancelCompletes)
{
    sim::reset_bus({spec(0x0600, "CV000001", false)});
    Dev d;
    d.setup_line(255);
    // Nothing in flight: the call sleeps for its whole time-out.
    auto t0 = std::chrono::steady_clock::now();
    timeval tv{0, 80000};
    EXPECT_EQ(libusb_handle_events_timeout(d.ctx, &tv), 0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 79);

    Reader r(d, 1, 512);
    r.pump(20); // the 255 ms latency timer runs since power-on: nothing yet
    ASSERT_EQ(r.statuses.size(), 0u);
    // A completion wakes a handler that would otherwise sleep for a second.
    std::thread sender([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        sim::wire_send(0, 0, {0x41, 0x7E});
    });
    t0 = std::chrono::steady_clock::now();
    timeval one{1, 0};
    EXPECT_EQ(libusb_handle_events_timeout(d.ctx, &one), 0);
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    sender.join();
    EXPECT_LT(ms, 500);
    ASSERT_EQ(r.statuses.size(), 1u);
    EXPECT_EQ(r.transfers[0], (std::vector<uint8_t>{0x01, 0x60, 0x41, 0x7E}));

    r.resubmit = false;
    // Cancelling completes with CANCELLED on the next event handling;
    // cancelling again finds nothing.
    EXPECT_EQ(libusb_cancel_transfer(r.xfers[0].t), 0);
    EXPECT_EQ(libusb_cancel_transfer(r.xfers[0].t), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_TRUE(r.pump_until([&] { return r.in_flight == 0; }));
    EXPECT_EQ(r.statuses.back(), LIBUSB_TRANSFER_CANCELLED);
}

TEST(SimBus, DivisorsDecodeToTheChipsRates)
{
    EXPECT_NEAR(sim::divisor_to_baud(0x0600, 0x000D, 0), 230769.2, 0.5);
    EXPECT_NEAR(sim::divisor_to_baud(0x0600, 0x000C, 0), 250000, 0.5);
    EXPECT_NEAR(sim::divisor_to_baud(0x0600, 0x4001, 0), 2000000, 0.5); // 1 + 1/2
    EXPECT_NEAR(sim::divisor_to_baud(0x0600, 0xC04E, 0), 38400, 1);     // 78 + 1/8
    EXPECT_NEAR(sim::divisor_to_baud(0x0600, 0x0000, 0), 3000000, 0.5);
    EXPECT_NEAR(sim::divisor_to_baud(0x0600, 0x3FB0, 1), 184.0, 0.1);   // 16304 + 3/8
    EXPECT_NEAR(sim::divisor_to_baud(0x0600, 0x8003, 1), 800000, 0.5);  // 3 + 3/4
    EXPECT_NEAR(sim::divisor_to_baud(0x0700, 0x0000, 2), 12000000, 0.5);
    EXPECT_NEAR(sim::divisor_to_baud(0x0700, 0x0001, 2), 8000000, 0.5);
    EXPECT_NEAR(sim::divisor_to_baud(0x0700, 0x0002, 2), 6000000, 0.5);
    EXPECT_NEAR(sim::divisor_to_baud(0x0700, 0x000D, 0), 230769.2, 0.5); // 3 MHz path without bit 2
    EXPECT_NEAR(sim::divisor_to_baud(0x0600, 0x0000, 2), 3000000, 0.5);  // no 12 MHz clock here

    // On the shifted-index types the extension travels in wIndex' high byte
    // and the channel in its low byte.
    sim::reset_bus({spec(0x0700, "HS2", false)});
    Dev d(0, 1);
    EXPECT_EQ(d.out(3, 0x0000, 0x0202), 0);
    EXPECT_NEAR(sim::channel_state(0, 1).baud, 12000000, 0.5);
    EXPECT_NEAR(sim::channel_state(0, 0).baud, 9600, 1);
    EXPECT_EQ(d.out(3, 0x0000, 0x0203), LIBUSB_ERROR_PIPE); // no channel C
}

namespace {
struct CbResult {
    libusb_context *ctx = nullptr;
    int control = 1, events = 1, status = -1;
    bool called = false;
};
void LIBUSB_CALL nested_cb(libusb_transfer *t)
{
    auto *r = static_cast<CbResult *>(t->user_data);
    uint8_t b[2];
    r->control = libusb_control_transfer(t->dev_handle, 0xC0, 5, 0, 0, b, 2, 100);
    timeval tv{0, 1000};
    r->events = libusb_handle_events_timeout(r->ctx, &tv);
    r->status = t->status;
    r->called = true;
}
} // namespace

TEST(SimBus, CallbacksRunOnTheHandlingThreadAndCannotBlock)
{
    sim::reset_bus({spec(0x0600, "CV000001", false)});
    Dev d;
    d.setup_line(1);
    CbResult res;
    res.ctx = d.ctx;
    libusb_transfer *t = libusb_alloc_transfer(0);
    std::vector<uint8_t> buf(64);
    libusb_fill_bulk_transfer(t, d.h, 0x81, buf.data(), 64, nested_cb, &res, 1000);
    t->flags = LIBUSB_TRANSFER_FREE_TRANSFER;
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    // Resubmitting before the callback ran is refused: the library owns it.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_BUSY);
    EXPECT_FALSE(res.called); // nothing runs until events are handled here
    for (int i = 0; i < 50 && !res.called; i++) {
        timeval tv{0, 10000};
        libusb_handle_events_timeout(d.ctx, &tv);
    }
    ASSERT_TRUE(res.called);
    EXPECT_EQ(res.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(res.control, LIBUSB_ERROR_BUSY);
    EXPECT_EQ(res.events, LIBUSB_ERROR_BUSY);
    // FREE_TRANSFER: the library freed it after the callback (asan checks).
}

TEST(SimBus, ResetOfAMultiChannelChipNeedsItsChannel)
{
    sim::reset_bus({spec(0x0500, "DUAL1", false)});
    Dev b(0, 1);
    sim::wire_send(0, 0, {1, 2, 3, 4, 5});
    sim::wire_send(0, 1, {6, 7});
    EXPECT_EQ(sim::channel_state(0, 0).rx_fifo, 5u);
    // Index 0 names no channel: channel A's buffer stays as it is.
    EXPECT_EQ(b.out(0, 0, 0), 0);
    EXPECT_EQ(sim::channel_state(0, 0).rx_fifo, 5u);
    EXPECT_EQ(sim::channel_state(0, 1).rx_fifo, 2u);
    EXPECT_EQ(b.out(0, 1, 2), 0); // purge receive of channel B
    EXPECT_EQ(sim::channel_state(0, 1).rx_fifo, 0u);
    EXPECT_EQ(b.out(0, 0, 1), 0); // reset of channel A
    EXPECT_EQ(sim::channel_state(0, 0).rx_fifo, 0u);
    EXPECT_EQ(b.out(0, 1, 3), LIBUSB_ERROR_PIPE); // no channel C
}
