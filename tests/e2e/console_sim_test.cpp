// The console's device, line and interactive commands through the whole
// program on the simulated bus and box: exit codes, what is printed on which
// stream, and what went over the wire according to the simulation's trace.
// Request frames are checked against frames built here with the tests' own
// codec (frame_codec.h), from the message codes and payload layouts, so a
// fault in the console's framing or payload packing cannot hide behind the
// console's own code.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <regex>

#include "e2e_common.h"
#include "frame_codec.h"

namespace {

using e2e::code;
using Bytes = std::vector<uint8_t>;

const char *const firmware_line = "Firmware 2.1.0.14\n";
const char *const boot_text = "DBG RQ: Corvane CV000001 firmware 2.1.0.14 (06.12.2026) started\n";

// A frame as it goes over the wire, in the trace's hex.
std::string wire_frame(const Bytes &content)
{
    return testframe::hex(testframe::encode(content));
}

// Content of one wire frame in hex (flags, stuffing and FCS removed); empty
// when it is not exactly one good frame.
Bytes frame_content(const std::string &wire)
{
    const auto frames = testframe::split(testframe::from_hex(wire));
    return frames.size() == 1 && frames[0].good ? frames[0].content : Bytes{};
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes le16(unsigned v) { return {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>((v >> 8) & 0xFF)}; }

// EEPROM requests (0xF0/0x09 read, 0xF0/0x08 write): address, size, data.
std::string e2p_read_rq(unsigned addr, uint8_t size) { return wire_frame(Bytes{0xF0, 0x09} + le16(addr) + Bytes{size}); }
std::string e2p_write_rq(unsigned addr, const Bytes &data)
{
    return wire_frame(Bytes{0xF0, 0x08} + le16(addr) + Bytes{static_cast<uint8_t>(data.size())} + data);
}
// Block erase: remote function 7 with a 4-byte parameter block and a 1-byte
// return block.
std::string e2p_erase_rq(unsigned addr, unsigned size)
{
    return wire_frame(Bytes{0xF2, 0x07} + le16(4) + le16(1) + le16(addr) + le16(size));
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

std::string without(std::string text, const std::string &what)
{
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at))
        text.erase(at, what.size());
    return text;
}

struct TraceEvent {
    uint64_t us = 0;
    std::string serial, kind, rest;
};

class ConsoleSim : public e2e::SimScratch {
protected:
    proc::Result session(const std::string &input) { return run({"-U", code, "-i"}, input); }

    std::vector<TraceEvent> trace()
    {
        std::vector<TraceEvent> events;
        for (const auto &l : e2e::lines_of(e2e::read_file(trace_path))) {
            std::stringstream ss(l);
            TraceEvent e;
            ss >> e.us >> e.serial >> e.kind;
            std::getline(ss, e.rest);
            if (!e.rest.empty() && e.rest[0] == ' ')
                e.rest.erase(0, 1);
            events.push_back(e);
        }
        return events;
    }

    // Whole frames, as wire hex with flags, in one direction (WIRE_TX: to the
    // box), optionally of one box only, from the events [from, end).
    std::vector<std::string> frames(const std::string &dir, const std::string &serial = "", size_t from = 0)
    {
        std::string wire;
        const auto events = trace();
        for (size_t i = from; i < events.size(); ++i)
            if (events[i].kind == dir && (serial.empty() || events[i].serial == serial))
                wire += events[i].rest;
        std::vector<std::string> out;
        std::string cur;
        for (size_t i = 0; i + 1 < wire.size(); i += 2) {
            const std::string b = wire.substr(i, 2);
            if (b == "7e") {
                if (!cur.empty())
                    out.push_back("7e" + cur + "7e");
                cur.clear();
            } else {
                cur += b;
            }
        }
        return out;
    }
    // What the console sent of its own accord: the echoes of the box's pings
    // (0xF1/0x04) left out.
    std::vector<std::string> requests()
    {
        std::vector<std::string> out;
        for (const auto &f : frames("WIRE_TX"))
            if (f.rfind("7ef104", 0) != 0)
                out.push_back(f);
        return out;
    }
    // The CBUS pin events (levels nibble) with their times.
    std::vector<std::pair<uint64_t, std::string>> cbus_events()
    {
        std::vector<std::pair<uint64_t, std::string>> out;
        for (const auto &e : trace())
            if (e.kind == "CBUS")
                out.emplace_back(e.us, e.rest);
        return out;
    }
};

// ---- the runner's signal option, which the -N test relies on ---------------

TEST(ProcessRunner, SignalsAProgramAfterItsOutputAppears)
{
    proc::Options o;
    o.signal_after_output = "ready";
    o.signal_delay = std::chrono::milliseconds(100);
    const auto start = std::chrono::steady_clock::now();
    proc::Result r = proc::run({"/bin/sh", "-c", "echo ready; exec sleep 30"}, o);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.signalled);
    EXPECT_EQ(r.term_signal, SIGTERM);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_EQ(r.out, "ready\n");

    // A program that ends on its own within the delay is not signalled, and
    // one that never prints the text runs to its end.
    o.signal_delay = std::chrono::milliseconds(3000);
    r = proc::run({"/bin/sh", "-c", "echo ready; exit 3"}, o);
    EXPECT_FALSE(r.signalled);
    EXPECT_EQ(r.exit_code, 3);
    o.signal_delay = std::chrono::milliseconds(0);
    r = proc::run({"/bin/sh", "-c", "echo other; sleep 0.2; echo done"}, o);
    EXPECT_FALSE(r.signalled);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "other\ndone\n");
}

// ---- start-up -----------------------------------------------------------------

TEST_F(ConsoleSim, ExitCodeFollowsTheOptionsAndTheVersionRequestIsOneFrame)
{
    // The framer of this file against the known frame of the version read.
    ASSERT_EQ(wire_frame({0x60, 0x80}), "7e60801aee7e");

    proc::Result r = run({"-U", code, "-V"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, firmware_line);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(requests(), std::vector<std::string>{"7e60801aee7e"});

    // -U after the command unlocks as well, and is no failed command.
    r = run({"-V", "-U", code});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, firmware_line);

    r = run({});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "no command given (-h lists them)\n");
    EXPECT_TRUE(requests().empty());
}

TEST_F(ConsoleSim, KeepsRunningWithNUntilSignalled)
{
    proc::Options o;
    o.signal_after_output = firmware_line;
    // Time enough to have ended on its own, had it not kept running.
    o.signal_delay = std::chrono::milliseconds(400);
    proc::Result r = run({"-N", "-V"}, std::nullopt, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.signalled) << "exit code " << r.exit_code;
    EXPECT_EQ(r.term_signal, SIGTERM);
    EXPECT_EQ(r.out, firmware_line);
}

// ---- the serial line ------------------------------------------------------------

TEST_F(ConsoleSim, BoxSelectionByInstanceAndSerialNumber)
{
    env["TARNCTL_SIM_BOXES"] = "2";
    auto configured = [this](const std::string &serial) {
        for (const auto &e : trace())
            if (e.kind == "CTRL" && e.serial == serial && e.rest.rfind("OUT req=0x03 ", 0) == 0)
                return true;
        return false;
    };

    proc::Result r = run({"-d", "2", "-V"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, firmware_line);
    EXPECT_TRUE(configured("CV000002"));
    EXPECT_FALSE(configured("CV000001"));
    EXPECT_EQ(frames("WIRE_TX", "CV000002"), std::vector<std::string>{"7e60801aee7e"});
    EXPECT_TRUE(frames("WIRE_TX", "CV000001").empty());

    r = run({"-d", "3", "-V"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "No Corvane detected\n");
    EXPECT_TRUE(frames("WIRE_TX").empty());

    r = run({"-D", "cV000002", "-V"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(frames("WIRE_TX", "CV000002"), std::vector<std::string>{"7e60801aee7e"});
    EXPECT_TRUE(frames("WIRE_TX", "CV000001").empty());

    env["TARNCTL_SIM_BOXES"] = "0";
    r = run({"-l"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "No Corvane found\n");
    r = run({"-V"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "No Corvane detected\n");
}

TEST_F(ConsoleSim, ConnectConfiguresTheLineInOrderBeforeTheFirstFrame)
{
    proc::Result r = run({"-V"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The converter requests written before the first byte went out.
    std::vector<std::string> out;
    for (const auto &e : trace()) {
        if (e.kind == "WIRE_TX")
            break;
        if (e.kind == "CTRL" && e.rest.rfind("OUT ", 0) == 0)
            out.push_back(e.rest.substr(4, e.rest.find(" len=") - 4));
    }
    const std::string bitmode_off = "req=0x0b val=0x0000 idx=0x0000";
    const auto at = std::find(out.begin(), out.end(), bitmode_off);
    ASSERT_NE(at, out.end()) << "no bit mode reset before the first frame";
    // The last request before it that is not a purge is the device reset.
    auto before = at;
    while (before != out.begin() && ((before - 1)->rfind("req=0x00 val=0x0001", 0) == 0 ||
                                     (before - 1)->rfind("req=0x00 val=0x0002", 0) == 0))
        --before;
    ASSERT_NE(before, out.begin());
    EXPECT_EQ(*(before - 1), "req=0x00 val=0x0000 idx=0x0000");
    // After it, with repeated purges of the receive side counted once.
    std::vector<std::string> rest;
    for (auto it = at + 1; it != out.end(); ++it)
        if (rest.empty() || rest.back() != *it)
            rest.push_back(*it);
    EXPECT_EQ(rest, (std::vector<std::string>{"req=0x03 val=0x000d idx=0x0000", "req=0x04 val=0x0008 idx=0x0000",
                                              "req=0x02 val=0x0000 idx=0x0000", "req=0x06 val=0x017e idx=0x0000",
                                              "req=0x07 val=0x0000 idx=0x0000", "req=0x09 val=0x000a idx=0x0000",
                                              "req=0x00 val=0x0001 idx=0x0000", "req=0x00 val=0x0002 idx=0x0000"}));
}

TEST_F(ConsoleSim, ResetFormsPulseCbus0LowFor50Ms)
{
    proc::Result r = session("reset\nreset cpu\nreset CPU\nreset now\nversion\nexit\n");
    // "reset now" is refused: the run fails.
    EXPECT_EQ(r.exit_code, 1) << r.err;
    // Each pulse reboots the box, which greets the console; the greeting is
    // on the wire before the version's answer, so it is out by then.
    EXPECT_EQ(count_of(r.out, boot_text), 3u) << r.out;
    EXPECT_EQ(without(r.out, boot_text), std::string("# # # # # ") + firmware_line + "# ");
    EXPECT_EQ(r.err, "invalid reset target now (cpu)\n");

    // The connect's bit mode reset, then low and high again for the three
    // pulses; "reset now" touches nothing.
    const auto ev = cbus_events();
    ASSERT_EQ(ev.size(), 7u);
    EXPECT_EQ(ev[0].second, "dir=0xf levels=0xf");
    for (size_t i = 1; i < 7; i += 2) {
        EXPECT_EQ(ev[i].second, "dir=0xf levels=0xe");
        EXPECT_EQ(ev[i + 1].second, "dir=0xf levels=0xf");
        const uint64_t low_us = ev[i + 1].first - ev[i].first;
        EXPECT_GE(low_us, 50000u);
        EXPECT_LT(low_us, 1000000u); // generous: sanitizer builds run slowly
    }
}

TEST_F(ConsoleSim, BoxTextAndPingBetweenCommandsAfterAReset)
{
    // The next command goes once the console has echoed the ping the box
    // sends after its boot, however long the boot takes.
    const auto echoed = [this](const proc::Result &) {
        const auto events = trace();
        bool booted = false;
        for (const auto &e : events) {
            booted = booted || e.kind == "BOOT";
            if (booted && e.kind == "WIRE_TX" && e.rest.find("7ef104") != std::string::npos)
                return true;
        }
        return false;
    };
    proc::Result r = session_when("reset\n", echoed, "version\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(count_of(r.out, boot_text), 1u) << r.out;
    EXPECT_EQ(without(r.out, boot_text), std::string("# # ") + firmware_line + "# ");

    // The box's ping after its boot comes back as 0xF1/0x04 with the same
    // payload, before the next command's request.
    const auto events = trace();
    size_t boot = 0;
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].kind == "BOOT")
            boot = i;
    ASSERT_GT(boot, 0u) << "no boot after the reset";
    std::vector<std::string> echoes;
    for (const auto &f : frames("WIRE_RX", "", boot)) {
        const Bytes c = frame_content(f);
        if (c.size() >= 2 && c[0] == 0xF0 && c[1] == 0x04)
            echoes.push_back(wire_frame(Bytes{0xF1, 0x04} + Bytes(c.begin() + 2, c.end())));
    }
    ASSERT_EQ(echoes.size(), 1u);
    const auto sent = frames("WIRE_TX", "", boot);
    EXPECT_EQ(sent, (std::vector<std::string>{echoes[0], "7e60801aee7e"}));
}

TEST_F(ConsoleSim, CbusReadAndSetForms)
{
    proc::Result r = session("cbus\ncbus ALL\ncbus 1\ncbus 1=L\ncbus 1\ncbus 1=H\ncbus 1\ncbus 1 L\ncbus 0x01\n"
                             "cbus 1 high\ncbus 1=0\ncbus 1=1\ncbus 1=x\ncbus =\ncbus 8=L\ncbus 1=H   \r\ncbus 1=L\ncbus all\n"
                             "exit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const std::string all_high = "cbus0(H)\ncbus1(H)\ncbus2(H)\ncbus3(H)\n";
    EXPECT_EQ(r.out, "# " + all_high + "# " + all_high +
                         "# cbus1(H)\n# # cbus1(L)\n# # cbus1(H)\n# # cbus1(L)\n# # # # # # # # # "
                         "cbus0(H)\ncbus1(L)\ncbus2(H)\ncbus3(H)\n# ");
    // Pins above 7 are refused.
    EXPECT_EQ(r.err, "invalid cbus level x (H, L, 1 or 0)\ninvalid cbus pin: missing\n"
                     "invalid cbus pin 8: out of range (0 to 7)\n");
    // Set forms only, in order; the refused level and pin change nothing.
    std::vector<std::string> levels;
    for (const auto &e : cbus_events())
        levels.push_back(e.second.substr(e.second.find("levels=") + 7));
    EXPECT_EQ(levels, (std::vector<std::string>{"0xf", "0xd", "0xf", "0xd", "0xf", "0xd", "0xf", "0xf", "0xd"}));

    r = run({"-U", code, "-c", "1=x"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "invalid cbus level x (H, L, 1 or 0)\n");
    EXPECT_EQ(cbus_events().size(), 1u); // the connect's only
}

// ---- device commands ---------------------------------------------------------------

TEST_F(ConsoleSim, LinkTestAndIdentification)
{
    // The first acknowledgement (the first ping's) comes 20 ms late.
    env["TARNCTL_SIM_FAULTS"] = "delay-acks=1,delay-ms=20";
    proc::Result r = session("ping\nping\nversion\ndate\nblversion\nblstring\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m,
                                 std::regex("# PING: turn around ([0-9]+)ms\n# PING: turn around ([0-9]+)(us|ms)\n"
                                            "# Firmware 2\\.1\\.0\\.14\n# Date 06\\.12\\.2026\n# Bootloader 1\\.3b\n"
                                            "# BL: Corvane boot loader 1\\.3b\n# ")))
        << r.out;
    EXPECT_GE(std::stoul(m[1]), 20u);
    EXPECT_LT(std::stoul(m[1]), 1000u);
    // Up to 1000 microseconds are shown as such, more in whole milliseconds.
    if (m[3] == "us")
        EXPECT_LE(std::stoul(m[2]), 1000u);
    else
        EXPECT_GE(std::stoul(m[2]), 1u);

    const auto sent = requests();
    ASSERT_EQ(sent.size(), 6u);
    // A ping carries the host's time: seconds and microseconds, 8 bytes each.
    for (int i = 0; i < 2; ++i) {
        const Bytes c = frame_content(sent[i]);
        ASSERT_EQ(c.size(), 18u) << sent[i];
        EXPECT_EQ(c[0], 0xF0);
        EXPECT_EQ(c[1], 0x04);
        int64_t sec = 0, usec = 0;
        for (int k = 7; k >= 0; --k) {
            sec = sec << 8 | c[2 + k];
            usec = usec << 8 | c[10 + k];
        }
        EXPECT_LE(std::llabs(sec - static_cast<int64_t>(std::time(nullptr))), 60) << sent[i];
        EXPECT_LT(usec, 1000000) << sent[i];
        EXPECT_GE(usec, 0) << sent[i];
    }
    EXPECT_EQ(sent[2], wire_frame({0x60, 0x80}));
    EXPECT_EQ(sent[3], wire_frame({0x60, 0x81}));
    EXPECT_EQ(sent[4], wire_frame({0x60, 0x83}));
    EXPECT_EQ(sent[5], wire_frame({0x60, 0x82}));
}

TEST_F(ConsoleSim, SwitchAndPhyRegisters)
{
    proc::Result r = session("sreg 0x11\nsreg 0x11=0x3f\nsreg 0x11\nmreg 0x1800=0x0208\nmreg 0x1800\nmreg 0x2345\n"
                             "sreg 0xff=0x12\nsreg 255\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "# register (011): 00\n# # register (011): 3f\n# # register (00): 0208\n"
                     "# register (45): ffff\n# # register (0ff): 12\n# ");
    EXPECT_EQ(r.err, "");
    // Reads leave the value field as the request object holds it (zero).
    EXPECT_EQ(requests(), (std::vector<std::string>{
                              wire_frame({0xF0, 0x06, 0x11, 0x00}), wire_frame({0xF0, 0x05, 0x11, 0x3F}),
                              wire_frame({0xF0, 0x06, 0x11, 0x00}), wire_frame({0xF0, 0x01, 0x18, 0x00, 0x08, 0x02}),
                              wire_frame({0xF0, 0x02, 0x18, 0x00, 0x00, 0x00}),
                              wire_frame({0xF0, 0x02, 0x23, 0x45, 0x00, 0x00}), wire_frame({0xF0, 0x05, 0xFF, 0x12}),
                              wire_frame({0xF0, 0x06, 0xFF, 0x00})}));
    // That write's FCS holds a flag byte, so the stuffing is on the wire too.
    EXPECT_NE(wire_frame({0xF0, 0x05, 0xFF, 0x12}).find("7d5e"), std::string::npos);
}

// A typo in a value never reaches the box: the register keeps what it held,
// the wire carries the reads only, and the run says it failed.
TEST_F(ConsoleSim, MalformedValuesAreNeverWritten)
{
    proc::Result r = run({"-U", code, "-m", "0x1800", "-m", "0x1800=0xzz", "-m", "0x1800", "-m", "0x1800=12abc",
                          "-s", "99999999999", "-m", "0x12345=1", "-m", "0x1800"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "register (00): 0200\nregister (00): 0200\nregister (00): 0200\n");
    EXPECT_EQ(r.err, "invalid register value 0xzz: not a number\n"
                     "invalid register value 12abc: not a number\n"
                     "invalid register address 99999999999: out of range (0x0 to 0xff)\n"
                     "invalid register address 0x12345: out of range (0x0 to 0xffff)\n");
    const std::string read = wire_frame({0xF0, 0x02, 0x18, 0x00, 0x00, 0x00});
    EXPECT_EQ(requests(), (std::vector<std::string>{read, read, read}));
}

TEST_F(ConsoleSim, PowerAndWakeUpLine)
{
    proc::Result r = session("power ON\npower o\npower off\npower\nwup\nwup on\nwup get\nwup off\nwup GET\n"
                             "wup t\nwup trigger\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "# # # # # ETH_WUP(GND (KL31))\n# # ETH_WUP(UBatt (KL30))\n# # ETH_WUP(GND (KL31))\n# # # ");
    EXPECT_EQ(r.err, "power: invalid argument o (on or off)\npower: on or off required\n"
                     "wup: invalid argument t (get, on, off or trigger)\n");
    // "power o", "power" and "wup t" send nothing.
    EXPECT_EQ(requests(), (std::vector<std::string>{wire_frame({0x50, 0x10}), wire_frame({0x50, 0x1F}),
                                                    wire_frame({0x50, 0x30, 0x03}), wire_frame({0x50, 0x30, 0x00}),
                                                    wire_frame({0x50, 0x30, 0x03}), wire_frame({0x50, 0x30, 0x01}),
                                                    wire_frame({0x50, 0x30, 0x03}),
                                                    wire_frame({0x50, 0x30, 0x02})}));

    r = run({"-U", code, "-P", "o"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out + r.err, "power: invalid argument o (on or off)\n");
    EXPECT_TRUE(requests().empty());
    r = run({"-U", code, "-w", "t"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out + r.err, "wup: invalid argument t (get, on, off or trigger)\n");
    EXPECT_TRUE(requests().empty());
    r = run({"-U", code, "-P", "ON"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(requests(), std::vector<std::string>{wire_frame({0x50, 0x10})});
}

TEST_F(ConsoleSim, EepromReadWriteClearAndRefusals)
{
    std::string sixty;
    Bytes values;
    for (unsigned v = 1; v <= 60; ++v) {
        sixty += " " + std::to_string(v);
        values.push_back(static_cast<uint8_t>(v));
    }
    proc::Result r = session("eep read 0x100 20\neep read 0 100\neep read 0x7F0 16\neep write 0x10" + sixty +
                             "\neep read 0x10 60\neep write=0x10,1,2\neep read(0x10,3)\neep x\neep r\n"
                             "eep clear 0\neep\neep read 0x40 3 x\neep read zz\neep read 1 zz\n"
                             "eep write 0x10 1 qq\neep clear 0x10 2\ne2p read 0x10 3\n"
                             // Past the 16-bit range, and across the end of the box's 4 KiB, whose
                             // second chunk the box answers with 0 bytes.
                             "eep read 0x10000 1\neep read 0 0x10000\neep read 0xFFF 2\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const std::string ff16 = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF";
    std::string erased_100;
    for (unsigned a = 0; a < 0x60; a += 16)
        erased_100 += (a == 0 ? std::string("00") : std::to_string(a / 16) + "0") + ": " + ff16 + "\n";
    EXPECT_EQ(r.out,
              "# eep read from 0x100 20 bytes\n100: " + ff16 + "\n110: FF FF FF FF \n"
              "# eep read from 0x0 100 bytes\n" + erased_100 + "60: FF FF FF FF \n"
              "# eep read from 0x7f0 16 bytes\n7F0: " + ff16 + "\n\n"
              "# eep write to 0x10 57 bytes\n"
              "01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10-11-12-13-14-15-16-17-18-19-1A-1B-1C-1D-1E-1F-20\n"
              "21-22-23-24-25-26-27-28-29-2A-2B-2C-2D-2E-2F-30-31-32-33-34-35-36-37-38-39-\n"
              "eep write to 0x49 3 bytes\n3A-3B-3C-\n"
              "# eep read from 0x10 60 bytes\n"
              "10: 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10\n"
              "20: 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 20\n"
              "30: 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 30\n"
              "40: 31 32 33 34 35 36 37 38 39 3A 3B 3C \n"
              "# eep write to 0x10 2 bytes\n01-02-\n"
              "# eep read from 0x10 3 bytes\n10: 01 02 03 \n"
              "# # # eep clear from 0x0 1 bytes\n"
              "# # # # # # eep clear from 0x10 2 bytes\n"
              "# eep read from 0x10 3 bytes\n10: FF FF 03 \n# # # eep read from 0xfff 2 bytes\n# ");
    EXPECT_EQ(r.err, "invalid sub-command x\nNULL address\nNULL parameter\ninvalid parameter x\n"
                     "invalid address zz: not a number\ninvalid size zz: not a number\ninvalid value qq: not a number\n"
                     "invalid address 0x10000: out of range (0x0 to 0xffff)\n"
                     "invalid size 0x10000: out of range (0x0 to 0xffff)\ne2p_read failed\n");
    EXPECT_EQ(requests(),
              (std::vector<std::string>{
                  e2p_read_rq(0x100, 20), e2p_read_rq(0, 57), e2p_read_rq(57, 43), e2p_read_rq(0x7F0, 16),
                  e2p_write_rq(0x10, Bytes(values.begin(), values.begin() + 57)),
                  e2p_write_rq(0x49, Bytes(values.begin() + 57, values.end())), e2p_read_rq(0x10, 57),
                  e2p_read_rq(0x49, 3), e2p_write_rq(0x10, {1, 2}), e2p_read_rq(0x10, 3), e2p_erase_rq(0, 1),
                  e2p_erase_rq(0x10, 2), e2p_read_rq(0x10, 3), e2p_read_rq(0xFFF, 2), e2p_read_rq(0x1000, 1)}));

    // Exactly one full chunk is one write; a write without values writes
    // nothing and succeeds.
    std::string fifty_seven;
    for (unsigned v = 1; v <= 57; ++v)
        fifty_seven += " " + std::to_string(v);
    r = run({"-U", code, "-i"}, "eep write 0x100" + fifty_seven + "\neep write 0x10\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "# eep write to 0x100 57 bytes\n"
                     "01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10-11-12-13-14-15-16-17-18-19-1A-1B-1C-1D-1E-1F-20\n"
                     "21-22-23-24-25-26-27-28-29-2A-2B-2C-2D-2E-2F-30-31-32-33-34-35-36-37-38-39-\n# # ");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(requests(), std::vector<std::string>{e2p_write_rq(0x100, Bytes(values.begin(), values.begin() + 57))});
}

TEST_F(ConsoleSim, EchoSendsAtMost31Characters)
{
    const std::string forty = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    ASSERT_EQ(forty.size(), 40u);
    proc::Result r = session("echo " + forty + "\necho\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "# echo(" + forty.substr(0, 31) + ")\n# echo(hallo)\n# ");
    // Parameter and return block of 32 bytes each; the text zero-terminated.
    auto echo_rq = [](const std::string &text) {
        Bytes block(text.begin(), text.end());
        block.resize(32, 0);
        return wire_frame(Bytes{0xF2, 0x00} + le16(32) + le16(32) + block);
    };
    EXPECT_EQ(requests(), (std::vector<std::string>{echo_rq(forty.substr(0, 31)), echo_rq("hallo")}));
}

// The register writes (register, value) of the two PHYs' default sequences.
const std::vector<std::pair<uint8_t, uint16_t>> phy_writes = {
    {0x17, 0x0F93}, {0x15, 0x107F}, {0x17, 0x0F90}, {0x15, 0x0001}, {0x00, 0x3000}, {0x00, 0x0200},
    {0x18, 0x0C00}, {0x17, 0x0F90}, {0x15, 0x0000}, {0x00, 0x0100}, {0x17, 0x0001}, {0x15, 0x0027},
    {0x17, 0x000E}, {0x15, 0x9B52}, {0x17, 0x000F}, {0x15, 0xA04D}, {0x17, 0x0F90}, {0x15, 0x0001},
    {0x17, 0x0F92}, {0x15, 0x9225}, {0x17, 0x000A}, {0x15, 0x0323}, {0x00, 0x0208}, {0x17, 0x0FFD},
    {0x15, 0x1C3F}, {0x17, 0x0FFE}, {0x15, 0x1C3F}, {0x17, 0x0F99}, {0x15, 0x7180}, {0x17, 0x0F9A},
    {0x15, 0x34C0}, {0x18, 0xF167}, {0x17, 0x0F0E}, {0x15, 0x0800}, {0x17, 0x0F9F}, {0x15, 0x0000},
    {0x1C, 0xAC81}, {0x1C, 0x8A03}, {0x1C, 0xB4E5}, {0x1C, 0xB863}};

// The stored records as the console shows them.
std::string record_lines(unsigned addr, uint8_t phy, const std::vector<std::pair<uint8_t, uint16_t>> &writes)
{
    char line[128];
    std::string text;
    std::snprintf(line, sizeof line, "0x%04X kind 0 (begin) size 3: BB CC\n", addr);
    text += line;
    addr += 3;
    for (const auto &[reg, value] : writes) {
        std::snprintf(line, sizeof line, "0x%04X kind 3 (mdio) size 5: %02X %02X %02X %02X (phy 0x%02X reg 0x%02X "
                      "value 0x%04X)\n", addr, phy, reg, value & 0xFF, value >> 8, phy, reg, value);
        text += line;
        addr += 5;
    }
    std::snprintf(line, sizeof line, "0x%04X kind 1 (end) size 3: EE CC\n", addr);
    return text + line;
}

TEST_F(ConsoleSim, CfgWriteThenReadShowsTheThreeDefaultSequences)
{
    ASSERT_EQ(phy_writes.size(), 40u);

    proc::Result r = session("cfg w\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "# # ");
    EXPECT_EQ(r.err, "");
    // One write request a record, each at the end of the one before.
    std::vector<std::string> want = {e2p_write_rq(0x200, {0x03, 0xBB, 0xCC}),
                                     e2p_write_rq(0x203, {0x55, 0x06, 0xDF, 0x40, 0x00}),
                                     e2p_write_rq(0x208, {0x13, 0xEE, 0xCC})};
    for (const auto &[start, phy] : {std::pair<unsigned, uint8_t>{0x620, 0x18}, {0x710, 0x19}}) {
        unsigned addr = start;
        want.push_back(e2p_write_rq(addr, {0x03, 0xBB, 0xCC}));
        addr += 3;
        for (const auto &[reg, value] : phy_writes) {
            want.push_back(e2p_write_rq(addr, {0x35, phy, reg, static_cast<uint8_t>(value & 0xFF),
                                               static_cast<uint8_t>(value >> 8)}));
            addr += 5;
        }
        want.push_back(e2p_write_rq(addr, {0x13, 0xEE, 0xCC}));
    }
    EXPECT_EQ(requests(), want);

    // Read back in a later run, from the box's EEPROM file.
    r = session("cfg r\ncfg x\ncfg\neep read 0x200 11\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "# E2P Config Switch:\n"
                     "0x0200 kind 0 (begin) size 3: BB CC\n"
                     "0x0203 kind 5 (switch) size 5: 06 DF 40 00 (phy 0x06 reg 0xDF value 0x0040)\n"
                     "0x0208 kind 1 (end) size 3: EE CC\n"
                     "E2P Config PHY1:\n" +
                         record_lines(0x620, 0x18, phy_writes) + "E2P Config PHY2:\n" +
                         record_lines(0x710, 0x19, phy_writes) +
                         "# # parameter required\n"
                         "# eep read from 0x200 11 bytes\n200: 03 BB CC 55 06 DF 40 00 13 EE CC \n# ");
    EXPECT_EQ(r.err, "cfg: invalid argument x (read or write)\n");
    // Reading writes nothing.
    for (const auto &f : requests())
        EXPECT_NE(f.rfind("7ef008", 0), 0u) << f;
}

TEST_F(ConsoleSim, HdlcSendsAtMost62ValuesAndRefusesMore)
{
    // Type 0x6F is an acknowledgement type, which the box takes without a
    // word, so nothing of its own comes between the console's lines.
    std::string list = "0x6f";
    Bytes first62{0x6F};
    std::string shown = "6F ";
    for (unsigned v = 2; v <= 62; ++v) {
        list += "," + std::to_string(v);
        first62.push_back(static_cast<uint8_t>(v));
        char h[4];
        std::snprintf(h, sizeof h, "%02X ", v);
        shown += h;
    }
    proc::Result r = session("hdlc " + list + "\nraw 0x6f 2.3-4\nhdlc 0x6f,zz\nhdlc " + list + ",63\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "# HDLC: " + shown + "\n# HDLC: 6F 02 03 04 \n# # # ");
    EXPECT_EQ(r.err, "invalid value zz: not a number\nhdlc: at most 62 bytes a frame\n");
    EXPECT_EQ(requests(), (std::vector<std::string>{wire_frame(first62), wire_frame({0x6F, 2, 3, 4})}));
}

// -C, -e and -H on the command line: the handlers of cfg, eep and hdlc, open
// only to an unlocked console; -b stays unknown.
TEST_F(ConsoleSim, CfgEepAndHdlcOptionsFollowTheUnlock)
{
    struct {
        std::vector<std::string> args;
        std::string out;
        std::vector<std::string> sent;
    } cases[] = {
        {{"-C", "read"},
         "E2P Config Switch:\n0x0200 no valid record (header 0xFF)\nE2P Config PHY1:\n"
         "0x0620 no valid record (header 0xFF)\nE2P Config PHY2:\n0x0710 no valid record (header 0xFF)\n",
         {e2p_read_rq(0x200, 1), e2p_read_rq(0x620, 1), e2p_read_rq(0x710, 1)}},
        {{"-e", "read=0x100,4"}, "eep read from 0x100 4 bytes\n100: FF FF FF FF \n", {e2p_read_rq(0x100, 4)}},
        {{"-H", "0xF0,0x04"}, "HDLC: F0 04 \n", {wire_frame({0xF0, 0x04})}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args = c.args;
        proc::Result r = run(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out + r.err, args[0] + " needs the access code: give -U <code> before it\n");
        EXPECT_EQ(requests(), std::vector<std::string>{});

        args.insert(args.begin(), {"-U", code});
        r = run(args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(requests(), c.sent);
    }
    proc::Result r = run({"-U", code, "-b", "9600"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("invalid option -- 'b'"), std::string::npos) << r.err;
}

// ---- time-outs: one second each -----------------------------------------------------

TEST_F(ConsoleSim, SlowUnansweredRequestsFailOnTheirStreamsAndTheNextWorks)
{
    proc::Result r = session("cfg w\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The third dropped answer is that of the first record's header byte: the
    // switch area reads as failed rather than as whatever the work area held.
    env["TARNCTL_SIM_FAULTS"] = "drop-acks=3";
    r = session("version\nsreg 0x11\ncfg r\nversion\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "# reading firmware version failed\n# # E2P Config Switch:\n0x0200 read failed\n"
                     "E2P Config PHY1:\n" +
                         record_lines(0x620, 0x18, phy_writes) + "E2P Config PHY2:\n" +
                         record_lines(0x710, 0x19, phy_writes) + "# " + firmware_line + "# ");
    EXPECT_EQ(r.err, "send_rq timed out\nsend_rq timed out\nread register(011) failed\nsend_rq timed out\n");
    // Nothing is repeated.
    const auto sent = requests();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[0], "7e60801aee7e");
    EXPECT_EQ(sent[1], wire_frame({0xF0, 0x06, 0x11, 0x00}));
    EXPECT_EQ(sent[2], e2p_read_rq(0x200, 1));
    EXPECT_EQ(sent[3], e2p_read_rq(0x620, 1));
    EXPECT_EQ(sent.back(), "7e60801aee7e");

    env["TARNCTL_SIM_FAULTS"] = "drop-acks=1";
    r = run({"-U", code, "-p"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "ping failed\n");
    EXPECT_EQ(r.err, "send_rq timed out\n");
}

// ---- the interactive loop -------------------------------------------------------------

TEST_F(ConsoleSim, CommandWordPrefixesBlankLinesAndExit)
{
    proc::Result r = session("e\nd\nda\ndat\nDATE\nbl\nblv\nbls\n\n \t \nEXIT\nversion\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "# # # # Date 06.12.2026\n# Date 06.12.2026\n# # Bootloader 1.3b\n"
                     "# BL: Corvane boot loader 1.3b\n# # # ");
    EXPECT_EQ(r.err, "unknown command e (help lists them)\nunknown command d (help lists them)\n"
                     "unknown command da (help lists them)\nunknown command bl (help lists them)\n");
    EXPECT_EQ(requests(), (std::vector<std::string>{wire_frame({0x60, 0x81}), wire_frame({0x60, 0x81}),
                                                    wire_frame({0x60, 0x83}), wire_frame({0x60, 0x82})}));

    r = session("ex\nversion\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "# ");
    EXPECT_TRUE(requests().empty());

    // The end of the input ends the session like exit.
    r = session("dat\n");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "# Date 06.12.2026\n# ");
}

TEST_F(ConsoleSim, ParameterTextAndOverlongLine)
{
    // Inner blanks stay, trailing line ends and spaces go but a tab before
    // them stays, and a parameter of one line end alone is kept. A line of 600
    // characters is refused whole: no part of it reaches the box.
    const std::string long_line = "echo " + std::string(595, 'a') + "\n";
    proc::Result r = session("echo  a b \t \r\necho \nmreg 0x1803\n" + long_line + "version\nexit\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, std::string("# echo( a b \t)\n# echo(\n)\n# register (03): 5cc2\n# # ") + firmware_line + "# ");
    EXPECT_EQ(r.err, "line too long (at most 511 characters)\n");
    auto echo_rq = [](const std::string &text) {
        Bytes block(text.begin(), text.end());
        block.resize(32, 0);
        return wire_frame(Bytes{0xF2, 0x00} + le16(32) + le16(32) + block);
    };
    EXPECT_EQ(requests(), (std::vector<std::string>{echo_rq(" a b \t"), echo_rq("\n"),
                                                    wire_frame({0xF0, 0x02, 0x18, 0x03, 0x00, 0x00}),
                                                    "7e60801aee7e"}));
}

} // namespace
