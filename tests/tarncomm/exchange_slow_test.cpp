// Exchanges that end in, or outlast, the one-second time-out: these need
// seconds of real time and carry the label slow.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include <pthread.h>
#include <thread>

#include "catalogue.h"
#include "commands.h"
#include "e2p.h"
#include "periphery.h"
#include "remote_func.h"
#include "fake_box.h"

using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// ---- Tests that wait for the one-second time-out (label slow) -----------

TEST(ExchangeSlow, NoAckTimesOutAfterOneSecond)
{
    static comm_obj_t obj{};
    init_comm_obj(&obj, 0x60, 0x83, 0x6F, 0x83);
    fake_box box; // never answers
    // An acknowledgement stored while nobody waits must not answer the next
    // request.
    deliver(&obj, {0x6F, 0x83, 7, 7, 7, 7});
    CaptureStderr();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(send_req(&obj), 110);
    const double dt = seconds_since(t0);
    EXPECT_EQ(GetCapturedStderr(), "send_rq timed out\n");
    EXPECT_GE(dt, 0.9);
    EXPECT_LT(dt, 2.0);
}

TEST(ExchangeSlow, LateAckDoesNotCompleteARequestOnAnotherObject)
{
    static comm_obj_t a{}, b{};
    init_comm_obj(&a, 0xF0, 0x05, 0xF1, 0x05);
    init_comm_obj(&b, 0xF0, 0x06, 0xF1, 0x06);
    fake_box box([](const bytes &req) {
        if (req[1] == 0x06) {
            // A's answer arrives late, while B waits; B's own comes after.
            std::this_thread::sleep_for(50ms);
            deliver(&a, {0xF1, 0x05, 0xAA});
            std::this_thread::sleep_for(250ms);
            deliver(&b, {0xF1, 0x06, 0xBB});
        }
        return std::vector<bytes>{};
    });
    CaptureStderr();
    EXPECT_EQ(send_req(&a), 110);
    EXPECT_EQ(GetCapturedStderr(), "send_rq timed out\n");

    const auto t0 = std::chrono::steady_clock::now();
    hdlc_msg_t ack;
    ASSERT_EQ(send_req_get_ack(&b, &ack), 0);
    EXPECT_GE(seconds_since(t0), 0.29);
    EXPECT_EQ(ack.hdr.cmd, 0x06);
    EXPECT_EQ(ack.data[0], 0xBB);
    // A's late answer was taken out of the way, not stored or shown.
    EXPECT_EQ(a.ack.data[0], 0);
    EXPECT_EQ(a.n_orphans, 0u);
}

// A read like one that timed out (same register) waits for that read's late
// answer, which would fit it, and goes out as it would on a healthy link; a
// read of another register goes at once. The box answers the second read
// later than the first read's late answer comes.
TEST(ExchangeSlow, RequestLikeOneThatTimedOutWaitsForItsLateAnswer)
{
    fake_box *self = nullptr;
    int reads = 0;
    unsigned outstanding_at_other = 99;
    fake_box box([&](const bytes &req) {
        if (req[1] != 0x06)
            return std::vector<bytes>{};
        if (req[2] == 0x12) {
            comm_obj_t *obj = comm_service(svc::comm_smi_read);
            pthread_mutex_lock(&obj->mtx);
            outstanding_at_other = obj->n_orphans;
            pthread_mutex_unlock(&obj->mtx);
            return std::vector<bytes>{ack_of(0xF1, 0x06, {0x12, 0x77})};
        }
        if (reads++ == 0)
            self->send_later(ack_of(0xF1, 0x06, {0x11, 0x00}), 1300ms); // the old value, late
        else
            self->send_later(ack_of(0xF1, 0x06, {0x11, 0x3F}), 600ms);
        return std::vector<bytes>{};
    });
    self = &box;
    uint8_t v = 0xEE;
    CaptureStderr();
    EXPECT_EQ(smi_read(0x11, &v), 110);
    EXPECT_EQ(GetCapturedStderr(), "send_rq timed out\n");
    ASSERT_EQ(smi_read(0x12, &v), 0);
    EXPECT_EQ(v, 0x77);
    EXPECT_EQ(outstanding_at_other, 1u); // it did not wait for the other register's answer
    ASSERT_EQ(smi_read(0x11, &v), 0);
    EXPECT_EQ(v, 0x3F);
    const auto reqs = box.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].size(), 4u);
    EXPECT_EQ(bytes(reqs[0].begin(), reqs[0].begin() + 3), bytes(reqs[2].begin(), reqs[2].begin() + 3));
    EXPECT_EQ(reqs[2].size(), 4u);
}

// Nothing sent on the old line can be answered on the new one: after a
// reconnect, the read that would have waited for a late answer (about 4 s
// here) goes out at once.
TEST(ExchangeSlow, ReconnectEndsTheQuarantine)
{
    std::atomic<bool> answer{false};
    fake_box box([&](const bytes &req) {
        if (req[1] != 0x06 || !answer)
            return std::vector<bytes>{};
        return std::vector<bytes>{ack_of(0xF1, 0x06, {0x21, 0x5A})};
    });
    uint8_t v = 0;
    CaptureStderr();
    EXPECT_EQ(smi_read(0x21, &v), 110);
    EXPECT_EQ(GetCapturedStderr(), "send_rq timed out\n");
    answer = true;
    comm_set_link_up();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(smi_read(0x21, &v), 0);
    EXPECT_LT(seconds_since(t0), 2.0);
    EXPECT_EQ(v, 0x5A);
    EXPECT_EQ(box.requests().size(), 2u);
}

// ---- Failures that wait for the time-out (label slow) --------------------

TEST(ServicesSlow, FailuresReportAndLeaveOutputsAlone)
{
    fake_box box; // a box that never answers
    CaptureStderr();
    EXPECT_EQ(wup_ctl(wup_get), -1);
    uint8_t v[4] = {9, 9, 9, 9};
    EXPECT_EQ(fwv_read(v), 110);
    EXPECT_EQ(v[0], 9);
    EXPECT_EQ(GetCapturedStderr(), "send_rq timed out\nsend_rq timed out\n");

    CaptureStdout();
    CaptureStderr();
    rmt_func_param_echo_t p{};
    rmt_func_rtn_echo_t r{};
    std::memset(&r, 'k', sizeof r);
    EXPECT_FALSE(rmt_echo(&p, &r));
    EXPECT_EQ(GetCapturedStderr(), "send_rq timed out\n");
    EXPECT_EQ(GetCapturedStdout(), "** send_req failed\n");
    EXPECT_EQ(r.echo[0], 'k');
    EXPECT_EQ(e2p_erase_byte(0), 1);
}

} // namespace
