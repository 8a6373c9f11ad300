// The switch module against a fake box: the bytes of the static MAC and VLAN
// layouts, entry addressing and index checks, the dynamic MAC and MIB
// listings, and every register read-modify-write against a register file.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <tuple>

#include "ksz8864.h"
#include "fake_box.h"
#include "switch_functions.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Request layout of the remote table functions: F2 func, param and return
// sizes (2 x LE16), then the parameter block.
constexpr size_t RMT_PARAM = 6;

// The box fills its return block to the size the request asks for.
bytes rmt_ack(const bytes &req, bytes rtn)
{
    rtn.resize(req[4] | (req[5] << 8), 0);
    return ack_of(0xF3, req[1], rtn);
}

// Answers table reads (function 4) of one table with fixed entry bytes.
responder_t table_read_answer(bytes entry)
{
    return [entry](const bytes &req) {
        bytes r = entry;
        r.resize(9, 0);
        return std::vector<bytes>{rmt_ack(req, r)};
    };
}

TEST(StaticMac, WriteAndReadLayoutsDiffer)
{
    fake_box box([](const bytes &req) { return std::vector<bytes>{rmt_ack(req, {0})}; });
    statmac_tab_entry_t e{};
    const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(e.addr, mac, 6);
    e.fwd_ports = 0x5;
    e.valid = 1;
    e.st_override = 0;
    e.use_fid = 1;
    e.fid = 3;
    ASSERT_TRUE(statmac_tab_entry_write(31, &e));
    ASSERT_EQ(box.requests().size(), 1u);
    EXPECT_EQ(box.requests()[0], (bytes{0xF2, 0x05, 0x0D, 0x00, 0x01, 0x00, 0x00, 31, 0x00, 0x08, 1, 2, 3, 4, 5, 6,
                                        0xAA, 0x03, 0x00}));

    // The same two bytes read back: use_fid from byte 7 bit 0, fid from the rest.
    box.set_responder(table_read_answer({1, 2, 3, 4, 5, 6, 0xAA, 0x03}));
    statmac_tab_entry_t r{};
    ASSERT_TRUE(statmac_tab_entry_read(31, &r));
    EXPECT_EQ(bytes(r.addr, r.addr + 6), bytes(mac, mac + 6));
    EXPECT_EQ(r.fwd_ports, 0x5);
    EXPECT_EQ(r.valid, 1);
    EXPECT_EQ(r.st_override, 0);
    EXPECT_EQ(r.use_fid, 1);
    EXPECT_EQ(r.fid, 1);
    EXPECT_EQ(box.requests()[1], (bytes{0xF2, 0x04, 0x04, 0x00, 0x09, 0x00, 0x00, 31, 0x00, 0x08}));

    // Override and the top fid bit on the read side.
    box.set_responder(table_read_answer({0, 0, 0, 0, 0, 0, 0x40, 0x80}));
    ASSERT_TRUE(statmac_tab_entry_read(0, &r));
    EXPECT_EQ(r.st_override, 1);
    EXPECT_EQ(r.fid, 0x40);
    EXPECT_EQ(r.use_fid, 0);

    box.clear_requests();
    errno = 0;
    EXPECT_FALSE(statmac_tab_entry_read(32, &r));
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_FALSE(statmac_tab_entry_write(32, &e));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(box.requests().empty());
}

TEST(Vlan, EntryBytesUnpackIntoFourVlans)
{
    fake_box box(table_read_answer({0x05, 0x1A, 0, 0, 0, 0, 0}));
    vlan_tab_entry_t e{};
    ASSERT_TRUE(vlan_tab_entry_read(7, &e));
    EXPECT_EQ(box.requests().at(0), (bytes{0xF2, 0x04, 0x04, 0x00, 0x09, 0x00, 0x01, 7, 0x00, 0x07}));
    EXPECT_EQ(e.vlan[0].vid, 28);
    EXPECT_EQ(e.vlan[0].fid, 5);
    EXPECT_EQ(e.vlan[0].fwd_ports, 0xA);
    EXPECT_EQ(e.vlan[0].valid, 1);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(e.vlan[i].vid, 28 + i);
        EXPECT_EQ(e.vlan[i].fid, 0);
        EXPECT_EQ(e.vlan[i].fwd_ports, 0);
        EXPECT_EQ(e.vlan[i].valid, 0);
    }

    // Bit 7 of each group and bits 52-55 carry nothing.
    box.set_responder(table_read_answer({0x80, 0x00, 0x10, 0, 0, 0, 0xF0}));
    ASSERT_TRUE(vlan_tab_entry_read(0, &e));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(std::make_tuple(e.vlan[i].fid, e.vlan[i].fwd_ports, e.vlan[i].valid), std::make_tuple(0, 0, 0)) << i;
}

TEST(Vlan, PackAndUnpackRoundTrip)
{
    std::mt19937 rng(4711);
    for (int n = 0; n < 2000; ++n) {
        vlan_tab_entry_t in{}, out{};
        const uint16_t index = static_cast<uint16_t>(rng() % 1024);
        for (int i = 0; i < 4; ++i) {
            in.vlan[i].fid = static_cast<uint8_t>(rng() & 0x7F);
            in.vlan[i].fwd_ports = static_cast<uint8_t>(rng() & 0x0F);
            in.vlan[i].valid = static_cast<uint8_t>(rng() & 1);
        }
        uint8_t wire[7];
        vlan_tab_pack(&in, wire);
        ASSERT_EQ(wire[6] & 0xF0, 0) << "bits 52-55 are written as 0";
        vlan_tab_unpack(index, wire, &out);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(out.vlan[i].fid, in.vlan[i].fid);
            ASSERT_EQ(out.vlan[i].fwd_ports, in.vlan[i].fwd_ports);
            ASSERT_EQ(out.vlan[i].valid, in.vlan[i].valid);
            ASSERT_EQ(out.vlan[i].vid, 4 * index + i);
        }
    }
    // Values wider than their fields do not spill into the neighbour group.
    vlan_tab_entry_t wide{};
    wide.vlan[1] = {0xFF, 0xFF, 0xFF, 0};
    uint8_t wire[7];
    vlan_tab_pack(&wide, wire);
    vlan_tab_entry_t back{};
    vlan_tab_unpack(0, wire, &back);
    EXPECT_EQ(std::make_tuple(back.vlan[0].fid, back.vlan[0].fwd_ports, back.vlan[0].valid), std::make_tuple(0, 0, 0));
    EXPECT_EQ(std::make_tuple(back.vlan[1].fid, back.vlan[1].fwd_ports, back.vlan[1].valid),
              std::make_tuple(0x7F, 0xF, 1));
    EXPECT_EQ(std::make_tuple(back.vlan[2].fid, back.vlan[2].fwd_ports, back.vlan[2].valid), std::make_tuple(0, 0, 0));
}

// A VLAN table held by the fake box: reads and writes of table 1.
struct vlan_table {
    std::mutex m;
    std::map<uint16_t, bytes> entries;
    responder_t responder()
    {
        return [this](const bytes &req) {
            std::lock_guard<std::mutex> lock(m);
            const uint16_t idx = static_cast<uint16_t>(req[RMT_PARAM + 1] | (req[RMT_PARAM + 2] << 8));
            if (req[1] == 5) {
                entries[idx] = bytes(req.begin() + RMT_PARAM + 4, req.begin() + RMT_PARAM + 4 + 7);
                return std::vector<bytes>{rmt_ack(req, {0})};
            }
            bytes e = entries.count(idx) ? entries[idx] : bytes(7, 0);
            e.resize(9, 0);
            return std::vector<bytes>{rmt_ack(req, e)};
        };
    }
};

TEST(Vlan, OneVlanAddressingAndReadModifyWrite)
{
    vlan_table t;
    t.entries[1023] = {0, 0, 0, 0, 0, 0, 0};
    // VLAN 4095: entry 1023, group 3 (bits 39-51): fid 9, ports 0x3, valid.
    {
        const uint64_t g = 9 | (0x3 << 8) | (1 << 12);
        const uint64_t bits = g << 39;
        for (int k = 0; k < 7; ++k)
            t.entries[1023][k] = static_cast<uint8_t>(bits >> (8 * k));
    }
    fake_box box(t.responder());
    vlan_entry_t v{};
    v.vid = 4095;
    ASSERT_TRUE(vlan_entry_read(&v));
    EXPECT_EQ(box.requests().at(0), (bytes{0xF2, 0x04, 0x04, 0x00, 0x09, 0x00, 0x01, 0xFF, 0x03, 0x07}));
    EXPECT_EQ(v.vid, 4095);
    EXPECT_EQ(v.fid, 9);
    EXPECT_EQ(v.fwd_ports, 0x3);
    EXPECT_EQ(v.valid, 1);

    // Write VLAN 4094 (group 2 of the same entry): VLAN 4095 stays.
    vlan_entry_t w{0x5, 1, 0x11, 4094};
    ASSERT_TRUE(vlan_entry_write(&w));
    vlan_entry_t check{};
    check.vid = 4095;
    ASSERT_TRUE(vlan_entry_read(&check));
    EXPECT_EQ(std::make_tuple(check.fid, check.fwd_ports, check.valid), std::make_tuple(9, 3, 1));
    check.vid = 4094;
    ASSERT_TRUE(vlan_entry_read(&check));
    EXPECT_EQ(std::make_tuple(check.fid, check.fwd_ports, check.valid), std::make_tuple(0x11, 5, 1));
    ASSERT_TRUE(vlan_entry_clear(4095));
    check.vid = 4095;
    ASSERT_TRUE(vlan_entry_read(&check));
    EXPECT_EQ(std::make_tuple(check.fid, check.fwd_ports, check.valid), std::make_tuple(0, 0, 0));
    check.vid = 4094;
    ASSERT_TRUE(vlan_entry_read(&check));
    EXPECT_EQ(check.fid, 0x11);

    box.clear_requests();
    errno = 0;
    v.vid = 4096;
    EXPECT_FALSE(vlan_entry_read(&v));
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    vlan_tab_entry_t te{};
    EXPECT_FALSE(vlan_tab_entry_write(1024, &te));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(vlan_entry_clear(4096));
    EXPECT_FALSE(vlan_entry_clear(-1));
    EXPECT_TRUE(box.requests().empty());
}

TEST(DynamicMac, CountFromEntryZeroAndEmptyTable)
{
    fake_box box([](const bytes &req) {
        const uint16_t idx = static_cast<uint16_t>(req[RMT_PARAM] | (req[RMT_PARAM + 1] << 8));
        bytes e{static_cast<uint8_t>(idx), 0, 0, 0, 0, 0x02, 0, static_cast<uint8_t>(idx % 4), 0};
        if (idx == 0) {
            e[7] = 0xE3; // count bits 0-2 = 7, port 3
            e[8] = 0x01; // count bits 3-9 = 1: 15 + 1 entries
        }
        return std::vector<bytes>{rmt_ack(req, e)};
    });
    CaptureStdout();
    const int rc = dynmac_tab_show();
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(box.requests().size(), 16u);
    EXPECT_EQ(box.requests().at(15), (bytes{0xF2, 0x02, 0x02, 0x00, 0x09, 0x00, 15, 0}));
    std::string want = "Dynamic MAC address table has 16 entries.\n02:00:00:00:00:00 on port 3\n";
    for (int i = 1; i < 16; ++i) {
        char line[40];
        std::snprintf(line, sizeof line, "02:00:00:00:00:%02x on port %d\n", i, i % 4);
        want += line;
    }
    EXPECT_EQ(out, want);

    box.clear_requests();
    box.set_responder([](const bytes &req) {
        return std::vector<bytes>{rmt_ack(req, {1, 2, 3, 4, 5, 6, 0, 0xE3, 0x81})};
    });
    CaptureStdout();
    EXPECT_EQ(dynmac_tab_show(), 1);
    EXPECT_EQ(GetCapturedStdout(), "Dynamic MAC address table is empty\n");
    EXPECT_EQ(box.requests().size(), 1u);

    dynmac_tab_entry_t e{};
    EXPECT_FALSE(dynmac_tab_entry_read(1024, &e));
    EXPECT_EQ(box.requests().size(), 1u);

    uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    CaptureStdout();
    printMAC(mac);
    EXPECT_EQ(GetCapturedStdout(), "06:05:04:03:02:01");
}

// Counter words by offset; offsets not listed read valid and zero.
responder_t mib_answer(std::map<uint16_t, uint32_t> words, int drop_offset = -1)
{
    return [words, drop_offset](const bytes &req) {
        const uint16_t off = static_cast<uint16_t>(req[RMT_PARAM + 1] | (req[RMT_PARAM + 2] << 8));
        if (off == drop_offset)
            return std::vector<bytes>{};
        auto it = words.find(off);
        const uint32_t w = it == words.end() ? MIB_VALID : it->second;
        bytes r(4);
        put_le32(r.data(), w);
        return std::vector<bytes>{rmt_ack(req, r)};
    };
}

TEST(Mib, OnlyInvalidOrNonZeroCountersArePrinted)
{
    fake_box box(mib_answer({}));
    CaptureStdout();
    EXPECT_EQ(mib_tab_show(2, mib_counters), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    ASSERT_EQ(box.requests().size(), 34u);
    EXPECT_EQ(box.requests().at(0), (bytes{0xF2, 0x01, 0x03, 0x00, 0x04, 0x00, 2, 0x00, 0x00}));
    EXPECT_EQ(box.requests().at(33), (bytes{0xF2, 0x01, 0x03, 0x00, 0x04, 0x00, 2, 0x05, 0x01}));

    box.set_responder(mib_answer({{0x0D, 0x80000005u}, {0x105, MIB_VALID | 17}}));
    CaptureStdout();
    EXPECT_EQ(mib_tab_show(2, mib_counters), 0);
    EXPECT_EQ(GetCapturedStdout(), "MIB: P2 (o)(!) RxUnicast(5)\nMIB: P2 ( )( ) RxDropPackets(17)\n");

    box.clear_requests();
    EXPECT_FALSE(mib_tab_entry_read(0, &mib_counters[0]));
    EXPECT_FALSE(mib_tab_entry_read(5, &mib_counters[0]));
    EXPECT_FALSE(mib_tab_entry_read(1, nullptr));
    EXPECT_TRUE(box.requests().empty());
}

// One unanswered read: three seconds of waiting.
TEST(Mib, FailedReadDoesNotShowTheEarlierValue)
{
    fake_box box(mib_answer({{0x0D, MIB_VALID | 42}, {0x0E, MIB_VALID | 7}}));
    CaptureStdout();
    EXPECT_EQ(mib_tab_show(1, mib_counters), 0);
    EXPECT_EQ(GetCapturedStdout(), "MIB: P1 ( )( ) RxUnicast(42)\nMIB: P1 ( )( ) Rx64Octets(7)\n");

    box.set_responder(mib_answer({{0x0D, MIB_VALID | 43}, {0x0E, MIB_VALID | 8}}, 0x0D));
    CaptureStdout();
    EXPECT_EQ(mib_tab_show(1, mib_counters), -1);
    EXPECT_EQ(GetCapturedStdout(), "** send_req failed\nMIB: P1 ( )( ) Rx64Octets(8)\n");
}

// A listing that could not read every entry is not a success; the entries
// it could read are shown all the same. Each case waits three seconds for
// the unanswered read.
TEST(SwitchCommands, VlanListingPastAFailedReadFails)
{
    auto first = std::make_shared<bool>(true);
    fake_box box([first](const bytes &req) {
        // Only the first read of entry 0 (VLANs 0 to 3) goes unanswered.
        if (*first && req[1] == 4 && req[RMT_PARAM + 1] == 0 && req[RMT_PARAM + 2] == 0) {
            *first = false;
            return std::vector<bytes>{};
        }
        return std::vector<bytes>{rmt_ack(req, bytes(9, 0))};
    });
    char arg[] = "0-1";
    CaptureStdout();
    EXPECT_EQ(process_cmd_vlan(arg), -1);
    EXPECT_EQ(GetCapturedStdout(), "** send_req failed\nvid(0001) fid(000) valid(-) ports(0000)\n");
}

// What one read per VLAN (the plain way, one table read for each) prints for
// VLANs first to last.
std::string per_vlan_listing(int first, int last)
{
    CaptureStdout();
    for (int id = first; id <= last; ++id) {
        vlan_entry_t v{};
        v.vid = static_cast<uint16_t>(id);
        if (vlan_entry_read(&v))
            vlan_entry_show(&v);
    }
    return GetCapturedStdout();
}

// The listing reads each table entry once and prints what reading every VLAN
// on its own prints, for ranges that start or end inside an entry.
TEST(SwitchCommands, VlanListingReadsEachEntryOnceAndPrintsTheSame)
{
    vlan_table t;
    std::mt19937 rng(11);
    for (uint16_t i = 0; i < 1024; ++i) {
        bytes e(7);
        for (auto &b : e)
            b = static_cast<uint8_t>(rng());
        t.entries[i] = e;
    }
    t.entries[0] = bytes(7, 0x00);
    t.entries[1023] = bytes(7, 0xFF);
    fake_box box(t.responder());

    const struct {
        const char *arg;
        int first, last;
    } cases[] = {{nullptr, 0, 4095}, {"0-5", 0, 5}, {"2-9", 2, 9}, {"4093-4095", 4093, 4095}, {"7", 7, 7}, {"5-0", 5, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arg ? c.arg : "(all)");
        const std::string expected = per_vlan_listing(c.first, c.last);
        box.clear_requests();
        std::string arg = c.arg ? c.arg : "";
        CaptureStdout();
        EXPECT_EQ(process_cmd_vlan(c.arg ? arg.data() : nullptr), 0);
        EXPECT_EQ(GetCapturedStdout(), expected);
        const size_t entries = c.last < c.first ? 0 : static_cast<size_t>(c.last / 4 - c.first / 4 + 1);
        EXPECT_EQ(box.requests().size(), entries);
    }
}

// An entry whose read fails loses only the VLAN that read was for: the next
// VLAN of the entry reads it again, as one read per VLAN would. The skipped
// VLAN is named. Waits out two unanswered reads (three seconds each).
TEST(SwitchCommands, VlanListingSkipsAndNamesWhatItCouldNotRead)
{
    vlan_table t;
    for (uint16_t i = 0; i < 3; ++i)
        t.entries[i] = {static_cast<uint8_t>(i + 1), 0x1A, 0x35, 0x0F, 0x70, 0x12, 0x0C};
    auto fail_next = std::make_shared<std::atomic<bool>>(true);
    auto table = t.responder();
    fake_box box([fail_next, table](const bytes &req) {
        // The first read of entry 1 (VLANs 4 to 7) goes unanswered.
        if (*fail_next && req[1] == 4 && req[RMT_PARAM + 1] == 1) {
            *fail_next = false;
            return std::vector<bytes>{};
        }
        return table(req);
    });
    const std::string expected = per_vlan_listing(2, 9);
    EXPECT_EQ(expected.find("vid(0004)"), std::string::npos);
    EXPECT_NE(expected.find("vid(0005)"), std::string::npos);

    *fail_next = true;
    char arg[] = "2-9";
    CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(process_cmd_vlan(arg), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(GetCapturedStdout(), expected);
    // The exchange layer may say why the read failed; the listing names the VLAN.
    std::string named;
    for (size_t at = err.find("process_cmd_vlan:"); at != std::string::npos; at = err.find("process_cmd_vlan:", at + 1))
        named += err.substr(at, err.find('\n', at) - at + 1);
    EXPECT_EQ(named, "process_cmd_vlan: could not read VLAN 4, skipped\n");
}

// The converter goes while entry 3 is being read: the listing stops there,
// names nothing (the lost link has its own message) and fails; listings
// started on a lost link send nothing.
TEST(SwitchCommands, ListingsStopWhenTheLinkIsGone)
{
    vlan_table t;
    auto table = t.responder();
    fake_box box([table](const bytes &req) {
        if (req[1] == 4 && req[RMT_PARAM] == IND_TAB_VLAN && req[RMT_PARAM + 1] == 3) {
            comm_set_link_down();
            return std::vector<bytes>{};
        }
        return table(req);
    });
    char all[] = "0-4095";
    CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(process_cmd_vlan(all), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("vid(0011)"), std::string::npos) << out;
    EXPECT_EQ(out.find("vid(0012)"), std::string::npos) << out;
    EXPECT_EQ(err.find("skipped"), std::string::npos) << err;
    EXPECT_EQ(box.requests().size(), 4u);

    box.clear_requests();
    char smac_all[] = "0-31";
    CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(process_cmd_smac(smac_all), -1);
    EXPECT_EQ(process_cmd_mib(nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("skipped"), std::string::npos);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(box.requests().empty());
    comm_set_link_up();
}

TEST(SwitchCommands, MacListingCutShortFails)
{
    fake_box box([](const bytes &req) {
        const uint16_t idx = static_cast<uint16_t>(req[RMT_PARAM] | (req[RMT_PARAM + 1] << 8));
        if (idx == 2)
            return std::vector<bytes>{};
        // Three entries: count - 1 = 2 in bits 5-7 of byte 7.
        return std::vector<bytes>{rmt_ack(req, {static_cast<uint8_t>(idx), 0, 0, 0, 0, 0x02, 0, 0x40, 0})};
    });
    CaptureStdout();
    EXPECT_EQ(process_cmd_mac(nullptr), -1);
    EXPECT_EQ(GetCapturedStdout(), "Dynamic MAC address table has 3 entries.\n02:00:00:00:00:00 on port 0\n"
                                   "02:00:00:00:00:01 on port 0\n** send_req failed\n");
}

// The switch registers as the fake box keeps them: SMI and MDIO address 6
// reach the same 16-bit values; every write is recorded in order.
struct register_file {
    std::mutex m;
    std::map<uint8_t, uint16_t> regs;
    std::vector<std::pair<uint8_t, uint16_t>> writes;
    bool answer_reads = true;

    responder_t responder()
    {
        return [this](const bytes &req) {
            std::lock_guard<std::mutex> lock(m);
            std::vector<bytes> out;
            if (req[0] != 0xF0)
                return out;
            switch (req[1]) {
            case 0x01: // MDIO write
                if (req[2] == 6) {
                    regs[req[3]] = static_cast<uint16_t>(req[4] | (req[5] << 8));
                    writes.emplace_back(req[3], regs[req[3]]);
                }
                out.push_back(ack_of(0xF1, 0x01, {req[2], req[3], req[4], req[5]}));
                break;
            case 0x02: { // MDIO read
                if (!answer_reads)
                    break;
                const uint16_t v = regs[req[3]];
                out.push_back(ack_of(0xF1, 0x02, {req[2], req[3], static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}));
                break;
            }
            case 0x05: // SMI write
                regs[req[2]] = req[3];
                writes.emplace_back(req[2], req[3]);
                out.push_back(ack_of(0xF1, 0x05, {req[2], req[3]}));
                break;
            case 0x06: // SMI read
                if (answer_reads)
                    out.push_back(ack_of(0xF1, 0x06, {req[2], static_cast<uint8_t>(regs[req[2]])}));
                break;
            }
            return out;
        };
    }
    std::vector<std::pair<uint8_t, uint16_t>> take_writes()
    {
        std::lock_guard<std::mutex> lock(m);
        auto w = writes;
        writes.clear();
        return w;
    }
};

using write_list = std::vector<std::pair<uint8_t, uint16_t>>;

TEST(PortRegisters, SniffAndMembership)
{
    register_file f;
    f.regs[0x31] = 0x9F;
    f.regs[0x21] = 0xB5;
    f.regs[0x41] = 0x00FF;
    fake_box box(f.responder());

    EXPECT_EQ(ksz_set_sniff(2, 0x60), 0);
    EXPECT_EQ(f.take_writes(), (write_list{{0x31, 0x7F}}));
    EXPECT_EQ(box.requests().at(1), (bytes{0xF0, 0x05, 0x31, 0x7F})); // by SMI
    uint8_t v = 0;
    EXPECT_EQ(ksz_get_sniff(1, &v), 0);
    EXPECT_EQ(v, 0xA0);

    EXPECT_EQ(pvlan_set(3, 0xB), 0);
    EXPECT_EQ(f.take_writes(), (write_list{{0x41, 0x00F7}}));
    EXPECT_EQ(pvlan_get(3), 0xB);

    box.clear_requests();
    errno = 0;
    EXPECT_EQ(pvlan_set(1, 16), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(pvlan_get(5), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(pvlan_get(0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(box.requests().empty());
}

TEST(PortRegisters, PvidAndGlobalVlanEnable)
{
    register_file f;
    f.regs[0x53] = 0x0035;
    f.regs[0x54] = 0x0000;
    f.regs[0x05] = 0x01C3;
    fake_box box(f.responder());

    EXPECT_EQ(pvid_set(4, 0xABC), 0);
    EXPECT_EQ(f.take_writes(), (write_list{{0x53, 0x003A}, {0x54, 0x00BC}})); // high bits first
    EXPECT_EQ(pvid_get(4), 0xABC);
    errno = 0;
    EXPECT_EQ(pvid_set(4, 0x1000), -1);
    EXPECT_EQ(errno, EINVAL);

    EXPECT_EQ(vlan_802_1q_set(0), 0);
    EXPECT_EQ(f.take_writes(), (write_list{{0x05, 0x0043}}));
    EXPECT_EQ(vlan_802_1q_get(), 0);
    EXPECT_EQ(vlan_802_1q_set(5), 0);
    EXPECT_EQ(f.take_writes(), (write_list{{0x05, 0x00C3}}));
    EXPECT_EQ(vlan_802_1q_get(), 1);
}

TEST(PortRegisters, PerPortFlags)
{
    register_file f;
    f.regs[0x30] = 0x00FF;
    f.regs[0x22] = 0x0100;
    fake_box box(f.responder());

    EXPECT_EQ(vlan_pvid_insert_flag_set(2, 2), 0); // only 1 sets
    EXPECT_EQ(f.take_writes(), (write_list{{0x30, 0x00FB}}));
    EXPECT_EQ(vlan_pvid_insert_flag_get(2), 0);
    EXPECT_EQ(vlan_pvid_remove_flag_set(2, 0), 0);
    EXPECT_EQ(f.take_writes(), (write_list{{0x30, 0x00F9}}));
    EXPECT_EQ(vlan_pvid_remove_flag_set(2, 1), 0);
    EXPECT_EQ(f.take_writes(), (write_list{{0x30, 0x00FB}}));
    EXPECT_EQ(vlan_pvid_remove_flag_get(2), 1);

    EXPECT_EQ(vlan_vtable_filter_flag_set(1, 1), 0);
    EXPECT_EQ(f.take_writes(), (write_list{{0x22, 0x0140}}));
    EXPECT_EQ(vlan_pvid_filter_flag_set(1, 1), 0);
    EXPECT_EQ(f.take_writes(), (write_list{{0x22, 0x0160}}));
    EXPECT_EQ(vlan_vtable_filter_flag_set(1, 0), 0);
    EXPECT_EQ(f.take_writes(), (write_list{{0x22, 0x0120}}));
    EXPECT_EQ(vlan_vtable_filter_flag_get(1), 0);
    EXPECT_EQ(vlan_pvid_filter_flag_get(1), 1);

    box.clear_requests();
    EXPECT_EQ(vlan_vtable_filter_flag_get(0), 0);
    EXPECT_EQ(vlan_pvid_insert_flag_set(5, 1), 0);
    EXPECT_TRUE(box.requests().empty());
}

// One unanswered read: a second of waiting, and nothing written.
TEST(PortRegisters, FailedReadWritesNothing)
{
    register_file f;
    f.answer_reads = false;
    fake_box box(f.responder());
    EXPECT_EQ(pvlan_set(1, 0x3), -1);
    EXPECT_TRUE(f.take_writes().empty());
    EXPECT_EQ(box.requests().size(), 1u);
}

} // namespace
