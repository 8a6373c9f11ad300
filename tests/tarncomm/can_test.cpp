// CAN: the bit-timing calculation over every bit rate the command accepts,
// the configuration bytes, the services' requests, the stored CAN block
// against the box model's EEPROM, the trace record printer and the MDIO test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "box.h"
#include "box_impl.h"
#include "can.h"
#include "can_bridge.h"
#include "can_functions.h"
#include "e2p.h"
#include "periphery.h"
#include "fake_box.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// ---- helpers ---------------------------------------------------------------

bytes operator+(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Sends stdout to /dev/null while alive (the sweep prints a million lines).
class QuietStdout {
public:
    QuietStdout()
    {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

// The box firmware model behind the fake box: every request is framed,
// handed to the model, and its answers decoded and routed.
class ModelBox {
public:
    ModelBox() : box_(sim::Box::Options{})
    {
        box_.set_tx([this](const uint8_t *d, size_t n) { out_.insert(out_.end(), d, d + n); });
        box_.poll(0); // boot: its own frames are not answers
        out_.clear();
    }
    // The model's answers to a request, not delivered.
    std::vector<bytes> raw(const bytes &request)
    {
        std::lock_guard<std::mutex> lock(mtx_);
        now_ += 1000;
        const bytes wire = testframe::encode(request);
        box_.on_serial_rx(wire.data(), wire.size(), now_);
        std::vector<bytes> frames = testframe::decode(out_);
        out_.clear();
        return frames;
    }
    std::vector<bytes> answer(const bytes &request) { return raw(request); }
    responder_t responder()
    {
        return [this](const bytes &r) { return answer(r); };
    }
    // State access once the exchanges are over (the fake box's thread only
    // touches the model inside answer()).
    sim::BoxImpl &impl()
    {
        std::lock_guard<std::mutex> lock(mtx_);
        return box_.impl();
    }
    void reboot()
    {
        std::lock_guard<std::mutex> lock(mtx_);
        box_.set_reset(true, now_ += 1000);
        box_.set_reset(false, now_ += 1000);
        out_.clear();
    }

private:
    std::mutex mtx_;
    sim::Box box_;
    bytes out_;
    uint64_t now_ = 1000;
};

std::string calc_line(unsigned long ntq, unsigned long brp, int pr, int ps, int sjw)
{
    char b[120];
    std::snprintf(b, sizeof b, "NTQ(%lu) BRP(%lu) ## SY(1) PR(%d) PS1(%d) PS2(%d) ## SJW(%d) ## sum(%lu)\n", ntq, brp,
                  pr, ps, ps, sjw, ntq);
    return b;
}

// ---- bit timing ---------------------------------------------------------------

TEST(CanTiming, EveryAcceptedBitRateGivesAValidTiming)
{
    unsigned long first_bad = 0;
    std::string why;
    {
        QuietStdout quiet;
        for (unsigned long f = 5000; f <= 1000000 && first_bad == 0; ++f) {
            can_speed_cfg c;
            std::memset(&c, 0xAA, sizeof c);
            if (can_calc_params(16000000, f, 1, &c) != 0) {
                first_bad = f, why = "refused";
                break;
            }
            const int pr = c.CAN_PRSEG + 1, ps1 = c.CAN_PS1 + 1, ps2 = c.CAN_PS2 + 1;
            const int ntq = 1 + pr + ps1 + ps2;
            // Independently: the smallest prescaler whose truncated quanta
            // count is at most 25.
            unsigned long brp = 0;
            while (16000000UL / (2 * f * (brp + 1)) > 25)
                ++brp;
            const unsigned long want_ntq = 16000000UL / (2 * f * (brp + 1));
            const double sample = static_cast<double>(1 + pr + ps1) / ntq;
            const int want_ps = static_cast<int>(0.32 * ntq + 0.5);
            if (c.CAN_BPR != brp || static_cast<unsigned long>(ntq) != want_ntq)
                why = "prescaler or quanta";
            else if (ntq < 8 || ntq > 25)
                why = "quanta out of 8..25";
            else if (ps1 != ps2 || ps1 != want_ps || pr < 1)
                why = "segments";
            else if (sample < 0.60 || sample > 0.7143) // 10 of 14 quanta is the highest
                why = "sample point";
            else if (c.CAN_SJW + 1 != std::min(ps2 - 1, 4))
                why = "jump width";
            else if (c.CAN_SAM != 1 || c.CAN_BTLMODE != 1 || c.CAN_WAKFIL != 0)
                why = "mode bits";
            else if (c.CAN_CNF1 != ((c.CAN_SJW << 6) | c.CAN_BPR) ||
                     c.CAN_CNF2 != (0x80 | 0x40 | (c.CAN_PS1 << 3) | c.CAN_PRSEG) || c.CAN_CNF3 != c.CAN_PS2)
                why = "configuration bytes";
            else if (16000000.0 / (2.0 * (brp + 1) * ntq) < static_cast<double>(f))
                why = "resulting rate below the requested one";
            if (!why.empty())
                first_bad = f;
        }
    }
    EXPECT_EQ(first_bad, 0ul) << "bit rate " << first_bad << ": " << why;
}

TEST(CanTiming, RowsOfTheSegmentTableAndTheLinePrinted)
{
    struct Row {
        unsigned long ntq;
        int ps, pr, sjw;
    };
    for (Row r : {Row{8, 3, 1, 2}, Row{11, 4, 2, 3}, Row{16, 5, 5, 4}, Row{21, 7, 6, 4}, Row{23, 7, 8, 4},
                  Row{25, 8, 8, 4}}) {
        can_speed_cfg c{};
        CaptureStdout();
        ASSERT_EQ(can_calc_params(16000000, 8000000 / r.ntq, 0, &c), 0) << r.ntq;
        EXPECT_EQ(GetCapturedStdout(), calc_line(r.ntq, 0, r.pr, r.ps, r.sjw));
        EXPECT_EQ(c.CAN_PS1 + 1, r.ps);
        EXPECT_EQ(c.CAN_PRSEG + 1, r.pr);
        EXPECT_EQ(c.CAN_SJW + 1, r.sjw);
        EXPECT_EQ(c.CAN_SAM, 0) << "triple 0 samples once";
    }
}

TEST(CanTiming, RatesAboveTheRequestedOne)
{
    struct Ex {
        unsigned long f, brp, ntq, actual;
    };
    for (Ex e : {Ex{125000, 2, 21, 126984}, Ex{50000, 6, 22, 51948}, Ex{5000, 61, 25, 5161}}) {
        can_speed_cfg c{};
        CaptureStdout();
        ASSERT_EQ(can_calc_params(16000000, e.f, 1, &c), 0);
        const std::string line = GetCapturedStdout();
        char head[40];
        std::snprintf(head, sizeof head, "NTQ(%lu) BRP(%lu) ##", e.ntq, e.brp);
        EXPECT_EQ(line.rfind(head, 0), 0u) << line;
        const unsigned long ntq = 1ul + c.CAN_PRSEG + 1 + c.CAN_PS1 + 1 + c.CAN_PS2 + 1;
        EXPECT_EQ(ntq, e.ntq);
        EXPECT_EQ(16000000ul / (2 * (c.CAN_BPR + 1ul) * ntq), e.actual);
    }
}

TEST(CanTiming, TimingsThatDoNotFitAreRefusedUntouched)
{
    // 1.6 MHz gives 5 quanta (no room for a propagation segment), 2 MHz 4,
    // 0 Hz would divide by zero; 1 Hz needs a prescaler beyond 63.
    for (unsigned long f : {1600000ul, 2000000ul, 16000000ul, 0ul, 1ul}) {
        can_speed_cfg c;
        std::memset(&c, 0x5A, sizeof c);
        CaptureStdout();
        EXPECT_EQ(can_calc_params(16000000, f, 1, &c), -1) << f;
        EXPECT_EQ(GetCapturedStdout(), "") << f;
        for (size_t i = 0; i < sizeof c; ++i)
            EXPECT_EQ(reinterpret_cast<uint8_t *>(&c)[i], 0x5A) << f;
    }
    // Six quanta still fit.
    can_speed_cfg c{};
    CaptureStdout();
    EXPECT_EQ(can_calc_params(16000000, 1333333, 1, &c), 0);
    EXPECT_EQ(GetCapturedStdout(), calc_line(6, 0, 1, 2, 1));
}

TEST(CanTiming, ConfigurationBytes)
{
    auto calc = [](unsigned long f) {
        can_speed_cfg c{};
        CaptureStdout();
        EXPECT_EQ(can_calc_params(16000000, f, 1, &c), 0);
        GetCapturedStdout();
        return c;
    };
    can_speed_cfg c = calc(500000);
    EXPECT_EQ((bytes{c.CAN_SJW, c.CAN_BPR, c.CAN_BTLMODE, c.CAN_SAM, c.CAN_PS1, c.CAN_PRSEG, c.CAN_WAKFIL,
                     c.CAN_PS2, c.CAN_CNF1, c.CAN_CNF2, c.CAN_CNF3}),
              (bytes{3, 0, 1, 1, 4, 4, 0, 4, 192, 228, 4}));
    c = calc(1000000);
    EXPECT_EQ((bytes{c.CAN_CNF1, c.CAN_CNF2, c.CAN_CNF3}), (bytes{64, 208, 2}));
    c = calc(250000);
    EXPECT_EQ(c.CAN_BPR, 1);
    EXPECT_EQ(c.CAN_CNF1, 193);

    // The presets, with their bytes computed on use; the table itself keeps 0.
    const uint8_t want[7][3] = {{0x04, 0x3A, 0x07}, {0x03, 0x38, 0x05}, {0x01, 0x38, 0x05}, {0x00, 0x3F, 0x07},
                                {0x01, 0x90, 0x02}, {0x00, 0xB8, 0x06}, {0x00, 0x10, 0x02}};
    ASSERT_EQ(default_can_cfg_length, 7);
    for (int i = 0; i < 7; ++i) {
        can_speed_cfg p = default_can_cfg[i];
        EXPECT_EQ(p.CAN_CNF1 | p.CAN_CNF2 | p.CAN_CNF3, 0);
        can_calc_config(&p);
        EXPECT_EQ((bytes{p.CAN_CNF1, p.CAN_CNF2, p.CAN_CNF3}), (bytes(want[i], want[i] + 3))) << "preset " << i;
    }
}

// ---- services ---------------------------------------------------------------

TEST(CanServices, RequestsAsSentAndAnswersDecoded)
{
    ModelBox model;
    fake_box box(model.responder());

    can_speed_cfg cfg{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    ASSERT_EQ(can_set_speed(cfg), 0);
    ASSERT_EQ(can_set_speed(cfg), 0);
    can_speed_cfg back{};
    ASSERT_EQ(can_get_speed(&back), 0);
    EXPECT_EQ(std::memcmp(&back, &cfg, sizeof cfg), 0);
    ASSERT_EQ(can_get_speed(nullptr), 0);
    ASSERT_EQ(can_trace_enable(), 0);
    ASSERT_EQ(can_trace_disable(), 0);
    ASSERT_EQ(can_set_mode(0x60), 0);
    ASSERT_EQ(can_reset(), 0);
    ASSERT_EQ(can_reinit(), 0);
    uint8_t mode = 0;
    ASSERT_EQ(can_get_mode(&mode), 0);
    EXPECT_EQ(mode, 0x60);
    ASSERT_EQ(can_set_wakeup(1000, 1), 0);
    int ms = 0;
    uint8_t selective = 0, opmode = 0x77;
    ASSERT_EQ(can_get_wakeup(&ms, &selective, &opmode), 0);
    EXPECT_EQ(ms, 1000);
    EXPECT_EQ(selective, 1);
    EXPECT_EQ(opmode, 0x77);
    ASSERT_EQ(can_set_lcmode(0x21), 0);
    ASSERT_EQ(can_get_lcmode(&mode), 0);
    EXPECT_EQ(mode, 0x21);

    const auto reqs = box.requests();
    const std::vector<bytes> want = {
        {0xF0, 0x41, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
        {0xF0, 0x41, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
        {0xF0, 0x42},
        {0xF0, 0x42},
        {0xF0, 0x49},
        {0xF0, 0x4A},
        {0xF0, 0x4B, 0x60},
        {0xF0, 0x50},
        {0xF0, 0x51},
        {0xF0, 0x4C},
        {0xF0, 0x53, 0xE8, 0x03, 0x00, 0x00, 0x01},
        {0xF0, 0x52},
        {0xF0, 0x62, 0x21},
        {0x60, 0x62},
    };
    EXPECT_EQ(reqs, want);
}

TEST(CanServices, MaskFilterLayoutAndRoundTrip)
{
    MaskFilterBufferStruct mf{};
    mf.uiRxB0ExtId = 0x01;
    mf.RxB0Mask = 0x11223344;
    mf.RxB0Filter0Id = 0x00000123;
    mf.RxB0Filter1Id = 0x1FFFFFFF;
    mf.uiRxB1ExtId = 0xB1;
    mf.RxB1Mask = 0xA1A2A3A4;
    mf.RxB1Filter2Id = 2;
    mf.RxB1Filter3Id = 3;
    mf.RxB1Filter4Id = 4;
    mf.RxB1Filter5Id = 0x55667788;
    char d[40];
    std::memset(d, 0, sizeof d);
    int size = 0;
    serializeMaskFilter(&mf, d, &size);
    EXPECT_EQ(size, 34);
    const uint8_t *u = reinterpret_cast<uint8_t *>(d);
    EXPECT_EQ((bytes(u, u + 5)), (bytes{0x01, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(u[13], 0xB1);
    EXPECT_EQ((bytes(u + 14, u + 18)), (bytes{0xA4, 0xA3, 0xA2, 0xA1}));
    EXPECT_EQ((bytes(u + 30, u + 34)), (bytes{0x88, 0x77, 0x66, 0x55}));

    MaskFilterBufferStruct back{};
    unserializeMaskFilter(&back, d, size);
    EXPECT_EQ(std::memcmp(&back, &mf, sizeof mf), 0);

    // Through the box: what is set is read back the same.
    ModelBox model;
    fake_box box(model.responder());
    ASSERT_EQ(can_set_filter_mask(mf), 0);
    MaskFilterBufferStruct got{};
    ASSERT_EQ(can_get_filter_mask(&got), 0);
    EXPECT_EQ(std::memcmp(&got, &mf, sizeof mf), 0);
    const auto reqs = box.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0], (bytes{0xF0, 0x47} + bytes(u, u + 34)));
}

// ---- the CAN command's failure paths and the unbound handlers ---------------

TEST(CanCommand, UnboundHandlersSendTheirRequests)
{
    ModelBox model;
    fake_box box(model.responder());
    char mode[] = "0x60";
    EXPECT_EQ(process_cmd_can_mode(mode), 0);
    EXPECT_EQ(process_cmd_can_reset(nullptr), 0);
    EXPECT_EQ(model.impl().can.active_mode, 0x80) << "reset leaves the controller in configuration mode";
    EXPECT_EQ(box.requests(), (std::vector<bytes>{{0xF0, 0x4B, 0x60}, {0xF0, 0x51}, {0xF0, 0x50}}));
}

// Two exchanges that wait for the one-second time-out (label slow).
TEST(CanCommand, SlowFailuresEndWithTheirMessage)
{
    ModelBox model;
    bool answer_get = false;
    std::mutex m;
    // The box answers everything except the speed read (until allowed) and
    // the re-init.
    fake_box box([&](const bytes &r) {
        std::lock_guard<std::mutex> lock(m);
        if ((r[1] == 0x42 && !answer_get) || r[1] == 0x51) {
            model.raw(r); // carried out, but the answer is lost
            return std::vector<bytes>{};
        }
        return model.answer(r);
    });
    char speed[] = "speed 250000";
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(process_cmd_can(speed), -1);
    EXPECT_EQ(GetCapturedStderr(), "send_rq timed out\nFailed to get CAN configuration\n");
    EXPECT_EQ(GetCapturedStdout(), "") << "nothing is looked at before the record is read";
    {
        std::lock_guard<std::mutex> lock(m);
        answer_get = true;
    }
    char again[] = "speed 250000";
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(process_cmd_can(again), -1);
    EXPECT_EQ(GetCapturedStderr(), "send_rq timed out\nFailed to activate new config\n");
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("CNF1: 193\n"), std::string::npos) << out;
    // The record that was sent stays set in the box.
    EXPECT_EQ(model.impl().can.speed[8], 193);
}

// ---- the stored CAN block ---------------------------------------------------

TEST(CanStore, BlockWrittenInOrderAndAcceptedByTheBox)
{
    ModelBox model;
    fake_box box(model.responder());

    can_speed_cfg speed{3, 1, 1, 1, 4, 4, 0, 4, 0xC1, 0xE4, 0x04};
    MaskFilterBufferStruct mf{};
    mf.RxB0Mask = 0x7FF;
    mf.RxB0Filter0Id = 0x123;
    mf.uiRxB1ExtId = 1;
    mf.RxB1Filter5Id = 0x31234;
    WakeupConfiguration wk{};
    wk.lcmode = 0x02;
    wk.milliseconds = 2500;
    wk.selective = 1;
    wk.pulse_width_time = 0x01020304;
    wk.threshold_time = 0x0A0B0C0D;
    wk.opmode = 3;
    wk.can_mode = 0x60;
    ASSERT_EQ(can_save_cfg_to_e2p(&speed, &mf, &wk), 0);

    // Addresses and lengths of the write requests, in order.
    std::vector<std::pair<unsigned, unsigned>> writes;
    for (const auto &r : box.requests()) {
        ASSERT_GE(r.size(), 5u);
        ASSERT_EQ(r[0], 0xF0);
        ASSERT_EQ(r[1], 0x08);
        EXPECT_EQ(r.size(), 5u + r[4]) << "size field and data agree";
        writes.emplace_back(r[2] | r[3] << 8, r[4]);
    }
    const std::vector<std::pair<unsigned, unsigned>> want = {{0x800, 11}, {0x80B, 15}, {0x81A, 15}, {0x829, 4},
                                                             {0x82D, 15}, {0x83C, 1},  {0x83D, 2}};
    EXPECT_EQ(writes, want);

    // The EEPROM holds the three records in their wire layouts ...
    const auto &e2p = model.impl().eeprom;
    const bytes block(e2p.begin() + 0x800, e2p.begin() + 0x83F);
    bytes expect = {3, 1, 1, 1, 4, 4, 0, 4, 0xC1, 0xE4, 0x04};
    bytes mfb(34, 0);
    mfb[1] = 0xFF, mfb[2] = 0x07;      // RxB0Mask
    mfb[5] = 0x23, mfb[6] = 0x01;      // RxB0Filter0Id
    mfb[13] = 1;                       // uiRxB1ExtId
    mfb[30] = 0x34, mfb[31] = 0x12, mfb[32] = 0x03; // RxB1Filter5Id
    const bytes wkb = {0x02, 0xC4, 0x09, 0, 0, 0x01, 0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A, 0x03, 0x60};
    expect = expect + mfb + wkb;
    ASSERT_EQ(expect.size(), 61u);
    EXPECT_EQ(bytes(block.begin(), block.begin() + 61), expect);
    // ... and the CRC register over them, not complemented, low byte first.
    const uint16_t crc = testframe::fcs_register(expect, 0xFFFF);
    EXPECT_EQ(block[61], crc & 0xFF);
    EXPECT_EQ(block[62], crc >> 8);
    EXPECT_EQ(e2p[0x83F], 0xFF) << "nothing written beyond the CRC";

    // The firmware takes the block at its next start only when the CRC checks.
    model.reboot();
    EXPECT_EQ(bytes(model.impl().can.speed.begin(), model.impl().can.speed.end()),
              (bytes{3, 1, 1, 1, 4, 4, 0, 4, 0xC1, 0xE4, 0x04}));
    EXPECT_EQ(model.impl().can.wakeup_ms, 2500);
    EXPECT_EQ(model.impl().can.mode, 0x60);
}

TEST(CanStore, StopsAtTheFirstFailedWrite)
{
    ModelBox model;
    // The box takes no byte of the mask and filter record.
    fake_box box([&model](const bytes &r) {
        if (r.size() >= 4 && r[1] == 0x08 && (r[2] | r[3] << 8) == 0x80B)
            return std::vector<bytes>{ack_of(0xF1, 0x08, {r[2], r[3], 0})};
        return model.answer(r);
    });
    can_speed_cfg speed{};
    MaskFilterBufferStruct mf{};
    WakeupConfiguration wk{};
    EXPECT_EQ(can_save_cfg_to_e2p(&speed, &mf, &wk), -1);
    const auto reqs = box.requests();
    ASSERT_EQ(reqs.size(), 2u) << "no write after the failed one";
    EXPECT_EQ(model.impl().eeprom[0x800], 0) << "the speed record stays written";
    EXPECT_EQ(model.impl().eeprom[0x83D], 0xFF);
    EXPECT_EQ(can_save_cfg_to_e2p(nullptr, &mf, &wk), -1);
}

// A piece acknowledged one byte short at its last chunk is not stored: the
// store fails and names it, and nothing after it is written.
TEST(CanStore, PieceStoredInPartFailsAndIsNamed)
{
    for (const unsigned addr : {0x83Du, 0x800u, 0x829u}) {
        ModelBox model;
        fake_box box([&model, addr](const bytes &r) {
            if (r.size() >= 5 && r[1] == 0x08 && (r[2] | r[3] << 8) == static_cast<int>(addr))
                return std::vector<bytes>{ack_of(0xF1, 0x08, {r[2], r[3], static_cast<uint8_t>(r[4] - 1)})};
            return model.answer(r);
        });
        can_speed_cfg speed{};
        MaskFilterBufferStruct mf{};
        WakeupConfiguration wk{};
        CaptureStderr();
        EXPECT_EQ(can_save_cfg_to_e2p(&speed, &mf, &wk), -1) << std::hex << addr;
        const std::string err = GetCapturedStderr();
        EXPECT_NE(err.find("can_save_cfg_to_e2p: EEPROM write"), std::string::npos) << err;
        EXPECT_EQ(box.requests().back()[2] | box.requests().back()[3] << 8, static_cast<int>(addr));
    }
}

// ---- trace records ----------------------------------------------------------------

std::string print_record(const bytes &payload)
{
    hdlc_msg_t m{};
    m.hdr.type = 0x6F;
    m.hdr.cmd = 0x4D;
    std::memcpy(m.data, payload.data(), payload.size());
    CaptureStdout();
    process_can_msg(&m, static_cast<uint16_t>(payload.size() + 2));
    return GetCapturedStdout();
}

TEST(CanTrace, RecordKinds)
{
    // Standard frame 0x123: SIDH 0x24, SIDL 0x60.
    EXPECT_EQ(print_record({0, 0x67, 0x12, 0, 0, 0x24, 0x60, 0, 0, 2, 0xDE, 0xAD}), "0004711 123 02 DEAD\n\n");
    // Extended frame: identifier bits 17-0 only.
    EXPECT_EQ(print_record({0, 1, 0, 0, 0, 0x00, 0x0B, 0x12, 0x34, 3, 1, 2, 0xFF}), "0000001 31234 03 0102FF\n\n");
    // No data; the length is the low four bits only.
    EXPECT_EQ(print_record({0, 5, 0, 0, 0, 0xFF, 0xE0, 0, 0, 0xF0}), "0000005 7FF 00 \n\n");
    EXPECT_EQ(print_record({1, 12, 0, 0, 0}), "0000012 ERROR 0 Message Error\n\n");
    // The error number shares the timestamp's top byte.
    EXPECT_EQ(print_record({2, 0x10, 0, 0, 3}), "50331664 ERROR 0 CAN Error: 3\n\n");
    EXPECT_EQ(print_record({1, 0xFF, 0xFF, 0xFF, 0xFF}), "-000001 ERROR 0 Message Error\n\n");
    EXPECT_EQ(print_record({7, 9, 0, 0, 0}), "0000009 unknown CAN record kind 7\n\n");
    // Fifteen data bytes fit the line.
    bytes full = {0, 0, 0, 0, 0, 0x24, 0x60, 0, 0, 15};
    for (uint8_t i = 0; i < 15; ++i)
        full.push_back(static_cast<uint8_t>(0xA0 + i));
    EXPECT_EQ(print_record(full), "0000000 123 15 A0A1A2A3A4A5A6A7A8A9AAABACADAE\n\n");
}

// A length code of 9 to 15 is legal on classic CAN; the frame still carries
// eight bytes. The log holds exactly those (a longer line would have run
// past the log writer's buffer).
TEST(CanTrace, LengthCodeAboveEightLogsEightBytes)
{
    const std::string log = testing::TempDir() + "can_dlc.log";
    std::remove(log.c_str());
    std::string cmd = "log " + log;
    CaptureStdout();
    ASSERT_EQ(process_cmd_can(cmd.data()), 0);
    GetCapturedStdout();
    for (const uint8_t dlc : {8, 9, 12, 15}) {
        bytes rec = {0, 0, 0, 0, 0, 0x24, 0x60, 0, 0, dlc};
        for (uint8_t i = 0; i < 15; ++i)
            rec.push_back(static_cast<uint8_t>(0xA0 + i));
        print_record(rec);
    }
    char off[] = "log off";
    CaptureStdout();
    process_cmd_can(off);
    GetCapturedStdout();
    FILE *f = std::fopen(log.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[256];
    int lines = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        ++lines;
        EXPECT_NE(std::strstr(line, " tarn0 123#A0A1A2A3A4A5A6A7\n"), nullptr) << line;
    }
    std::fclose(f);
    EXPECT_EQ(lines, 4);
}

// The frame of each record kind as the bridge sends it; the guest test sends
// the simulated box's records through a real kernel, these are the ones the
// box model never sends.
TEST(CanBridge, RecordToFrame)
{
    can_frame f;
    for (const uint8_t dlc : {9, 15}) {
        const bytes rec = {0, 0, 0, 0, 0, 0x24, 0x60, 0, 0, dlc, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        ASSERT_TRUE(can_record_to_frame(rec.data(), &f));
        EXPECT_EQ(f.can_id, 0x123u);
        EXPECT_EQ(f.len, 8);
        EXPECT_EQ(f.len8_dlc, dlc) << "the length code is kept beside the length";
        EXPECT_EQ(std::memcmp(f.data, rec.data() + 10, 8), 0);
    }
    // All 29 identifier bits, those the screen leaves out included.
    const bytes ext = {0, 0, 0, 0, 0, 0xFF, 0xEB, 0xFF, 0xFF, 0};
    ASSERT_TRUE(can_record_to_frame(ext.data(), &f));
    EXPECT_EQ(f.can_id, CAN_EFF_FLAG | 0x1FFFFFFFu);
    EXPECT_EQ(f.len, 0);
    EXPECT_EQ(f.len8_dlc, 0);
    const bytes unknown = {7, 0, 0, 0, 0};
    EXPECT_FALSE(can_record_to_frame(unknown.data(), &f));
}

// ---- MDIO test --------------------------------------------------------------------

TEST(MdioTest, WritesAlternateAndEndWithTheFirstValue)
{
    ModelBox model;
    fake_box box(model.responder());
    ASSERT_EQ(mdio_reg_write_test(0x18, 0x00, 0x200, 0x208, 4), 0);
    std::vector<unsigned> written;
    for (const auto &r : box.requests())
        if (r[1] == 0x01)
            written.push_back(r[4] | r[5] << 8);
    EXPECT_EQ(written, (std::vector<unsigned>{0x208, 0x200, 0x208, 0x200}));
    EXPECT_EQ(mdio_reg_read_test(0x18, 0x03, 0x5CC2, 0), 0);
}

TEST(MdioTest, EveryCaseFailsAndSoDoesTheCommand)
{
    // A box whose registers all read 0x0001 and that takes no write.
    fake_box box([](const bytes &r) {
        bytes a = {r[2], r[3], 0x01, 0x00};
        return std::vector<bytes>{ack_of(0xF1, r[1], a)};
    });
    CaptureStderr();
    EXPECT_EQ(mdio_test(), 6);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("mdio_reg_read_test read invalid value after 99 loops (0001 != 5CC2), phyad(18) regad(03)\n"
                       "mdio_reg_read_test(0x18, 0x03, 0x5CC2, 100) failed\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("mdio_reg_write_test read invalid value after 99 loops (0001 != 0208), phyad(19) regad(00)\n"
                       "mdio_reg_write_test(0x19, 0x00, 0x200, 0x208, 100) failed\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(box.requests().size(), 3u + 3u * 2u) << "each case ends on its first pass";

    char word[] = "MDio";
    CaptureStderr();
    EXPECT_EQ(process_cmd_test(word), -1);
    err = GetCapturedStderr();
    EXPECT_NE(err.find("(0x06, 0x22, 0x06, ~0x06, 100) failed\n"), std::string::npos) << err;

    box.clear_requests();
    // Other words are refused and run nothing.
    char m[] = "m", x[] = "x";
    CaptureStderr();
    EXPECT_EQ(process_cmd_test(m), -1);
    EXPECT_EQ(process_cmd_test(x), -1);
    EXPECT_EQ(process_cmd_test(nullptr), -1);
    GetCapturedStderr();
    EXPECT_TRUE(box.requests().empty());
}

} // namespace
