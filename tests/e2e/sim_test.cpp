// The console with the real driver on the simulated bus and box: selection
// among several boxes, commands that change the box and read it back, the
// reset pulse, and what the box sends on its own.
#include <cstdlib>
#include <regex>

#include "e2e_common.h"

namespace {

using e2e::code;

class Sim : public e2e::SimScratch {
protected:
    Sim() : e2e::SimScratch(false) {}
};

TEST_F(Sim, VersionOfTheDefaultBox)
{
    proc::Result r = run({"-V"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("Firmware [0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
}

TEST_F(Sim, SelectionAmongSeveralBoxes)
{
    env["TARNCTL_SIM_BOXES"] = "CV000001,CV000002";
    proc::Result r = run({"-l"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "1. CV000001\n2. CV000002\n");

    r = run({"-D", "cv000002", "-V"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(Sim, SessionThatChangesTheBoxAndReadsItBack)
{
    proc::Result r = run({"-U", code, "-i"}, "sreg 0x11=0x3f\n"
                                             "sreg 0x11\n"
                                             "mreg 0x1803\n"
                                             "eep write=0x40,1,2,0x7e\n"
                                             "eep read 0x40 3\n"
                                             "echo hello box\n"
                                             "exit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("register (011): 3f\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("register (03): 5cc2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("eep write to 0x40 3 bytes\n01-02-7E-\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("eep read from 0x40 3 bytes\n40: 01 02 7E \n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("echo(hello box)\n"), std::string::npos) << r.out;
}

TEST_F(Sim, ResetRebootsTheBoxAndItAnswersAfterwards)
{
    proc::Result r = run({"-U", code, "-i"}, "cbus 1=L\ncbus 1\nreset\nping\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("cbus1(L)\n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("PING: turn around [0-9]+(us|ms)\n"))) << r.out;
}

} // namespace
