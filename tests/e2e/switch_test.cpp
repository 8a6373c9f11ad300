// The switch commands through the whole console on the simulated box: what
// each prints and returns, what it refuses, and that written entries read
// back the same; the full VLAN listing with its request count from the trace.
#include <cstdlib>
#include <regex>

#include "e2e_common.h"
#include "frame_codec.h"

namespace {

using e2e::code;
using e2e::lines_of;

class Switch : public e2e::SimScratch {
protected:
    Switch() : e2e::SimScratch(false) {}

    // Unlocked command-line run: the options in order, the last one's status.
    proc::Result cli(std::vector<std::string> args)
    {
        args.insert(args.begin(), {TARNCTL_SIM_BIN, "-U", code});
        proc::Options o;
        o.env = env;
        o.limit = std::chrono::milliseconds(60000);
        return proc::run(args, o);
    }

    // Interactive run of the given lines; the prompts are taken out of the
    // output, so it holds only what the commands printed.
    proc::Result session(const std::string &lines)
    {
        proc::Options o;
        o.env = env;
        o.input = lines + "exit\n";
        o.limit = std::chrono::milliseconds(120000);
        proc::Result r = proc::run({TARNCTL_SIM_BIN, "-U", code, "-i"}, o);
        std::string out;
        bool line_start = true;
        for (size_t i = 0; i < r.out.size();) {
            if (line_start && r.out.compare(i, 2, "# ") == 0) {
                i += 2;
                continue;
            }
            line_start = r.out[i] == '\n';
            out += r.out[i++];
        }
        r.out = out;
        return r;
    }
};

// Request frames (type, cmd) the box received, decoded from the trace's
// WIRE_TX bytes: split at flags and unstuffed, the FCS not checked.
std::vector<std::pair<int, int>> requests_in_trace(const std::string &path)
{
    std::vector<uint8_t> wire;
    for (const std::string &l : lines_of(e2e::read_file(path))) {
        std::smatch m;
        static const std::regex tx(" WIRE_TX ([0-9a-f]+)$");
        if (!std::regex_search(l, m, tx))
            continue;
        const auto bytes = testframe::from_hex(m[1]);
        wire.insert(wire.end(), bytes.begin(), bytes.end());
    }
    std::vector<std::pair<int, int>> frames;
    for (const auto &f : testframe::split(wire))
        if (f.content.size() >= 2)
            frames.emplace_back(f.type(), f.cmd());
    return frames;
}

bool all_match(const std::vector<std::string> &lines, const std::string &re)
{
    const std::regex r(re);
    for (const auto &l : lines)
        if (!std::regex_match(l, r))
            return false;
    return true;
}

TEST_F(Switch, SniffModesKeywordsAndRefusals)
{
    proc::Result r = cli({"-S", "3 rx", "-S", "3", "-S", "3 RXTX", "-S", "3", "-S", "3 mi", "-S", "3", "-S", "3 off",
                          "-S", "3"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "sniff mode(40) on port(3)\nsniff mode(40) on port(3)\n"
                     "sniff mode(60) on port(3)\nsniff mode(60) on port(3)\n"
                     "sniff mode(80) on port(3)\nsniff mode(80) on port(3)\n"
                     "sniff mode(00) on port(3)\nsniff mode(00) on port(3)\n");
    EXPECT_EQ(r.err, "");

    // The mode bits share the register with the port's VLAN membership.
    r = cli({"-S", "2 rx", "-s", "0x31"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "sniff mode(40) on port(2)\nregister (031): 5f\n");

    const struct {
        const char *arg, *err;
    } refused[] = {
        {"3 r", "sniff: invalid mode r (rx, tx, rxtx, mirror or off)\n"},
        {"5", "invalid port 5: out of range (1 to 4)\n"},
        {"0", "invalid port 0: out of range (1 to 4)\n"},
        {"5 rx", "invalid port 5: out of range (1 to 4)\n"},
        {"x", "invalid port x: not a number\n"},
        {"3 rx tx", "sniff: too many arguments\n"},
    };
    for (const auto &c : refused) {
        r = cli({"-S", c.arg});
        EXPECT_EQ(r.exit_code, 1) << c.arg;
        EXPECT_EQ(r.out, "") << c.arg;
        EXPECT_EQ(r.err, c.err) << c.arg;
    }

    // Interactive words: two letters select sniff.
    r = session("sn 4 tx\nsniff 4\n");
    EXPECT_EQ(r.out, "sniff mode(20) on port(4)\nsniff mode(20) on port(4)\n");
}

TEST_F(Switch, MibOfAllPortsAndOfOnePort)
{
    proc::Result r = session("mib\nmi 1\n"); // "mi" is too short for mib
    EXPECT_EQ(r.err, "unknown command mi (help lists them)\n");
    EXPECT_TRUE(std::regex_match(r.out, std::regex("(MIB: P1 [^\n]*\n)*\n(MIB: P2 [^\n]*\n)*\n"
                                                   "(MIB: P3 [^\n]*\n)*\n(MIB: P4 [^\n]*\n)*\n")))
        << r.out;
    EXPECT_GT(lines_of(r.out).size(), 4u); // the box counts while it runs

    r = cli({"-M", "2"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto lines = lines_of(r.out);
    EXPECT_FALSE(lines.empty());
    EXPECT_TRUE(all_match(lines, "MIB: P2 \\( \\)\\( \\) [A-Za-z0-9]+\\([0-9]+\\)")) << r.out;

    for (const char *arg : {"5", "0", "x", "2x"}) {
        r = cli({"-M", arg});
        EXPECT_EQ(r.exit_code, 1) << arg;
        EXPECT_EQ(r.out, "") << arg;
        EXPECT_EQ(r.err.rfind(std::string("invalid port ") + arg + ": ", 0), 0u) << r.err;
    }
}

TEST_F(Switch, TabListsEntriesOfEachTable)
{
    proc::Result r = cli({"-T", "sm"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    auto lines = lines_of(r.out);
    EXPECT_EQ(lines.size(), 32u);
    EXPECT_TRUE(all_match(lines, "([0-9A-F]{2} ){8}")) << r.out;

    r = cli({"-T", "mib 25-36"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    lines = lines_of(r.out);
    EXPECT_EQ(lines.size(), 12u);
    EXPECT_TRUE(all_match(lines, "([0-9A-F]{2} ){3}[4C]0 ")) << r.out; // valid counter words

    // An end of 0 is no end; VLAN 1 (entry 0, group 1) is set up by the box.
    r = cli({"-T", "vlan 3-0", "-T", "vl 0"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "00 00 00 00 00 00 00 \n00 00 E0 03 00 00 00 \n");

    // The learned count sits in entry 0: four entries, bits 5-7 of byte 7.
    r = cli({"-T", "dmac 0"});
    EXPECT_EQ(r.out, "01 4D 3C 2B 1A 00 00 60 00 \n");

    r = cli({"-T", "smac(4,1,2,3,4,5,6,7,0)", "-T", "smac 4", "-T", "smac 3-5"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "01 02 03 04 05 06 07 00 \n"
                     "00 00 00 00 00 00 00 00 \n01 02 03 04 05 06 07 00 \n00 00 00 00 00 00 00 00 \n");
}

TEST_F(Switch, TabRefusalsWriteNothing)
{
    proc::Result r = session("tab\n"
                             "tab x\n"
                             "tab dmac 5 1 2 3 4 5 6 7 8 9\n"
                             "tab mib 2 1 2 3 4\n"
                             "tab smac 4 1 2 3\n"
                             "tab smac 4 1 2 3 4 5 6 7 8 9\n"
                             "tab smac 4 1 2 3 4 5 6 7 zz\n"
                             "tab smac q\n"
                             "tab smac 1-x\n"
                             "tab smac 32\n"
                             "tab smac 30-32\n"
                             "tab smac 4\n");
    EXPECT_EQ(r.err, "table name required\n"
                     "invalid table x\n"
                     "process_cmd_ind_tab: dmac-table is read-only\n"
                     "process_cmd_ind_tab: mib-table is read-only\n"
                     "process_cmd_ind_tab: number of data bytes (3) does not match entry size (8)\n"
                     "process_cmd_ind_tab: number of data bytes (9) does not match entry size (8)\n"
                     "process_cmd_ind_tab: invalid data zz\n"
                     "process_cmd_ind_tab: invalid entry_idx q\n"
                     "process_cmd_ind_tab: invalid end_entry_idx x\n"
                     "process_cmd_ind_tab: invalid start index (32) or end index (32)\n"
                     "process_cmd_ind_tab: invalid start index (30) or end index (32)\n");
    EXPECT_EQ(r.out, "00 00 00 00 00 00 00 00 \n");

    r = cli({"-T", "smac 4 1 2 3"});
    EXPECT_EQ(r.exit_code, 1);
}

TEST_F(Switch, PvlanShowSetAndRefusals)
{
    const std::string all_ports = "port(1) 1111 (0F)\nport(2) 1111 (0F)\nport(3) 1111 (0F)\nport(4) 1111 (0F)\n";
    proc::Result r = session("pvlan\npvlan show\n");
    EXPECT_EQ(r.out, all_ports + all_ports);

    r = cli({"-G", "4 1001", "-G", "show", "-G", "4"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "setting port(4) membership(09)\n"
                     "port(1) 1111 (0F)\nport(2) 1111 (0F)\nport(3) 1111 (0F)\nport(4) 1001 (09)\n"
                     "port(4) 09\n");

    r = cli({"-G", "1 10000"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "setting port(1) membership(10)\n");
    EXPECT_EQ(r.err, "failed to set port vlan membership\n");

    // Nothing of these reaches the register: port 1 keeps its mask.
    r = session("pvlan 1 10000\npvlan 1 100000\npvlan 1 abc\npvlan 1 2\npvlan 5\npvlan 257\npvlan x\npvlan 1\n");
    EXPECT_EQ(r.out, "setting port(1) membership(10)\nport(1) 0F\n");
    EXPECT_EQ(r.err, "failed to set port vlan membership\n"
                     "invalid port vlan membership 100000: out of range (0 to 11111)\n"
                     "invalid port vlan membership abc: not a number\n"
                     "invalid port vlan membership 2: not a number\n"
                     "invalid port 5: out of range (1 to 4)\n"
                     "invalid port 257: out of range (1 to 4)\n"
                     "invalid port x: not a number\n");
}

TEST_F(Switch, SmacListingsAndRanges)
{
    proc::Result r = session("smac\n");
    auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 32u) << r.out;
    EXPECT_EQ(lines[0], " 0 fid(00) use_fid(-) st_ovrd(-) valid(-) ports(0000) MAC(00:00:00:00:00:00)");
    EXPECT_EQ(lines[31].substr(0, 3), "31 ");

    r = cli({"-A", "7-10"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0].substr(0, 3), " 7 ");
    EXPECT_EQ(lines[3].substr(0, 3), "10 ");

    r = cli({"-A", "5-0"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");

    r = session("smac 32\nsmac 30-32\nsmac -1\nsmac 1-x\nsmac 5 zz yes no yes 1 1:2\nsmac 5 1 y n y 2 1:2\n"
                "smac 5 0x0A yes no yes\nsmac 5\n");
    EXPECT_EQ(r.err, "process_cmd_smac: invalid start index (32) or end index (32)\n"
                     "process_cmd_smac: invalid start index (30) or end index (32)\n"
                     "process_cmd_smac: invalid entry_idx -1\n"
                     "process_cmd_smac: invalid end_entry_idx x\n"
                     "process_cmd_smac: invalid FID zz\n"
                     "invalid forward ports 2: not a number\n"
                     "process_cmd_smac: incomplete static Mac table entry\n");
    EXPECT_EQ(r.out, " 5 fid(00) use_fid(-) st_ovrd(-) valid(-) ports(0000) MAC(00:00:00:00:00:00)\n");

    r = cli({"-A", "5 0x0A yes no yes"});
    EXPECT_EQ(r.exit_code, 1);
}

TEST_F(Switch, SmacWriteThenListAgain)
{
    // The entry's two layouts differ in fid and use_fid: what is written as
    // fid 0x0A with use_fid lists as fid 05 without it (byte 7 = 0x0A).
    proc::Result r = cli({"-A", "5 0x0A yes no yes 1001 80:01:02:03:04:05", "-A", "5", "-T", "smac 5"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "process_cmd_smac05 04 03 02 01 80 \n"
                     " 5 fid(05) use_fid(-) st_ovrd(-) valid(x) ports(1001) MAC(80:01:02:03:04:05)\n"
                     "05 04 03 02 01 80 B2 0A \n");

    // Without fid the layouts agree: the listing shows what was written.
    r = cli({"-A", "3 0 no yes yes 0110 12:34:56:78:9a:bc", "-A", "2-4"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "process_cmd_smacBC 9A 78 56 34 12 \n"
                     " 2 fid(00) use_fid(-) st_ovrd(-) valid(-) ports(0000) MAC(00:00:00:00:00:00)\n"
                     " 3 fid(00) use_fid(-) st_ovrd(x) valid(x) ports(0110) MAC(12:34:56:78:9a:bc)\n"
                     " 4 fid(00) use_fid(-) st_ovrd(-) valid(-) ports(0000) MAC(00:00:00:00:00:00)\n");
}

TEST_F(Switch, VlanShowWriteAndRefusals)
{
    proc::Result r = session("vlan 100\n"
                             "vlan 100 1 y 0011\n"
                             "vlan 100\n"
                             "vlan 98-101\n"
                             "vlan 4096\n"
                             "vlan 4094-4096\n"
                             "vlan 5-0\n"
                             "vlan 100 1 y\n"
                             "vlan 100 zz y 1\n"
                             "vlan 100 1 y 3\n"
                             "vlan 2 0x7f yes 1100 extra\n"
                             "vl 1-3\n");
    EXPECT_EQ(r.out, "vid(0100) fid(000) valid(-) ports(0000)\n"
                     "vid(0100) fid(001) valid(x) ports(0011)\n"
                     "vid(0100) fid(001) valid(x) ports(0011)\n"
                     "vid(0098) fid(000) valid(-) ports(0000)\n"
                     "vid(0099) fid(000) valid(-) ports(0000)\n"
                     "vid(0100) fid(001) valid(x) ports(0011)\n"
                     "vid(0101) fid(000) valid(-) ports(0000)\n"
                     "vid(0002) fid(127) valid(x) ports(1100)\n"
                     // VLAN 1 shares the entry with VLAN 2 and keeps its setting.
                     "vid(0001) fid(000) valid(x) ports(1111)\n"
                     "vid(0002) fid(127) valid(x) ports(1100)\n"
                     "vid(0003) fid(000) valid(-) ports(0000)\n");
    EXPECT_EQ(r.err, "process_cmd_vlan: invalid start index (4096) or end index (4096)\n"
                     "process_cmd_vlan: invalid start index (4094) or end index (4096)\n"
                     "process_cmd_vlan: incomplete static Mac table entry\n"
                     "process_cmd_vlan: invalid FID zz\n"
                     "invalid forward ports 3: not a number\n");
}

// 1024 table reads, one an entry of four VLANs; well under a second in fast
// timing.
TEST_F(Switch, FullVlanListingReadsEveryVlanAndWritesNothing)
{
    const std::string trace = state_dir + "/trace";
    env["TARNCTL_SIM_TRACE"] = trace;
    proc::Result r = session("vlan\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4096u);
    for (int v = 0; v < 4096; ++v) {
        char head[16];
        std::snprintf(head, sizeof head, "vid(%04d) ", v);
        ASSERT_EQ(lines[static_cast<size_t>(v)].compare(0, 10, head), 0) << lines[static_cast<size_t>(v)];
    }
    EXPECT_EQ(lines[1], "vid(0001) fid(000) valid(x) ports(1111)");

    size_t table_reads = 0, other = 0;
    for (const auto &[type, cmd] : requests_in_trace(trace)) {
        if (type == 0xF2 && cmd == 0x04)
            ++table_reads;
        else if (type == 0xF2 || (type == 0xF0 && (cmd == 0x01 || cmd == 0x05)))
            ++other; // any other remote call, or a register write
    }
    EXPECT_EQ(table_reads, 1024u);
    EXPECT_EQ(other, 0u);
}

// The box drops the first acknowledgement: a second of waiting for a
// register read, three for a table read.
TEST_F(Switch, UnansweredReadsMakeTheCommandFail)
{
    env["TARNCTL_SIM_FAULTS"] = "drop-acks=1";
    proc::Result r = cli({"-S", "3 rx"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "sniff mode(40) on port(3)\n");
    EXPECT_NE(r.err.find("setting sniff mode for port(3) failed\n"), std::string::npos) << r.err;

    // The unreadable port shows all ones, and the listing is not a success.
    r = cli({"-G", "show"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "port(1) 1111 (FFFFFFFFFFFFFFFF)\nport(2) 1111 (0F)\nport(3) 1111 (0F)\nport(4) 1111 (0F)\n");

    // The listing goes on past the entry it could not read.
    r = cli({"-A", "0-1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "** send_req failed\n"
                     " 1 fid(00) use_fid(-) st_ovrd(-) valid(-) ports(0000) MAC(00:00:00:00:00:00)\n");
    EXPECT_NE(r.err.find("process_cmd_smac: could not read entry 0, skipped\n"), std::string::npos) << r.err;
}

TEST_F(Switch, MacListsEmptyDefaultAndLargerTables)
{
    proc::Result r = session("mac\n");
    EXPECT_EQ(r.out, "Dynamic MAC address table has 4 entries.\n"
                     "00:1a:2b:3c:4d:01 on port 0\n"
                     "02:00:00:00:00:02 on port 1\n"
                     "02:00:00:00:00:18 on port 2\n"
                     "02:00:00:00:00:19 on port 3\n");

    env["TARNCTL_SIM_FAULTS"] = "dmac-entries=0";
    r = session("ma\n");
    EXPECT_EQ(r.out, "Dynamic MAC address table is empty\n");
    EXPECT_EQ(r.err, "");

    env["TARNCTL_SIM_FAULTS"] = "dmac-entries=16";
    r = session("mac\n");
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 17u) << r.out;
    EXPECT_EQ(lines[0], "Dynamic MAC address table has 16 entries.");
    EXPECT_EQ(lines[1], "02:00:00:00:00:00 on port 0");
    EXPECT_EQ(lines[16], "02:00:00:00:00:0f on port 3");
}

} // namespace
