// The console run from the command line: help texts, access level, box
// selection, exit codes, and a whole request travelling to the stand-in box
// and back.
#include <algorithm>

#include "e2e_common.h"

namespace {

using e2e::code;
using e2e::golden;

proc::Result run_real(std::vector<std::string> args)
{
    args.insert(args.begin(), TARNCTL_BIN);
    return proc::run(args);
}

class Cli : public e2e::FakeBox {};

TEST_F(Cli, HelpTextsFollowTheAccessLevelGivenBeforeThem)
{
    struct {
        std::vector<std::string> args;
        const char *golden_name;
    } cases[] = {
        {{"-h"}, "help_short.txt"},
        {{"-U", code, "-h"}, "help_full.txt"},
        {{"-U", "KVRL.PEMBRIX-UBO42", "-h"}, "help_full.txt"},
        {{"-h", "-U", code}, "help_short.txt"},
        {{"-U", "kvrl.Pembrix-Ubo4", "-h"}, "help_short.txt"},
        {{"-V", "-h", "-r"}, "help_short.txt"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        proc::Result r = run(c.args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, golden(c.golden_name));
        EXPECT_EQ(r.err, "");
    }
    // Help never opens the line.
    EXPECT_FALSE(opened());
}

TEST_F(Cli, SelectionConflictIsReportedAtTheSecondOption)
{
    proc::Result r = run({"-d", "1", "-D", "CV000001"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "use either -D or -d\n");
    EXPECT_EQ(r.out, "");

    r = run({"-D", "CV000001", "-d", "1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "use either -d or -D\n");

    r = run({"-D", "CV000001", "-d", "0"});
    EXPECT_EQ(r.err, "use either -d or -D\n");

    // A conflict before -h or -l still ends the run with 1; after it, it is
    // never looked at.
    r = run({"-d", "2", "-D", "X", "-h"});
    EXPECT_EQ(r.exit_code, 1);
    r = run({"-l", "-d", "2", "-D", "X"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "1. CV000001\n");
    EXPECT_FALSE(opened());
}

TEST_F(Cli, InstanceZeroGivesWayToTheSerialNumber)
{
    env["FAKE_FT_DEVICES"] = "CV000001,cv000002";
    proc::Result r = run({"-d", "0", "-D", "CV000002", "-r"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(logged("FT_Open(1)"));
}

TEST_F(Cli, InstanceNumbersThatCannotSelectABox)
{
    // "abc" converts to 0, which means no instance: the first box.
    proc::Result r = run({"-d", "abc", "-r"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(logged("FT_Open(0)"));

    // All ones, and numbers too wide for an instance, end the run at once
    // instead of selecting some other box.
    for (const char *bad : {"-1", "0xFFFFFFFFFFFFFFFF", "4294967297", "0x100000001"}) {
        SCOPED_TRACE(bad);
        std::remove(log_path.c_str());
        r = run({"-d", bad, "-r"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_FALSE(opened());
    }
}

TEST_F(Cli, ExitCodeIsTheStatusOfTheLastOptionOfTheSecondPass)
{
    struct {
        std::vector<std::string> args;
        int exit_code;
    } cases[] = {
        {{}, 1},                                 // no command at all
        {{"-r"}, 0},                             // open to everyone
        {{"-c", "0"}, 1},                        // locked: ignored, so no command
        {{"-U", code, "-c", "0"}, 0},
        {{"-c", "0", "-U", code}, 1},            // -U is an option without command when unlocked
        {{"-U", code, "-c", "9"}, 1},            // refused pin
        {{"-U", code, "-c", "9", "-r"}, 0},      // a failing command does not stop the later ones
        {{"-i", "-U", code}, 1},                 // unlocked too late for -i: CLI mode without command
        {{"-r", "-z"}, 0},                       // locked: unknown option ignored
        {{"-U", code, "-r", "-z"}, 1},           // unlocked: it sets the status
        {{"-r", "-M"}, 0},                       // missing argument, locked
        {{"-U", code, "-r", "-M"}, 1},           // missing argument, unlocked
        {{"-r", "extra", "words"}, 0},           // arguments that are no options are ignored
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        proc::Result r = run(c.args);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, c.exit_code);
    }
}

TEST_F(Cli, GetoptDiagnosticsAppearOncePerPass)
{
    proc::Result r = run({"-r", "-M"});
    EXPECT_EQ(e2e::lines_of(r.err).size(), 2u) << r.err;
    EXPECT_NE(r.err.find("'M'"), std::string::npos);

    // Without a box the second pass never runs.
    env["FAKE_FT_DEVICES"] = "";
    r = run({"-r", "-M"});
    EXPECT_EQ(e2e::lines_of(r.err).size(), 1u) << r.err;
    // -M takes the next word as its argument, even an option.
    r = run({"-M", "-l"});
    EXPECT_EQ(r.out, "No Corvane detected\n");
}

TEST_F(Cli, CommandsRunInCommandLineOrder)
{
    proc::Result r = run({"-U", code, "-c", "1", "-c", "1=H", "-c", "1", "-c", "all"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "cbus1(L)\ncbus1(H)\ncbus0(L)\ncbus1(H)\ncbus2(L)\ncbus3(L)\n");
}

// A run builds the device list, opens and configures the line once each,
// whatever it does after; the driver has nothing to repeat on our behalf.
TEST_F(Cli, ARunConnectsOnce)
{
    env["FAKE_FT_REPLIES"] = "6080=6f8002010000;6081=6f81303630";
    proc::Result r = run({"-V", "-V", "-r"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> expected = {
        "FT_SetVIDPID(0x403,0x7f80)", "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList(1)", "FT_Open(0)",
        "FT_ResetDevice", "FT_SetBitMode(0x00,0x00)", "FT_SetBaudRate(230400)", "FT_SetDataCharacteristics(8,0,0)",
        "FT_SetFlowControl(0,0,0)", "FT_SetChars(0x7e,1,0,0)", "FT_SetTimeouts(700,50)", "FT_SetLatencyTimer(10)",
        "FT_SetEventNotification(1)", "FT_Purge(3)"};
    const auto log = driver_log();
    ASSERT_GE(log.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + static_cast<long>(expected.size())), expected);
    for (const char *once : {"FT_SetVIDPID", "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList", "FT_Open(",
                             "FT_ResetDevice", "FT_SetBaudRate", "FT_Purge", "FT_Close"})
        EXPECT_EQ(std::count_if(log.begin(), log.end(), [once](const std::string &l) { return l.rfind(once, 0) == 0; }),
                  1)
            << once;
}

TEST_F(Cli, FailuresWhileOpeningOrClosingEndWithOne)
{
    env["FAKE_FT_FAIL"] = "FT_Purge";
    proc::Result r = run({"-r"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Corvane CV000001 could not be configured: setting the purge failed (driver status 4)\n");
    env["FAKE_FT_FAIL"] = "FT_Close";
    r = run({"-r"});
    EXPECT_EQ(r.exit_code, 1);
}
// The program users run, on this machine without a box.
TEST(RealDriver, NoBoxAttached)
{
    proc::Result r = run_real({"-l"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("No Corvane found\n"), std::string::npos) << r.out;
    r = run_real({"-V"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("No Corvane detected\n"), std::string::npos) << r.out;
    r = run_real({"-h"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, golden("help_short.txt"));
}

TEST_F(Cli, KeepsRunningAfterItsCommandsWithN)
{
    env["FAKE_FT_REPLIES"] = "6080=6f8001020304";
    proc::Options o;
    o.env = env;
    o.limit = std::chrono::milliseconds(1000);
    proc::Result r = proc::run({TARNCTL_FAKE_BIN, "-N", "-V"}, o);
    EXPECT_TRUE(r.timed_out);
    EXPECT_FALSE(logged("FT_Close"));
    // What the commands printed is out although the process had to be
    // killed.
    EXPECT_EQ(r.out, "Firmware 1.2.3.4\n");
}

TEST_F(Cli, RequestAndAnswerTravelTheWholePath)
{
    // The box greets with a debug text and a ping of its own, then answers
    // the firmware version request.
    env["FAKE_FT_HELLO"] = "f003626f6f7400;f00400112233445566778899aabbccddeeff";
    env["FAKE_FT_REPLIES"] = "6080=6f8001020304";
    proc::Result r = run({"-V"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "DBG RQ: boot\nFirmware 1.2.3.4\n");
    EXPECT_TRUE(logged("TX 6080"));
    EXPECT_TRUE(logged("TX f10400112233445566778899aabbccddeeff"));
}

TEST_F(Cli, StatusOfAnUnlockedRunIsThatOfItsLastOption)
{
    env["FAKE_FT_REPLIES"] = "6080=6f8001020304;f004=@f1";
    proc::Result r = run({"-U", code, "-V"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Firmware 1.2.3.4\n");
    // The version is printed, but -U after it counts as an option without
    // command in the second pass.
    r = run({"-V", "-U", code});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Firmware 1.2.3.4\n");
    r = run({"-p", "-V"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(e2e::lines_of(r.out).size(), 2u) << r.out;
}

TEST_F(Cli, UnansweredRequestEndsWithOne)
{
    proc::Result r = run({"-V"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "reading firmware version failed\n");
    EXPECT_EQ(r.err, "send_rq timed out\n");
}

} // namespace
