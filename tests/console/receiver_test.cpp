// The receiver thread against the stand-in driver: blocks of at most 128
// bytes, frames decoded whole across reads, a prompt stop, and no busy loop
// when the driver keeps failing.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "catalogue.h"
#include "console_fixture.h"
#include "periphery.h"

namespace {

using bytes = std::vector<uint8_t>;

std::mutex frames_mtx;
std::vector<bytes> frames;

void collect_frame(const u8_t *buffer, uint16_t len)
{
    std::lock_guard lock(frames_mtx);
    frames.emplace_back(buffer, buffer + len);
}

size_t frame_count()
{
    std::lock_guard lock(frames_mtx);
    return frames.size();
}

class Receiver : public OpenLine {
protected:
    void SetUp() override
    {
        OpenLine::SetUp();
        {
            std::lock_guard lock(frames_mtx);
            frames.clear();
        }
        hdlc_init(hdlc_put_char, collect_frame);
        ASSERT_EQ(start_receiver(ft_handle, rx_handler, &thread, &rcv_started_mtx), 0);
        running = true;
    }
    void TearDown() override
    {
        stop();
        OpenLine::TearDown();
    }
    // Stops the receiver; false when it did not end within ten seconds (it
    // ends within one pass; only a hang takes that long, even on a busy
    // machine).
    bool stop()
    {
        if (!running)
            return true;
        running = false;
        stop_receiver();
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += 10;
        if (pthread_timedjoin_np(thread, nullptr, &until) == 0)
            return true;
        // Leave no thread behind that could touch the next test's state.
        pthread_join(thread, nullptr);
        return false;
    }

    pthread_t thread{};
    bool running = false;
};

TEST_F(Receiver, TakesQueuedBytesInBlocksOf128AndDecodesInOrder)
{
    // Frames of 40 content bytes each (44 on the wire without stuffing), so
    // frame boundaries do not fall on block boundaries; then 12 bytes of
    // noise that never make a frame, to reach exactly 300 bytes.
    bytes wire;
    std::vector<bytes> sent;
    for (uint8_t n = 0; n < 6; ++n) {
        bytes content(40, n);
        content[0] = 0x6F;
        content[1] = n;
        sent.push_back(content);
        bytes f = testframe::encode(content);
        ASSERT_EQ(f.size(), 44u);
        wire.insert(wire.end(), f.begin(), f.end());
    }
    bytes noise(300 - wire.size(), 0x55);
    wire.insert(wire.end(), noise.begin(), noise.end());
    ASSERT_EQ(wire.size(), 300u);

    fake_ft::push_rx(wire);
    ASSERT_TRUE(wait_until([] { return fake_ft::rx_pending() == 0 && frame_count() == 6; }));
    EXPECT_EQ(fake_ft::read_requests(), (std::vector<uint32_t>{128, 128, 44}));
    std::lock_guard lock(frames_mtx);
    EXPECT_EQ(frames, sent);
}

TEST_F(Receiver, FrameSplitAcrossArrivalsIsDecodedWhole)
{
    bytes content{0xF1, 0x04, 1, 2, 3, 0x7E, 0x7D, 4};
    bytes f = testframe::encode(content);
    fake_ft::push_rx(bytes(f.begin(), f.begin() + 5));
    ASSERT_TRUE(wait_until([] { return fake_ft::rx_pending() == 0; }));
    fake_ft::push_rx(bytes(f.begin() + 5, f.end()));
    ASSERT_TRUE(wait_until([] { return frame_count() == 1; }));
    std::lock_guard lock(frames_mtx);
    EXPECT_EQ(frames[0], content);
}

TEST_F(Receiver, PingOfTheBoxComesBackThroughTheWholePath)
{
    hdlc_init(hdlc_put_char, hdlc_on_rx_frame);
    bytes ping{0xF0, 0x04};
    for (uint8_t i = 0; i < 16; ++i)
        ping.push_back(static_cast<uint8_t>(i * 17));
    testing::internal::CaptureStdout();
    fake_ft::push_frame(ping);
    bytes echo = ping;
    echo[0] = 0xF1;
    bool echoed = wait_until([&] { return fake_ft::tx_bytes() == testframe::encode(echo); });
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(echoed);
}

TEST_F(Receiver, EndsWithinOnePassAfterTheStopRequest)
{
    // Let it go to sleep on the event with nothing queued.
    ASSERT_TRUE(wait_until([] { return fake_ft::queue_queries() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    size_t before = fake_ft::queue_queries();
    EXPECT_TRUE(stop());
    // No further look at the driver after the stop request.
    EXPECT_LE(fake_ft::queue_queries(), before);
}

TEST_F(Receiver, SleepsWhileIdle)
{
    ASSERT_TRUE(wait_until([] { return fake_ft::queue_queries() >= 1; }));
    size_t before = fake_ft::queue_queries();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(fake_ft::queue_queries(), before);
}

TEST_F(Receiver, LastingDriverFailureNeitherSpinsNorBlocksTheStop)
{
    fake_ft::set_failure("FT_GetQueueStatus", FT_OTHER_ERROR);
    fake_ft::push_rx({0x7E}); // wake it so that it meets the failure
    // It retries, paced by a 20 ms pause: however long the machine kept
    // this thread away, no more queries than that time holds pauses.
    const size_t first = fake_ft::queue_queries();
    ASSERT_TRUE(wait_until([&] { return fake_ft::queue_queries() >= first + 2; }));
    const size_t before = fake_ft::queue_queries();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t queries = fake_ft::queue_queries() - before;
    const auto pauses = (std::chrono::steady_clock::now() - t0) / std::chrono::milliseconds(20);
    EXPECT_LE(queries, static_cast<size_t>(pauses) + 2);
    EXPECT_TRUE(stop());
}

// FT_IO_ERROR from the queue query means the converter has gone: the
// request waiting for its answer ends at once, the event is one line, later
// requests fail without being sent, and the receiver still stops promptly.
TEST_F(Receiver, LostConverterEndsTheWaitingRequestAtOnceWithOneLine)
{
    // The converter goes once the request is on the line. Its time-out is
    // made far longer than any run of this test, so a request that ends at
    // all was ended by the loss, however slow the machine.
    comm_obj_t *fwv_obj = comm_service(svc::comm_fwv_read);
    const time_t timeout = fwv_obj->timeout;
    fwv_obj->timeout = 60;
    std::thread unplug([] {
        waitFor([] { return fake_ft::tx_frames().size() == 1; }, std::chrono::seconds(60));
        fake_ft::set_failure("FT_GetQueueStatus", FT_IO_ERROR);
        fake_ft::push_rx({0x7E});
    });
    testing::internal::CaptureStderr();
    uint8_t fwv[4];
    const int rc = fwv_read(fwv);
    unplug.join();
    fwv_obj->timeout = timeout;
    const size_t writes = fake_ft::tx_calls();
    const int rc2 = smi_write(1, 2);
    const std::string err = testing::internal::GetCapturedStderr();
    const bool down = comm_link_down();
    comm_set_link_up();
    EXPECT_EQ(fake_ft::tx_frames().size(), 1u); // the request went out, then the loss ended it
    EXPECT_EQ(rc, ENODEV);
    EXPECT_EQ(rc2, ENODEV);
    EXPECT_EQ(fake_ft::tx_calls(), writes);
    EXPECT_TRUE(down);
    EXPECT_EQ(err, "Corvane lost: the USB converter is gone\n");
    EXPECT_TRUE(stop());
}

// A frame the driver did not take whole is reported once, as one frame, and
// its request fails without waiting for an answer that cannot come.
TEST_F(Receiver, FailedOrShortFrameWriteIsOneLineAndFailsTheRequest)
{
    hdlc_set_frame_output(hdlc_put_frame);
    fake_ft::set_failure("FT_Write", FT_OTHER_ERROR);
    testing::internal::CaptureStderr();
    const int rc = smi_write(1, 2);
    const std::string err = testing::internal::GetCapturedStderr();
    hdlc_set_frame_output(nullptr);
    EXPECT_EQ(rc, EIO);
    EXPECT_EQ(err, "hdlc_put_frame failed: 0 of 8 bytes written\n");
    EXPECT_EQ(fake_ft::tx_calls(), 1u);
    EXPECT_FALSE(comm_link_down());
}

TEST_F(Receiver, FailedReadsAreRetriedWithoutLosingTheLaterBytes)
{
    fake_ft::set_failure("FT_Read", FT_IO_ERROR);
    bytes content{0x6F, 0x80, 1, 2, 3, 4};
    fake_ft::push_frame(content);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(frame_count(), 0u);
    EXPECT_LT(fake_ft::read_requests().size(), 25u);
    fake_ft::set_failure("FT_Read", FT_OK);
    fake_ft::push_rx({}); // any later arrival, or the retry, picks the bytes up
    ASSERT_TRUE(wait_until([] { return frame_count() == 1; }));
    std::lock_guard lock(frames_mtx);
    EXPECT_EQ(frames[0], content);
}

TEST(ReceiverStart, ReturnsOnlyAfterTheThreadHasStarted)
{
    static std::atomic<bool> body_ran{false};
    body_ran = false;
    pthread_t t;
    auto body = [](void *) -> void * {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        body_ran = true;
        rcv_started_mtx.release();
        return nullptr;
    };
    ASSERT_EQ(start_receiver(nullptr, body, &t, &rcv_started_mtx), 0);
    EXPECT_TRUE(body_ran);
    pthread_join(t, nullptr);
}

} // namespace
