// The box firmware model, driven through its serial line with frames built
// by the tests' own codec (frame_codec.h), and checked through its answers
// and its state.
#include "box.h"
#include "box_impl.h"
#include "frame_codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

using Frame = testframe::frame;
using testframe::encode;

// A box with its serial output captured; the boot frames sent at power-up are
// kept apart.
struct Bench {
    explicit Bench(sim::Box::Options o = {}, uint64_t start_us = 0) : box(std::move(o)), now(start_us + 1000)
    {
        box.set_tx([this](const uint8_t *d, size_t n) { wire.insert(wire.end(), d, d + n); });
        box.poll(start_us);
        boot = take();
    }
    std::vector<Frame> take()
    {
        auto f = testframe::split(wire);
        wire.clear();
        return f;
    }
    std::vector<Frame> send(const Bytes &content)
    {
        auto w = encode(content);
        box.on_serial_rx(w.data(), w.size(), now);
        return take();
    }
    // One request that must be answered by exactly one good frame.
    Frame ask(const Bytes &content)
    {
        auto f = send(content);
        EXPECT_EQ(f.size(), 1u);
        if (f.empty())
            return {false, {}};
        EXPECT_TRUE(f[0].good);
        return f[0];
    }
    uint16_t mdio_read(uint8_t phy, uint8_t reg)
    {
        auto p = ask({0xF0, 0x02, phy, reg, 0, 0}).payload();
        return p.size() == 4 ? static_cast<uint16_t>(p[2] | p[3] << 8) : 0xDEAD;
    }
    void mdio_write(uint8_t phy, uint8_t reg, uint16_t v)
    {
        ask({0xF0, 0x01, phy, reg, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
    }
    Bytes rmt(uint8_t func, const Bytes &param, uint16_t rtn)
    {
        Bytes c{0xF2, func, static_cast<uint8_t>(param.size()), 0, static_cast<uint8_t>(rtn), 0};
        c.insert(c.end(), param.begin(), param.end());
        return ask(c).payload();
    }
    sim::Box box;
    Bytes wire;
    std::vector<Frame> boot;
    uint64_t now;
};

sim::Box::Options opts(const std::string &serial, const std::filesystem::path &dir)
{
    sim::Box::Options o;
    o.serial = serial;
    o.state_dir = dir.string();
    return o;
}

Bytes seq(size_t n, uint8_t start = 1)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(start + i);
    return b;
}
Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// --- the message catalogue --------------------------------------------------

TEST(BoxCatalogue, EveryRequestIsAnsweredWithItsTypeCmdAndLength)
{
    struct Row {
        Bytes req;
        uint8_t ack_type, ack_cmd;
        size_t ack_len;
    };
    const std::vector<Row> rows = {
        {{0x50, 0x10}, 0x5F, 0x10, 0},
        {{0x50, 0x1F}, 0x5F, 0x1F, 0},
        {{0x50, 0x20}, 0x5F, 0x20, 0},
        {{0x50, 0x2F}, 0x5F, 0x2F, 0},
        {{0x50, 0x30, 0x03}, 0x5F, 0x30, 1},
        {{0x60, 0x80}, 0x6F, 0x80, 4},
        {{0x60, 0x81}, 0x6F, 0x81, 4},
        {{0x60, 0x82}, 0x6F, 0x82, std::string(sim::BoxImpl::kBlString).size() + 1},
        {{0x60, 0x83}, 0x6F, 0x83, 4},
        {{0x60, 0x71}, 0x6F, 0x71, 4},
        {{0x60, 0x62}, 0x6F, 0x62, 1},
        {{0xF0, 0x01, 0x02, 0x04, 0x01, 0x00}, 0xF1, 0x01, 4},
        {{0xF0, 0x02, 0x18, 0x03, 0x00, 0x00}, 0xF1, 0x02, 4},
        {cat({0xF0, 0x04}, seq(16)), 0xF1, 0x04, 16},
        {{0xF0, 0x05, 0x31, 0x1F}, 0xF1, 0x05, 2},
        {{0xF0, 0x06, 0x31, 0x00}, 0xF1, 0x06, 2},
        {{0xF0, 0x08, 0x00, 0x01, 0x03, 0xA, 0xB, 0xC}, 0xF1, 0x08, 3},
        {{0xF0, 0x09, 0x00, 0x01, 0x10}, 0xF1, 0x09, 3 + 16},
        {cat({0xF0, 0x41}, seq(11)), 0xF1, 0x41, 11},
        {{0xF0, 0x42}, 0x6F, 0x42, 11},
        {cat({0xF0, 0x47}, seq(34)), 0xF1, 0x47, 34},
        {{0xF0, 0x48}, 0x6F, 0x48, 34},
        {{0xF0, 0x49}, 0xF1, 0x49, 0},
        {{0xF0, 0x4A}, 0xF1, 0x4A, 0},
        {{0xF0, 0x4B, 0x60}, 0xF1, 0x4B, 1},
        {{0xF0, 0x4C}, 0xF1, 0x4C, 1},
        {{0xF0, 0x50}, 0xF1, 0x50, 0},
        {{0xF0, 0x51}, 0xF1, 0x51, 0},
        {{0xF0, 0x52}, 0xF1, 0x52, 5},
        {{0xF0, 0x53, 0xE8, 0x03, 0, 0, 1}, 0xF1, 0x53, 5},
        {{0xF0, 0x60}, 0xF1, 0x60, 8},
        {cat({0xF0, 0x61}, seq(8)), 0xF1, 0x61, 8},
        {{0xF0, 0x62, 0x01}, 0xF1, 0x62, 1},
        // remote functions 0 to 7: size of the parameter block, of the return block
        {cat({0xF2, 0, 32, 0, 32, 0}, seq(32, 'A')), 0xF3, 0, 32},
        {{0xF2, 1, 3, 0, 4, 0, 2, 0x0D, 0}, 0xF3, 1, 4},
        {{0xF2, 2, 2, 0, 9, 0, 0, 0}, 0xF3, 2, 9},
        {{0xF2, 3, 1, 0, 1, 0, 0}, 0xF3, 3, 1},
        {{0xF2, 4, 4, 0, 9, 0, 1, 5, 0, 7}, 0xF3, 4, 9},
        {cat({0xF2, 5, 13, 0, 1, 0, 1, 5, 0, 7}, seq(9)), 0xF3, 5, 1},
        {{0xF2, 6, 2, 0, 1, 0, 0x10, 0}, 0xF3, 6, 1},
        {{0xF2, 7, 4, 0, 1, 0, 0x00, 0x01, 0x10, 0}, 0xF3, 7, 1},
    };
    Bench b;
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "request " << std::hex << int(r.req[0]) << " " << int(r.req[1]));
        auto f = b.ask(r.req);
        EXPECT_EQ(f.type(), r.ack_type);
        EXPECT_EQ(f.cmd(), r.ack_cmd);
        EXPECT_EQ(f.payload().size(), r.ack_len);
    }
}

TEST(BoxCatalogue, WireFormAndIdentification)
{
    // Known frame of the firmware version request, and the box's own encoder
    // on a frame that needs stuffing.
    EXPECT_EQ(encode({0x60, 0x80}), (Bytes{0x7E, 0x60, 0x80, 0x1A, 0xEE, 0x7E}));
    const uint8_t c[] = {0xF0, 0x06, 0x7E, 0x00};
    EXPECT_EQ(sim::boxframe::encode(c, 4), (Bytes{0x7E, 0xF0, 0x06, 0x7D, 0x5E, 0x00, 0xF8, 0x37, 0x7E}));

    Bench b;
    EXPECT_EQ(b.ask({0x60, 0x80}).payload(), (Bytes{2, 1, 0, 14}));
    // The console stores the date bytes reversed and prints day, month,
    // century and year.
    auto d = b.ask({0x60, 0x81}).payload();
    ASSERT_EQ(d.size(), 4u);
    char date[32];
    std::snprintf(date, sizeof date, "%02d.%02d.%d%02d", d[3], d[2], d[0], d[1]);
    EXPECT_STREQ(date, "06.12.2026");
    auto v = b.ask({0x60, 0x83}).payload();
    ASSERT_EQ(v.size(), 4u);
    char blv[32];
    std::snprintf(blv, sizeof blv, "%d%c%d%c", v[0], v[1], v[2], v[3]);
    EXPECT_STREQ(blv, "1.3b");
    auto s = b.ask({0x60, 0x82}).payload();
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(s.data())), sim::BoxImpl::kBlString);
}

TEST(BoxCatalogue, BadFramesAndBadRequests)
{
    Bench b;
    // 60 payload bytes fit the firmware's buffer, 61 do not.
    EXPECT_EQ(b.ask(cat({0xF0, 0x04}, seq(60))).payload(), seq(60));
    EXPECT_TRUE(b.send(cat({0xF0, 0x04}, seq(61))).empty());
    // An escape right before the flag aborts the frame; the next one counts.
    Bytes w = encode({0x60, 0x80});
    w.insert(w.end() - 1, 0x7D);
    w = cat(w, encode({0x60, 0x80}));
    b.box.on_serial_rx(w.data(), w.size(), b.now);
    EXPECT_EQ(b.take().size(), 1u);
    // A bad FCS gets no answer.
    w = encode({0x60, 0x80});
    w[3] ^= 1;
    b.box.on_serial_rx(w.data(), w.size(), b.now);
    EXPECT_TRUE(b.take().empty());
    // Unknown requests, short requests and remote calls that cannot be
    // carried out get a debug text instead of an acknowledgement.
    for (const Bytes &req : {Bytes{0x42, 0x07}, Bytes{0xF0, 0x7F}, Bytes{0xF0, 0x01, 0x18},
                             Bytes{0xF2, 9, 0, 0, 1, 0}, Bytes{0xF2, 4, 4, 0, 9, 0, 0, 32, 0, 8},
                             Bytes{0xF2, 5, 13, 0, 1, 0, 2, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                             Bytes{0xF2, 6, 2, 0, 1, 0, 0x00, 0x10}}) {
        SCOPED_TRACE(testing::Message() << std::hex << int(req[0]) << " " << int(req[1]));
        auto f = b.send(req);
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(f[0].type(), 0xF1);
        EXPECT_EQ(f[0].cmd(), 0x03);
    }
    // Answers coming back are not answered.
    EXPECT_TRUE(b.send({0x6F, 0x80, 1, 2, 3, 4}).empty());
}

// --- registers ---------------------------------------------------------------

TEST(BoxRegisters, SmiAndMdioAreTwoViewsOfTheSwitchRegisters)
{
    Bench b;
    EXPECT_EQ(b.ask({0xF0, 0x06, 0x00, 0}).payload()[1], 0x95);
    EXPECT_EQ(b.mdio_read(0x06, 0x00), 0x0095);
    b.ask({0xF0, 0x05, 0x00, 0x12}); // the family ID stays
    EXPECT_EQ(b.mdio_read(0x06, 0x00), 0x0095);

    // Sniff bits by SMI, membership bits by MDIO, in one register.
    b.ask({0xF0, 0x05, 0x31, 0x60 | 0x1F});
    uint16_t v = b.mdio_read(0x06, 0x31);
    EXPECT_EQ(v, 0x7F);
    b.mdio_write(0x06, 0x31, static_cast<uint16_t>((v & 0xFFE1) | (0x5 << 1)));
    EXPECT_EQ(b.ask({0xF0, 0x06, 0x31, 0}).payload()[1], 0x6B); // 0x60 sniff, bit 0, ports 1 and 3
    // An MDIO write stores the low byte only.
    b.mdio_write(0x06, 0x22, 0xFFF9);
    EXPECT_EQ(b.mdio_read(0x06, 0x22), 0x00F9);
    EXPECT_EQ(b.box.impl().sw_regs[0x22], 0xF9);
}

TEST(BoxRegisters, Phys)
{
    Bench b;
    EXPECT_EQ(b.mdio_read(0x18, 0x03), 0x5CC2);
    EXPECT_EQ(b.mdio_read(0x19, 0x03), 0x5CC2);
    for (uint8_t phy : {0x02, 0x03, 0x18, 0x19}) {
        b.mdio_write(phy, 0x00, 0x0208);
        EXPECT_EQ(b.mdio_read(phy, 0x00), 0x0208) << int(phy);
    }
    b.mdio_write(0x18, 0x03, 0x1234); // identifier is read-only
    EXPECT_EQ(b.mdio_read(0x18, 0x03), 0x5CC2);
    b.mdio_write(0x18, 0x00, 0x8000); // reset restores the defaults
    EXPECT_EQ(b.mdio_read(0x18, 0x00), 0x0200);
    EXPECT_EQ(b.mdio_read(0x05, 0x00), 0xFFFF); // nothing at this address
    // The link bit follows the power of the Ethernet part.
    EXPECT_TRUE(b.mdio_read(0x02, 0x01) & 0x0004);
    b.ask({0x50, 0x1F});
    EXPECT_FALSE(b.mdio_read(0x02, 0x01) & 0x0004);
}

// --- indirect tables --------------------------------------------------------

TEST(BoxTables, StaticMacAndVlanEntriesRoundTrip)
{
    Bench b;
    const Bytes smac = {1, 2, 3, 4, 5, 6, 0xAA, 0x03};
    b.rmt(5, cat({0, 31, 0, 8}, cat(smac, {0})), 1);
    EXPECT_EQ(b.rmt(4, {0, 31, 0, 8}, 9), cat(smac, {0}));
    // VLAN entry: the 52 bits stored, the top nibble is not there.
    const Bytes vl = {0x05, 0x1A, 0, 0, 0, 0, 0xFF};
    b.rmt(5, cat({1, 0xFF, 0x03, 7}, cat(vl, {0, 0})), 1);
    EXPECT_EQ(b.rmt(4, {1, 0xFF, 0x03, 7}, 9), (Bytes{0x05, 0x1A, 0, 0, 0, 0, 0x0F, 0, 0}));
    // Read-only tables refuse writes, and nothing changes.
    EXPECT_EQ(b.send(cat({0xF2, 5, 13, 0, 1, 0, 3, 0, 0, 4}, seq(9)))[0].cmd(), 0x03);
}

TEST(BoxTables, IndirectAccessRegistersReachTheSameTables)
{
    Bench b;
    auto smi_w = [&](uint8_t r, uint8_t v) { b.ask({0xF0, 0x05, r, v}); };
    // Write static entry 3 through the data registers (0x78 holds bits 7-0).
    const Bytes entry = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x22, 0x00};
    for (size_t k = 0; k < 9; ++k)
        smi_w(static_cast<uint8_t>(0x78 - k), k < entry.size() ? entry[k] : 0);
    smi_w(0x6E, 0x00); // write, static MAC table
    smi_w(0x6F, 0x03);
    EXPECT_EQ(b.rmt(4, {0, 3, 0, 8}, 9), cat(entry, {0}));
    // Read VLAN entry 0 (VLAN 1 valid on all ports) back by MDIO address 6.
    b.mdio_write(0x06, 0x6E, 0x14);
    b.mdio_write(0x06, 0x6F, 0x00);
    const Bytes vl = b.rmt(4, {1, 0, 0, 7}, 9);
    for (size_t k = 0; k < 7; ++k)
        EXPECT_EQ(b.mdio_read(0x06, static_cast<uint8_t>(0x78 - k)), vl[k]) << k;
    EXPECT_NE(vl, Bytes(9, 0));
}

TEST(BoxTables, DynamicMacCountAndEmptyFlag)
{
    Bench b;
    auto &dyn = b.box.impl().dynmac;
    ASSERT_EQ(dyn.size(), 4u);
    auto e0 = b.rmt(2, {0, 0}, 9);
    EXPECT_EQ(((e0[7] >> 5) | (e0[8] << 3)) + 1, 4);
    EXPECT_FALSE(e0[8] & 0x80);
    EXPECT_EQ(e0[7] & 7, dyn[0].port);
    // 16 entries: count field 15 across both bytes.
    while (dyn.size() < 16)
        dyn.push_back({{0x10, 0, 0, 0, 0, static_cast<uint8_t>(dyn.size())}, 0, 3});
    e0 = b.rmt(4, {2, 0, 0, 9}, 9); // the same table through the indirect read
    EXPECT_EQ(e0[7] & 0xE0, 0xE0);
    EXPECT_EQ(e0[8], 0x01);
    const Bytes e15 = b.rmt(2, {15, 0}, 9);
    EXPECT_EQ(Bytes(e15.begin(), e15.begin() + 6), (Bytes{0x10, 0, 0, 0, 0, 15}));
    dyn.clear();
    EXPECT_EQ(b.rmt(2, {0, 0}, 9)[8], 0x80);
}

TEST(BoxTables, MibCountersCountUpAndAreValid)
{
    Bench b;
    auto word = [](const Bytes &p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; };
    b.now = 2'000'000;
    const uint32_t w1 = word(b.rmt(1, {2, 0x0D, 0}, 4)); // RxUnicast of port 2
    EXPECT_EQ(w1 & 0xC0000000, 0x40000000u);
    // The same counter in the raw table: port 2 block starts at 0x20.
    EXPECT_EQ(word(b.rmt(4, {3, 0x2D, 0, 4}, 9)), w1);
    b.now = 4'000'000;
    const uint32_t w2 = word(b.rmt(1, {2, 0x0D, 0}, 4));
    EXPECT_GT(w2 & 0x3FFFFFFF, w1 & 0x3FFFFFFF);
    // Error counters are valid and zero; drop counters are reachable.
    EXPECT_EQ(word(b.rmt(1, {1, 0x07, 0}, 4)), 0x40000000u);
    EXPECT_EQ(word(b.rmt(1, {4, 0x05, 0x01}, 4)), 0x40000000u);
    EXPECT_EQ(b.send({0xF2, 1, 3, 0, 4, 0, 5, 0x0D, 0})[0].cmd(), 0x03); // port 5

    // Whatever the owner's clock reads at power-up, counting starts there.
    Bench late({}, 900'000'000'000);
    late.now += 1'000'000;
    EXPECT_EQ(word(late.rmt(1, {1, 0x0D, 0}, 4)), 0x40000000u + 40);
}

// --- EEPROM -----------------------------------------------------------------

TEST(BoxEeprom, WriteReadEraseAndEnd)
{
    Bench b;
    auto read = [&](uint16_t addr, uint8_t n) {
        return b.ask({0xF0, 0x09, static_cast<uint8_t>(addr), static_cast<uint8_t>(addr >> 8), n}).payload();
    };
    EXPECT_EQ(read(0x100, 4), (Bytes{0x00, 0x01, 4, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(b.ask({0xF0, 0x08, 0x00, 0x01, 4, 1, 2, 3, 4}).payload(), (Bytes{0x00, 0x01, 4}));
    EXPECT_EQ(read(0x100, 4), (Bytes{0x00, 0x01, 4, 1, 2, 3, 4}));
    b.rmt(6, {0x01, 0x01}, 1); // byte 0x101
    EXPECT_EQ(read(0x100, 4), (Bytes{0x00, 0x01, 4, 1, 0xFF, 3, 4}));
    b.rmt(7, {0x02, 0x01, 2, 0}, 1); // 0x102, 2 bytes
    EXPECT_EQ(read(0x100, 4), (Bytes{0x00, 0x01, 4, 1, 0xFF, 0xFF, 0xFF}));
    // At the end: what is there, then nothing.
    EXPECT_EQ(read(0xFFF, 16).size(), 3u + 1);
    EXPECT_EQ(read(0x1000, 16), (Bytes{0x00, 0x10, 0}));
    EXPECT_EQ(b.ask({0xF0, 0x08, 0xFE, 0x0F, 4, 1, 2, 3, 4}).payload()[2], 2);
    // A header that claims more than the frame carries writes what came.
    EXPECT_EQ(b.ask({0xF0, 0x08, 0x00, 0x02, 9, 7, 7}).payload()[2], 2);
    // More than 57 asked for: 57 returned.
    EXPECT_EQ(read(0, 60).size(), 3u + 57);
}

TEST(BoxEeprom, KeptInAFilePerBoxAcrossRuns)
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("simbox_test_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    {
        Bench b(opts("CV000007", dir));
        b.ask({0xF0, 0x08, 0x10, 0x00, 3, 0xAB, 0xCD, 0xEF});
        EXPECT_TRUE(b.box.impl().persist_error.empty());
    }
    {
        Bench b(opts("CV000007", dir));
        EXPECT_EQ(b.ask({0xF0, 0x09, 0x10, 0x00, 3}).payload(), (Bytes{0x10, 0x00, 3, 0xAB, 0xCD, 0xEF}));
        b.rmt(7, {0x10, 0x00, 2, 0}, 1);
    }
    {
        Bench b(opts("CV000007", dir));
        EXPECT_EQ(b.ask({0xF0, 0x09, 0x10, 0x00, 3}).payload(), (Bytes{0x10, 0x00, 3, 0xFF, 0xFF, 0xEF}));
        // Another box has its own EEPROM.
        Bench other(opts("CV000008", dir));
        EXPECT_EQ(other.ask({0xF0, 0x09, 0x10, 0x00, 1}).payload(), (Bytes{0x10, 0x00, 1, 0xFF}));
    }
    EXPECT_EQ(std::filesystem::file_size(dir / "CV000007.eeprom"), 4096u);
    // A serial number cannot lead the file out of the folder.
    {
        Bench b(opts("../../escape", dir));
        b.ask({0xF0, 0x08, 0x00, 0x00, 1, 0x42});
        EXPECT_EQ(std::filesystem::path(b.box.impl().e2p_path()).parent_path(), dir);
    }
    std::filesystem::remove_all(dir);
}

TEST(BoxEeprom, StoredConfigurationIsAppliedAtBoot)
{
    Bench b;
    auto &e = b.box.impl().eeprom;
    // PHY 1 area: begin, register 0 of 0x18 = 0x0208, end.
    const Bytes seqrec = {0x03, 0xBB, 0xCC, 0x35, 0x18, 0x00, 0x08, 0x02, 0x13, 0xEE, 0xCC};
    std::copy(seqrec.begin(), seqrec.end(), e.begin() + 0x620);
    // CAN block with its check word: a speed record of 1, 2, ..., 11.
    Bytes blk(61, 0);
    for (int i = 0; i < 11; ++i)
        blk[static_cast<size_t>(i)] = static_cast<uint8_t>(i + 1);
    blk[45 + 15] = 0x60; // can_mode: listen only
    const uint16_t crc = testframe::fcs_register(blk);
    std::copy(blk.begin(), blk.end(), e.begin() + 0x800);
    e[0x83D] = static_cast<uint8_t>(crc);
    e[0x83E] = static_cast<uint8_t>(crc >> 8);

    b.box.set_reset(true, b.now);
    b.box.set_reset(false, b.now);
    b.take();
    EXPECT_EQ(b.mdio_read(0x18, 0x00), 0x0208);
    EXPECT_EQ(b.ask({0xF0, 0x42}).payload(), seq(11));
    EXPECT_EQ(b.ask({0xF0, 0x4C}).payload(), Bytes{0x60});
}

// --- the box's own frames ---------------------------------------------------

TEST(BoxBoot, DebugTextThenPingThatMustBeEchoed)
{
    Bench b;
    ASSERT_EQ(b.boot.size(), 2u);
    EXPECT_EQ(b.boot[0].type(), 0xF0);
    EXPECT_EQ(b.boot[0].cmd(), 0x03);
    const Bytes text = b.boot[0].payload();
    EXPECT_EQ(text.back(), 0);
    EXPECT_NE(std::string(reinterpret_cast<const char *>(text.data())).find("CV000001"), std::string::npos);
    EXPECT_EQ(b.boot[1].type(), 0xF0);
    EXPECT_EQ(b.boot[1].cmd(), 0x04);
    EXPECT_FALSE(b.box.ping_echoed());
    // A wrong echo does not count; the right one does.
    Bytes wrong = b.boot[1].payload();
    wrong[0] ^= 1;
    EXPECT_TRUE(b.send(cat({0xF1, 0x04}, wrong)).empty());
    EXPECT_FALSE(b.box.ping_echoed());
    EXPECT_TRUE(b.send(cat({0xF1, 0x04}, b.boot[1].payload())).empty());
    EXPECT_TRUE(b.box.ping_echoed());
    EXPECT_EQ(b.box.next_event_us(), UINT64_MAX); // no more pings by default

    // Held in reset the box hears nothing; the rising edge boots it again.
    b.box.set_reset(true, 5000);
    EXPECT_FALSE(b.box.running());
    EXPECT_TRUE(b.send({0x60, 0x80}).empty());
    b.box.set_reset(false, 6000);
    EXPECT_TRUE(b.box.running());
    auto f = b.take();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].cmd(), 0x03);
    EXPECT_EQ(f[1].cmd(), 0x04);
    EXPECT_NE(f[1].payload(), b.boot[1].payload());
    EXPECT_FALSE(b.box.ping_echoed());
    EXPECT_EQ(b.box.impl().boots, 2u);
}

TEST(BoxBoot, WakeUpPulseLasts400ms)
{
    Bench b;
    EXPECT_EQ(b.ask({0x50, 0x30, 3}).payload(), Bytes{1}); // at ground
    EXPECT_EQ(b.ask({0x50, 0x30, 2}).payload(), Bytes{0});
    EXPECT_EQ(b.box.next_event_us(), b.now + 400000);
    b.box.poll(b.now + 399999);
    EXPECT_EQ(b.ask({0x50, 0x30, 3}).payload(), Bytes{0});
    b.box.poll(b.now + 400000);
    EXPECT_EQ(b.ask({0x50, 0x30, 3}).payload(), Bytes{1});
    EXPECT_EQ(b.ask({0x50, 0x30, 0}).payload(), Bytes{0});
    EXPECT_EQ(b.ask({0x50, 0x30, 3}).payload(), Bytes{0});
}

TEST(BoxCan, TraceRecordsWhileOnAndReceiving)
{
    Bench b;
    b.ask({0xF0, 0x49});
    std::vector<Frame> recs;
    for (uint64_t t = b.now; t <= b.now + 4'000'000; t += 50'000) {
        b.box.poll(t);
        for (auto &f : b.take())
            recs.push_back(f);
    }
    ASSERT_GE(recs.size(), 30u);
    int std_frames = 0, ext_frames = 0, errors = 0;
    for (auto &f : recs) {
        ASSERT_TRUE(f.good);
        ASSERT_EQ(f.type(), 0x6F);
        ASSERT_EQ(f.cmd(), 0x4D);
        auto p = f.payload();
        if (p[0] == 0) {
            ASSERT_GE(p.size(), 10u);
            EXPECT_EQ(p.size(), 10u + (p[9] & 0x0F));
            (p[6] & 0x08) ? ++ext_frames : ++std_frames;
        } else {
            EXPECT_EQ(p.size(), 5u);
            ++errors;
        }
    }
    EXPECT_GT(std_frames, 0);
    EXPECT_GT(ext_frames, 0);
    EXPECT_GT(errors, 0);

    // Reset puts the controller in configuration mode: nothing received
    // until it is initialised again.
    b.now += 5'000'000;
    b.box.poll(b.now);
    b.take();
    b.ask({0xF0, 0x50});
    EXPECT_EQ(b.ask({0xF0, 0x4C}).payload(), Bytes{0x80});
    b.now += 1'000'000;
    b.box.poll(b.now);
    EXPECT_TRUE(b.take().empty());
    b.ask({0xF0, 0x51});
    b.now += 1'000'000;
    b.box.poll(b.now);
    EXPECT_FALSE(b.take().empty());
    b.ask({0xF0, 0x4A});
    b.box.poll(b.now + 3'000'000);
    EXPECT_TRUE(b.take().empty());
    EXPECT_EQ(b.box.next_event_us(), UINT64_MAX);
}

TEST(BoxCan, SettingsRoundTrip)
{
    Bench b;
    b.ask(cat({0xF0, 0x41}, seq(11, 0x20)));
    EXPECT_EQ(b.ask({0xF0, 0x42}).payload(), seq(11, 0x20));
    b.ask(cat({0xF0, 0x47}, seq(34, 0x40)));
    EXPECT_EQ(b.ask({0xF0, 0x48}).payload(), seq(34, 0x40));
    b.ask({0xF0, 0x4B, 0x60}); // takes effect with re-init
    EXPECT_EQ(b.ask({0xF0, 0x4C}).payload(), Bytes{0x00});
    b.ask({0xF0, 0x51});
    EXPECT_EQ(b.ask({0xF0, 0x4C}).payload(), Bytes{0x60});
    b.ask({0xF0, 0x62, 0x07});
    EXPECT_EQ(b.ask({0x60, 0x62}).payload(), Bytes{0x07});
    b.ask({0xF0, 0x53, 0xE8, 0x03, 0, 0, 1});
    EXPECT_EQ(b.ask({0xF0, 0x52}).payload(), (Bytes{0xE8, 0x03, 0, 0, 1}));
    b.ask({0xF0, 0x61, 0xF4, 0x01, 0, 0, 5, 0, 0, 0});
    EXPECT_EQ(b.ask({0xF0, 0x60}).payload(), (Bytes{0xF4, 0x01, 0, 0, 5, 0, 0, 0}));
}

// --- faults -------------------------------------------------------------------

TEST(BoxFaults, AcknowledgementFaults)
{
    Bench b;
    std::string err;
    ASSERT_TRUE(b.box.apply_fault("drop-acks", "1", &err)) << err;
    EXPECT_TRUE(b.send({0x60, 0x80}).empty());
    EXPECT_EQ(b.send({0x60, 0x80}).size(), 1u);

    ASSERT_TRUE(b.box.apply_fault("corrupt-fcs", "1", &err));
    auto f = b.send({0x60, 0x80});
    ASSERT_EQ(f.size(), 1u);
    EXPECT_FALSE(f[0].good);
    EXPECT_TRUE(b.ask({0x60, 0x80}).good);

    ASSERT_TRUE(b.box.apply_fault("wrong-cmd", "1", &err));
    EXPECT_NE(b.ask({0x60, 0x80}).cmd(), 0x80);
    EXPECT_EQ(b.ask({0x60, 0x80}).cmd(), 0x80);

    ASSERT_TRUE(b.box.apply_fault("delay-ms", "1500", &err));
    ASSERT_TRUE(b.box.apply_fault("delay-acks", "1", &err));
    EXPECT_TRUE(b.send({0x60, 0x80}).empty());
    EXPECT_EQ(b.box.next_event_us(), b.now + 1'500'000);
    b.box.poll(b.now + 1'499'999);
    EXPECT_TRUE(b.take().empty());
    b.box.poll(b.now + 1'500'000);
    f = b.take();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].cmd(), 0x80);

    // Garbage before the next answer: no flag in it, so the answer survives.
    ASSERT_TRUE(b.box.apply_fault("garbage", "20", &err));
    const Bytes w = encode({0x60, 0x80});
    b.box.on_serial_rx(w.data(), w.size(), b.now);
    ASSERT_GT(b.wire.size(), 20u);
    for (size_t i = 0; i < 20; ++i)
        EXPECT_TRUE(b.wire[i] != 0x7E && b.wire[i] != 0x7D);
    f = b.take();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_FALSE(f[0].good);
    EXPECT_TRUE(f[1].good);

    // The box's own frames are not acknowledgements.
    ASSERT_TRUE(b.box.apply_fault("drop-acks", "5", &err));
    b.box.set_reset(true, b.now);
    b.box.set_reset(false, b.now);
    EXPECT_EQ(b.take().size(), 2u);

    EXPECT_FALSE(b.box.apply_fault("drop-acks", "x", &err));
    EXPECT_NE(err.find("drop-acks"), std::string::npos);
    EXPECT_FALSE(b.box.apply_fault("no-such-fault", "1", &err));
    EXPECT_FALSE(sim::Box::is_box_fault("unplug-after-ms"));
    EXPECT_TRUE(sim::Box::is_box_fault("mdio-wrong-pass"));
    EXPECT_FALSE(b.box.apply_fault("mdio-wrong-pass", "7:5", &err));
    EXPECT_FALSE(b.box.apply_fault("mdio-wrong", "0x19:3", &err));
}

// The console's MDIO read test: case 1 reads 0x18/0x03 100 times, case 2
// 0x19/0x03. With the fault on case 2, pass 5, only case 2 fails, with 95
// passes left, reading 5CC3 instead of 5CC2.
TEST(BoxFaults, MdioWrongOnceOnAChosenPass)
{
    Bench b;
    std::string err;
    ASSERT_TRUE(b.box.apply_fault("mdio-wrong-pass", "2:5", &err)) << err;
    auto run_case = [&](uint8_t phy, uint8_t reg, uint16_t expect, unsigned &left, uint16_t &got) {
        for (unsigned pass = 0; pass < 100; ++pass) {
            left = 100 - pass - 1;
            got = b.mdio_read(phy, reg);
            if (got != expect)
                return false;
        }
        return true;
    };
    unsigned left = 0;
    uint16_t got = 0;
    EXPECT_TRUE(run_case(0x18, 0x03, 0x5CC2, left, got));
    EXPECT_FALSE(run_case(0x19, 0x03, 0x5CC2, left, got));
    EXPECT_EQ(left, 95u);
    EXPECT_EQ(got, 0x5CC3);
    EXPECT_TRUE(run_case(0x06, 0x00, 0x95, left, got));
    EXPECT_TRUE(run_case(0x19, 0x03, 0x5CC2, left, got)); // once only

    ASSERT_TRUE(b.box.apply_fault("mdio-wrong", "0x18:0:2", &err)) << err;
    b.mdio_write(0x18, 0, 0x208);
    EXPECT_EQ(b.mdio_read(0x18, 0), 0x208);
    EXPECT_EQ(b.mdio_read(0x18, 0), 0x209);
    EXPECT_EQ(b.mdio_read(0x18, 0), 0x208);
}

TEST(BoxFaults, PeriodicPingWhenAsked)
{
    Bench b;
    std::string err;
    ASSERT_TRUE(b.box.apply_fault("ping-every-ms", "250", &err));
    EXPECT_EQ(b.box.next_event_us(), 250'000u);
    b.box.poll(250'000);
    auto f = b.take();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].cmd(), 0x04);
    b.send(cat({0xF1, 0x04}, f[0].payload()));
    EXPECT_EQ(b.box.impl().pings_echoed, 1u);
    EXPECT_FALSE(b.box.ping_echoed()); // that one was not the boot ping
}

} // namespace
