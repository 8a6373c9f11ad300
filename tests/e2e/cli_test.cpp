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
    // Words that are no instance, and numbers too wide for one, end the run
    // at once instead of selecting some other box.
    for (const char *bad : {"abc", "1x", "-1", "0xFFFFFFFFFFFFFFFF", "4294967297", "0x100000001"}) {
        SCOPED_TRACE(bad);
        std::remove(log_path.c_str());
        proc::Result r = run({"-d", bad, "-r"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(std::string("invalid instance ") + bad + ": ", 0), 0u) << r.err;
        EXPECT_FALSE(opened());
    }
}

TEST_F(Cli, ExitCodeSaysWhetherEveryCommandSucceeded)
{
    struct {
        std::vector<std::string> args;
        int exit_code;
    } cases[] = {
        {{}, 1},                                 // no command at all
        {{"-N", "-h"}, 0},
        {{"-r"}, 0},                             // open to everyone
        {{"-c", "0"}, 1},                        // locked: refused
        {{"-U", code, "-c", "0"}, 0},
        {{"-c", "0", "-U", code}, 0},            // the unlock holds for the whole command line
        {{"-U", code, "-c", "9"}, 1},            // refused pin
        {{"-U", code, "-c", "9", "-r"}, 1},      // a failing command does not stop the later ones, but counts
        {{"-i", "-U", code}, 1},                 // unlocked too late for -i: refused
        {{"-r", "-z"}, 2},                       // unknown option: nothing runs
        {{"-U", code, "-r", "-z"}, 2},
        {{"-r", "-M"}, 2},                       // missing argument
        {{"-r", "--bogus"}, 2},                  // unknown long option
        {{"-r", "extra", "words"}, 2},           // words that are no options
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        proc::Result r = run(c.args);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, c.exit_code);
    }
}

// A bad option is reported once, and the line is never opened for a
// command line that is partly wrong.
TEST_F(Cli, BadOptionsAreReportedOnceAndNothingRuns)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-r", "-M"}, {"-x", "-r"}, {"-r", "-A"}, {"-G"}, {"--help-me", "-r"},
          {"-r", "-X", "speed", "250000"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        std::remove(log_path.c_str());
        proc::Result r = run(args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(e2e::lines_of(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(opened());
    }
    // -M takes the next word as its argument, even an option.
    env["FAKE_FT_DEVICES"] = "";
    proc::Result r = run({"-M", "-l"});
    EXPECT_EQ(r.out, "No Corvane detected\n");
}

TEST_F(Cli, LongHelpAndVersion)
{
    EXPECT_EQ(run({"--help"}).out, golden("help_short.txt"));
    EXPECT_EQ(run({"-U", code, "--help"}).out, golden("help_full.txt"));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--version"}, {"-U", code, "--version"}, {"--version", "-V"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        proc::Result r = run(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "tarnctl " TARNCTL_VERSION "\ndriver 0.9.0\n");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_FALSE(opened());
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
    // -U after the command is an option of the front end, not a failed
    // command.
    r = run({"-V", "-U", code});
    EXPECT_EQ(r.exit_code, 0);
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
