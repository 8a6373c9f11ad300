// The serial line functions against the stand-in driver: which driver calls
// in which order with which values, box selection, listing, CBUS commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_fixture.h"

namespace {

using strings = std::vector<std::string>;

const strings open_sequence_after_list = {
    "FT_ResetDevice",
    "FT_SetBitMode(0x00,0x00)",
    "FT_SetBaudRate(230400)",
    "FT_SetDataCharacteristics(8,0,0)",
    "FT_SetFlowControl(0,0,0)",
    "FT_SetChars(0x7e,1,0,0)",
    "FT_SetTimeouts(700,50)",
    "FT_SetLatencyTimer(10)",
    "FT_SetEventNotification(1)",
    "FT_Purge(3)",
};

strings expected_connect(int position, unsigned count)
{
    strings s = {"FT_SetVIDPID(0x403,0x7f80)", "FT_CreateDeviceInfoList",
                 "FT_GetDeviceInfoList(" + std::to_string(count) + ")", "FT_Open(" + std::to_string(position) + ")"};
    s.insert(s.end(), open_sequence_after_list.begin(), open_sequence_after_list.end());
    return s;
}

class Serial : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_ft::reset();
        ft_handle = nullptr;
    }
    void TearDown() override
    {
        if (ft_handle != nullptr)
            serial_disconnect(ft_handle);
        ft_handle = nullptr;
        fake_ft::reset();
    }
    // Connects by instance with stdout captured; returns the result.
    int connect_inst(unsigned inst, std::string *out = nullptr)
    {
        testing::internal::CaptureStdout();
        int rc = serial_connect(&ft_handle, &hEvent, inst, 230400);
        std::string text = testing::internal::GetCapturedStdout();
        if (out)
            *out = text;
        return rc;
    }
    int connect_sn(const char *sn, std::string *out = nullptr)
    {
        std::string copy(sn);
        testing::internal::CaptureStdout();
        int rc = serial_connect_sn(&ft_handle, &hEvent, copy.data(), 230400);
        std::string text = testing::internal::GetCapturedStdout();
        if (out)
            *out = text;
        return rc;
    }
};

TEST_F(Serial, ConnectConfiguresTheLineInOrder)
{
    fake_ft::set_devices({{fake_ft::corvane_id, "CV000001"}});
    ASSERT_EQ(connect_inst(1), 0);
    EXPECT_NE(ft_handle, nullptr);
    EXPECT_EQ(fake_ft::calls(), expected_connect(0, 1));
}

TEST_F(Serial, InstancesCountOnlyTheBoxConverterInListOrder)
{
    fake_ft::set_devices({{0x04036001, "OTHER1"}, {fake_ft::corvane_id, "CV1"}, {0x04036001, "OTHER2"},
                          {fake_ft::corvane_id, "CV2"}});
    ASSERT_EQ(connect_inst(2), 0);
    EXPECT_EQ(fake_ft::calls(), expected_connect(3, 4));
}

TEST_F(Serial, MissingInstanceIsNotDetectedAndNothingIsOpened)
{
    fake_ft::set_devices({{fake_ft::corvane_id, "CV1"}, {fake_ft::corvane_id, "CV2"}});
    std::string out;
    EXPECT_EQ(connect_inst(3, &out), -1);
    EXPECT_EQ(out, "No Corvane detected\n");
    EXPECT_EQ(ft_handle, nullptr);
    for (const auto &c : fake_ft::calls())
        EXPECT_EQ(c.rfind("FT_Open", 0), std::string::npos) << c;

    fake_ft::reset();
    EXPECT_EQ(connect_inst(1, &out), -1);
    EXPECT_EQ(out, "No Corvane detected\n");
}

TEST_F(Serial, SerialNumberIsMatchedIgnoringCaseAndTheLastMatchWins)
{
    fake_ft::set_devices({{fake_ft::corvane_id, "cvA"}, {0x04036001, "CVA"}, {fake_ft::corvane_id, "CVa"},
                          {fake_ft::corvane_id, "CVB"}});
    ASSERT_EQ(connect_sn("CVA"), 0);
    EXPECT_EQ(fake_ft::calls(), expected_connect(2, 4));
}

TEST_F(Serial, SerialNumberFillingTheWholeFieldIsCompared)
{
    fake_ft::set_devices({{fake_ft::corvane_id, "ABCDEFGHIJKLMNOP"}});
    std::string out;
    EXPECT_EQ(connect_sn("ABCDEFGHIJKLMNO", &out), -1);
    EXPECT_EQ(out, "No Corvane detected\n");
    EXPECT_EQ(connect_sn("abcdefghijklmnop"), 0);
}

TEST_F(Serial, ListFailureEndsConnectSilently)
{
    fake_ft::set_devices({{fake_ft::corvane_id, "CV1"}});
    fake_ft::set_failure("FT_CreateDeviceInfoList", FT_IO_ERROR);
    std::string out;
    EXPECT_EQ(connect_inst(1, &out), -1);
    EXPECT_EQ(out, "");
}

TEST_F(Serial, FailingSetUpCallLeavesTheHandleUnsetAndClosesTheConverter)
{
    const char *steps[] = {"FT_SetBaudRate", "FT_SetDataCharacteristics", "FT_SetFlowControl",
                           "FT_SetChars",    "FT_SetTimeouts",            "FT_SetLatencyTimer",
                           "FT_SetEventNotification", "FT_Purge",         "FT_Open"};
    for (const char *step : steps) {
        SCOPED_TRACE(step);
        fake_ft::reset();
        fake_ft::set_devices({{fake_ft::corvane_id, "CV1"}});
        fake_ft::set_failure(step, FT_IO_ERROR);
        std::string out;
        EXPECT_EQ(connect_inst(1, &out), -1);
        EXPECT_EQ(out, "");
        EXPECT_EQ(ft_handle, nullptr);
        strings calls = fake_ft::calls();
        // Nothing after the failing call except the close of what was opened.
        auto failed = std::find_if(calls.begin(), calls.end(),
                                   [step](const std::string &c) { return c.rfind(step, 0) == 0; });
        ASSERT_NE(failed, calls.end());
        strings after(failed + 1, calls.end());
        EXPECT_EQ(after, std::string(step) == "FT_Open" ? strings{} : strings{"FT_Close"});
    }
}

TEST_F(Serial, ResetAndBitModeResultsAreIgnored)
{
    fake_ft::set_devices({{fake_ft::corvane_id, "CV1"}});
    fake_ft::set_failure("FT_ResetDevice", FT_IO_ERROR);
    fake_ft::set_failure("FT_SetBitMode", FT_IO_ERROR);
    EXPECT_EQ(connect_inst(1), 0);
}

TEST_F(Serial, ListingNumbersEveryDevice)
{
    fake_ft::set_devices({{fake_ft::corvane_id, "CV000001"}, {0x04036001, "OTHER"},
                          {fake_ft::corvane_id, "ABCDEFGHIJKLMNOP"}});
    testing::internal::CaptureStdout();
    list_devices();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1. CV000001\n2. OTHER\n3. ABCDEFGHIJKLMNOP\n");
}

TEST_F(Serial, ListingWithAFailingList)
{
    fake_ft::set_devices({{fake_ft::corvane_id, "CV1"}});
    fake_ft::set_failure("FT_GetDeviceInfoList", FT_IO_ERROR);
    testing::internal::CaptureStdout();
    list_devices();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No Corvane found\n");
}

TEST_F(Serial, DisconnectReportsAFailedClose)
{
    fake_ft::set_devices({{fake_ft::corvane_id, "CV1"}});
    ASSERT_EQ(connect_inst(1), 0);
    EXPECT_EQ(serial_disconnect(ft_handle), 0);
    EXPECT_EQ(serial_disconnect(ft_handle), -1);
    ft_handle = nullptr;
}

// ---- CBUS -------------------------------------------------------------------

class Cbus : public OpenLine {
protected:
    struct Run {
        int rc;
        std::string out, err;
        strings calls;
    };
    Run cmd(int (*handler)(char *), const char *param)
    {
        size_t before = fake_ft::calls().size();
        std::string text = param ? param : "";
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = handler(param ? text.data() : nullptr);
        Run r{rc, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr(), {}};
        strings all = fake_ft::calls();
        r.calls.assign(all.begin() + static_cast<long>(before), all.end());
        return r;
    }
};

TEST_F(Cbus, ReadAllPins)
{
    fake_ft::set_pins(0x05);
    for (const char *p : {static_cast<const char *>(nullptr), "all", "ALL"}) {
        Run r = cmd(process_cmd_cbus, p);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, "cbus0(H)\ncbus1(L)\ncbus2(H)\ncbus3(L)\n");
        EXPECT_EQ(r.calls, strings{"FT_GetBitMode"});
    }
}

TEST_F(Cbus, ReadOnePin)
{
    fake_ft::set_pins(0x02);
    Run r = cmd(process_cmd_cbus, "1");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "cbus1(H)\n");
    r = cmd(process_cmd_cbus, "0x01");
    EXPECT_EQ(r.out, "cbus1(H)\n");
    r = cmd(process_cmd_cbus, "2");
    EXPECT_EQ(r.out, "cbus2(L)\n");
    // Pins 4 to 7 are directions, not levels: they read low.
    r = cmd(process_cmd_cbus, "5");
    EXPECT_EQ(r.out, "cbus5(L)\n");
}

TEST_F(Cbus, SetLevelsInAllSpellings)
{
    struct {
        const char *param;
        uint8_t pins_after;
    } cases[] = {{"1=H", 0x02}, {"1 high", 0x02}, {"1=1", 0x02}, {"1\t=  h", 0x02},
                 {"1 L", 0x00}, {"1=0", 0x00},    {"1=low", 0x00}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.param);
        fake_ft::set_pins(c.pins_after ? 0x00 : 0x02);
        Run r = cmd(process_cmd_cbus, c.param);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(fake_ft::pins(), c.pins_after);
        ASSERT_EQ(r.calls.size(), 2u);
        EXPECT_EQ(r.calls[0], "FT_GetBitMode");
        EXPECT_EQ(r.calls[1].substr(r.calls[1].size() - 6), ",0x20)");
    }
}

TEST_F(Cbus, WriteKeepsTheOtherPinsAndSetsTheBitBangMode)
{
    fake_ft::set_pins(0x09);
    Run r = cmd(process_cmd_cbus, "2=H");
    EXPECT_EQ(r.rc, 0);
    // The read-back byte carries more than levels: only its levels are kept,
    // and all four pins are driven.
    EXPECT_EQ(r.calls, (strings{"FT_GetBitMode", "FT_SetBitMode(0xfd,0x20)"}));
    EXPECT_EQ(fake_ft::pins(), 0x0D);
}

TEST_F(Cbus, WriteAfterAFailedReadStartsFromAllOutputsLow)
{
    fake_ft::set_failure("FT_GetBitMode", FT_IO_ERROR);
    Run r = cmd(process_cmd_cbus, "1=H");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.calls, (strings{"FT_GetBitMode", "FT_SetBitMode(0xf2,0x20)"}));
    EXPECT_EQ(r.err, "cbus write failed\n");
}

TEST_F(Cbus, BadPinsAndLevelsChangeNothing)
{
    struct {
        const char *param;
        const char *err;
    } cases[] = {
        {"=", "invalid cbus pin: missing\n"},
        {"x", "invalid cbus pin x: not a number\n"},
        {"x=H", "invalid cbus pin x: not a number\n"},
        {"1x=H", "invalid cbus pin 1x: not a number\n"},
        {"8", "invalid cbus pin 8: out of range (0 to 7)\n"},
        {"255=H", "invalid cbus pin 255: out of range (0 to 7)\n"},
        {"-1=H", "invalid cbus pin -1: not a number\n"},
        {"99999999999999999999999=H", "invalid cbus pin 99999999999999999999999: out of range (0 to 7)\n"},
        {"1=x", "invalid cbus level x (H, L, 1 or 0)\n"},
        {"1=2", "invalid cbus level 2 (H, L, 1 or 0)\n"},
        {"1=10", "invalid cbus level 10 (H, L, 1 or 0)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.param);
        Run r = cmd(process_cmd_cbus, c.param);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.calls.empty());
    }
}

TEST_F(Cbus, ReadFailure)
{
    fake_ft::set_failure("FT_GetBitMode", FT_IO_ERROR);
    Run r = cmd(process_cmd_cbus, nullptr);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "cbus read failed\n");
    r = cmd(process_cmd_cbus, "3");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "cbus read failed\n");
}

TEST_F(Cbus, ResetPulsesCbus0LowThenHigh)
{
    for (const char *p : {static_cast<const char *>(nullptr), "cpu", "CPU", "c"}) {
        SCOPED_TRACE(p ? p : "(none)");
        fake_ft::set_pins(0x03);
        auto t0 = std::chrono::steady_clock::now();
        Run r = cmd(process_cmd_reset, p);
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.calls, (strings{"FT_GetBitMode", "FT_SetBitMode(0xf2,0x20)", "FT_GetBitMode",
                                    "FT_SetBitMode(0xf3,0x20)"}));
    }
}

TEST_F(Cbus, ResetWithAnotherTargetIsRefusedAndTouchesNothing)
{
    Run r = cmd(process_cmd_reset, "now");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "invalid reset target now (cpu)\n");
    EXPECT_TRUE(r.calls.empty());
}

TEST_F(Cbus, FailedResetIsReportedAndBothEdgesAreStillDriven)
{
    fake_ft::set_failure("FT_SetBitMode", FT_IO_ERROR);
    Run r = cmd(process_cmd_reset, nullptr);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "reset failed\n");
    EXPECT_EQ(r.calls.size(), 4u);
}

} // namespace
