// Shared set-up for the front-end tests: an empty stand-in bus with one box,
// the line opened through the console's own connect function, and helpers
// to wait for something another thread does.
#ifndef TARNCTL_TESTS_CONSOLE_FIXTURE_H
#define TARNCTL_TESTS_CONSOLE_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "fake_ft.h"
#include "frame_codec.h"
#include "hdlc.h"
#include "tarnctl.h"
#include "wait_for.h"

// Polls cond for up to limit; true as soon as it holds.
inline bool wait_until(const std::function<bool()> &cond,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(3000))
{
    return waitFor(cond, limit);
}

class OpenLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_ft::reset();
        fake_ft::set_devices({{fake_ft::corvane_id, "CV000001"}});
        ft_handle = nullptr;
        cancel_rcv_thread = 0;
        ASSERT_EQ(serial_connect(&ft_handle, &hEvent, 1, 230400), 0);
        hdlc_init(hdlc_put_char, hdlc_on_rx_frame);
    }
    void TearDown() override
    {
        serial_disconnect(ft_handle);
        ft_handle = nullptr;
        fake_ft::reset();
    }
};

#endif
