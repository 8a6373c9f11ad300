// Exchange integrity end to end on the simulated box: one driver write per
// frame, a converter that vanishes mid-command, and a box that comes back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "e2e_common.h"

namespace {

using e2e::code;

// Flag bytes in a hex string (whole bytes only).
size_t flags_in(const std::string &hex)
{
    size_t n = 0;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        n += hex.compare(i, 2, "7e") == 0;
    return n;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class Exchange : public e2e::SimScratch {
protected:
    // An interactive session whose lines come in two parts, with a pause
    // between them (for answers the box delays by a set time).
    proc::Result session_with_pause(const std::string &first, double pause_s, const std::string &second)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(pause_s);
        return session_when(first, [until](const proc::Result &) { return std::chrono::steady_clock::now() >= until; },
                            second);
    }
};

// Every frame the console sends is one bulk OUT transfer holding exactly
// that frame, and the wire carries the same frames.
TEST_F(Exchange, EachFrameIsOneBulkOutTransfer)
{
    proc::Result r = run({"-U", code, "-i"}, "sreg 0\neep read 0x100 3\nvlan 1\necho hello\nexit\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string wire;
    for (const auto &w : trace_of("WIRE_TX"))
        wire += w;
    std::string joined;
    size_t transfers = 0;
    for (const auto &b : trace_of("BULK_OUT")) {
        const size_t at = b.find("data=");
        ASSERT_NE(at, std::string::npos) << b;
        const std::string data = b.substr(at + 5, b.find(' ', at) - at - 5);
        EXPECT_EQ(data.substr(0, 2), "7e") << b;
        EXPECT_EQ(data.substr(data.size() - 2), "7e") << b;
        EXPECT_EQ(flags_in(data), 2u) << "more than one frame in " << b;
        joined += data;
        ++transfers;
    }
    EXPECT_GE(transfers, 4u);
    EXPECT_EQ(joined, wire);
}

// The converter goes while a listing runs: the command ends at once, the
// event is one line on stderr (no line per byte or per frame), and the next
// command ends the session with status 1 since the box has not come back.
TEST_F(Exchange, VanishedConverterEndsTheListingWithOneLine)
{
    // Gone as the listing's third request is taken; the next commands come
    // once the trace shows the converter gone.
    env["TARNCTL_SIM_FAULTS"] = "unplug-after-bulk-out=3";
    proc::Result r = session_when(
        "vlan\n", [this](const proc::Result &) { return !trace_of("UNPLUG").empty(); }, "sreg 0\nsreg 1\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(count_of(r.err, "Corvane lost: the USB converter is gone\n"), 1u) << r.err;
    EXPECT_EQ(count_of(r.err, "hdlc_put"), 0u) << r.err;
    EXPECT_EQ(count_of(r.err, "timed out"), 0u) << r.err;
    EXPECT_EQ(r.out.find("register (000)"), std::string::npos);
    // One event, one line each: no failure of the ended listing, no second
    // word for the box that is not back.
    EXPECT_EQ(r.err, "Corvane lost: the USB converter is gone\nCorvane CV000001 has not come back\n");
    EXPECT_EQ(r.out.find("No Corvane detected"), std::string::npos) << r.out;
}

// In interactive mode the console picks the box up again when the same
// serial number is back by the next command.
TEST_F(Exchange, InteractiveSessionReconnectsToTheSameBox)
{
    env["TARNCTL_SIM_FAULTS"] = "unplug-after-ms=150,replug-after-ms=400";
    proc::Result r = session_with_pause("vlan\n", 1.0, "sreg 0\nexit\n");
    ASSERT_FALSE(r.timed_out);
    // A listing cut by the loss failed, and so does the session; one that
    // ended before it did not.
    const bool cut = r.out.find("vid(4095)") == std::string::npos;
    EXPECT_EQ(r.exit_code, cut ? 1 : 0) << r.err;
    EXPECT_EQ(count_of(r.err, "Corvane lost: the USB converter is gone\n"), 1u) << r.err;
    EXPECT_NE(r.err.find("Corvane CV000001 reconnected"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("register (000): 95"), std::string::npos) << r.out;
}

// On the command line the run ends with status 1 and one line; the options
// after the loss are not run.
TEST_F(Exchange, VanishedConverterFailsTheCommandLineRun)
{
    env["TARNCTL_SIM_TIMING"] = "real";
    // The converter goes as the third request frame is taken: the first
    // EEPROM read is running, whatever the connect took.
    env["TARNCTL_SIM_FAULTS"] = "unplug-after-bulk-out=3";
    std::vector<std::string> args{"-U", code};
    for (int i = 0; i < 8; ++i) {
        args.push_back("-e");
        args.push_back("read 0 0x1000");
    }
    args.push_back("-s");
    args.push_back("0");
    proc::Result r = run(args);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(count_of(r.err, "Corvane lost: the USB converter is gone\n"), 1u) << r.err;
    EXPECT_EQ(count_of(r.err, "hdlc_put"), 0u) << r.err;
    EXPECT_EQ(count_of(r.err, "e2p_read failed"), 0u) << r.err;
    EXPECT_EQ(r.out.find("register (000)"), std::string::npos);
}

// A converter that takes no bytes: each request's frame is reported as not
// written, once, and the command fails at once instead of waiting for an
// answer.
TEST_F(Exchange, WriteThatMovesNothingIsReportedPerFrame)
{
    env["TARNCTL_SIM_FAULTS"] = "out-accepts-nothing=1";
    proc::Result r = run({"-U", code, "-s", "0"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("hdlc_put_frame failed: 0 of "), std::string::npos) << r.err;
    EXPECT_EQ(count_of(r.err, "failed: 0 of "), 1u) << r.err;
    EXPECT_EQ(count_of(r.err, "send_rq timed out"), 0u) << r.err;
}

// ---- late answers never taken for the next request ----------------------

// The echo times out and its answer comes while the VLAN write reads the
// entry it merges into: that answer is another function's and is dropped.
// The box's table holds exactly what the user wrote.
TEST_F(Exchange, LateEchoAnswerIsNotMergedIntoAVlanWrite)
{
    env["TARNCTL_SIM_FAULTS"] = "delay-acks=2,delay-ms=1100";
    proc::Result r = session_with_pause("echo ABCDEFGHIJKLMNOPQRSTUVWXYZ01234\nvlan 100 1 y 0011\n", 1.5,
                                        "vlan 100-103\nexit\n");
    ASSERT_FALSE(r.timed_out);
    const std::string listing = r.out.substr(r.out.rfind("# vid(0100)"));
    EXPECT_EQ(listing, "# vid(0100) fid(001) valid(x) ports(0011)\nvid(0101) fid(000) valid(-) ports(0000)\n"
                       "vid(0102) fid(000) valid(-) ports(0000)\nvid(0103) fid(000) valid(-) ports(0000)\n# ")
        << r.out << r.err;
    // One table write, of entry 25 only.
    size_t writes = 0;
    for (const auto &w : trace_of("WIRE_TX"))
        for (size_t at = w.find("7ef205"); at != std::string::npos; at = w.find("7ef205", at + 1))
            if (at % 2 == 0) {
                ++writes;
                EXPECT_EQ(w.substr(at + 14, 8), "01190007") << w; // VLAN table, entry 25, 7 bytes
            }
    EXPECT_EQ(writes, 1u);
}

// Reads whose late answers carry their address or register: each command
// shows its own data or fails, never the earlier one's.
TEST_F(Exchange, LateAnswersOfEarlierReadsAreNotShown)
{
    ASSERT_EQ(run({"-U", code, "-i"}, "eep write 0x100 1 2 3\neep write 0x200 7 8 9\n").exit_code, 0);
    struct Case {
        const char *faults, *input, *wrong, *right;
    };
    const Case cases[] = {
        {"delay-acks=2,delay-ms=1500", "eep read 0x100 3\neep read 0x200 3\n", "200: 01 02 03", "200: 07 08 09"},
        {"delay-acks=1,delay-ms=1500", "eep read 0x100 3\neep read 0x200 3\n", "200: 01 02 03", "200: 07 08 09"},
        {"delay-acks=2,delay-ms=1500", "sreg 0\nsreg 1\n", "register (001): 95", "register (001): 41"},
        {"delay-acks=1,delay-ms=1500", "sreg 0\nsreg 1\n", "register (001): 95", "register (001): 41"},
        {"delay-acks=2,delay-ms=1500", "mreg 0x1803\nmreg 0x1902\n", "register (02): 5cc2", "register (02): 0362"},
        {"delay-acks=1,delay-ms=1500", "mreg 0x1803\nmreg 0x1902\n", "register (02): 5cc2", "register (02): 0362"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.faults) + " " + c.input);
        env["TARNCTL_SIM_FAULTS"] = c.faults;
        proc::Result r = run({"-U", code, "-i"}, c.input);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.out.find(c.wrong), std::string::npos) << r.out;
        // With only the first answer late, the second read is right.
        if (std::string(c.faults).find("delay-acks=1") == 0)
            EXPECT_NE(r.out.find(c.right), std::string::npos) << r.out << r.err;
        else
            EXPECT_NE(r.err.find("failed"), std::string::npos) << r.err;
    }
}

// A frame typed by hand asks for EEPROM 0x100 or SMI register 0; its answer
// comes while the next read waits and echoes another address or register.
TEST_F(Exchange, AnswerToARawFrameIsNotTakenForARead)
{
    ASSERT_EQ(run({"-U", code, "-i"}, "eep write 0x100 1 2 3\neep write 0x200 7 8 9\n").exit_code, 0);
    env["TARNCTL_SIM_TIMING"] = "real";
    proc::Result r = run({"-U", code, "-i"}, "hdlc 0xF0 0x09 0x00 0x01 0x03\neep read 0x200 3\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("200: 07 08 09"), std::string::npos) << r.out;
    r = run({"-U", code, "-i"}, "hdlc 0xF0 0x06 0x00\nsreg 0x11\nsreg 0x00\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("register (011): 00"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("register (000): 95"), std::string::npos) << r.out;
}

// Boxes that answer within what a box may do: any cmd on a remote function's
// answer, its natural block size, short EEPROM reads, the echo's text only
// up to its NUL, answers in order behind a late one. Every command works.
TEST_F(Exchange, EveryBoxPersonalityServesTheCommands)
{
    ASSERT_EQ(run({"-U", code, "-i"}, "eep write 0x100 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n").exit_code, 0);
    const std::string input = "smac 0-3\nvlan 0-3\ntab smac 5\nmib 1\necho hello\n"
                              "eep read 0x100 16\neep read 0xFFF 1\neep clear 0x0F00 2\nexit\n";
    for (const char *p : {"rmt-cmd=0", "rmt-cmd=0x80", "rmt-size=natural", "eep-short=5", "echo-text=short",
                          "delay-order=keep,delay-acks=1,delay-ms=300", "rmt-cmd=0,rmt-size=natural,echo-text=short"}) {
        SCOPED_TRACE(p);
        env["TARNCTL_SIM_FAULTS"] = p;
        proc::Result r = run({"-U", code, "-i"}, input);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "") << r.out;
        EXPECT_EQ(r.out.find("failed"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("vid(0003) fid(000) valid(-) ports(0000)"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("echo(hello)\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("100: 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("FF0: .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. FF"), std::string::npos) << r.out;
    }
}

// After a lost answer every request frame is the one a healthy link sends
// (no other return size or count), and a box that answers with its own
// sizes keeps working: the first call fails, the later ones do not.
TEST_F(Exchange, LostAnswerChangesNoLaterRequest)
{
    env["TARNCTL_SIM_FAULTS"] = "drop-acks=1,rmt-size=natural";
    proc::Result r = run({"-U", code, "-i"}, "smac 0-3\nvlan 0-3\ntab smac 5\nexit\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("vid(0003) fid(000) valid(-) ports(0000)"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(count_of(r.err, "timed out"), 1u) << r.err;
    size_t reads = 0;
    for (const auto &w : trace_of("WIRE_TX"))
        for (size_t at = w.find("7ef204"); at != std::string::npos; at = w.find("7ef204", at + 1))
            if (at % 2 == 0) {
                ++reads;
                EXPECT_EQ(w.substr(at + 6, 8), "04000900") << w; // 4 parameter bytes, 9 return bytes
            }
    EXPECT_EQ(reads, 6u); // four static MAC entries, one VLAN entry (four VLANs), one table entry

    env["TARNCTL_SIM_FAULTS"] = "drop-acks=1";
    r = run({"-U", code, "-i"}, "eep read 0xFFF 1\neep read 0xFFF 1\neep read 0xFFF 1\nexit\n");
    EXPECT_EQ(count_of(r.out, "FF0: .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. FF"), 2u) << r.out << r.err;
    for (const auto &w : trace_of("WIRE_TX"))
        if (w.find("7ef009") != std::string::npos) {
            EXPECT_NE(w.find("7ef009ff0f01"), std::string::npos) << w;
        }
}

// The read's answer comes 7 ms after its time-out, after the write went out
// the next read of the register waits for it and shows what the box holds.
// Also with a box whose late answers hold back the ones after them, and with
// late answers far beyond the time-out (then the read fails, or shows what
// the box holds).
TEST_F(Exchange, LateAnswerOfARegisterReadIsNotShownAfterAWrite)
{
    struct Case {
        const char *faults, *input, *wrong, *right;
    };
    const Case cases[] = {
        {"delay-acks=1,delay-ms=1007", "mreg 0x1804\nmreg 0x1804=0x0123\nmreg 0x1804\n", "register (04): 0000",
         "register (04): 0123"},
        {"delay-acks=1,delay-ms=1008,delay-order=keep", "mreg 0x1804\nmreg 0x1804=0x0123\nmreg 0x1804\n",
         "register (04): 0000", "register (04): 0123"},
        {"delay-acks=1,delay-ms=1008", "mreg 0x1804\nmreg 0x1804=0x0123\nmreg 0x1804\n", "register (04): 0000",
         "register (04): 0123"},
        {"delay-acks=1,delay-ms=1007,ping-every-ms=0", "mreg 0x1804\nmreg 0x1804=0x0123\nmreg 0x1804\n",
         "register (04): 0000", "register (04): 0123"},
        {"delay-acks=5,delay-ms=4500", "sreg 0x11\nsreg 0x11=0x3f\nsreg 0x11\n", "register (011): 00", nullptr},
    };
    env["TARNCTL_SIM_TIMING"] = "real"; // the write then reaches the box before the late answer leaves it
    for (const Case &c : cases) {
        SCOPED_TRACE(c.faults);
        env["TARNCTL_SIM_FAULTS"] = c.faults;
        proc::Result r = run({"-U", code, "-i"}, c.input);
        ASSERT_FALSE(r.timed_out);
        // What the third command printed, after the fourth prompt.
        size_t at = r.out.find("# ");
        for (int i = 1; i < 3 && at != std::string::npos; ++i)
            at = r.out.find("# ", at + 2);
        ASSERT_NE(at, std::string::npos) << r.out;
        const std::string last = r.out.substr(at);
        EXPECT_EQ(last.find(c.wrong), std::string::npos) << r.out;
        if (c.right != nullptr) {
            EXPECT_NE(last.find(c.right), std::string::npos) << r.out << r.err;
        }
    }
}

// A table read's answer carries only the entry's bytes. VLAN 1's late answer
// must not be shown as VLAN 5: the second read either shows VLAN 5 or fails.
TEST_F(Exchange, SlowLateTableAnswerIsNotShownForAnotherEntry)
{
    for (const char *faults : {"delay-acks=2,delay-ms=4500", "delay-acks=1,delay-ms=3500"}) {
        SCOPED_TRACE(faults);
        env["TARNCTL_SIM_FAULTS"] = faults;
        proc::Result r = session_with_pause("vlan 1\nvlan 5\n", 2.0, "vlan 5\nexit\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.out.find("vid(0005) fid(000) valid(x) ports(1111)"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("vid(0005) fid(000) valid(-) ports(0000)"), std::string::npos) << r.out << r.err;
    }
}

// A table entry or a MIB counter that could not be read is named: the table
// listing stops there, the counter listing leaves it out and goes on.
TEST_F(Exchange, SlowUnreadEntriesAreNamed)
{
    env["TARNCTL_SIM_FAULTS"] = "drop-acks=1";
    proc::Result r = run({"-U", code, "-i"}, "tab smac 3-5\nexit\n");
    EXPECT_NE(r.err.find("failed to read entry 3 from smac table\n"), std::string::npos) << r.err;
    r = run({"-U", code, "-i"}, "mib 1\nexit\n");
    EXPECT_NE(r.err.find("mib: could not read RxLoPriorityByte of port 1, skipped\n"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("MIB: P1 ( )( ) TxLoPriorityByte("), std::string::npos) << r.out;
}

// The box refuses a block erase outside the EEPROM at once, naming the
// remote function; the command fails then, not after the 10 s time-out.
TEST_F(Exchange, RefusedEraseEndsAtOnce)
{
    proc::Result r = run({"-U", code, "-e", "clear 0x2000 3"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("remote function 7: address out of range"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("timed out"), std::string::npos) << r.err;
}

} // namespace
