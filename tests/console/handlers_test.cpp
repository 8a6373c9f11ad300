// The command handlers against a stand-in box that answers with canned
// frames: argument parsing, what goes on the wire, what is printed.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <string>
#include <vector>

#include "console_fixture.h"
#include "can_functions.h"
#include "console_functions.h"
#include "switch_functions.h"

// The wall clock of this test program, substituted for the ping's print:
// while a test holds it, it reads a fixed instant, moved on by a step once
// the stand-in driver has taken a write after the fixing (the ping request
// went out). Otherwise it is the system's clock.
namespace testclock {
std::atomic<bool> held{false};
std::atomic<int64_t> at_us{0}, step_us{0};
std::atomic<size_t> writes_before{0};
} // namespace testclock

extern "C" int gettimeofday(struct timeval *__restrict tv, void *__restrict) noexcept
{
    int64_t us;
    if (testclock::held) {
        us = testclock::at_us;
        if (fake_ft::tx_calls() > testclock::writes_before)
            us += testclock::step_us;
    } else {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        us = static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    }
    tv->tv_sec = static_cast<time_t>(us / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
    return 0;
}

namespace {

using bytes = std::vector<uint8_t>;

bytes cat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Handlers : public OpenLine {
protected:
    void SetUp() override
    {
        OpenLine::SetUp();
        ASSERT_EQ(start_receiver(ft_handle, rx_handler, &thread, &rcv_started_mtx), 0);
    }
    void TearDown() override
    {
        stop_receiver();
        pthread_join(thread, nullptr);
        OpenLine::TearDown();
    }

    struct Run {
        int rc;
        std::string out, err;
        std::vector<bytes> sent;
    };
    Run cmd(int (*handler)(char *), const char *param)
    {
        size_t before = fake_ft::tx_frames().size();
        std::string text = param ? param : "";
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = handler(param ? text.data() : nullptr);
        Run r{rc, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr(), {}};
        auto frames = fake_ft::tx_frames();
        r.sent.assign(frames.begin() + static_cast<long>(before), frames.end());
        return r;
    }

    pthread_t thread{};
};

TEST_F(Handlers, Identification)
{
    fake_ft::add_reply({0x60, 0x80}, {0x6F, 0x80, 1, 2, 3, 40});
    fake_ft::add_reply({0x60, 0x81}, {0x6F, 0x81, 20, 26, 12, 6});
    fake_ft::add_reply({0x60, 0x83}, {0x6F, 0x83, 1, 'a', 2, 'b'});
    fake_ft::add_reply({0x60, 0x82}, cat({0x6F, 0x82}, bytes(40, 'Z')));

    Run r = cmd(process_cmd_version, nullptr);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "Firmware 1.2.3.40\n");
    EXPECT_EQ(r.sent, std::vector<bytes>{bytes({0x60, 0x80})});

    EXPECT_EQ(cmd(process_cmd_date, nullptr).out, "Date 06.12.2026\n");
    EXPECT_EQ(cmd(process_cmd_blversion, nullptr).out, "Bootloader 1a2b\n");
    // A string that fills its buffer is cut at 30 characters.
    EXPECT_EQ(cmd(process_cmd_blstring, nullptr).out, "BL: " + std::string(30, 'Z') + "\n");
}

TEST_F(Handlers, UnansweredRequestFails)
{
    Run r = cmd(process_cmd_version, nullptr);
    EXPECT_EQ(r.rc, 110);
    EXPECT_EQ(r.out, "reading firmware version failed\n");
    EXPECT_EQ(r.err, "send_rq timed out\n");
}

TEST_F(Handlers, Ping)
{
    fake_ft::add_echo_reply({0xF0, 0x04}, 0xF1);
    Run r = cmd(process_cmd_ping, nullptr);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("PING: turn around [0-9]+(us|ms)\n"))) << r.out;
    ASSERT_EQ(r.sent.size(), 1u);
    EXPECT_EQ(r.sent[0].size(), 18u);
}

// The turn-around is shown in microseconds up to 1000 and in whole
// milliseconds (cut, not rounded) above.
TEST_F(Handlers, PingUnitChangesAbove1000Microseconds)
{
    fake_ft::add_echo_reply({0xF0, 0x04}, 0xF1);
    const struct {
        int64_t us;
        const char *out;
    } cases[] = {{999, "999us"}, {1000, "1000us"}, {1001, "1ms"}, {1999, "1ms"}, {2000, "2ms"}};
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    testclock::at_us = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    for (const auto &c : cases) {
        testclock::step_us = c.us;
        testclock::writes_before = fake_ft::tx_calls();
        testclock::held = true;
        Run r = cmd(process_cmd_ping, nullptr);
        testclock::held = false;
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, std::string("PING: turn around ") + c.out + "\n");
    }
}

TEST_F(Handlers, SwitchRegisters)
{
    fake_ft::add_reply({0xF0, 0x06, 0x11}, {0xF1, 0x06, 0x11, 0x3F});
    fake_ft::add_reply({0xF0, 0x05}, {0xF1, 0x05, 0, 0});
    Run r = cmd(process_cmd_smi_reg, "0x11");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "register (011): 3f\n");

    // Register numbers and values in any base strtoul takes: hexadecimal,
    // decimal and octal (17 and 021 are 0x11, as 63 and 077 are 0x3f).
    for (const char *reg : {"0x11", "17", "021"}) {
        SCOPED_TRACE(reg);
        r = cmd(process_cmd_smi_reg, reg);
        EXPECT_EQ(r.out, "register (011): 3f\n");
        EXPECT_EQ(r.sent.at(0), bytes({0xF0, 0x06, 0x11, 0x00}));
    }
    for (const char *write : {"0x11=0x3f", "17=63", "021=077"}) {
        SCOPED_TRACE(write);
        r = cmd(process_cmd_smi_reg, write);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out + r.err, "");
        ASSERT_EQ(r.sent.size(), 1u);
        EXPECT_EQ(r.sent[0], bytes({0xF0, 0x05, 0x11, 0x3F}));
    }

    for (const char *bad : {"=", static_cast<const char *>(nullptr)}) {
        r = cmd(process_cmd_smi_reg, bad);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, "invalid register address: missing\n");
        EXPECT_TRUE(r.sent.empty());
    }
}

TEST_F(Handlers, PhyRegisters)
{
    fake_ft::add_reply({0xF0, 0x02}, {0xF1, 0x02, 0x23, 0x45, 0xC2, 0x5C});
    fake_ft::add_echo_reply({0xF0, 0x01}, 0xF1);
    Run r = cmd(process_cmd_mdio_reg, "0x2345");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "register (45): 5cc2\n");
    ASSERT_EQ(r.sent.size(), 1u);
    EXPECT_EQ(bytes(r.sent[0].begin(), r.sent[0].begin() + 4), bytes({0xF0, 0x02, 0x23, 0x45}));

    r = cmd(process_cmd_mdio_reg, "0x1800=0x0208");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.sent.at(0), bytes({0xF0, 0x01, 0x18, 0x00, 0x08, 0x02}));
}

TEST_F(Handlers, PowerAndWakeUpKeywords)
{
    fake_ft::add_echo_reply({0x50, 0x10}, 0x5F);
    fake_ft::add_reply({0x50, 0x30}, {0x5F, 0x30, 0x01});
    Run r = cmd(process_cmd_power, "ON");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.sent, std::vector<bytes>{bytes({0x50, 0x10})});
    for (const char *bad : {"o", "onn"}) {
        r = cmd(process_cmd_power, bad);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, std::string("power: invalid argument ") + bad + " (on or off)\n");
        EXPECT_TRUE(r.sent.empty());
    }
    for (const char *none : {"", static_cast<const char *>(nullptr)}) {
        r = cmd(process_cmd_power, none);
        EXPECT_EQ(r.err, "power: on or off required\n");
    }

    r = cmd(process_cmd_wup, nullptr);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "ETH_WUP(GND (KL31))\n");
    r = cmd(process_cmd_wup, "GEt");
    EXPECT_EQ(r.out, "ETH_WUP(GND (KL31))\n");
    r = cmd(process_cmd_wup, "t");
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(r.sent.empty());
}

TEST_F(Handlers, EepromArgumentsAreCheckedBeforeAnythingIsSent)
{
    struct {
        const char *param;
        const char *err;
    } cases[] = {
        {nullptr, "NULL parameter\n"},
        {"x", "invalid sub-command x\n"},
        {" ", "invalid sub-command NULL\n"},
        {"r", "NULL address\n"},
        {"read zz", "invalid address zz: not a number\n"},
        {"read 0x10000", "invalid address 0x10000: out of range (0x0 to 0xffff)\n"},
        {"read 0x100 zz", "invalid size zz: not a number\n"},
        {"read 0xFFF0 0x20", "invalid size 0x20: out of range (0x0 to 0x10)\n"},
        {"clear 0 0x10000", "invalid size 0x10000: out of range (0x0 to 0xffff)\n"},
        {"read 0x100 16 extra", "invalid parameter extra\n"},
        {"write 0x10 1 zz", "invalid value zz: not a number\n"},
        {"write 0x10 1 0x1FFFFFFFFFFFFFFFFF", "invalid value 0x1FFFFFFFFFFFFFFFFF: out of range (0x0 to 0xff)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.param ? c.param : "(none)");
        Run r = cmd(process_cmd_e2p, c.param);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(r.sent.empty());
    }
}

TEST_F(Handlers, EepromReadInChunks)
{
    bytes data(20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(0xA0 + i);
    fake_ft::add_reply({0xF0, 0x09, 0x00, 0x01, 20}, cat({0xF1, 0x09, 0x00, 0x01, 20}, data));
    Run r = cmd(process_cmd_e2p, "read(0x100,20)");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "eep read from 0x100 20 bytes\n"
                     "100: A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\n"
                     "110: B0 B1 B2 B3 \n");

    fake_ft::add_reply({0xF0, 0x09, 0x00, 0x00, 57}, cat({0xF1, 0x09, 0x00, 0x00, 57}, bytes(57, 1)));
    fake_ft::add_reply({0xF0, 0x09, 57, 0x00, 43}, cat({0xF1, 0x09, 57, 0x00, 43}, bytes(43, 2)));
    r = cmd(process_cmd_e2p, "r 0 100");
    EXPECT_EQ(r.rc, 0);
    ASSERT_EQ(r.sent.size(), 2u);
    EXPECT_EQ(r.sent[0], bytes({0xF0, 0x09, 0, 0, 57}));
    EXPECT_EQ(r.sent[1], bytes({0xF0, 0x09, 57, 0, 43}));
}

TEST_F(Handlers, EepromReadThatMakesNoProgressFails)
{
    fake_ft::add_reply({0xF0, 0x09, 0x00, 0x02}, {0xF1, 0x09, 0x00, 0x02, 0});
    Run r = cmd(process_cmd_e2p, "read 0x200 4");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "e2p_read failed\n");
    EXPECT_EQ(r.sent.size(), 1u);
}

// An answer that claims more bytes than were asked would move the read past
// bytes that were never copied (and show whatever the buffer held): the read
// fails instead, in the last chunk as in an earlier one.
TEST_F(Handlers, EepromReadAnswerLongerThanAskedFails)
{
    fake_ft::add_reply({0xF0, 0x09, 0x00, 0x02, 4}, cat({0xF1, 0x09, 0x00, 0x02, 8}, bytes(8, 0x11)));
    fake_ft::add_reply({0xF0, 0x09, 0x00, 0x03, 57}, cat({0xF1, 0x09, 0x00, 0x03, 58}, bytes(57, 0x22)));
    for (const char *param : {"read 0x200 4", "read 0x300 60"}) {
        SCOPED_TRACE(param);
        Run r = cmd(process_cmd_e2p, param);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, "e2p_read failed\n");
        EXPECT_EQ(r.sent.size(), 1u);
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "no dump: " << r.out;
    }
}

TEST_F(Handlers, EepromWriteInChunksOf57)
{
    fake_ft::add_echo_reply({0xF0, 0x08}, 0xF1);
    std::string values = "write 0x10";
    for (int i = 0; i < 60; ++i)
        values += " " + std::to_string(i);
    Run r = cmd(process_cmd_e2p, values.c_str());
    EXPECT_EQ(r.rc, 0);
    ASSERT_EQ(r.sent.size(), 2u);
    EXPECT_EQ(bytes(r.sent[0].begin(), r.sent[0].begin() + 5), bytes({0xF0, 0x08, 0x10, 0x00, 57}));
    EXPECT_EQ(r.sent[0].size(), 5u + 57u);
    EXPECT_EQ(r.sent[1], bytes({0xF0, 0x08, 0x49, 0x00, 3, 57, 58, 59}));
    EXPECT_EQ(r.out.find("eep write to 0x10 57 bytes\n00-01-02-"), 0u) << r.out;
    EXPECT_NE(r.out.find("eep write to 0x49 3 bytes\n39-3A-3B-\n"), std::string::npos) << r.out;

    // The first number after the sub-command is always the address.
    r = cmd(process_cmd_e2p, "write=0x10,1,2");
    EXPECT_EQ(r.sent, std::vector<bytes>{bytes({0xF0, 0x08, 0x10, 0x00, 2, 1, 2})});
    r = cmd(process_cmd_e2p, "write 0x10");
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.sent.empty());
}

TEST_F(Handlers, EepromWriteThatTheBoxStoresOnlyPartlyFails)
{
    fake_ft::add_reply({0xF0, 0x08}, {0xF1, 0x08, 0x10, 0x00, 1});
    Run r = cmd(process_cmd_e2p, "write 0x10 1 2 3");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "e2p_write failed\n");
}

TEST_F(Handlers, EepromWriteNeverWrapsPastTheLastAddress)
{
    fake_ft::add_echo_reply({0xF0, 0x08}, 0xF1);
    Run r = cmd(process_cmd_e2p, "write 0xFFFE 1 2 3");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "invalid address");
    EXPECT_TRUE(r.sent.empty());
}

TEST_F(Handlers, Echo)
{
    // The box returns the text it was sent (cut to 31 characters).
    bytes answer = {0xF3, 0x00};
    answer.insert(answer.end(), 31, 'x');
    answer.resize(2 + 32, 0);
    fake_ft::add_reply({0xF2, 0x00}, answer);
    std::string long_text(40, 'x');
    Run r = cmd(process_cmd_echo, long_text.c_str());
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "echo(" + std::string(31, 'x') + ")\n");
    ASSERT_EQ(r.sent.size(), 1u);
    bytes expected = {0xF2, 0x00, 32, 0, 32, 0};
    expected.insert(expected.end(), 31, 'x');
    expected.push_back(0);
    EXPECT_EQ(r.sent[0], expected);
}

TEST_F(Handlers, ConfigurationNeedsAKnownArgument)
{
    Run r = cmd(process_cmd_cfg, nullptr);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "parameter required\n");
    r = cmd(process_cmd_cfg, "x");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "cfg: invalid argument x (read or write)\n");
    EXPECT_TRUE(r.sent.empty());
}

TEST_F(Handlers, RawFrame)
{
    Run r = cmd(process_cmd_hdlc, "0xF0,0x04");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "HDLC: F0 04 \n");
    EXPECT_EQ(r.sent, std::vector<bytes>{bytes({0xF0, 0x04})});

    r = cmd(process_cmd_hdlc, "240 4.1-2\t3");
    EXPECT_EQ(r.sent, std::vector<bytes>{bytes({0xF0, 0x04, 1, 2, 3})});

    std::string many;
    for (int i = 0; i < 62; ++i)
        many += std::to_string(i) + ",";
    r = cmd(process_cmd_hdlc, many.c_str());
    ASSERT_EQ(r.sent.size(), 1u);
    EXPECT_EQ(r.sent[0].size(), 62u);
    EXPECT_EQ(r.sent[0].back(), 61);

    r = cmd(process_cmd_hdlc, nullptr);
    EXPECT_EQ(r.out, "HDLC: \n");
    EXPECT_EQ(r.sent, std::vector<bytes>{bytes{}});
}

// Every number a command writes or addresses with is one well-formed word
// within its field; anything else is refused with one line naming the word,
// and nothing goes to the box.
TEST_F(Handlers, MalformedArgumentsAreRefusedAndNothingIsSent)
{
    std::string too_many;
    for (int i = 0; i < 63; ++i)
        too_many += "1 ";
    const struct {
        int (*handler)(char *);
        std::string param;
        const char *err;
    } cases[] = {
        {process_cmd_smi_reg, "0x11=0xzz", "invalid register value 0xzz: not a number\n"},
        {process_cmd_smi_reg, "99999999999", "invalid register address 99999999999: out of range (0x0 to 0xff)\n"},
        {process_cmd_smi_reg, "0x11=0x100", "invalid register value 0x100: out of range (0x0 to 0xff)\n"},
        {process_cmd_smi_reg, "0x11=-1", "invalid register value -1: not a number\n"},
        {process_cmd_smi_reg, "0x11=5 6", "sreg: unexpected word 6\n"},
        {process_cmd_mdio_reg, "0x1800=0xzz", "invalid register value 0xzz: not a number\n"},
        {process_cmd_mdio_reg, "0x1800=12abc", "invalid register value 12abc: not a number\n"},
        {process_cmd_mdio_reg, "0x12345", "invalid register address 0x12345: out of range (0x0 to 0xffff)\n"},
        {process_cmd_mdio_reg, "0x1800=0x10000", "invalid register value 0x10000: out of range (0x0 to 0xffff)\n"},
        {process_cmd_e2p, "read 0x1zz", "invalid address 0x1zz: not a number\n"},
        {process_cmd_e2p, "write 0x10 1 0x100", "invalid value 0x100: out of range (0x0 to 0xff)\n"},
        {process_cmd_e2p, "read 0x100 16x", "invalid size 16x: not a number\n"},
        {process_cmd_hdlc, "0xF0,0x04,256", "invalid value 256: out of range (0x0 to 0xff)\n"},
        {process_cmd_hdlc, too_many, "hdlc: at most 62 bytes a frame\n"},
        {process_cmd_sniff, "9 rx", "invalid port 9: out of range (1 to 4)\n"},
        {process_cmd_sniff, "2x rx", "invalid port 2x: not a number\n"},
        {process_cmd_sniff, "3 r", "sniff: invalid mode r (rx, tx, rxtx, mirror or off)\n"},
        {process_cmd_mib, "2x", "invalid port 2x: not a number\n"},
        {process_cmd_mib, "5", "invalid port 5: out of range (1 to 4)\n"},
        {process_cmd_ind_tab, "smac 4 1 2 3 4 5 6 7 0x100", "process_cmd_ind_tab: invalid data 0x100\n"},
        {process_cmd_ind_tab, "smac 4x", "process_cmd_ind_tab: invalid entry_idx 4x\n"},
        {process_cmd_ind_tab, "smac 4-5x", "process_cmd_ind_tab: invalid end_entry_idx 5x\n"},
        {process_cmd_ind_tab, "smac 4 1 2 3 4 5 6 7 8 9 10",
         "process_cmd_ind_tab: number of data bytes (10) does not match entry size (8)\n"},
        {process_cmd_pvlan, "5 1001", "invalid port 5: out of range (1 to 4)\n"},
        {process_cmd_pvlan, "4 1021", "invalid port vlan membership 1021: not a number\n"},
        {process_cmd_pvlan, "4 100000", "invalid port vlan membership 100000: out of range (0 to 11111)\n"},
        {process_cmd_smac, "5 0x80 yes no yes 1001 80:01:02:03:04:05", "process_cmd_smac: invalid FID 0x80\n"},
        {process_cmd_smac, "5 0x0A maybe no yes 1001 80:01:02:03:04:05",
         "process_cmd_smac: invalid flag maybe (yes or no)\n"},
        {process_cmd_smac, "5 0x0A yes no yes 10001 80:01:02:03:04:05",
         "invalid forward ports 10001: out of range (0 to 1111)\n"},
        {process_cmd_smac, "5 0x0A yes no yes 1001 80:01:02:03:04",
         "process_cmd_smac: invalid MAC address 80:01:02:03:04\n"},
        {process_cmd_smac, "5 0x0A yes no yes 1001 1ff:2:3:4:5:6", "process_cmd_smac: invalid MAC address 1ff:2:3:4:5:6\n"},
        {process_cmd_vlan, "100 0x80 y 0011", "process_cmd_vlan: invalid FID 0x80\n"},
        {process_cmd_vlan, "1x00 1 y 0011", "process_cmd_vlan: invalid entry_idx 1x00\n"},
        {process_cmd_vlan, "100 1 y 0012", "invalid forward ports 0012: not a number\n"},
        {process_cmd_can, "speed 500k", "process_cmd_can: invalid bus frequency entry 500k\n"},
        {process_cmd_can, "speed 4999", "process_cmd_can: bus frequency 4999 out of range\n"},
        {process_cmd_can, "calc -125000", "process_cmd_can: invalid bus frequency entry -125000\n"},
        {process_cmd_can, "dump x", "invalid CAN dump command x (on or off)\n"},
        {process_cmd_can, "mode x", "invalid CAN mode command x\n"},
        {process_cmd_can, "sx", "Invalid CAN command sx\n"},
        {process_cmd_power, "maybe", "power: invalid argument maybe (on or off)\n"},
        {process_cmd_wup, "bogus", "wup: invalid argument bogus (get, on, off or trigger)\n"},
        {process_cmd_test, "x", "test: unknown test x (mdio)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.param);
        Run r = cmd(c.handler, c.param.c_str());
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.sent.empty());
    }
}

} // namespace
