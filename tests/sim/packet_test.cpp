// The converter's packet rules and its serial line: status-only packets per
// latency period, the event character, packet splitting, overrun, a line at
// the wrong rate, and the wire time of real timing.
#include "sim_test_util.h"

#include <algorithm>
#include <numeric>
#include <thread>

using namespace simtest;

namespace {

sim::DeviceSpec plain(uint16_t bcd = 0x0600, bool box = false)
{
    sim::DeviceSpec s;
    s.bcd_device = bcd;
    s.serial = "CV000001";
    s.box = box;
    return s;
}

std::vector<uint8_t> counting(size_t n, uint8_t first = 0)
{
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

} // namespace

TEST(SimPackets, IdleChipSendsStatusPacketEveryLatencyPeriod)
{
    sim::reset_bus({plain()});
    Dev d;
    d.setup_line(5);
    sim::clear_request_log();
    Reader r(d, 4, 4096);
    // Thirteen packets, however long a busy machine takes to deliver them.
    ASSERT_TRUE(r.pump_until([&] {
        return std::count(r.statuses.begin(), r.statuses.end(), LIBUSB_TRANSFER_COMPLETED) >= 13;
    }));
    r.stop();
    auto log = sim::bulk_log(0, 0x81);
    std::vector<uint64_t> t;
    for (auto &e : log)
        if (e.rc == LIBUSB_TRANSFER_COMPLETED) {
            EXPECT_EQ(e.data.size(), 2u);
            t.push_back(e.time_us);
        }
    ASSERT_GE(t.size(), 12u);
    // One per period: never sooner, and on average not much later.
    EXPECT_LT((t.back() - t.front()) / (t.size() - 1), 9000u);
    for (size_t i = 1; i < t.size(); i++)
        EXPECT_GE(t[i] - t[i - 1], 4900u) << "packet " << i;
}

TEST(SimPackets, EventCharacterFlushesAtOnceOtherwiseLatencyDecides)
{
    sim::reset_bus({plain()});
    Dev d;
    d.setup_line(200);
    Reader r(d, 1, 4096);
    auto t0 = sim::now_us();
    sim::wire_send(0, 0, {'h', 'i', 0x7E});
    ASSERT_TRUE(r.pump_until([&] { return !r.transfers.empty(); }));
    ASSERT_EQ(r.transfers.size(), 1u);
    EXPECT_EQ(r.transfers[0], (std::vector<uint8_t>{0x01, 0x60, 'h', 'i', 0x7E}));
    // Well before the 200 ms latency timer, which would have sent it otherwise.
    EXPECT_LT(r.times[0] - t0, 150000u);

    // Without the event character the bytes wait for the latency timer: the
    // packet that carries them leaves a full period after the one before.
    ASSERT_EQ(d.out(6, 0x007E), 0);
    ASSERT_EQ(d.out(9, 60), 0);
    r.pump(80); // at least one status packet with the new period
    sim::wire_send(0, 0, {'a', 'b', 0x7E});
    uint64_t sent = sim::now_us();
    r.pump(150);
    std::vector<sim::LogEntry> in;
    for (auto &e : sim::bulk_log(0, 0x81))
        if (e.rc == LIBUSB_TRANSFER_COMPLETED)
            in.push_back(e);
    size_t k = 0;
    while (k < in.size() && !(in[k].data.size() > 2 && in[k].data[2] == 'a'))
        k++;
    ASSERT_LT(k, in.size());
    ASSERT_GT(k, 0u);
    EXPECT_EQ(in[k].data, (std::vector<uint8_t>{0x01, 0x60, 'a', 'b', 0x7E}));
    // Not flushed early: a full period after the packet before; and not
    // held longer than one period after the bytes came.
    EXPECT_GE(in[k].time_us - in[k - 1].time_us, 60000u);
    EXPECT_LE(in[k].time_us, sent + 60000 + 20000);
}

TEST(SimPackets, LongDataIsSplitIntoFullPacketsWithStatusBytes)
{
    sim::reset_bus({plain()});
    Dev d;
    d.setup_line(20);
    ASSERT_EQ(d.out(6, 0x0000), 0); // no event character
    std::vector<uint8_t> in = counting(130);
    sim::wire_send(0, 0, in);
    {
        // 130 bytes in one transfer: 64 + 64 + 8, two status bytes each.
        Reader r(d, 1, 4096);
        r.resubmit = false;
        ASSERT_TRUE(r.pump_until([&] { return r.in_flight == 0; }));
        ASSERT_EQ(r.transfers.size(), 1u);
        const auto &t = r.transfers[0];
        ASSERT_EQ(t.size(), 136u);
        for (size_t p : {0u, 64u, 128u}) {
            EXPECT_EQ(t[p], 0x01);
            EXPECT_EQ(t[p + 1], 0x60);
        }
        EXPECT_EQ(r.data(), in);
    }
    // Transfers of one packet each: 64, 64, then the short rest.
    sim::wire_send(0, 0, in);
    Reader r(d, 1, 64);
    ASSERT_TRUE(r.pump_until([&] { return r.transfers.size() >= 3; }));
    EXPECT_EQ(r.transfers[0].size(), 64u);
    EXPECT_EQ(r.transfers[1].size(), 64u);
    EXPECT_EQ(r.transfers[2].size(), 8u);
    std::vector<uint8_t> got = r.data();
    got.resize(std::min<size_t>(got.size(), 130));
    EXPECT_EQ(got, in);
}

TEST(SimPackets, FullReceiveBufferOverrunsAndLosesBytes)
{
    sim::reset_bus({plain()});
    Dev d;
    d.setup_line(5);
    ASSERT_EQ(d.out(6, 0x0000), 0);
    std::vector<uint8_t> in = counting(300);
    sim::wire_send(0, 0, in); // nobody reads: 256 bytes fit
    sim::ChannelState s = sim::channel_state(0);
    EXPECT_EQ(s.rx_fifo, 256u);
    EXPECT_EQ(s.rx_lost, 44u);

    Reader r(d, 2, 4096);
    // The 256 bytes and a status packet after them, whatever the machine's pace.
    ASSERT_TRUE(r.pump_until([&] { return r.data().size() >= 256 && !r.transfers.empty() && r.transfers.back().size() == 2; }));
    r.stop();
    std::vector<std::vector<uint8_t>> done;
    for (size_t i = 0; i < r.transfers.size(); i++)
        if (r.statuses[i] == LIBUSB_TRANSFER_COMPLETED)
            done.push_back(r.transfers[i]);
    ASSERT_GE(done.size(), 2u);
    EXPECT_EQ(done.front()[1] & 0x02, 0x02); // overrun reported once
    EXPECT_EQ(done.back()[1] & 0x02, 0x00);  // and then cleared
    EXPECT_EQ(r.data(), std::vector<uint8_t>(in.begin(), in.begin() + 256));
}

TEST(SimPackets, WrongRateGarblesTheLine)
{
    // The box sees garbage and does not answer until the rate is right.
    sim::reset_bus({plain(0x0600, true)});
    Dev d;
    d.setup_line(5);
    ASSERT_EQ(d.out(3, 0x4138), 0); // 9600
    Reader r(d, 4, 4096);
    r.pump(30);
    std::vector<uint8_t> req = encode({0x60, 0x80});
    int n;
    ASSERT_EQ(libusb_bulk_transfer(d.h, 0x02, req.data(), 6, &n, 100), 0);
    r.pump(60);
    for (auto &f : decode(r.data()))
        EXPECT_NE(f[0], 0x6F) << "the box answered a garbled request";

    ASSERT_EQ(d.out(3, 0x000D), 0);
    r.transfers.clear();
    ASSERT_EQ(libusb_bulk_transfer(d.h, 0x02, req.data(), 6, &n, 100), 0);
    EXPECT_TRUE(r.pump_until([&] {
        for (auto &f : decode(r.data()))
            if (f.size() == 6 && f[0] == 0x6F && f[1] == 0x80)
                return true;
        return false;
    }));
    r.stop();

    // On a plain line: byte for byte different at 9600, equal at 230400.
    sim::reset_bus({plain()});
    Dev p;
    p.setup_line(5);
    std::vector<uint8_t> bytes = counting(256);
    ASSERT_EQ(p.out(3, 0x4138), 0);
    ASSERT_EQ(libusb_bulk_transfer(p.h, 0x02, bytes.data(), 256, &n, 100), 0);
    std::vector<uint8_t> far = sim::wire_received(0, 0);
    ASSERT_EQ(far.size(), 256u);
    for (size_t i = 0; i < 256; i++)
        EXPECT_NE(far[i], bytes[i]) << i;
    ASSERT_EQ(p.out(3, 0x000D), 0);
    ASSERT_EQ(p.out(4, 0x0108), 0); // odd parity: still not the box's format
    ASSERT_EQ(libusb_bulk_transfer(p.h, 0x02, bytes.data(), 256, &n, 100), 0);
    EXPECT_NE(sim::wire_received(0, 0), bytes);
    ASSERT_EQ(p.out(4, 0x0008), 0);
    ASSERT_EQ(libusb_bulk_transfer(p.h, 0x02, bytes.data(), 256, &n, 100), 0);
    EXPECT_EQ(sim::wire_received(0, 0), bytes);
}

TEST(SimPackets, FourChannelLoopback)
{
    sim::reset_bus({plain(0x0800)});
    Dev d(0, 2);
    ASSERT_EQ(d.out(3, 0x000D, 0x0003), 0); // channel C: wIndex low byte 3
    ASSERT_EQ(d.out(6, 0x017E, 3), 0);
    EXPECT_TRUE(sim::channel_state(0, 2).event_char_on);
    EXPECT_FALSE(sim::channel_state(0, 0).event_char_on);
    sim::set_loopback(0, 2, true);
    Reader r(d, 2, 4096, 512, 0x85);
    std::vector<uint8_t> msg = {1, 2, 3, 0x7E};
    int n;
    ASSERT_EQ(libusb_bulk_transfer(d.h, 0x06, msg.data(), 4, &n, 100), 0);
    r.pump_until([&] { return r.data().size() >= msg.size(); });
    EXPECT_EQ(r.data(), msg);
    // The other channels' endpoints belong to interfaces not claimed here.
    EXPECT_EQ(libusb_bulk_transfer(d.h, 0x02, msg.data(), 4, &n, 100), LIBUSB_ERROR_NOT_FOUND);
}

TEST(SimPackets, RealTimingTakesTenBitTimesPerByte)
{
    sim::BusOptions o;
    o.timing = sim::Timing::real;
    sim::reset_bus({plain()}, o);
    Dev d;
    d.setup_line(16);
    std::vector<uint8_t> bytes(100, 0x55);
    int n;
    uint64_t t0 = sim::now_us();
    ASSERT_EQ(libusb_bulk_transfer(d.h, 0x02, bytes.data(), 100, &n, 100), 0);
    // Handed over on the next 1 ms frame.
    auto out = sim::bulk_log(0, 0x02);
    ASSERT_FALSE(out.empty());
    EXPECT_GE(out.back().time_us, (t0 / 1000 + 1) * 1000);
    std::vector<uint8_t> far;
    uint64_t done = 0;
    while (far.size() < 100 && sim::now_us() - t0 < 10000000) { // a limit only a fault reaches
        auto got = sim::wire_received(0, 0);
        far.insert(far.end(), got.begin(), got.end());
        if (far.size() == 100)
            done = sim::now_us();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_EQ(far, bytes);
    // 100 bytes of 10 bits at 230769 baud: 4.33 ms on the wire.
    EXPECT_GE(done - t0, 4300u);
    EXPECT_LT(done - t0, 60000u);

    // Receive: ten bytes take 434 us at the box's 230400 baud, then the event
    // character sends them on the next frame.
    Reader r(d, 1, 4096);
    ASSERT_TRUE(r.pump_until([&] { return !r.times.empty(); })); // the first latency packet
    r.transfers.clear();
    r.times.clear();
    uint64_t s0 = sim::now_us();
    std::vector<uint8_t> ten = counting(9, 1);
    ten.push_back(0x7E);
    sim::wire_send(0, 0, ten);
    ASSERT_TRUE(r.pump_until([&] { return r.data().size() >= ten.size(); }));
    EXPECT_EQ(r.data(), ten);
    auto log = sim::bulk_log(0, 0x81);
    ASSERT_FALSE(log.empty());
    EXPECT_GE(log.back().time_us, (s0 + 434 + 999) / 1000 * 1000);
    EXPECT_LT(log.back().time_us - s0, 20000u); // generous: the machine may be busy
}

TEST(SimPackets, RealTimingRunsOnTheBusFrames)
{
    // Full speed: control requests and OUT transfers on 1 ms frames;
    // high speed: on 125 us micro-frames.
    sim::BusOptions o;
    o.timing = sim::Timing::real;
    sim::reset_bus({plain(0x0600), plain(0x0900)}, o);
    for (int dev = 0; dev < 2; dev++) {
        const uint64_t frame = dev == 0 ? 1000 : 125;
        Dev d(dev);
        sim::clear_request_log();
        uint64_t t0 = sim::now_us();
        for (int i = 0; i < 5; i++)
            ASSERT_EQ(d.out(9, 10), 0);
        uint64_t t1 = sim::now_us();
        // Five requests, each on a frame of its own.
        EXPECT_GE(t1 - t0, 4 * frame);
        auto log = sim::vendor_requests(dev);
        ASSERT_EQ(log.size(), 5u);
        for (size_t i = 1; i < log.size(); i++)
            EXPECT_GT(log[i].time_us / frame, log[i - 1].time_us / frame);
        uint8_t b = 0;
        int n;
        ASSERT_EQ(libusb_bulk_transfer(d.h, 0x02, &b, 1, &n, 100), 0);
        auto out = sim::bulk_log(dev, 0x02);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].time_us % frame, 0u); // completed on a frame boundary
    }
}

TEST(SimPackets, RealTimingAnswerFollowsTheWireTimeModel)
{
    // The version request written a byte per transfer, as the console does.
    // The answer's packet must leave on the first frame after its closing
    // flag has crossed the wire: last OUT frame + 1 byte time (the closing
    // flag of the request) + the answer's bytes, rounded up to the frame.
    sim::BusOptions o;
    o.timing = sim::Timing::real;
    sim::reset_bus({plain(0x0600, true)}, o);
    Dev d;
    d.setup_line(16);
    Reader r(d, 4, 4096);
    ASSERT_TRUE(r.pump_until([&] { return !r.times.empty(); })); // the first latency packet
    sim::clear_request_log();
    for (uint8_t b : encode({0x60, 0x80})) {
        int n;
        ASSERT_EQ(libusb_bulk_transfer(d.h, 0x02, &b, 1, &n, 50), 0);
    }
    std::vector<uint8_t> answer;
    uint64_t answered = 0;
    ASSERT_TRUE(r.pump_until([&] {
        answer.clear();
        // Data of the IN packets in order, up to the packet with the
        // answer's closing flag.
        for (auto &e : sim::bulk_log(0, 0x81)) {
            for (size_t p = 0; p < e.data.size(); p += 64)
                answer.insert(answer.end(), e.data.begin() + p + 2, e.data.begin() + std::min(e.data.size(), p + 64));
            if (answer.size() >= 10 && answer.back() == 0x7E) {
                answered = e.time_us;
                return true;
            }
        }
        return false;
    }));
    auto frames = decode(answer);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][0], 0x6F);
    auto out = sim::bulk_log(0, 0x02);
    ASSERT_EQ(out.size(), 6u);
    const uint64_t byte = 43; // 10 bits at 230400 (and 230769) baud
    uint64_t model = out.back().time_us + byte + answer.size() * byte;
    model = (model + 999) / 1000 * 1000;
    EXPECT_EQ(answered, model) << "last OUT at " << out.back().time_us << ", " << answer.size() << " answer bytes";
}
