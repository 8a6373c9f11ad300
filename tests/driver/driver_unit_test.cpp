// Known answers for the parts of the driver that need no device: baud
// divisors, the converter classification, the configuration file parse and
// the identifier table.
#include "baud.h"
#include "config.h"
#include "idtable.h"
#include "usbserial-private.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace {

struct Divisor {
    int status;
    uint16_t word;
    uint16_t ext;
};

Divisor lo(uint32_t baud)
{
    Divisor d{};
    d.status = Baud_getDivisor(baud, &d.word, &d.ext);
    return d;
}

Divisor hi(uint32_t baud)
{
    Divisor d{};
    d.status = Baud_getDivisorHi(baud, &d.word, &d.ext);
    return d;
}

// The chip's own reading of a divisor, written independently of the driver:
// base / (n + eighths / 8), the eighths selected by the two word bits and
// the extension bit.
double chipRate(double base, uint16_t word, uint16_t ext, bool highClock)
{
    if (word == 0)
        return base;
    if (highClock && word == 1)
        return 8000000.0;
    static const int plain[4] = {0, 4, 2, 1};
    static const int extended[4] = {3, 5, 6, 7};
    int f = (word >> 14) & 3;
    int eighths = (ext & 1) ? extended[f] : plain[f];
    return base * 8.0 / (8.0 * (word & 0x3FFF) + eighths);
}

TEST(Baud, KnownDivisors)
{
    auto check = [](Divisor d, int status, uint16_t word, uint16_t ext) {
        EXPECT_EQ(d.status, status);
        EXPECT_EQ(d.word, word);
        EXPECT_EQ(d.ext, ext);
    };
    check(lo(250000), 1, 0x000C, 0);
    check(lo(2000000), 1, 0x4001, 0);
    check(lo(3000000), 1, 0x0000, 0);
    check(lo(1000000), 1, 0x0003, 0);
    check(lo(184), 1, 0x3FB0, 1);
    EXPECT_EQ(calcBaudRate(0x3FB0, 1), 183u);
    EXPECT_EQ(lo(183).status, -1);
    EXPECT_EQ(lo(0).status, -1);
    EXPECT_EQ(lo(2500000).status, 0); // 2400000, 4 % off
    EXPECT_EQ(lo(2900000).status, 0); // 3000000, 3.4 % off

    check(hi(12000000), 1, 0, 2);
    check(hi(8000000), 1, 1, 2);
    check(hi(6000000), 1, 2, 2);
    check(hi(3000000), 1, 4, 2);
}

TEST(Baud, RatesFarAboveTheClockAreRefused)
{
    // baud * 100 no longer fits 32 bits here; the check must not wrap.
    EXPECT_EQ(lo(50000000).status, 0);
    EXPECT_EQ(hi(50000000).status, 0);
    EXPECT_EQ(lo(4000000000u).status, 0);
    EXPECT_EQ(hi(4294967295u).status, 0);
}

TEST(Baud, StandardTable)
{
    uint16_t w = 0;
    ASSERT_TRUE(Baud_standard(230400, &w));
    EXPECT_EQ(w, 0x000D);
    ASSERT_TRUE(Baud_standard(9600, &w));
    EXPECT_EQ(w, 0x4138);
    ASSERT_TRUE(Baud_standard(921600, &w));
    EXPECT_EQ(w, 0x8003);
    EXPECT_FALSE(Baud_standard(250000, &w));
    // Every table word is what the computation would pick, within 3 %.
    for (uint32_t b : {300u, 600u, 1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u, 230400u,
                       460800u, 921600u}) {
        ASSERT_TRUE(Baud_standard(b, &w));
        EXPECT_NEAR(chipRate(3000000.0, w, 0, false) / b, 1.0, 0.03) << b;
    }
}

// Every rate the driver accepts runs within 3 % on the chip; every rate it
// refuses would not; and the sweep meets all eight fraction codes.
TEST(Baud, SweepWithinThreePercent)
{
    std::set<int> codes;
    for (uint32_t baud = 184; baud <= 3000000; baud += (baud < 20000 ? 1 : baud / 2000)) {
        Divisor d = lo(baud);
        ASSERT_NE(d.status, -1) << baud;
        double rate = chipRate(3000000.0, d.word, d.ext, false);
        double off = std::max(rate, double(baud)) / std::min(rate, double(baud)) - 1.0;
        if (d.status == 1) {
            EXPECT_LE(off, 0.0300001) << baud;
            codes.insert(((d.word >> 14) & 3) | (d.ext & 1) << 2);
        } else {
            EXPECT_GT(off, 0.0295) << baud;
        }
    }
    EXPECT_EQ(codes.size(), 8u);
}

TEST(Baud, HighClockSweep)
{
    for (uint32_t baud = 1200; baud <= 12000000; baud += baud / 500 + 1) {
        Divisor d = hi(baud);
        ASSERT_NE(d.status, -1) << baud;
        EXPECT_EQ(d.ext & 2, 2) << baud;
        if (d.status != 1)
            continue;
        double rate = chipRate(12000000.0, d.word, d.ext, true);
        double off = std::max(rate, double(baud)) / std::min(rate, double(baud)) - 1.0;
        EXPECT_LE(off, 0.0300001) << baud;
    }
}

TEST(Classify, TableRows)
{
    DeviceClass c = ClassifyDevice(0x0600, true);
    EXPECT_EQ(c.type, 5u);
    EXPECT_EQ(c.slots, 1);
    EXPECT_TRUE(c.fractional);
    EXPECT_FALSE(c.multiChannel);

    c = ClassifyDevice(0x0200, false);
    EXPECT_EQ(c.type, 0u);
    EXPECT_TRUE(c.fractional);
    c = ClassifyDevice(0x0200, true);
    EXPECT_EQ(c.type, 1u);
    EXPECT_FALSE(c.fractional);

    c = ClassifyDevice(0x0700, true);
    EXPECT_EQ(c.type, 6u);
    EXPECT_EQ(c.slots, 2);
    EXPECT_TRUE(c.multiChannel && c.highClock && c.shiftedIndex);
    EXPECT_FALSE(c.zeroLength);

    c = ClassifyDevice(0x1700, true);
    EXPECT_EQ(c.type, 12u);
    EXPECT_TRUE(c.highClock && c.zeroLength && c.vendorCmd);
    EXPECT_FALSE(c.shiftedIndex);

    c = ClassifyDevice(0x1900, true);
    EXPECT_EQ(c.type, 11u);
    EXPECT_EQ(c.slots, 4);

    c = ClassifyDevice(0x1500, true);
    EXPECT_EQ(c.type, 3u);
    EXPECT_EQ(c.slots, 0);
    EXPECT_TRUE(c.multiChannel && c.zeroLength);

    // An unknown release can do nothing; a known high byte with other low
    // bits keeps its abilities but reports type 3.
    c = ClassifyDevice(0x3000, true);
    EXPECT_EQ(c.type, 3u);
    EXPECT_FALSE(c.fractional);
    c = ClassifyDevice(0x0601, true);
    EXPECT_EQ(c.type, 3u);
    EXPECT_TRUE(c.fractional);
    EXPECT_EQ(c.slots, 1);
}

uint32_t parse(const std::string &text, const ConfigMatch &m, bool *applied = nullptr)
{
    uint32_t flags = 0;
    bool a = ParseConfigText(text, m, &flags);
    if (applied)
        *applied = a;
    return flags;
}

TEST(Config, SectionsAndPrecedence)
{
    const ConfigMatch dev{0x0403, 0x6001, "CV000001"};
    const ConfigMatch other{0x0403, 0x7F80, "XY"};
    EXPECT_EQ(parse("[Globals]\nConfigFlags=0x40000000\n", dev), 0x40000000u);
    EXPECT_EQ(parse("[VID_0403&PID_6001]\nConfigFlags=0x40000000\n", dev), 0x40000000u);
    EXPECT_EQ(parse("[VID_0403&PID_6001]\nConfigFlags=0x40000000\n", other), 0u);
    EXPECT_EQ(parse("[CV000001]\nConfigFlags=0x5\n", dev), 5u);

    // Read to the end; the most specific matching section wins wherever it
    // stands.
    const std::string all = "[Globals]\nConfigFlags=0x1\n"
                            "[VID_0403&PID_6001]\nConfigFlags=0x2\n"
                            "[CV000001]\nConfigFlags=0x3\n";
    EXPECT_EQ(parse(all, dev), 3u);
    EXPECT_EQ(parse(all, other), 1u);
    EXPECT_EQ(parse("[CV000001]\nConfigFlags=0x3\n[Globals]\nConfigFlags=0x1\n", dev), 3u);
    EXPECT_EQ(parse("[VID_0403&PID_6001]\nConfigFlags=0x2\n[Globals]\nConfigFlags=0x1\n", dev), 2u);

    // A channel of a two-channel chip is named with a blank and its letter.
    EXPECT_EQ(parse("[CV000001 A]\nConfigFlags=0x40000000\n", ConfigMatch{0x0403, 0x6010, "CV000001 A"}),
              0x40000000u);
    EXPECT_EQ(parse("[CV000001]\nConfigFlags=0x40000000\n", ConfigMatch{0x0403, 0x6010, "CV000001 A"}), 0u);
}

TEST(Config, WhereTheParseEnds)
{
    const ConfigMatch dev{0x0403, 0x6001, "CV000001"};
    bool applied = true;
    // A header with a carriage return is no section: nothing after it counts.
    EXPECT_EQ(parse("[Globals]\r\nConfigFlags=0x1\n", dev, &applied), 0u);
    EXPECT_FALSE(applied);
    // ... whatever kind of section it would have been.
    const std::pair<const char *, uint32_t> crlf[] = {
        {"[VID_0403&PID_6001]\r\nConfigFlags=0x1\r\n", 0},
        {"[CV000001]\r\nConfigFlags=0x1\r\n", 0},
        {"[Globals]\nConfigFlags=0x2\n[VID_0403&PID_6001]\r\nConfigFlags=0x1\r\n", 2},
    };
    for (const auto &[text, want] : crlf)
        EXPECT_EQ(parse(text, dev), want) << text;
    // An empty line ends the file as far as the parse goes.
    EXPECT_EQ(parse("\n[Globals]\nConfigFlags=0x1\n", dev), 0u);
    EXPECT_EQ(parse("[Globals]\nConfigFlags=0x1\n\n[CV000001]\nConfigFlags=0x3\n", dev), 1u);
    // A value that cannot be read leaves its section without effect; the
    // parse goes on with the next one.
    EXPECT_EQ(parse("[CV000001]\nConfigFlags=zz\n[Globals]\nConfigFlags=0x1\n", dev), 1u);
    // A section whose second line is not ConfigFlags ends the parse.
    EXPECT_EQ(parse("[Globals]\nOther=1\n[CV000001]\nConfigFlags=0x3\n", dev), 0u);
    // No final line feed is fine.
    EXPECT_EQ(parse("[Globals]\nConfigFlags=0x7", dev), 7u);
    // Overlong lines are cut, not overrun.
    EXPECT_EQ(parse("[" + std::string(1000, 'x') + "]\nConfigFlags=0x1\n", dev), 0u);
}

TEST(Config, SectionTypes)
{
    EXPECT_EQ(GetSectionType("[Globals]"), kSectionGlobals);
    EXPECT_EQ(GetSectionType("[VID_0403&PID_6001]"), kSectionVidPid);
    EXPECT_EQ(GetSectionType("[ABC]"), kSectionSerial);
    EXPECT_EQ(GetSectionType("ABC"), kSectionNone);
    EXPECT_EQ(GetSectionType("[ABC"), kSectionNone);
    EXPECT_EQ(GetSectionType("[VID_0403&PID_6001]\r"), kSectionNone);
    EXPECT_EQ(GetSectionType("[VID_0403&PID_6001"), kSectionNone);
}

TEST(IdTable, GrowsKeepsOrderAndIgnoresDuplicates)
{
    IdTable *t = IdTable_create(2);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(IdTable_addDefaults(t), 0);
    EXPECT_EQ(t->count, 16u);
    EXPECT_GE(t->capacity, 16u);
    EXPECT_EQ(t->ids[0], 0x04036001u);
    EXPECT_EQ(t->ids[15], 0x15D60001u);
    EXPECT_EQ(IdTable_add(t, 0x04036001), 0);
    EXPECT_EQ(t->count, 16u);
    EXPECT_EQ(IdTable_add(t, 0x04037F80), 0);
    EXPECT_EQ(t->ids[t->count - 1], 0x04037F80u);
    EXPECT_TRUE(IdTable_contains(t, 0x08AC1025));
    EXPECT_FALSE(IdTable_contains(t, 0x04036002));
    IdTable_destroy(t);
}

TEST(Interface, VersionAndVidPid)
{
    DWORD v = 0;
    ASSERT_EQ(FT_GetLibraryVersion(&v), FT_OK);
    EXPECT_EQ(v, 0x00010408u);
    DWORD vid = 0, pid = 0;
    EXPECT_EQ(FT_GetVIDPID(nullptr, &pid), FT_INVALID_PARAMETER);
    ASSERT_EQ(FT_SetVIDPID(0x0403, 0x7F80), FT_OK);
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), FT_OK);
    EXPECT_EQ(vid, 0x0403u);
    EXPECT_EQ(pid, 0x7F80u);
    // Nothing new: the last added key stays.
    EXPECT_EQ(FT_SetVIDPID(0, 0), FT_OK);
    EXPECT_EQ(FT_SetVIDPID(0x0403, 0x6001), FT_OK);
    ASSERT_EQ(FT_GetVIDPID(&vid, &pid), FT_OK);
    EXPECT_EQ(pid, 0x7F80u);
    int dummy = 0;
    EXPECT_EQ(FT_Close(&dummy), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Close(nullptr), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Rescan(), FT_NOT_SUPPORTED);
}

} // namespace
