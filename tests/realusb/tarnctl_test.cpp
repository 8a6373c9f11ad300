// The shipped console, and the driver alone, on the system's libusb with the
// converter and box models behind emulated usbfs device nodes. Where the
// stand-in bus can run the same case, the two runs must agree: what the
// console prints and which control requests reach the converter.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <thread>
#include <sstream>

#include "box/box.h"
#include "frame_codec.h"
#include "process_runner.h"
#include "scratch_dir.h"
#include "usbfs_host.h"

namespace {

const std::string code = "kvrl.Pembrix-Ubo42";

sim::DeviceSpec box(const std::string &serial, const std::string &state_dir = "")
{
    sim::DeviceSpec d;
    d.serial = serial;
    d.state_dir = state_dir;
    return d;
}

std::vector<std::string> lines_of(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> v;
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// The trace's lines of one kind, without their time stamp.
std::vector<std::string> trace_events(const std::string &path, const std::string &kind)
{
    std::vector<std::string> v;
    for (const std::string &l : lines_of(path)) {
        std::istringstream ss(l);
        std::string t, serial, k;
        ss >> t >> serial >> k;
        if (k == kind)
            v.push_back(serial + l.substr(l.find(' ' + k)));
    }
    return v;
}

// The serial bytes of one direction ("WIRE_TX": to the box, "WIRE_RX": from
// it) cut into frames by the tests' own codec; *bad counts frames that do
// not check.
std::vector<std::string> wire_frames(const std::string &path, const std::string &kind, int *bad)
{
    std::string wire;
    for (const std::string &l : trace_events(path, kind))
        wire += l.substr(l.rfind(' ') + 1);
    std::vector<std::string> out;
    for (const testframe::bytes &c : testframe::decode(testframe::from_hex(wire), bad))
        out.push_back(testframe::hex(c));
    return out;
}

class RealUsb : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = makeScratchDir("tarnctl_realusb");
        ASSERT_FALSE(dir.empty());
        trace_path = dir + "/trace";
        sim_trace_path = dir + "/sim_trace";
    }
    void TearDown() override
    {
        if (host) {
            std::vector<std::string> unknown = host->unknown_requests();
            EXPECT_TRUE(unknown.empty()) << "usbfs request not emulated: " << unknown.front();
        }
        host.reset();
        removeScratchDir(dir);
    }

    void start(const std::vector<sim::DeviceSpec> &devices, bool unpluggable = false)
    {
        host.reset();
        unlink(trace_path.c_str()); // the trace appends
        realusb::HostOptions o;
        o.trace_path = trace_path;
        o.unpluggable = unpluggable;
        host = std::make_unique<realusb::UsbfsHost>(devices, o);
        ASSERT_TRUE(host->ok()) << host->error();
    }

    proc::Result run(std::vector<std::string> args, std::optional<std::string> input = std::nullopt)
    {
        args.insert(args.begin(), TARNCTL_BIN);
        proc::Options o;
        o.env = host->child_env();
        o.input = std::move(input);
        o.limit = std::chrono::milliseconds(30000);
        return proc::run(args, o);
    }

    // The same command with tarnctl-sim on the stand-in bus.
    proc::Result sim_run(std::vector<std::string> args, const std::string &boxes, const std::string &faults = "",
                         std::optional<std::string> input = std::nullopt)
    {
        args.insert(args.begin(), TARNCTL_SIM_BIN);
        proc::Options o;
        o.env = {{"TARNCTL_SIM_TIMING", "fast"},
                 {"TARNCTL_SIM_BOXES", boxes},
                 {"TARNCTL_SIM_STATE", dir + "/sim_state"},
                 {"TARNCTL_SIM_TRACE", sim_trace_path}};
        if (!faults.empty())
            o.env["TARNCTL_SIM_FAULTS"] = faults;
        o.input = std::move(input);
        return proc::run(args, o);
    }

    std::unique_ptr<realusb::UsbfsHost> host;
    std::string dir, trace_path, sim_trace_path;
};

// libusb lists the devices it found last first: the box on the highest port
// is number 1.
TEST_F(RealUsb, ListsOneAndThreeBoxesInLibusbOrder)
{
    start({box("CV000001")});
    proc::Result r = run({"-l"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "1. CV000001\n") << r.err;

    start({box("CV000001"), box("CV000002"), box("CV000003")});
    r = run({"-l"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "1. CV000003\n2. CV000002\n3. CV000001\n") << r.err;
}

// Only the chosen box hears a request (listing opens every converter, but
// nothing goes on the serial lines of the others).
TEST_F(RealUsb, SelectsTheBoxByInstanceAndBySerial)
{
    struct Case {
        std::vector<std::string> args;
        const char *chosen;
    };
    for (const Case &c : {Case{{"-d", "1", "-V"}, "CV000003"}, Case{{"-d", "3", "-V"}, "CV000001"},
                          Case{{"-D", "cv000002", "-V"}, "CV000002"}}) {
        start({box("CV000001"), box("CV000002"), box("CV000003")});
        proc::Result r = run(c.args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(std::regex_match(r.out, std::regex("Firmware [0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
        std::vector<std::string> tx = trace_events(trace_path, "WIRE_TX");
        ASSERT_FALSE(tx.empty()) << c.args[1];
        for (const std::string &l : tx)
            EXPECT_EQ(l.substr(0, 8), c.chosen) << c.args[1];
    }
    proc::Result r = run({"-D", "CV000009", "-V"});
    EXPECT_NE(r.exit_code, 0);
    r = run({"-d", "4", "-V"});
    EXPECT_NE(r.exit_code, 0);
}

TEST_F(RealUsb, VersionAndPingAgreeWithTheStandIn)
{
    start({box("CV000001")});
    for (const auto &args : {std::vector<std::string>{"-V"}, std::vector<std::string>{"-p"}}) {
        proc::Result r = run(args);
        proc::Result s = sim_run(args, "CV000001");
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.exit_code, s.exit_code);
        EXPECT_EQ(r.err, s.err);
        // Turn-around times differ from run to run.
        const std::regex times("[0-9]+(us|ms)");
        EXPECT_EQ(std::regex_replace(r.out, times, "T"), std::regex_replace(s.out, times, "T")) << r.out;
    }
    EXPECT_TRUE(std::regex_match(run({"-p"}).out, std::regex("PING: turn around [0-9]+(us|ms)\n")));
}

// Every control request of a run, in order, with its data and result, as
// the converter saw it: the real library and the stand-in must ask the same.
TEST_F(RealUsb, ControlRequestsOfARunMatchTheStandIn)
{
    start({box("CV000001")});
    const std::string input = "version\ncbus 1=L\ncbus 1=H\nexit\n";
    proc::Result r = run({"-U", code, "-i"}, input);
    proc::Result s = sim_run({"-U", code, "-i"}, "CV000001", "", input);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(s.exit_code, 0) << s.err;
    std::vector<std::string> real = trace_events(trace_path, "CTRL");
    std::vector<std::string> stand_in = trace_events(sim_trace_path, "CTRL");
    ASSERT_FALSE(real.empty());
    EXPECT_EQ(real, stand_in);
    // And the pins moved the same way.
    EXPECT_EQ(trace_events(trace_path, "CBUS"), trace_events(sim_trace_path, "CBUS"));
}

// A session that changes the box and reads it back: the same output and the
// same frames on the serial line as on the stand-in, every frame good both
// ways; and the EEPROM is still there for the next run.
TEST_F(RealUsb, SessionWritesAndReadsBackAsOnTheStandIn)
{
    const std::string state = dir + "/state";
    ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
    start({box("CV000001", state)});
    const std::string input = "sreg 0x11=0x3f\n"
                              "sreg 0x11\n"
                              "mreg 0x1803\n"
                              "eep write=0x40,1,2,0x7e\n"
                              "eep read 0x40 3\n"
                              "vlan 100 1 y 0011\n"
                              "vlan 100\n"
                              "exit\n";
    proc::Result r = run({"-U", code, "-i"}, input);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("register (011): 3f\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("register (03): 5cc2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("eep read from 0x40 3 bytes\n40: 01 02 7E \n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("vid(0100) fid(001) valid(x) ports(0011)\n"), std::string::npos) << r.out;

    proc::Result s = sim_run({"-U", code, "-i"}, "CV000001", "", input);
    EXPECT_EQ(r.out, s.out);
    int bad_tx = 0, bad_rx = 0, sim_bad = 0;
    // The echoes of the box's pings (0xF1/0x04) come when the box pings.
    auto requests = [](std::vector<std::string> frames) {
        std::erase_if(frames, [](const std::string &f) { return f.rfind("f104", 0) == 0; });
        return frames;
    };
    std::vector<std::string> to_box = requests(wire_frames(trace_path, "WIRE_TX", &bad_tx));
    EXPECT_EQ(to_box, requests(wire_frames(sim_trace_path, "WIRE_TX", &sim_bad)));
    EXPECT_GE(to_box.size(), 7u);
    EXPECT_FALSE(wire_frames(trace_path, "WIRE_RX", &bad_rx).empty());
    EXPECT_EQ(bad_tx, 0);
    EXPECT_EQ(bad_rx, 0);
    // The EEPROM write as the box got it: address 0x0040, three bytes.
    EXPECT_NE(std::find(to_box.begin(), to_box.end(), "f008400003" "01027e"), to_box.end());

    // A new host with a fresh converter and box, on the same EEPROM file.
    start({box("CV000001", state)});
    r = run({"-U", code, "-i"}, "eep read 0x40 3\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("40: 01 02 7E \n"), std::string::npos) << r.out;
}

TEST_F(RealUsb, ResetPulseAndCbusPins)
{
    start({box("CV000001")});
    proc::Result r = run({"-U", code, "-i"}, "cbus 1=L\ncbus 1\nreset\nping\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("cbus1(L)\n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("PING: turn around [0-9]+(us|ms)\n"))) << r.out;
    std::vector<std::string> cbus = trace_events(trace_path, "CBUS");
    // Connect, pin 1 low, then the reset pulse on pin 0 (low, high).
    ASSERT_GE(cbus.size(), 4u);
    EXPECT_EQ(cbus[1], "CV000001 CBUS dir=0xf levels=0xd");
    EXPECT_EQ(cbus[cbus.size() - 2], "CV000001 CBUS dir=0xf levels=0xc");
    EXPECT_EQ(cbus.back(), "CV000001 CBUS dir=0xf levels=0xd");
    EXPECT_EQ(trace_events(trace_path, "BOOT").size(), 2u);
}

TEST_F(RealUsb, CanTraceRecordsStreamToThePrompt)
{
    start({box("CV000001")});
    std::string err;
    ASSERT_TRUE(host->with_box(0, [&](sim::Box &b) { ASSERT_TRUE(b.apply_fault("trace-ms", "5", &err)) << err; }));
    const std::string script = "{ printf 'can dump on\\n'; sleep 1; printf 'can dump off\\nexit\\n'; } | \"$0\" -U " +
                               code + " -i";
    proc::Options o;
    o.env = host->child_env();
    o.limit = std::chrono::milliseconds(30000);
    proc::Result r = proc::run({"/bin/sh", "-c", script, TARNCTL_BIN}, o);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("(^|\n|# )[0-9]{7} 123 02 DEAD\n\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("(^|\n|# )[0-9]{7} 31234 04 [0-9A-F]{8}\n\n"))) << r.out;
    EXPECT_NE(r.out.find("dump off\n"), std::string::npos);
}

// A converter that misbehaves: the console must end the same way on the
// real library as on the stand-in.
TEST_F(RealUsb, FaultsEndTheRunAsOnTheStandIn)
{
    struct Case {
        const char *name;
        std::function<void(realusb::UsbfsHost &)> real;
        const char *sim_fault;
    };
    const Case cases[] = {
        {"control stall", [](realusb::UsbfsHost &h) { h.stall_next_control(0); }, "stall-control=1"},
        {"bulk IN stall", [](realusb::UsbfsHost &h) { h.stall_bulk(0, 0x81); }, "stall-bulk-in=1"},
        {"kernel driver", [](realusb::UsbfsHost &h) { h.set_kernel_driver(0, 0, true); }, "kernel-driver=0"},
    };
    for (const Case &c : cases) {
        start({box("CV000001")});
        c.real(*host);
        proc::Result r = run({"-V"});
        proc::Result s = sim_run({"-V"}, "CV000001", c.sim_fault);
        EXPECT_EQ(r.exit_code, s.exit_code) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, s.out) << c.name;
        EXPECT_EQ(r.err, s.err) << c.name;
        // The same requests; clearing the halt of the IN endpoint goes
        // between them wherever the reader thread gets to it, once per
        // transfer that was in flight.
        const std::string clear_in = "CTRL OUT req=0x01 val=0x0000 idx=0x0081";
        auto requests = [&](std::vector<std::string> v, size_t *clears) {
            *clears = static_cast<size_t>(std::erase_if(v, [&](const std::string &l) { return l.find(clear_in) != l.npos; }));
            return v;
        };
        size_t real_clears = 0, sim_clears = 0;
        EXPECT_EQ(requests(trace_events(trace_path, "CTRL"), &real_clears),
                  requests(trace_events(sim_trace_path, "CTRL"), &sim_clears))
            << c.name;
        EXPECT_EQ(real_clears > 0, sim_clears > 0) << c.name;
        unlink(sim_trace_path.c_str());
    }
}

// The converter goes while a listing runs: libusb hears it from the node
// (an error on poll), the command ends with one line, and the next command
// ends the session since the box has not come back; as on the stand-in.
TEST_F(RealUsb, UnplugDuringAListingEndsItWithOneLine)
{
    start({box("CV000001")}, true);
    const std::string script = "{ printf 'vlan\\n'; sleep 0.5; printf 'sreg 0\\nsreg 1\\n'; } | \"$0\" -U " + code +
                               " -i";
    proc::Options o;
    o.env = host->child_env();
    o.limit = std::chrono::milliseconds(30000);
    // Pulled once the console has set the line up and the listing runs.
    std::thread pull([this] {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (trace_events(trace_path, "WIRE_TX").size() < 3 && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        host->unplug(0);
    });
    proc::Result r = proc::run({"/bin/sh", "-c", script, TARNCTL_BIN}, o);
    pull.join();
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    auto count = [](const std::string &text, const std::string &what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    };
    EXPECT_EQ(count(r.err, "Corvane lost: the USB converter is gone\n"), 1u) << r.err << "\nout:\n" << r.out;
    EXPECT_EQ(count(r.err, "timed out"), 0u) << r.err;
    EXPECT_EQ(r.out.find("register (000)"), std::string::npos);
    EXPECT_NE(r.err.find("Corvane CV000001 has not come back"), std::string::npos) << r.err;
}

// The driver alone: three megabytes looped back through FT_Write and FT_Read, then
// an open handle left idle. Each URB here crosses a socket to this process,
// so the idle figure is the driver's cost plus the emulation's; it is
// printed, and bounded only loosely (a spinning event loop costs a whole
// core).
TEST_F(RealUsb, DriverLoopsMegabytesBackAndIdlesQuietly)
{
    sim::DeviceSpec d = box("CV000001");
    d.box = false;
    start({d});
    host->set_loopback(0, 0, true);
    proc::Options o;
    o.env = host->child_env();
    o.limit = std::chrono::milliseconds(240000);
    const char *bytes_env = getenv("REALUSB_LOOP_BYTES");
    const long bytes = bytes_env ? atol(bytes_env) : 3L << 20;
    proc::Result r = proc::run({LOOP_CLIENT_BIN, std::to_string(bytes), "2000"}, o);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("looped=([0-9]+) mismatches=0 idle_cpu_permille=([0-9.]+)")))
        << r.out << r.err;
    EXPECT_EQ(std::stol(m[1]), bytes);
    EXPECT_LT(std::stod(m[2]), 50.0) << r.out;
    // While idle the chip sends a status packet each latency period (16 ms);
    // each costs a reap, a reap that finds nothing and a new submission.
    // Count the requests in the middle of the idle time, which ends with
    // the close (the last requests).
    const std::vector<uint64_t> t = host->ioctl_times();
    ASSERT_FALSE(t.empty());
    const uint64_t from = t.back() - 1800000, to = t.back() - 300000;
    const auto n = std::count_if(t.begin(), t.end(), [&](uint64_t x) { return x >= from && x < to; });
    const double per_s = static_cast<double>(n) / 1.5;
    EXPECT_LT(per_s, 2 * 3 * 1000.0 / 16) << n;
    std::cout << "[ measured ] " << r.out << "[ measured ] idle requests per second: " << per_s << "\n";
}

} // namespace
