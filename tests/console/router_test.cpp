// The frame router: where each received frame goes, what it prints, and the
// echo of the box's ping.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "catalogue.h"
#include "commands.h"
#include "console_fixture.h"

namespace {

using bytes = std::vector<uint8_t>;

void route(const bytes &frame)
{
    hdlc_on_rx_frame(frame.data(), static_cast<uint16_t>(frame.size()));
}

std::string route_and_capture(const bytes &frame)
{
    testing::internal::CaptureStdout();
    route(frame);
    return testing::internal::GetCapturedStdout();
}

struct Route {
    uint8_t type, cmd;
    svc id;
    const char *name;
};

// Every acknowledgement of the catalogue with the object that must get it,
// including the services no console command calls.
const Route all_routes[] = {
    {0xF3, 0x00, svc::comm_rmt_func, "comm_rmt_func"},
    {0xF3, 0x05, svc::comm_rmt_func, "comm_rmt_func"},
    {0xF3, 0xFF, svc::comm_rmt_func, "comm_rmt_func"},
    {0x5F, 0x10, svc::comm_pwr_ctl, "comm_pwr_ctl"},
    {0x5F, 0x1F, svc::comm_pwr_ctl, "comm_pwr_ctl"},
    {0x5F, 0x20, svc::comm_bl_enable, "comm_bl_enable"},
    {0x5F, 0x2F, svc::comm_bl_disable, "comm_bl_disable"},
    {0x5F, 0x30, svc::comm_wup_ctl, "comm_wup_ctl"},
    {0x6F, 0x42, svc::can_get_speed_ctl, "can_get_speed_ctl"},
    {0x6F, 0x48, svc::can_get_filter_mask_ctl, "can_get_filter_mask_ctl"},
    {0x6F, 0x62, svc::can_get_lcmode_ctl, "can_get_lcmode_ctl"},
    {0x6F, 0x71, svc::comm_hk_status, "comm_hk_status"},
    {0x6F, 0x80, svc::comm_fwv_read, "comm_fwv_read"},
    {0x6F, 0x81, svc::comm_fwd_read, "comm_fwd_read"},
    {0x6F, 0x82, svc::comm_bls_read, "comm_bls_read"},
    {0x6F, 0x83, svc::comm_blv_read, "comm_blv_read"},
    {0xF1, 0x01, svc::comm_mdio_write, "comm_mdio_write"},
    {0xF1, 0x02, svc::comm_mdio_read, "comm_mdio_read"},
    {0xF1, 0x04, svc::comm_ping, "comm_ping"},
    {0xF1, 0x05, svc::comm_smi_write, "comm_smi_write"},
    {0xF1, 0x06, svc::comm_smi_read, "comm_smi_read"},
    {0xF1, 0x08, svc::comm_e2p_write, "comm_e2p_write"},
    {0xF1, 0x09, svc::comm_e2p_read, "comm_e2p_read"},
    {0xF1, 0x41, svc::can_set_speed_ctl, "can_set_speed_ctl"},
    {0xF1, 0x42, svc::can_get_speed_ctl, "can_get_speed_ctl"},
    {0xF1, 0x47, svc::can_set_filter_mask_ctl, "can_set_filter_mask_ctl"},
    {0xF1, 0x48, svc::can_get_filter_mask_ctl, "can_get_filter_mask_ctl"},
    {0xF1, 0x49, svc::can_trace_enable_ctl, "can_trace_enable_ctl"},
    {0xF1, 0x4A, svc::can_trace_disable_ctl, "can_trace_disable_ctl"},
    {0xF1, 0x4B, svc::can_set_mode_ctl, "can_set_mode_ctl"},
    {0xF1, 0x4C, svc::can_get_mode_ctl, "can_get_mode_ctl"},
    {0xF1, 0x50, svc::can_reset_ctl, "can_reset_ctl"},
    {0xF1, 0x51, svc::can_reinit_ctl, "can_reinit_ctl"},
    {0xF1, 0x52, svc::can_wakeup_read, "can_wakeup_read"},
    {0xF1, 0x53, svc::can_wakeup_write, "can_wakeup_write"},
    {0xF1, 0x60, svc::comm_eth_wakeup_read, "comm_eth_wakeup_read"},
    {0xF1, 0x61, svc::comm_eth_wakeup_write, "comm_eth_wakeup_write"},
    {0xF1, 0x62, svc::can_set_lcmode_ctl, "can_set_lcmode_ctl"},
};

// Clears every exchange object's arrival flag, acknowledgement and late
// answers still awaited (from earlier tests), so any answer is stored.
void init_all_objects()
{
    for (const Route &r : all_routes) {
        comm_obj_t *obj = comm_service(r.id);
        pthread_mutex_lock(&obj->mtx);
        obj->ack_arrived = 0;
        obj->ack = hdlc_msg_t{};
        obj->n_orphans = 0;
        pthread_mutex_unlock(&obj->mtx);
    }
}

// Objects whose arrival flag is set.
std::vector<std::string> objects_with_arrival()
{
    std::vector<std::string> got;
    std::vector<svc> seen;
    for (const Route &r : all_routes) {
        if (std::find(seen.begin(), seen.end(), r.id) != seen.end())
            continue;
        seen.push_back(r.id);
        if (comm_service(r.id)->ack_arrived)
            got.push_back(r.name);
    }
    return got;
}

class Router : public OpenLine {
protected:
    void SetUp() override
    {
        OpenLine::SetUp();
        hdlc_set_frame_output(hdlc_put_frame); // as the console sends
        init_all_objects();
    }
    void TearDown() override
    {
        hdlc_set_frame_output(nullptr);
        OpenLine::TearDown();
    }
};

TEST_F(Router, EveryAcknowledgementReachesItsOwnObjectOnly)
{
    for (const Route &r : all_routes) {
        SCOPED_TRACE(testing::Message() << std::hex << "type " << int(r.type) << " cmd " << int(r.cmd));
        init_all_objects();
        bytes frame{r.type, r.cmd, 0xA5, r.cmd, 0x5A};
        EXPECT_EQ(route_and_capture(frame), "");
        EXPECT_EQ(objects_with_arrival(), std::vector<std::string>{r.name});
        EXPECT_EQ(0, memcmp(&comm_service(r.id)->ack, frame.data(), frame.size()));
    }
    EXPECT_TRUE(fake_ft::tx_bytes().empty());
}

TEST_F(Router, KnownTypesWithUnknownCmdAreDroppedSilently)
{
    for (bytes frame : {bytes{0xF1, 0x07, 1, 2}, bytes{0x5F, 0x11, 1}, bytes{0x6F, 0x00},
                        bytes{0xF0, 0x05, 9}}) {
        EXPECT_EQ(route_and_capture(frame), "");
        EXPECT_TRUE(objects_with_arrival().empty());
    }
    EXPECT_TRUE(fake_ft::tx_bytes().empty());
}

TEST_F(Router, UnknownTypesAndOurOwnRequestTypesAreReported)
{
    EXPECT_EQ(route_and_capture({0x42, 0x07, 1, 2, 3}), "ERROR in type(42) cmd(07)\n");
    EXPECT_EQ(route_and_capture({0x60, 0x80}), "ERROR in type(60) cmd(80)\n");
    EXPECT_EQ(route_and_capture({0xF2, 0x00}), "ERROR in type(F2) cmd(00)\n");
    EXPECT_TRUE(objects_with_arrival().empty());
}

TEST_F(Router, FramesWithoutTypeAndCmdAreDropped)
{
    // An earlier frame leaves a known type in the decoder's buffer; a short
    // frame must not be routed on what it left there.
    EXPECT_EQ(route_and_capture({0x42, 0x07}), "ERROR in type(42) cmd(07)\n");
    bytes one{0xF1};
    testing::internal::CaptureStdout();
    hdlc_on_rx_frame(one.data(), 1);
    hdlc_on_rx_frame(one.data(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(objects_with_arrival().empty());
}

TEST_F(Router, DebugTextsArePrintedUpToTheirZeroByte)
{
    EXPECT_EQ(route_and_capture({0xF0, 0x03, 'h', 'e', 'l', 'l', 'o', 0}), "DBG RQ: hello\n");
    EXPECT_EQ(route_and_capture({0xF0, 0x03, 'h', 'i', 0, 'x', 'y'}), "DBG RQ: hi\n");
    // Without a zero byte only the payload is printed, nothing behind it.
    EXPECT_EQ(route_and_capture({0xF0, 0x03, 'a', 'b', 'c'}), "DBG RQ: abc\n");
    EXPECT_EQ(route_and_capture({0xF0, 0x03}), "DBG RQ: \n");
    EXPECT_EQ(route_and_capture({0xF1, 0x03, 'o', 'k', '\n', 0}), "ok\n");
    EXPECT_EQ(route_and_capture({0xF1, 0x03, 'n', 'o', 'z'}), "noz");

    bytes full(62, 'x');
    full[0] = 0xF0;
    full[1] = 0x03;
    EXPECT_EQ(route_and_capture(full), "DBG RQ: " + std::string(60, 'x') + "\n");
}

TEST_F(Router, BoxPingIsEchoedAsOneFrame)
{
    bytes ping{0xF0, 0x04};
    for (uint8_t i = 0; i < 16; ++i)
        ping.push_back(static_cast<uint8_t>(0x70 + i)); // 0x7D and 0x7E must come back stuffed
    EXPECT_EQ(route_and_capture(ping), "");

    bytes echo = ping;
    echo[0] = 0xF1;
    EXPECT_EQ(fake_ft::tx_bytes(), testframe::encode(echo));
    // One driver write for the whole frame.
    EXPECT_EQ(fake_ft::tx_calls(), 1u);
    EXPECT_TRUE(objects_with_arrival().empty());
}

} // namespace
