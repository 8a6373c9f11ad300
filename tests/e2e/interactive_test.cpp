// The interactive console fed from standard input: prompt, help, command
// words, argument text, long lines and the end of the input.
#include "e2e_common.h"

namespace {

using e2e::code;

class Interactive : public e2e::FakeBox {
protected:
    proc::Result session(const std::string &input) { return run({"-U", code, "-i"}, input); }
};

TEST_F(Interactive, HelpAndExit)
{
    proc::Result r = session("help\nexit\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "# " + e2e::golden("help_full.txt") + "# ");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(logged("FT_Close"));
}

TEST_F(Interactive, NeedsTheUnlockFirst)
{
    for (const std::vector<std::string> &args : {std::vector<std::string>{"-i", "-U", code}, {"-i"}}) {
        proc::Result r = run(args, "help\nexit\n");
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "-i needs the access code: give -U <code> before -i\n");
    }
    EXPECT_FALSE(opened());
}

TEST_F(Interactive, EndOfInputEndsTheSessionLikeExit)
{
    proc::Result r = session("cbus 1\n");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "# cbus1(L)\n# ");
    EXPECT_TRUE(logged("FT_Close"));

    r = session("");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "# ");
}

TEST_F(Interactive, ExitWordsAndWordsThatSelectNothing)
{
    proc::Result r = session("\n  \t \ncbus 1\nEXITNOW\ncbus 2\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "# # # cbus1(L)\n# ");
    EXPECT_EQ(r.err, "");

    // A word that selects nothing is said so, and fails the session.
    r = session("e\nxyz 1\ncbus 1\nexit\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "# # # cbus1(L)\n# ");
    EXPECT_EQ(r.err, "unknown command e (help lists them)\nunknown command xyz (help lists them)\n");
}

TEST_F(Interactive, AFailedCommandFailsTheSession)
{
    proc::Result r = session("cbus 9\ncbus 1\nex\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "# # cbus1(L)\n# ");
    EXPECT_EQ(r.err, "invalid cbus pin 9: out of range (0 to 7)\n");
}

TEST_F(Interactive, ArgumentTextKeepsInnerBlanksAndLosesTrailingOnes)
{
    proc::Result r = session("cbus 1=H   \r\ncb 1\ncbus\t2 \t high\ncbus all\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "# # cbus1(H)\n# # cbus0(L)\ncbus1(H)\ncbus2(H)\ncbus3(L)\n# ");
}

TEST_F(Interactive, OverlongLineIsRefusedWhole)
{
    // 511 characters fit; the cut would fall right before "cbus 1=H".
    std::string filler = "echo " + std::string(506, 'a');
    ASSERT_EQ(filler.size(), 511u);
    proc::Result r = session(filler + "cbus 1=H\ncbus 1\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "# # cbus1(L)\n# ");
    EXPECT_EQ(r.err, "line too long (at most 511 characters)\n");
    for (const auto &l : driver_log())
        EXPECT_NE(l, "FT_SetBitMode(0xf2,0x20)");

    // A line of 511 characters is taken, and one of 510 with its line end
    // filling the buffer exactly.
    for (size_t n : {511u, 510u}) {
        SCOPED_TRACE(n);
        std::string exact = "cbus 1=H" + std::string(n - 8, ' ');
        ASSERT_EQ(exact.size(), n);
        r = session(exact + "\ncbus 1\n");
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "# # cbus1(H)\n# ");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Interactive, OverlongLastLineWithoutLineEnd)
{
    proc::Result r = session("cbus 1\n" + std::string(2000, 'x'));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "# cbus1(L)\n# ");
    EXPECT_EQ(r.err, "line too long (at most 511 characters)\n");
}

} // namespace
