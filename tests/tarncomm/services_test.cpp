// Device services against canned acknowledgements: the request each builds
// and how it decodes the answer; EEPROM records against a small EEPROM model.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>
#include <sys/time.h>

#include "catalogue.h"
#include "e2p.h"
#include "eepromcfg.h"
#include "hdlc.h"
#include "periphery.h"
#include "remote_func.h"
#include "fake_box.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// Answers every request with its ack type and cmd (0x50->0x5F, 0x60->0x6F,
// 0xF0->0xF1, 0xF2->0xF3) and the given payload.
responder_t answer(bytes payload)
{
    return [payload](const bytes &req) {
        const uint8_t t = req[0];
        const uint8_t at = t == 0x50 ? 0x5F : t == 0x60 ? 0x6F : t == 0xF0 ? 0xF1 : 0xF3;
        return std::vector<bytes>{ack_of(at, req[1], payload)};
    };
}

TEST(Periphery, IdentificationReads)
{
    fake_box box(answer({20, 19, 12, 31}));
    uint8_t v[4];
    ASSERT_EQ(fwv_read(v), 0);
    EXPECT_EQ((bytes(v, v + 4)), (bytes{20, 19, 12, 31}));
    ASSERT_EQ(fwd_read(v), 0);
    EXPECT_EQ((bytes(v, v + 4)), (bytes{31, 12, 19, 20}));
    ASSERT_EQ(blv_read(v), 0);
    EXPECT_EQ((bytes(v, v + 4)), (bytes{31, 12, 19, 20}));
    const auto reqs = box.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0], (bytes{0x60, 0x80}));
    EXPECT_EQ(reqs[1], (bytes{0x60, 0x81}));
    EXPECT_EQ(reqs[2], (bytes{0x60, 0x83}));
}

TEST(Periphery, BootloaderString)
{
    fake_box box(answer({'B', 'L', 0, 'x', 'y'}));
    char s[32];
    std::memset(s, '#', sizeof s);
    ASSERT_EQ(bls_read(s), 0);
    EXPECT_EQ(s[0], 'B');
    EXPECT_EQ(s[1], 'L');
    for (int i = 2; i < 30; ++i)
        EXPECT_EQ(s[i], 0) << i;
    EXPECT_EQ(s[30], '#'); // at most 30 bytes

    bytes longer(40, 'a');
    box.set_responder(answer(longer));
    std::memset(s, '#', sizeof s);
    ASSERT_EQ(bls_read(s), 0);
    EXPECT_EQ(std::string(s, 30), std::string(30, 'a'));
    EXPECT_EQ(s[30], '#');
}

TEST(Periphery, PowerSetsCmdPerCall)
{
    fake_box box(answer({}));
    EXPECT_EQ(pwr_ctl(pwr_off), 0);
    EXPECT_EQ(pwr_ctl(pwr_on), 0);
    EXPECT_EQ(pwr_ctl(static_cast<pwr_ctl_t>(2)), -1);
    const auto reqs = box.requests();
    ASSERT_EQ(reqs.size(), 2u); // mode 2 sent nothing
    EXPECT_EQ(reqs[0], (bytes{0x50, 0x1F}));
    EXPECT_EQ(reqs[1], (bytes{0x50, 0x10}));
}

TEST(Periphery, RegisterAccess)
{
    // Answers repeat the PHY and register (MDIO) or the register (SMI).
    fake_box box([](const bytes &req) {
        bytes p(req.begin() + 2, req.end());
        if (req[1] == 0x02)
            p = {req[2], req[3], 0x34, 0x12};
        if (req[1] == 0x06)
            p = {req[2], 0x21};
        return std::vector<bytes>{ack_of(0xF1, req[1], p)};
    });
    uint16_t v = 0;
    ASSERT_EQ(mdio_read(6, 0x21, &v), 0);
    EXPECT_EQ(v, 0x1234);
    ASSERT_EQ(mdio_write(0x18, 0x00, 0x0208), 0);
    uint8_t r = 0;
    ASSERT_EQ(smi_read(0x11, &r), 0);
    EXPECT_EQ(r, 0x21); // ack payload byte 1
    ASSERT_EQ(smi_write(0x11, 0x3F), 0);
    const auto reqs = box.requests();
    ASSERT_EQ(reqs.size(), 4u);
    ASSERT_EQ(reqs[0].size(), 6u);
    EXPECT_EQ((bytes(reqs[0].begin(), reqs[0].begin() + 4)), (bytes{0xF0, 0x02, 0x06, 0x21}));
    EXPECT_EQ(reqs[1], (bytes{0xF0, 0x01, 0x18, 0x00, 0x08, 0x02}));
    ASSERT_EQ(reqs[2].size(), 4u);
    EXPECT_EQ(reqs[2][2], 0x11);
    EXPECT_EQ(reqs[3], (bytes{0xF0, 0x05, 0x11, 0x3F}));
}

TEST(Periphery, PingMeasuresAgainstTheEchoedTime)
{
    // The box echoes the start time after 20 ms; an answer with another
    // time (a late one of an earlier ping) is not this ping's.
    fake_box box([](const bytes &req) {
        bytes p(req.begin() + 2, req.end());
        bytes older = p;
        put_le64(&older[0], get_le64(&older[0]) - 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return std::vector<bytes>{ack_of(0xF1, 0x04, older), ack_of(0xF1, 0x04, p)};
    });
    struct timeval before;
    gettimeofday(&before, nullptr);
    uint32_t t = 0;
    ASSERT_EQ(ping(&t), 0);
    EXPECT_GE(t, 20000u);
    EXPECT_LT(t, 1000000u);
    const auto req = box.requests().at(0);
    ASSERT_EQ(req.size(), 18u);
    EXPECT_EQ(req[1], 0x04);
    const int64_t sec = static_cast<int64_t>(get_le64(&req[2]));
    const int64_t usec = static_cast<int64_t>(get_le64(&req[10]));
    EXPECT_LE(std::abs(sec - before.tv_sec), 1);
    EXPECT_GE(usec, 0);
    EXPECT_LT(usec, 1000000);
}

TEST(Periphery, WakeupLineAndPulse)
{
    fake_box box(answer({1}));
    EXPECT_EQ(wup_ctl(wup_get), 1);
    box.set_responder(answer({0xFE}));
    EXPECT_EQ(wup_ctl(wup_on), 0xFE); // unsigned byte, not a failure
    EXPECT_EQ(trigger_wup(), 0);
    const auto reqs = box.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0], (bytes{0x50, 0x30, 0x03}));
    EXPECT_EQ(reqs[1], (bytes{0x50, 0x30, 0x00}));
    EXPECT_EQ(reqs[2], (bytes{0x50, 0x30, 0x02}));
}

TEST(Periphery, StatusAndEthernetWakeup)
{
    fake_box box(answer({0xFE, 0xFF, 0xFF, 0xFF, 0x10, 0x27, 0x00, 0x00}));
    int st = 0, ms = 0, thr = 0;
    ASSERT_EQ(hk_status(&st), 0);
    EXPECT_EQ(st, -2);
    ASSERT_EQ(get_eth_wakeup(&ms, &thr), 0);
    EXPECT_EQ(ms, -2);
    EXPECT_EQ(thr, 10000);
    ASSERT_EQ(set_eth_wakeup(400, -1), 0);
    EXPECT_EQ(bl_enable(0), 0);
    EXPECT_EQ(bl_enable(1), 0);
    const auto reqs = box.requests();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(reqs[0], (bytes{0x60, 0x71}));
    EXPECT_EQ(reqs[1], (bytes{0xF0, 0x60}));
    EXPECT_EQ(reqs[2], (bytes{0xF0, 0x61, 0x90, 0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(reqs[3], (bytes{0x50, 0x2F}));
    EXPECT_EQ(reqs[4], (bytes{0x50, 0x20}));
}

// ---- Remote functions ----------------------------------------------------

TEST(RemoteFunc, EchoFrameAndReturnBlock)
{
    // A box may return the text up to its NUL and other bytes after it, with
    // any cmd: the block is taken as it comes.
    bytes back;
    fake_box box([&back](const bytes &req) {
        back.assign(req.begin() + 6, req.begin() + 12); // "hallo" and its NUL
        back.resize(32, 0xA5);
        return std::vector<bytes>{ack_of(0xF3, 0x07, back)};
    });
    rmt_func_param_echo_t p{};
    std::strcpy(p.echo, "hallo");
    rmt_func_rtn_echo_t r{};
    ASSERT_TRUE(rmt_echo(&p, &r));
    EXPECT_STREQ(r.echo, "hallo");
    EXPECT_EQ(std::string(r.echo, 32), std::string(back.begin(), back.end()));
    const auto req = box.requests().at(0);
    ASSERT_EQ(req.size(), 2u + 4 + 32);
    EXPECT_EQ((bytes(req.begin(), req.begin() + 6)), (bytes{0xF2, 0x00, 0x20, 0x00, 0x20, 0x00}));
    EXPECT_EQ(std::string(req.begin() + 6, req.begin() + 11), "hallo");
    EXPECT_EQ(comm_service(svc::comm_rmt_func)->timeout, 1);
}

TEST(RemoteFunc, TableWriteAndCmdPerCall)
{
    fake_box box([](const bytes &) {
        // The answer's cmd is the box's choice: this one says 0 whatever the function.
        return std::vector<bytes>{ack_of(0xF3, 0x00, {0x78, 0x56, 0x34, 0x12})};
    });
    rmt_func_param_ind_tab_write_t w{};
    w.table = 1;
    w.entry_idx = 5;
    w.entry_size = 7;
    for (int i = 0; i < 9; ++i)
        w.data[i] = static_cast<uint8_t>(0xA0 + i);
    rmt_func_rtn_ind_tab_write_t wr{};
    ASSERT_TRUE(rmt_ind_tab_entry_write(&w, &wr));
    EXPECT_EQ(comm_service(svc::comm_rmt_func)->timeout, 3);

    rmt_func_param_mibtab_t m{};
    m.port = 2;
    m.offset = 0x105;
    rmt_func_rtn_mibtab_t mr{};
    ASSERT_TRUE(rmt_mib_tab_entry_read(&m, &mr));
    EXPECT_EQ(mr.value, 0x12345678u);

    const auto reqs = box.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0], (bytes{0xF2, 0x05, 0x0D, 0x00, 0x01, 0x00, 0x01, 0x05, 0x00, 0x07, 0xA0, 0xA1, 0xA2, 0xA3,
                              0xA4, 0xA5, 0xA6, 0xA7, 0xA8}));
    EXPECT_EQ(reqs[1], (bytes{0xF2, 0x01, 0x03, 0x00, 0x04, 0x00, 0x02, 0x05, 0x01}));
}

TEST(RemoteFunc, BlockLimits)
{
    fake_box box(answer(bytes(60, 0x11)));
    uint8_t p[57] = {}, r[57] = {};
    EXPECT_FALSE(rmt_function(0, 0, p, 57, r, 4));
    EXPECT_FALSE(rmt_function(0, 0, p, 4, r, 57));
    EXPECT_TRUE(box.requests().empty());
    ASSERT_TRUE(rmt_function(9, -5, p, 56, r, 56));
    EXPECT_EQ(comm_service(svc::comm_rmt_func)->timeout, 1);
    EXPECT_EQ(r[55], 0x11);
    EXPECT_EQ(r[56], 0); // only rtn_size bytes
    const auto req = box.requests().at(0);
    EXPECT_EQ(req.size(), 62u);
    EXPECT_EQ(req[1], 9);
}

TEST(RemoteFunc, EepromEraseUsesTenSeconds)
{
    fake_box box(answer({0}));
    EXPECT_EQ(e2p_erase_block(0x200, 0x600), 0);
    EXPECT_EQ(comm_service(svc::comm_rmt_func)->timeout, 10);
    EXPECT_EQ(e2p_erase_byte(0x123), 0);
    EXPECT_EQ(comm_service(svc::comm_rmt_func)->timeout, 1);
    const auto reqs = box.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0], (bytes{0xF2, 0x07, 0x04, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x06}));
    EXPECT_EQ(reqs[1], (bytes{0xF2, 0x06, 0x02, 0x00, 0x01, 0x00, 0x23, 0x01}));
}

// ---- EEPROM ----------------------------------------------------------------

// A 4 KiB EEPROM behind the read and write requests. short_ack makes reads at
// or after one address answer 0 bytes; write_ack overrides the written count.
struct eeprom_model {
    std::array<uint8_t, 4096> mem;
    std::vector<std::pair<uint16_t, bytes>> writes;
    int short_read_from = -1;
    int write_ack = -1;
    int short_write_at = -1; // the write at this address is acknowledged one byte short
    eeprom_model() { mem.fill(0xFF); }

    responder_t responder()
    {
        return [this](const bytes &req) {
            std::vector<bytes> out;
            if (req[0] != 0xF0 || req.size() < 5)
                return out;
            const uint16_t addr = get_le16(&req[2]);
            const uint8_t n = req[4];
            if (req[1] == 0x08) {
                bytes data(req.begin() + 5, req.end());
                writes.emplace_back(addr, data);
                for (size_t i = 0; i < data.size(); ++i)
                    mem[(addr + i) % mem.size()] = data[i];
                uint8_t ackn = write_ack >= 0 ? static_cast<uint8_t>(write_ack) : n;
                if (addr == short_write_at)
                    ackn = static_cast<uint8_t>(n - 1);
                out.push_back(ack_of(0xF1, 0x08, {req[2], req[3], ackn}));
            } else if (req[1] == 0x09) {
                const bool shrt = short_read_from >= 0 && addr >= short_read_from;
                const uint8_t got = shrt ? 0 : n;
                bytes p{req[2], req[3], got};
                for (unsigned i = 0; i < got && i < 57; ++i)
                    p.push_back(mem[(addr + i) % mem.size()]);
                out.push_back(ack_of(0xF1, 0x09, p));
            }
            return out;
        };
    }
};

TEST(E2p, ReadCopiesWhatBothSidesAllow)
{
    fake_box box(answer({0x00, 0x01, 8, 1, 2, 3, 4, 5, 6, 7, 8}));
    uint8_t buf[16];
    std::memset(buf, 0xEE, sizeof buf);
    uint16_t size = 16;
    ASSERT_EQ(e2p_read(0x100, buf, &size), 0);
    EXPECT_EQ(size, 8);
    EXPECT_EQ(buf[7], 8);
    EXPECT_EQ(buf[8], 0xEE);

    std::memset(buf, 0xEE, sizeof buf);
    size = 4;
    ASSERT_EQ(e2p_read(0x100, buf, &size), 0);
    EXPECT_EQ(size, 8);
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(buf[4], 0xEE);
    EXPECT_EQ(box.requests().at(0), (bytes{0xF0, 0x09, 0x00, 0x01, 16}));

    // A count beyond the payload copies no more than the payload holds.
    box.set_responder(answer([] { bytes p{0, 0, 200}; p.resize(60, 0x5A); return p; }()));
    uint8_t big[100];
    std::memset(big, 0xEE, sizeof big);
    size = 100;
    ASSERT_EQ(e2p_read(0, big, &size), 0);
    EXPECT_EQ(size, 200);
    EXPECT_EQ(big[56], 0x5A);
    EXPECT_EQ(big[57], 0xEE);
}

TEST(E2p, WriteLimitAndAcknowledgedCount)
{
    eeprom_model ee;
    fake_box box(ee.responder());
    uint8_t data[58] = {};
    uint16_t size = 58;
    CaptureStderr();
    EXPECT_EQ(e2p_write(0x10, data, &size), -1);
    EXPECT_EQ(GetCapturedStderr(), "size > max_payload (58)\n");
    EXPECT_TRUE(box.requests().empty());
    size = 57;
    ASSERT_EQ(e2p_write(0x10, data, &size), 0);
    EXPECT_EQ(size, 57);
    ee.write_ack = 5;
    size = 9;
    ASSERT_EQ(e2p_write(0x10, data, &size), 0);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(box.requests().at(0).size(), 2u + 3 + 57);
}

TEST(EepromCfg, DefaultSequencesAsStored)
{
    eeprom_model ee;
    fake_box box(ee.responder());
    e2p_write_config(switch_default_init_sequence, E2P_CFG_SWITCH_START, E2P_CFG_SWITCH_LIMIT);
    ASSERT_EQ(ee.writes.size(), 3u);
    EXPECT_EQ(ee.writes[0], (std::pair<uint16_t, bytes>{0x200, {0x03, 0xBB, 0xCC}}));
    EXPECT_EQ(ee.writes[1], (std::pair<uint16_t, bytes>{0x203, {0x55, 0x06, 0xDF, 0x40, 0x00}}));
    EXPECT_EQ(ee.writes[2], (std::pair<uint16_t, bytes>{0x208, {0x13, 0xEE, 0xCC}}));

    ee.writes.clear();
    e2p_write_config(oabr1_default_init_sequence, E2P_CFG_PHY1_START, E2P_CFG_PHY1_LIMIT);
    ASSERT_EQ(ee.writes.size(), 42u);
    EXPECT_EQ(ee.writes[0].first, 0x620);
    EXPECT_EQ(ee.writes[1], (std::pair<uint16_t, bytes>{0x623, {0x35, 0x18, 0x17, 0x93, 0x0F}}));
    EXPECT_EQ(ee.writes[2].first, 0x628);
    EXPECT_EQ(ee.writes[40], (std::pair<uint16_t, bytes>{0x6E6, {0x35, 0x18, 0x1C, 0x63, 0xB8}}));
    EXPECT_EQ(ee.writes[41], (std::pair<uint16_t, bytes>{0x6EB, {0x13, 0xEE, 0xCC}}));

    ee.writes.clear();
    e2p_write_config(oabr2_default_init_sequence, E2P_CFG_PHY2_START, E2P_CFG_PHY2_LIMIT);
    ASSERT_EQ(ee.writes.size(), 42u);
    EXPECT_EQ(ee.writes[1].second[1], 0x19);
}

TEST(EepromCfg, WriteStopsAtCountAndNeedsABeginMarker)
{
    eeprom_model ee;
    fake_box box(ee.responder());
    // No end marker: only the caller's records are walked.
    const e2p_cfg_cmd_t no_end[2] = {switch_default_init_sequence[0], switch_default_init_sequence[1]};
    EXPECT_EQ(e2p_write_config(no_end, 0x200, 0x61F), 0);
    EXPECT_EQ(ee.writes.size(), 2u);
    ee.writes.clear();
    const e2p_cfg_cmd_t no_begin[2] = {switch_default_init_sequence[1], switch_default_init_sequence[2]};
    EXPECT_EQ(e2p_write_config(no_begin, 0x200, 0x61F), -1);
    EXPECT_TRUE(ee.writes.empty());
    // A box that stores a record short: the sequence is not stored.
    ee.short_write_at = 0x203;
    EXPECT_EQ(e2p_write_config(switch_default_init_sequence, 0x200, 0x61F), -1);
    ee.short_write_at = -1;
    EXPECT_EQ(e2p_write_config(switch_default_init_sequence, 0x200, 0x61F), 0);
}

TEST(EepromCfg, RecordLimits)
{
    eeprom_model ee;
    fake_box box(ee.responder());
    e2p_cfg_cmd_t rec{};
    rec.hdr.size = 13;
    rec.hdr.cmd = 7;
    EXPECT_EQ(e2p_write_cfg_cmd(0x61F - 13, &rec, 0x61F), 13);
    EXPECT_EQ(e2p_write_cfg_cmd(0x61F - 12, &rec, 0x61F), -1);
    rec.hdr.size = 1;
    EXPECT_EQ(e2p_write_cfg_cmd(0x300, &rec, 0x61F), -1);
    ASSERT_EQ(ee.writes.size(), 1u);
    EXPECT_EQ(ee.writes[0].second.size(), 13u);
    EXPECT_EQ(ee.writes[0].second[0], 0x7D);

    box.clear_requests();
    EXPECT_EQ(e2p_read_cfg_cmd(0x61F - 1, &rec, 0x61F), -1);
    EXPECT_TRUE(box.requests().empty()); // refused without reading
}

TEST(EepromCfg, ReadBackAndPrint)
{
    eeprom_model ee;
    fake_box box(ee.responder());
    e2p_write_config(oabr1_default_init_sequence, E2P_CFG_PHY1_START, E2P_CFG_PHY1_LIMIT);
    e2p_cfg_cmd_t work[E2P_CFG_WORK_AREA];
    CaptureStdout();
    EXPECT_EQ(e2p_read_config(work, E2P_CFG_PHY1_START, E2P_CFG_PHY1_LIMIT), 0);
    const std::string out = GetCapturedStdout();
    for (int i = 0; i < 42; ++i) {
        EXPECT_EQ(work[i].hdr.size, oabr1_default_init_sequence[i].hdr.size) << i;
        EXPECT_EQ(work[i].hdr.cmd, oabr1_default_init_sequence[i].hdr.cmd) << i;
        EXPECT_EQ(0, std::memcmp(work[i].param.raw, oabr1_default_init_sequence[i].param.raw,
                                 work[i].hdr.size - 1u))
            << i;
    }
    EXPECT_EQ(out.rfind("0x0620 kind 0 (begin) size 3: BB CC\n"
                        "0x0623 kind 3 (mdio) size 5: 18 17 93 0F (phy 0x18 reg 0x17 value 0x0F93)\n",
                        0),
              0u);
    EXPECT_NE(out.find("0x06EB kind 1 (end) size 3: EE CC\n"), std::string::npos);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 42);
}

TEST(EepromCfg, ReadStopRules)
{
    eeprom_model ee;
    fake_box box(ee.responder());
    e2p_cfg_cmd_t work[8];
    size_t count = 99;

    // Erased area: no begin marker.
    CaptureStdout();
    EXPECT_EQ(e2p_read_config(work, 0x200, 0x61F, 8, &count), -1);
    EXPECT_EQ(GetCapturedStdout(), "0x0200 no valid record (header 0xFF)\n");
    EXPECT_EQ(count, 0u);

    // Begin, then a record of size 0: stop there instead of looping.
    ee.mem[0x200] = 0x03;
    ee.mem[0x201] = 0xBB;
    ee.mem[0x202] = 0xCC;
    ee.mem[0x203] = 0x30;
    EXPECT_EQ(e2p_load_config(work, 0x200, 0x61F, 8, &count), 0);
    EXPECT_EQ(count, 1u);

    // The work area bounds the read: 5 of the 42 records, the sixth untouched.
    e2p_write_config(oabr1_default_init_sequence, E2P_CFG_PHY1_START, E2P_CFG_PHY1_LIMIT);
    std::memset(work, 0xA5, sizeof work);
    EXPECT_EQ(e2p_load_config(work, E2P_CFG_PHY1_START, E2P_CFG_PHY1_LIMIT, 5, &count), 0);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(work[5].param.raw[0], 0xA5);
    // ... and the listing says so after the five records.
    CaptureStdout();
    EXPECT_EQ(e2p_read_config(work, E2P_CFG_PHY1_START, E2P_CFG_PHY1_LIMIT, 5, &count), 0);
    std::string listing = GetCapturedStdout();
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 6) << listing;
    EXPECT_NE(listing.find("0x0632 kind 3 (mdio) size 5: 18 15 01 00 (phy 0x18 reg 0x15 value 0x0001)\n"
                           "0x0637 work area full after 5 records\n"),
              std::string::npos)
        << listing;

    // A read that returns nothing is not parsed as a record.
    ee.short_read_from = 0x628;
    std::memset(work, 0, sizeof work);
    CaptureStdout();
    EXPECT_EQ(e2p_read_config(work, E2P_CFG_PHY1_START, E2P_CFG_PHY1_LIMIT, 8, &count), -1);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(count, 2u);
    EXPECT_NE(out.find("0x0628 read failed\n"), std::string::npos);
    EXPECT_EQ(work[2].hdr.size, 0);
}

TEST(EepromCfg, ChunkedArrayWrite)
{
    eeprom_model ee;
    fake_box box(ee.responder());
    uint8_t data[34];
    for (int i = 0; i < 34; ++i)
        data[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(e2p_write_config_array(data, 0x80B, 34), 0);
    ASSERT_EQ(ee.writes.size(), 3u);
    EXPECT_EQ(ee.writes[0].first, 0x80B);
    EXPECT_EQ(ee.writes[0].second.size(), 15u);
    EXPECT_EQ(ee.writes[1].first, 0x81A);
    EXPECT_EQ(ee.writes[2].first, 0x829);
    EXPECT_EQ(ee.writes[2].second, (bytes{30, 31, 32, 33}));

    uint16_t len = 34;
    uint8_t back[34];
    ASSERT_EQ(e2p_read_config_array(back, 0x80B, &len), 0);
    EXPECT_EQ(0, std::memcmp(back, data, 34));

    // A box that acknowledges nothing, or more than asked, ends the write.
    ee.writes.clear();
    ee.write_ack = 0;
    EXPECT_EQ(e2p_write_config_array(data, 0x80B, 34), -1);
    EXPECT_EQ(ee.writes.size(), 1u);
    ee.write_ack = 16;
    EXPECT_EQ(e2p_write_config_array(data, 0x80B, 34), -1);

    // The last chunk has nothing after it to carry its rest: stored in part
    // is a failure (an earlier chunk stored in part is continued).
    ee.write_ack = -1;
    ee.short_write_at = 0x829;
    EXPECT_EQ(e2p_write_config_array(data, 0x80B, 34), -1);
    ee.short_write_at = 0x80B;
    ee.writes.clear();
    EXPECT_EQ(e2p_write_config_array(data, 0x80B, 34), 0);
    EXPECT_EQ(ee.writes.at(1).first, 0x819);
}

// Every record that was not stored whole fails the sequence; the others are
// still written, as the box keeps whatever earlier writes did.
TEST(EepromCfg, WriteReportsARecordNotStoredWhole)
{
    struct {
        int short_at; // -1: none
        int write_ack;
        int rc;
    } const cases[] = {{-1, -1, 0}, {0x6EB, -1, -1}, {0x620, -1, -1}, {0x64B, -1, -1}, {-1, 0, -1}};
    for (const auto &c : cases) {
        eeprom_model ee;
        ee.short_write_at = c.short_at;
        ee.write_ack = c.write_ack;
        fake_box box(ee.responder());
        EXPECT_EQ(e2p_write_config(oabr1_default_init_sequence, E2P_CFG_PHY1_START, E2P_CFG_PHY1_LIMIT), c.rc)
            << std::hex << c.short_at << " ack " << c.write_ack;
        EXPECT_EQ(ee.writes.size(), 42u);
    }
    eeprom_model ee;
    ee.short_write_at = 0x300;
    fake_box box(ee.responder());
    EXPECT_EQ(e2p_write_cfg_cmd(0x300, &oabr1_default_init_sequence[1], 0x61F), -1);
    EXPECT_EQ(e2p_write_cfg_cmd(0x310, &oabr1_default_init_sequence[1], 0x61F), 5);
}

} // namespace
