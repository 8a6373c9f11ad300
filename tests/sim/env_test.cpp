// tarnctl-sim's environment and the trace format.
#include "sim_test_util.h"

#include <fstream>
#include <map>
#include <regex>

#include <sys/wait.h>

#include "simenv.h"

using namespace simtest;

namespace {

struct Env {
    std::map<std::string, std::string> vars;
    bool parse(sim::EnvConfig *cfg, std::string *err) const
    {
        return sim::parse_env(cfg, err, [this](const char *n) -> const char * {
            auto it = vars.find(n);
            return it == vars.end() ? nullptr : it->second.c_str();
        });
    }
};

} // namespace

TEST(SimEnv, DefaultsAndGoodValues)
{
    sim::EnvConfig cfg;
    std::string err;
    Env e{{{"HOME", "/home/u"}}};
    ASSERT_TRUE(e.parse(&cfg, &err)) << err;
    EXPECT_EQ(cfg.serials, std::vector<std::string>{"CV000001"});
    EXPECT_EQ(cfg.state_dir, "/home/u/.local/state/tarnctl-sim");
    EXPECT_EQ(cfg.timing, sim::Timing::real);
    EXPECT_TRUE(cfg.trace_path.empty());

    Env e2{{{"HOME", "/home/u"},
            {"XDG_STATE_HOME", "/x"},
            {"TARNCTL_SIM_BOXES", "3"},
            {"TARNCTL_SIM_TIMING", "fast"},
            {"TARNCTL_SIM_FAULTS", "unplug-after-ms=300,replug-after-ms=900, fail-submit=LIBUSB_ERROR_IO,"
                                   "kernel-driver=0,out-accepts-nothing=1,stall-control=4,unplug-after-bulk-out=3"}}};
    ASSERT_TRUE(e2.parse(&cfg, &err)) << err;
    EXPECT_EQ(cfg.serials, (std::vector<std::string>{"CV000001", "CV000002", "CV000003"}));
    EXPECT_EQ(cfg.state_dir, "/x/tarnctl-sim");
    EXPECT_EQ(cfg.timing, sim::Timing::fast);
    EXPECT_EQ(cfg.faults.unplug_after_ms, 300);
    EXPECT_EQ(cfg.faults.replug_after_ms, 900);
    EXPECT_EQ(cfg.faults.fail_submit, LIBUSB_ERROR_IO);
    EXPECT_EQ(cfg.faults.kernel_driver, 0);
    EXPECT_TRUE(cfg.faults.out_accepts_nothing);
    EXPECT_EQ(cfg.faults.stall_control, 4);
    EXPECT_EQ(cfg.faults.unplug_after_bulk_out, 3);

    Env e3{{{"TARNCTL_SIM_BOXES", "AB12,cd-34"}, {"TARNCTL_SIM_STATE", "/s"}, {"TARNCTL_SIM_BOXES_X", "?"}}};
    ASSERT_TRUE(e3.parse(&cfg, &err)) << err;
    EXPECT_EQ(cfg.serials, (std::vector<std::string>{"AB12", "cd-34"}));
    EXPECT_EQ(cfg.state_dir, "/s");
    Env zero{{{"TARNCTL_SIM_BOXES", "0"}}};
    ASSERT_TRUE(zero.parse(&cfg, &err)) << err;
    EXPECT_TRUE(cfg.serials.empty());
}

TEST(SimEnv, BadValuesAreRefusedWithTheirName)
{
    const std::pair<const char *, const char *> bad[] = {
        {"TARNCTL_SIM_BOXES", "17"},
        {"TARNCTL_SIM_BOXES", "A,,B"},
        {"TARNCTL_SIM_BOXES", "A,a"},
        {"TARNCTL_SIM_BOXES", "SERIALNUMBERTOOLONG"},
        {"TARNCTL_SIM_BOXES", "A B"},
        {"TARNCTL_SIM_TIMING", "slow"},
        {"TARNCTL_SIM_FAULTS", "unplug-after-ms"},
        {"TARNCTL_SIM_FAULTS", "unplug-after-ms=soon"},
        {"TARNCTL_SIM_FAULTS", "no-such-fault=1"},
        {"TARNCTL_SIM_FAULTS", "fail-submit=-200"},
        {"TARNCTL_SIM_FAULTS", "replug-after-ms=10"},
        {"TARNCTL_SIM_FAULTS", "kernel-driver=9"},
        {"TARNCTL_SIM_FAULTS", "unplug-after-bulk-out=0"},
        {"TARNCTL_SIM_FAULTS", "unplug-after-ms=500,replug-after-ms=400"},
    };
    for (auto &[name, value] : bad) {
        sim::EnvConfig cfg;
        std::string err;
        Env e{{{name, value}}};
        EXPECT_FALSE(e.parse(&cfg, &err)) << name << "=" << value;
        EXPECT_EQ(err.rfind(name, 0), 0u) << err;
    }
}

TEST(SimEnv, TraceLinesHaveTheDocumentedFormat)
{
    std::string path = ::testing::TempDir() + "/sim_trace_test.txt";
    std::remove(path.c_str());
    sim::BusOptions o;
    o.trace_path = path;
    sim::DeviceSpec s;
    sim::reset_bus({s}, o);
    {
        Dev d;
        d.setup_line(10);
        Reader r(d, 2, 4096);
        std::vector<uint8_t> req = encode({0x60, 0x80});
        int n;
        ASSERT_EQ(libusb_bulk_transfer(d.h, 0x02, req.data(), 6, &n, 100), 0);
        uint8_t v;
        ASSERT_EQ(libusb_control_transfer(d.h, 0xC0, 12, 0, 0, &v, 1, 100), 1);
        ASSERT_EQ(d.out(11, 0x20F2), 0); // CBUS0 low: reset held
        ASSERT_EQ(d.out(11, 0x20F3), 0); // released: the box boots
        // Until the version answer has come (the trace then holds both wire lines).
        ASSERT_TRUE(r.pump_until([&] {
            for (auto &f : decode(r.data()))
                if (f.size() >= 2 && f[0] == 0x6F && f[1] == 0x80)
                    return true;
            return false;
        }));
    }
    sim::unplug(0);
    sim::reset_bus({}, {}); // closes nothing; the trace file stays open
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    auto has = [&](const std::string &re) {
        std::regex r("^[0-9]+ CV000001 " + re + "$");
        for (auto &l : lines)
            if (std::regex_match(l, r))
                return true;
        return false;
    };
    EXPECT_TRUE(has("PLUG"));
    EXPECT_TRUE(has("BOOT"));
    EXPECT_TRUE(has("UNPLUG"));
    EXPECT_TRUE(has("CTRL OUT req=0x03 val=0x000d idx=0x0000 len=0 rc=0"));
    EXPECT_TRUE(has("CTRL OUT req=0x06 val=0x017e idx=0x0000 len=0 rc=0"));
    EXPECT_TRUE(has("CTRL IN req=0x0c val=0x0000 idx=0x0000 len=1 data=ff rc=1"));
    EXPECT_TRUE(has("BULK_OUT len=6 data=7e60801aee7e rc=0"));
    EXPECT_TRUE(has("WIRE_TX 7e60801aee7e"));
    EXPECT_TRUE(has("WIRE_RX 7e6f80[0-9a-f]+7e"));
    EXPECT_TRUE(has("CBUS dir=0xf levels=0x2"));
    EXPECT_TRUE(has("CBUS dir=0xf levels=0x3"));
    for (auto &l : lines)
        EXPECT_TRUE(std::regex_match(l, std::regex("^[0-9]+ \\S+ [A-Z_]+( \\S+)*$"))) << l;
}

namespace {

struct ProbeRun {
    int status;
    std::string out;
};

// The probe program with this environment (stderr folded into the output).
ProbeRun probe(const std::string &env, const std::string &args = "")
{
    std::string cmd = "env -i HOME=" + ::testing::TempDir() + "/simhome " + env + " " SIM_ENV_PROBE " " + args +
                      " 2>&1";
    ProbeRun r{-1, ""};
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    char buf[256];
    while (fgets(buf, sizeof buf, p))
        r.out += buf;
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

} // namespace

TEST(SimEnv, ProgramBuildsTheBusFromTheEnvironment)
{
    ProbeRun r = probe("TARNCTL_SIM_TIMING=fast");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "CV000001 0600\n");
    r = probe("TARNCTL_SIM_TIMING=fast TARNCTL_SIM_BOXES=X1,Y2");
    EXPECT_EQ(r.out, "X1 0600\nY2 0600\n");
    r = probe("TARNCTL_SIM_BOXES=0");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    // A bad value stops the program before it does anything, with exit code 2.
    r = probe("TARNCTL_SIM_TIMING=slow");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "tarnctl-sim: TARNCTL_SIM_TIMING: 'slow' is neither real nor fast\n");
    r = probe("TARNCTL_SIM_FAULTS=drop-everything=1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("unknown fault 'drop-everything'"), std::string::npos) << r.out;
    // Box faults go to the box model, which checks their values itself.
    r = probe("TARNCTL_SIM_TIMING=fast TARNCTL_SIM_FAULTS=drop-acks=2");
    EXPECT_EQ(r.status, 0) << r.out;
    r = probe("TARNCTL_SIM_FAULTS=drop-acks=many");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.rfind("tarnctl-sim: TARNCTL_SIM_FAULTS: drop-acks='many'", 0), 0u) << r.out;
    r = probe("TARNCTL_SIM_STATE=/proc/nonexistent/x");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("TARNCTL_SIM_STATE"), std::string::npos) << r.out;
    r = probe("TARNCTL_SIM_TRACE=/proc/nonexistent/trace");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("TARNCTL_SIM_TRACE"), std::string::npos) << r.out;
}

// The fault under test is a time, so the listings keep a second clear of
// each switch: a busy machine can be that late servicing the bus.
TEST(SimEnv, ScheduledUnplugAndReplug)
{
    ProbeRun r =
        probe("TARNCTL_SIM_TIMING=fast TARNCTL_SIM_FAULTS=unplug-after-ms=500,replug-after-ms=2500", "1500 1500");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "CV000001 0600\n--\n--\nCV000001 0600\n");
}
