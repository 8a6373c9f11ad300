// Framing and FCS: known frames, receiver corner cases, a random round trip,
// and whole frames from two transmitting threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "crc16_ccitt.h"
#include "commands.h"
#include "hdlc.h"
#include "fake_box.h"

namespace {

std::mutex g_mtx;
bytes g_wire;
std::vector<bytes> g_frames;
std::atomic<bool> g_yield{false};

void capture_put(char c)
{
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        g_wire.push_back(static_cast<uint8_t>(c));
    }
    // A slow line: gives the other sender every chance to cut in.
    if (g_yield)
        std::this_thread::yield();
}

void capture_frame(const u8_t *buf, uint16_t n)
{
    g_frames.emplace_back(buf, buf + n);
}

class Hdlc : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_wire.clear();
        g_frames.clear();
        hdlc_init(capture_put, capture_frame);
    }
    void TearDown() override { hdlc_init(nullptr, nullptr); }

    static bytes send(const bytes &content)
    {
        g_wire.clear();
        hdlc_tx_frame(content.data(), static_cast<uint8_t>(content.size()));
        return g_wire;
    }
    static void feed(const bytes &wire)
    {
        for (uint8_t b : wire)
            hdlc_on_rx_byte(b);
    }
};

TEST(Crc16, TableAndCheckValue)
{
    EXPECT_EQ(crc16_ccitt_table[0], 0x0000);
    EXPECT_EQ(crc16_ccitt_table[1], 0x1189);
    EXPECT_EQ(crc16_ccitt_table[2], 0x2312);
    EXPECT_EQ(crc16_ccitt_table[3], 0x329B);
    uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    const uint16_t reg = crc16_ccitt_calc_data(0xFFFF, digits, sizeof digits);
    EXPECT_EQ(static_cast<uint16_t>(~reg), 0x906E);
    EXPECT_EQ(reg, testframe::fcs_register(bytes(digits, digits + 9)));
    // Content followed by its FCS (low byte first) leaves the good-frame residue.
    const uint16_t fcs = static_cast<uint16_t>(~reg);
    uint8_t tail[] = {static_cast<uint8_t>(fcs), static_cast<uint8_t>(fcs >> 8)};
    EXPECT_EQ(crc16_ccitt_calc_data(reg, tail, 2), 0xF0B8);
}

TEST_F(Hdlc, KnownFramesOnTheWire)
{
    EXPECT_EQ(send({0x60, 0x80}), (bytes{0x7E, 0x60, 0x80, 0x1A, 0xEE, 0x7E}));
    EXPECT_EQ(send({0xF0, 0x06, 0x7E, 0x00}), (bytes{0x7E, 0xF0, 0x06, 0x7D, 0x5E, 0x00, 0xF8, 0x37, 0x7E}));
    EXPECT_EQ(send({}), (bytes{0x7E, 0x00, 0x00, 0x7E}));
}

TEST_F(Hdlc, StuffedFrameDecodesBack)
{
    feed({0x7E, 0xF0, 0x06, 0x7D, 0x5E, 0x00, 0xF8, 0x37, 0x7E});
    ASSERT_EQ(g_frames.size(), 1u);
    EXPECT_EQ(g_frames[0], (bytes{0xF0, 0x06, 0x7E, 0x00}));
}

TEST_F(Hdlc, FcsBytesAreStuffedLikeContent)
{
    // Find two-byte contents whose FCS holds a flag or an escape byte.
    int seen_flag = 0, seen_esc = 0;
    for (unsigned v = 0; v < 256 * 256 && (!seen_flag || !seen_esc); ++v) {
        bytes content{static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)};
        const uint16_t fcs = static_cast<uint16_t>(~testframe::fcs_register(content));
        const uint8_t lo = fcs & 0xFF, hi = fcs >> 8;
        const bool has_flag = lo == 0x7E || hi == 0x7E, has_esc = lo == 0x7D || hi == 0x7D;
        if (!has_flag && !has_esc)
            continue;
        if (content[0] == 0x7E || content[0] == 0x7D || content[1] == 0x7E || content[1] == 0x7D)
            continue;
        seen_flag += has_flag;
        seen_esc += has_esc;
        const bytes wire = send(content);
        EXPECT_EQ(wire, testframe::encode(content));
        // The only unstuffed flags are the two at the ends.
        for (size_t i = 1; i + 1 < wire.size(); ++i)
            EXPECT_NE(wire[i], 0x7E);
        g_frames.clear();
        feed(wire);
        ASSERT_EQ(g_frames.size(), 1u);
        EXPECT_EQ(g_frames[0], content);
    }
    EXPECT_GT(seen_flag, 0);
    EXPECT_GT(seen_esc, 0);
}

TEST_F(Hdlc, FlagRunsAndNoiseDeliverNothing)
{
    feed({0x7E, 0x7E, 0x7E});
    feed({0x11, 0x22, 0x33, 0x7E}); // bytes before a flag are dropped by the check
    EXPECT_TRUE(g_frames.empty());
    // A frame surrounded by runs of flags is delivered once.
    bytes f = testframe::encode({0x60, 0x80});
    bytes wire{0x7E, 0x7E};
    wire.insert(wire.end(), f.begin(), f.end());
    wire.insert(wire.end(), {0x7E, 0x7E});
    feed(wire);
    ASSERT_EQ(g_frames.size(), 1u);
    EXPECT_EQ(g_frames[0], (bytes{0x60, 0x80}));
}

TEST_F(Hdlc, EmptyFrameIsDeliveredWithLengthZero)
{
    feed({0x7E, 0x00, 0x00, 0x7E});
    ASSERT_EQ(g_frames.size(), 1u);
    EXPECT_TRUE(g_frames[0].empty());
}

TEST_F(Hdlc, BadFcsIsDropped)
{
    bytes f = testframe::encode({0x60, 0x80, 0x01});
    f[3] ^= 0x01;
    feed(f);
    EXPECT_TRUE(g_frames.empty());
    // The receiver is not left in a bad state by it.
    feed(testframe::encode({0x01, 0x02}));
    ASSERT_EQ(g_frames.size(), 1u);
}

TEST_F(Hdlc, LongestFrameIs62ContentBytes)
{
    bytes c62(62), c63(63);
    for (size_t i = 0; i < c63.size(); ++i)
        c63[i] = static_cast<uint8_t>(i * 7 + 1);
    std::copy(c63.begin(), c63.begin() + 62, c62.begin());
    feed(testframe::encode(c62));
    ASSERT_EQ(g_frames.size(), 1u);
    EXPECT_EQ(g_frames[0], c62);
    g_frames.clear();
    feed(testframe::encode(c63));
    EXPECT_TRUE(g_frames.empty());
    feed(testframe::encode(c62)); // and the next one is fine again
    EXPECT_EQ(g_frames.size(), 1u);
}

TEST_F(Hdlc, EscapeBeforeFlagAborts)
{
    // 7E 60 7D 7E: aborted; what follows is a new frame.
    bytes wire{0x7E, 0x60, 0x7D, 0x7E};
    bytes next = testframe::encode({0x80, 0x01});
    wire.insert(wire.end(), next.begin() + 1, next.end()); // shares the flag
    feed(wire);
    ASSERT_EQ(g_frames.size(), 1u);
    EXPECT_EQ(g_frames[0], (bytes{0x80, 0x01}));
}

TEST_F(Hdlc, AnyEscapedByteIsXored)
{
    // Content 7D 61 sent as 7D 5D 7D 41, FCS of the unstuffed bytes.
    const bytes content{0x7D, 0x61};
    const uint16_t fcs = static_cast<uint16_t>(~testframe::fcs_register(content));
    ASSERT_TRUE((fcs & 0xFF) != 0x7E && (fcs & 0xFF) != 0x7D && (fcs >> 8) != 0x7E && (fcs >> 8) != 0x7D);
    feed({0x7E, 0x7D, 0x5D, 0x7D, 0x41, static_cast<uint8_t>(fcs), static_cast<uint8_t>(fcs >> 8), 0x7E});
    ASSERT_EQ(g_frames.size(), 1u);
    EXPECT_EQ(g_frames[0], content);
}

TEST_F(Hdlc, RandomRoundTrip)
{
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> len(0, 62);
    // Biased towards the bytes that need stuffing.
    std::uniform_int_distribution<int> byte(0, 259);
    for (int n = 0; n < 2000; ++n) {
        bytes c(static_cast<size_t>(len(rng)));
        for (auto &b : c) {
            const int v = byte(rng);
            b = v >= 256 ? (v & 1 ? 0x7E : 0x7D) : static_cast<uint8_t>(v);
        }
        g_frames.clear();
        const bytes wire = send(c);
        ASSERT_EQ(wire, testframe::encode(c));
        feed(wire);
        ASSERT_EQ(g_frames.size(), 1u);
        ASSERT_EQ(g_frames[0], c);
    }
}

// Without the transmit lock the bytes of the two threads' frames mix and the
// frames no longer check.
TEST_F(Hdlc, ConcurrentSendersNeverInterleave)
{
    constexpr int kFrames = 1500;
    std::atomic<int> ready{0};
    auto sender = [&ready](uint8_t id) {
        ++ready;
        while (ready < 2)
            std::this_thread::yield();
        uint8_t buf[40];
        for (int i = 0; i < kFrames; ++i) {
            for (size_t k = 0; k < sizeof buf; ++k)
                buf[k] = static_cast<uint8_t>(k == 0 ? id : (i + k) & 0xFF);
            hdlc_tx_frame(buf, sizeof buf);
        }
    };
    g_yield = true;
    std::thread a(sender, 0xA1), b(sender, 0xB2);
    a.join();
    b.join();
    g_yield = false;
    int bad = 0;
    const auto frames = testframe::decode(g_wire, &bad);
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(frames.size(), 2u * kFrames);
    int from_a = 0, from_b = 0;
    for (const auto &f : frames) {
        ASSERT_EQ(f.size(), 40u);
        from_a += f[0] == 0xA1;
        from_b += f[0] == 0xB2;
    }
    EXPECT_EQ(from_a, kFrames);
    EXPECT_EQ(from_b, kFrames);
}

// An output callback that transmits again must not deadlock; its nested frame
// is dropped, the outer frame is intact.
bytes g_reentrant_wire;
void reentrant_put(char c)
{
    g_reentrant_wire.push_back(static_cast<uint8_t>(c));
    if (g_reentrant_wire.size() == 2) {
        const uint8_t x[] = {1, 2};
        hdlc_tx_frame(x, 2);
    }
}

TEST_F(Hdlc, ReenteringOutputCallbackDoesNotDeadlock)
{
    hdlc_init(reentrant_put, nullptr);
    g_reentrant_wire.clear();
    const uint8_t c[] = {0x60, 0x80};
    hdlc_tx_frame(c, 2);
    EXPECT_EQ(g_reentrant_wire, (bytes{0x7E, 0x60, 0x80, 0x1A, 0xEE, 0x7E}));
}

} // namespace
