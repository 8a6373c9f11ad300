// The CAN command and the MDIO test through the whole console on the
// simulated bus and box: what is printed, what goes over the wire (from the
// simulation's trace file), and the box's trace records printed while the
// console waits for input.
#include <cstdlib>
#include <regex>

#include "e2e_common.h"
#include "frame_codec.h"

namespace {

using e2e::code;

const char *const show_500k = "PreScaler: 0\nPropSeg: 4\nPhaseSeg 1: 4\nPhaseSeg 2: 4\nSyncJumpWidth: 3\n"
                              "TripleSampling: 1\nCNF1: 192\nCNF2: 228\nCNF3: 4\n";

class Can : public e2e::SimScratch {
protected:
    // Contents (type, cmd, payload; lower-case hex, FCS cut) of the frames the
    // box received, in order.
    std::vector<std::string> frames_to_box()
    {
        std::string wire;
        for (const auto &l : e2e::lines_of(e2e::read_file(trace_path))) {
            const auto at = l.find(" WIRE_TX ");
            if (at != std::string::npos)
                wire += l.substr(at + 9);
        }
        std::vector<std::string> frames;
        for (const auto &f : testframe::split(testframe::from_hex(wire)))
            if (!f.content.empty())
                frames.push_back(testframe::hex(f.content));
        return frames;
    }
    // The CAN requests among them (type 0xF0, cmd 0x41 to 0x62).
    std::vector<std::string> can_requests()
    {
        std::vector<std::string> can;
        for (const auto &f : frames_to_box())
            if (f.rfind("f04", 0) == 0 || f.rfind("f05", 0) == 0 || f.rfind("f062", 0) == 0)
                can.push_back(f);
        return can;
    }
    size_t count_frames(const std::string &head)
    {
        size_t n = 0;
        for (const auto &f : frames_to_box())
            n += f.rfind(head, 0) == 0;
        return n;
    }
};

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

TEST_F(Can, ShowAndSpeedForms)
{
    proc::Result r = run({"-U", code, "-i"}, "can\ncan show\n"
                                             "can speed\n"
                                             "can speed 1000000\n"
                                             "can speed 250000\n"
                                             "can speed 4\n"
                                             "can show\n"
                                             "can speed 7\ncan speed 4999\ncan speed 0x10\ncan speed many\n"
                                             "can speed 250k\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const std::string want = std::string("# ") + show_500k + "# " + show_500k +
                             "# NTQ(16) BRP(0) ## SY(1) PR(5) PS1(5) PS2(5) ## SJW(4) ## sum(16)\n" + show_500k +
                             "# NTQ(8) BRP(0) ## SY(1) PR(1) PS1(3) PS2(3) ## SJW(2) ## sum(8)\n"
                             "PreScaler: 0\nPropSeg: 0\nPhaseSeg 1: 2\nPhaseSeg 2: 2\nSyncJumpWidth: 1\n"
                             "TripleSampling: 1\nCNF1: 64\nCNF2: 208\nCNF3: 2\n"
                             "# NTQ(16) BRP(1) ## SY(1) PR(5) PS1(5) PS2(5) ## SJW(4) ## sum(16)\n"
                             "PreScaler: 1\nPropSeg: 4\nPhaseSeg 1: 4\nPhaseSeg 2: 4\nSyncJumpWidth: 3\n"
                             "TripleSampling: 1\nCNF1: 193\nCNF2: 228\nCNF3: 4\n";
    // Preset 4 prints no NTQ line, and the box holds it afterwards.
    const std::string preset4 = "PreScaler: 1\nPropSeg: 0\nPhaseSeg 1: 2\nPhaseSeg 2: 2\nSyncJumpWidth: 0\n"
                                "TripleSampling: 0\nCNF1: 1\nCNF2: 144\nCNF3: 2\n";
    EXPECT_EQ(r.out, want + "# " + preset4 + "# " + preset4 + "# # # # # # ");
    EXPECT_EQ(r.err, "process_cmd_can: bus frequency 7 out of range\n"
                     "process_cmd_can: bus frequency 4999 out of range\n"
                     "process_cmd_can: bus frequency 0x10 out of range\n"
                     "process_cmd_can: invalid bus frequency entry many\n"
                     "process_cmd_can: invalid bus frequency entry 250k\n");
    // Each accepted speed: read, set with the 11 bytes, re-init; a refused
    // one sends nothing.
    const std::vector<std::string> want_wire = {
        "f042", "f042",
        "f042", "f0410300010104040004c0e404", "f051",
        "f042", "f041010001010200000240d002", "f051",
        "f042", "f0410301010104040004c1e404", "f051",
        "f042", "f0410001010002000002019002", "f051",
        "f042"};
    EXPECT_EQ(can_requests(), want_wire);
}

TEST_F(Can, CommandLineOptionAndItsExitCode)
{
    proc::Result r = run({"-U", code, "-X", "show"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, show_500k);
    r = run({"-U", code, "-X", "speed 4999"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "process_cmd_can: bus frequency 4999 out of range\n");
    r = run({"-U", code, "-X", "bogus"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Invalid CAN command bogus\n");
}

TEST_F(Can, CalcPrintsTheTimingAndSendsNothing)
{
    proc::Result r = run({"-U", code, "-X", "calc 83333"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "NTQ(24) BRP(3) ## SY(1) PR(7) PS1(8) PS2(8) ## SJW(4) ## sum(24)\n");
    // Only the read of the current record that every CAN command starts with.
    EXPECT_EQ(can_requests(), std::vector<std::string>{"f042"});

    r = run({"-U", code, "-X", "calc 4"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "process_cmd_can: bus frequency 4 out of range\n");
}

TEST_F(Can, DumpForms)
{
    env["TARNCTL_SIM_FAULTS"] = "trace-ms=600000"; // no record in the way
    proc::Result r = run({"-U", code, "-i"}, "can dump\ncan dump on\ncan dump ON\ncan dump off\ncan dump OF\n"
                                             "can dump x\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "# dump on\n# dump on\n# dump on\n# dump off\n# dump off\n# # ");
    // A word that is neither on nor off is refused and sends nothing.
    EXPECT_EQ(r.err, "invalid CAN dump command x (on or off)\n");
    EXPECT_EQ(can_requests(), (std::vector<std::string>{"f042", "f049", "f042", "f049", "f042", "f049", "f042",
                                                        "f04a", "f042", "f04a"}));
}

TEST_F(Can, ResetReinitAndMode)
{
    proc::Result r = run({"-U", code, "-i"}, "can re\ncan res\ncan mode\ncan rei\ncan mode listen\ncan mode sh\n"
                                             "can mode x\ncan mode normal\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    // After the reset the controller waits in configuration mode (0x80 in
    // the box) until it is re-initialised.
    EXPECT_EQ(r.out, "# # # Mode: 80\n# # Mode: 60\n# Mode: 60\n# # Mode: 00\n# ");
    EXPECT_EQ(r.err, "Invalid CAN command re\ninvalid CAN mode command x\n");
    // The refused words send nothing.
    EXPECT_EQ(can_requests(), (std::vector<std::string>{"f042", "f050", "f042", "f04c", "f042", "f051", "f042",
                                                        "f04b60", "f051", "f042", "f04c", "f042", "f04b00", "f051"}));
}

TEST_F(Can, TraceRecordsPrintedWhileWaitingForInput)
{
    env["TARNCTL_SIM_FAULTS"] = "trace-ms=5";
    const std::regex standard("(^|\n|# )[0-9]{7} 123 02 DEAD\n\n"),
        extended("(^|\n|# )[0-9]{7} 31234 04 [0-9A-F]{8}\n\n"),
        message_error("(^|\n|# )[0-9]{7,} ERROR 0 Message Error\n\n"),
        can_error("(^|\n|# )[0-9]{7,} ERROR 0 CAN Error: [0-9]+\n\n");
    // The trace stops once a record of each kind is on the screen.
    const auto all_kinds = [&](const std::string &out) {
        return std::regex_search(out, standard) && std::regex_search(out, extended) &&
               std::regex_search(out, message_error) && std::regex_search(out, can_error);
    };
    proc::Options o;
    o.limit = std::chrono::milliseconds(60000);
    proc::Result r = session_when(
        "can dump on\n", [&](const proc::Result &so_far) { return all_kinds(so_far.out); }, "can dump off\nexit\n", o);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, standard)) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, extended)) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, message_error)) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, can_error)) << r.out;
    EXPECT_NE(r.out.find("dump off\n"), std::string::npos);
}

// The bridge is the console's own business: nothing goes to the box for it.
// (The interface cases need a kernel with CAN: the peer CAN guest has them;
// here the last line is whichever refusal this machine gives.)
TEST_F(Can, BridgeStateAndRefusals)
{
    proc::Result r = run({"-U", code, "-i"}, "can bridge\ncan br off\ncan bridge a b\n"
                                             "can bridge 0123456789abcdef\ncan bridge nosuch0\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err; // the refused commands fail the session
    EXPECT_EQ(r.out, "# bridge off\n# bridge off\n# # # # ");
    EXPECT_TRUE(std::regex_match(r.err, std::regex("can bridge: one interface name or off\n"
                                                   "can bridge: invalid interface name 0123456789abcdef\n"
                                                   "can bridge: [^\n]+\n")))
        << r.err;
    EXPECT_TRUE(can_requests().empty());

    r = run({"-U", code, "-X", "bridge nosuch0"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.compare(0, 12, "can bridge: "), 0) << r.err;
}

const char *const all_passed = "mdio_reg_read_test(0x18, 0x03, 0x5CC2, 100) passed\n"
                               "mdio_reg_read_test(0x19, 0x03, 0x5CC2, 100) passed\n"
                               "mdio_reg_read_test(0x06, 0x00, 0x95, 100) passed\n"
                               "mdio_reg_write_test(0x18, 0x00, 0x200, 0x208, 100) passed\n"
                               "mdio_reg_write_test(0x19, 0x00, 0x200, 0x208, 100) passed\n"
                               "mdio_reg_write_test(0x06, 0x22, 0x06, ~0x06, 100) passed\n";

TEST_F(Can, MdioTestPassesAndOtherWordsAreRefused)
{
    proc::Result r = run({"-U", code, "-i"}, "test mdio\nmreg 0x1800\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, all_passed);
    // 300 reads in cases 1 to 3, 300 writes and reads in 4 to 6, and one read
    // of the register left at its first value.
    EXPECT_EQ(count_frames("f002"), 601u);
    EXPECT_EQ(count_frames("f001"), 300u);
    EXPECT_NE(r.out.find("register (00): 0200\n"), std::string::npos) << r.out;

    r = run({"-U", code, "-i"}, "test m\ntest x\ntest\nexit\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "test: unknown test m (mdio)\ntest: unknown test x (mdio)\ntest: which test? (mdio)\n");
    EXPECT_EQ(count_frames("f002"), 0u); // each run traces afresh: nothing sent
}

TEST_F(Can, MdioTestWithAWrongValueOnce)
{
    env["TARNCTL_SIM_FAULTS"] = "mdio-wrong-pass=2:5";
    proc::Result r = run({"-U", code, "-i"}, "test MD\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err; // a case failed
    EXPECT_EQ(r.err, "mdio_reg_read_test(0x18, 0x03, 0x5CC2, 100) passed\n"
                     "mdio_reg_read_test read invalid value after 95 loops (5CC3 != 5CC2), phyad(19) regad(03)\n"
                     "mdio_reg_read_test(0x19, 0x03, 0x5CC2, 100) failed\n"
                     "mdio_reg_read_test(0x06, 0x00, 0x95, 100) passed\n"
                     "mdio_reg_write_test(0x18, 0x00, 0x200, 0x208, 100) passed\n"
                     "mdio_reg_write_test(0x19, 0x00, 0x200, 0x208, 100) passed\n"
                     "mdio_reg_write_test(0x06, 0x22, 0x06, ~0x06, 100) passed\n");
}

// Six time-outs of one second: label slow.
TEST_F(Can, SlowMdioTestWithEveryRequestDropped)
{
    env["TARNCTL_SIM_FAULTS"] = "drop-acks=100000";
    proc::Result r = run({"-U", code, "-i"}, "test mdio\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const char *cases[6][2] = {
        {"mdio_reg_read_test: mdio_read failed after 99 loops, , phyad(18) regad(03)",
         "mdio_reg_read_test(0x18, 0x03, 0x5CC2, 100) failed"},
        {"mdio_reg_read_test: mdio_read failed after 99 loops, , phyad(19) regad(03)",
         "mdio_reg_read_test(0x19, 0x03, 0x5CC2, 100) failed"},
        {"mdio_reg_read_test: mdio_read failed after 99 loops, , phyad(06) regad(00)",
         "mdio_reg_read_test(0x06, 0x00, 0x95, 100) failed"},
        {"mdio_reg_write_test: mdio_read failed after 99 loops, , phyad(18) regad(00)",
         "mdio_reg_write_test(0x18, 0x00, 0x200, 0x208, 100) failed"},
        {"mdio_reg_write_test: mdio_read failed after 99 loops, , phyad(19) regad(00)",
         "mdio_reg_write_test(0x19, 0x00, 0x200, 0x208, 100) failed"},
        {"mdio_reg_write_test: mdio_read failed after 99 loops, , phyad(06) regad(22)",
         "mdio_reg_write_test(0x06, 0x22, 0x06, ~0x06, 100) failed"},
    };
    std::string want;
    for (auto &c : cases)
        want += std::string("send_rq timed out\n") + c[0] + "\n" + c[1] + "\n";
    EXPECT_EQ(r.err, want);
    EXPECT_EQ(count_of(r.err, "failed\n"), 6u);
}

} // namespace
