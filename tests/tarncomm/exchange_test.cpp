// The request/acknowledge exchange without USB: the fake box answers from its
// own thread, as the console's receiver would.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "commands.h"
#include "fake_box.h"

using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(Exchange, AckCompletesTheRequest)
{
    static comm_obj_t obj{};
    init_comm_obj(&obj, 0xF0, 0x09, 0xF1, 0x09);
    fake_box box([](const bytes &req) {
        if (req.size() >= 2 && req[0] == 0xF0)
            deliver(&obj, {0xF1, 0x09, 0x10, 0x00, 0x02, 0xAB, 0xCD});
        return std::vector<bytes>{};
    });
    obj.req.data[0] = 0x10;
    obj.req.data[1] = 0x00;
    obj.req.data[2] = 0x02;
    obj.req_data_sz = 3;
    hdlc_msg_t ack;
    ASSERT_EQ(send_req_get_ack(&obj, &ack), 0);
    EXPECT_EQ(ack.data[3], 0xAB);
    EXPECT_EQ(ack.data[4], 0xCD);
    EXPECT_EQ(obj.ack.data[4], 0xCD);
    ASSERT_EQ(box.requests().size(), 1u);
    EXPECT_EQ(box.requests()[0], (bytes{0xF0, 0x09, 0x10, 0x00, 0x02}));
}

TEST(Exchange, SpuriousWakeupIsNotAnAnswer)
{
    static comm_obj_t obj{};
    init_comm_obj(&obj, 0x60, 0x81, 0x6F, 0x81);
    fake_box box([](const bytes &) {
        // Wake the waiting sender without a delivery, then answer later.
        pthread_mutex_lock(&obj.mtx);
        pthread_cond_broadcast(&obj.cond);
        pthread_mutex_unlock(&obj.mtx);
        std::this_thread::sleep_for(200ms);
        deliver(&obj, {0x6F, 0x81, 1, 2, 3, 4});
        return std::vector<bytes>{};
    });
    const auto t0 = std::chrono::steady_clock::now();
    hdlc_msg_t ack;
    ASSERT_EQ(send_req_get_ack(&obj, &ack), 0);
    EXPECT_GE(seconds_since(t0), 0.19);
    EXPECT_EQ(ack.data[0], 1);
    EXPECT_EQ(ack.data[3], 4);
}

TEST(Exchange, ShorterAckKeepsThePreviousTail)
{
    static comm_obj_t obj{};
    init_comm_obj(&obj, 0x60, 0x82, 0x6F, 0x82);
    static int round = 0;
    round = 0;
    fake_box box([](const bytes &) {
        if (round++ == 0)
            deliver(&obj, {0x6F, 0x82, 1, 2, 3, 4, 5, 6});
        else
            deliver(&obj, {0x6F, 0x82, 9, 9});
        return std::vector<bytes>{};
    });
    ASSERT_EQ(send_req(&obj), 0);
    ASSERT_EQ(send_req(&obj), 0);
    const uint8_t expect[] = {9, 9, 3, 4, 5, 6};
    EXPECT_EQ(0, std::memcmp(obj.ack.data, expect, sizeof expect));
}

TEST(Exchange, OversizedRequestIsClampedToOneMessage)
{
    static comm_obj_t obj{};
    init_comm_obj(&obj, 0xF0, 0x04, 0xF1, 0x04);
    fake_box box([](const bytes &) {
        deliver(&obj, {0xF1, 0x04});
        return std::vector<bytes>{};
    });
    obj.req_data_sz = 200;
    ASSERT_EQ(send_req(&obj), 0);
    ASSERT_EQ(box.requests().size(), 1u);
    EXPECT_EQ(box.requests()[0].size(), 62u);
}

TEST(Exchange, BadObjectsFailCleanly)
{
    fake_box box;
    CaptureStderr();
    EXPECT_EQ(send_req(nullptr), 22);
    comm_obj_t never{};
    EXPECT_EQ(send_req(&never), 22);
    EXPECT_EQ(GetCapturedStderr(), "send_rq failed\nsend_rq failed\n");
    EXPECT_TRUE(box.requests().empty());

    // A delivery to an object that was never set up is dropped.
    deliver(&never, {0x6F, 0x80, 1, 2});
    EXPECT_EQ(never.ack.hdr.type, 0);
    EXPECT_EQ(never.ack_arrived, 0);
    process_ack(nullptr, nullptr, 4);
}

} // namespace
