// Failures a user must be told about, through the whole console on the
// simulated bus and box with the simulator's faults: a configuration write
// cut short, a configuration listing cut by its work area, a converter that
// cannot be opened or set up, and input lines the console must refuse.
#include <cstdlib>

#include "e2e_common.h"

namespace {

using e2e::code;

class Failures : public e2e::SimScratch {
protected:
    Failures() : e2e::SimScratch(false) {}

    proc::Result run(std::vector<std::string> args, const std::string &faults = "",
                     std::optional<std::string> input = std::nullopt)
    {
        args.insert(args.begin(), TARNCTL_SIM_BIN);
        proc::Options o;
        o.env = {{"TARNCTL_SIM_TIMING", "fast"}, {"TARNCTL_SIM_STATE", state_dir}};
        if (!faults.empty())
            o.env["TARNCTL_SIM_FAULTS"] = faults;
        o.input = std::move(input);
        o.limit = std::chrono::milliseconds(30000);
        return proc::run(args, o);
    }
};

TEST_F(Failures, ConfigurationWriteCutByAnUnplugFails)
{
    // The converter goes as the write's eighth frame (of 87) is taken, so
    // while the write runs, whatever the machine's load.
    proc::Result r = run({"-U", code, "-C", "write"}, "unplug-after-bulk-out=8");
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(": write failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err, "");

    // The same write on a healthy box succeeds and says nothing.
    r = run({"-U", code, "-C", "write"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
}

// A run in which any command failed exits with 1, whichever command came
// last; a lost answer is such a failure even with the converter still there.
TEST_F(Failures, AnyFailedCommandFailsTheRun)
{
    const struct {
        std::vector<std::string> args;
        std::string faults, input;
        const char *out, *err;
    } cases[] = {
        {{"-U", code, "-C", "write"}, "drop-acks=1", "", "E2P Config Switch: write failed\n", "send_rq timed out\n"},
        {{"-U", code, "-C", "write", "-V"}, "drop-acks=1", "", "E2P Config Switch: write failed\nFirmware 2.1.0.14\n",
         "send_rq timed out\n"},
        {{"-U", code, "-w", "bogus", "-V"}, "", "", "Firmware 2.1.0.14\n",
         "wup: invalid argument bogus (get, on, off or trigger)\n"},
        {{"-m", "0x1801", "-V"}, "", "", "Firmware 2.1.0.14\n", "-m needs the access code: give -U <code> before it\n"},
        {{"-U", code, "-i"}, "", "eep read 0xfffff\nmreg\n", "# # # ",
         "invalid address 0xfffff: out of range (0x0 to 0xffff)\ninvalid register address: missing\n"},
        {{"-U", code, "-i"}, "", "foo\nexit\n", "# # ", "unknown command foo (help lists them)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " " + c.input);
        proc::Result r = run(c.args, c.faults, c.input.empty() ? std::nullopt : std::optional<std::string>(c.input));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Failures, ConfigurationListingSaysWhenItsWorkAreaIsFull)
{
    // A begin marker and 110 header-only records in the PHY 1 area: more
    // records than the listing's work area of 100 holds.
    std::string records;
    for (int i = 0; i < 55; ++i)
        records += " 0x21";
    const std::string input =
        "eep write 0x620 0x03 0xBB 0xCC" + records + "\neep write 0x65A" + records + "\ncfg read\nexit\n";
    proc::Result r = run({"-U", code, "-i"}, "", input);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("0x0685 kind 2 (?) size 1:\n0x0686 work area full after 100 records\nE2P Config PHY2:\n"),
              std::string::npos)
        << r.out;
}

// Whatever set-up request the converter refuses, a failed open says so: on
// stderr, naming the box or the converter that could not be identified.
TEST_F(Failures, OpenFailuresAlwaysSayWhatFailed)
{
    bool opened_msg = false, configured_msg = false;
    for (int n = 1; n <= 60; ++n) {
        proc::Result r = run({"-V"}, "stall-control=" + std::to_string(n));
        if (r.exit_code == 0)
            continue;
        EXPECT_NE(r.err, "") << "stall-control=" << n << " out: " << r.out;
        opened_msg |= r.err.find("Corvane CV000001 could not be opened") != std::string::npos;
        configured_msg |= r.err.find("Corvane CV000001 could not be configured") != std::string::npos;
    }
    EXPECT_TRUE(opened_msg);
    EXPECT_TRUE(configured_msg);

    // A converter held by a kernel driver cannot even be identified.
    proc::Result r = run({"-V"}, "kernel-driver=0");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "No Corvane detected\n");
    EXPECT_EQ(r.err, "USB serial converter 1 could not be identified: busy or claimed by a kernel driver\n");
    r = run({"-l"}, "kernel-driver=0");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "1. (no serial number: busy or claimed by a kernel driver)\n");
}

TEST_F(Failures, LineWithANulByteIsMeasuredByItsBytes)
{
    // 511 bytes with a NUL early on, then more: the line is too long, and
    // its tail ("version") must not run as a command of its own.
    std::string line = std::string("echo a") + '\0' + std::string(504, 'b');
    ASSERT_EQ(line.size(), 511u);
    proc::Result r = run({"-U", code, "-i"}, "", line + "version\necho c\0d\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err; // the refused line fails the session
    EXPECT_EQ(r.out, "# # echo(c)\n# ");
    EXPECT_EQ(r.err, "line too long (at most 511 characters)\n");
}

} // namespace
