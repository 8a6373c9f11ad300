// Divisor arithmetic. The chip divides its base clock by n + fraction, the
// fraction coming in eighths selected by two bits of the divisor word and one
// bit of the extension. The rate check is done in 64-bit arithmetic: a
// request above 42.9 Mbaud would otherwise overflow baud * 100 and could
// pass the 3 % rule with a wrapped deviation.
#include "baud.h"

#include <algorithm>

namespace {

constexpr uint32_t kBase = 3000000;
constexpr uint32_t kBaseHi = 12000000;

// Fraction selection from the remainder in whole percent; shared by both
// bases. Returns 0 when the remainder is too close to the next integer.
int pickFraction(uint32_t r, uint16_t *word, uint16_t *ext)
{
    struct Step {
        uint32_t upTo;
        uint16_t f;
        uint16_t e;
    };
    static const Step steps[] = {
        {6, 0x0000, 0}, {18, 0xC000, 0}, {31, 0x8000, 0}, {43, 0x0000, 1},
        {56, 0x4000, 0}, {68, 0x4000, 1}, {81, 0x8000, 1}, {93, 0xC000, 1},
    };
    for (const Step &s : steps) {
        if (r <= s.upTo) {
            *word |= s.f;
            *ext |= s.e;
            return 1;
        }
    }
    return 0;
}

int calcCommon(uint32_t base, uint16_t extStart, uint32_t baud, uint16_t *divisor, uint16_t *extension)
{
    if (baud == 0)
        return -1;
    uint32_t q = base / baud;
    if (q >= 16384)
        return -1;
    uint16_t word = static_cast<uint16_t>(q);
    uint16_t ext = extStart;
    uint32_t r = static_cast<uint32_t>(static_cast<uint64_t>(base % baud) * 100 / baud);
    if (q == 1 && r <= 3)
        word = 0;
    if (word == 0) {
        *divisor = 0;
        *extension = ext;
        return 1;
    }
    int status = pickFraction(r, &word, &ext);
    *divisor = word;
    *extension = ext;
    return status;
}

// Hundredths added to the integer divisor for fraction code f and bit e.
uint32_t fractionHundredths(uint16_t word, uint16_t e)
{
    static const uint32_t plain[4] = {0, 50, 25, 12};
    static const uint32_t ext[4] = {37, 62, 75, 87};
    unsigned f = (word >> 14) & 3;
    return e ? ext[f] : plain[f];
}

// The rate the chip really runs at, in exact eighths. calcBaudRate works in
// hundredths (12 for 1/8, 37 for 3/8, ...), which is close enough to show a
// rate but not to judge the 3 % rule: near the top of the range it let
// through divisors 3.3 % off and refused some within 2.9 %.
uint32_t exactRate(uint32_t base, bool highClock, uint16_t word, uint16_t ext)
{
    if (word == 0)
        return base;
    if (highClock && word == 1)
        return 8000000;
    static const uint32_t plain[4] = {0, 4, 2, 1};
    static const uint32_t extended[4] = {3, 5, 6, 7};
    unsigned f = (word >> 14) & 3;
    uint64_t eighths = 8ull * (word & 0x3FFFu) + ((ext & 1) ? extended[f] : plain[f]);
    return eighths ? static_cast<uint32_t>(8ull * base / eighths) : base;
}

using CalcFn = int (*)(uint32_t, uint16_t *, uint16_t *);

int getDivisorCommon(CalcFn calc, uint32_t base, bool highClock, uint32_t baud, uint16_t *divisor, uint16_t *extension,
                     uint32_t *actualOut, uint16_t *percentOut, int *directionOut)
{
    if (!divisor || !extension)
        return 0;
    int status = calc(baud, divisor, extension);
    if (status == -1)
        return -1;
    if (status == 0)
        *divisor = static_cast<uint16_t>((*divisor & 0x3FFF) + 1);
    uint64_t actual = exactRate(base, highClock, *divisor, *extension);
    uint64_t b = baud;
    uint64_t p, m;
    int direction;
    if (actual < b) {
        p = b * 100 / actual - 100;
        m = ((b % actual) * 100) % actual;
        direction = 0;
    } else {
        p = actual * 100 / b - 100;
        m = ((actual % b) * 100) % b;
        direction = 1;
    }
    if (actualOut)
        *actualOut = static_cast<uint32_t>(actual);
    if (percentOut)
        *percentOut = static_cast<uint16_t>(std::min<uint64_t>(p, 0xFFFF));
    if (directionOut)
        *directionOut = direction;
    return (p <= 2 || (p == 3 && m == 0)) ? 1 : 0;
}

} // namespace

int calcDivisor(uint32_t baud, uint16_t *divisor, uint16_t *extension)
{
    return calcCommon(kBase, 0, baud, divisor, extension);
}

int calcDivisorHi(uint32_t baud, uint16_t *divisor, uint16_t *extension)
{
    // The two top rates have words of their own on the 12 MHz path.
    if (baud >= 11640000 && baud <= 12360000) {
        *divisor = 0;
        *extension = 2;
        return 1;
    }
    if (baud >= 7760000 && baud <= 8240000) {
        *divisor = 1;
        *extension = 2;
        return 1;
    }
    return calcCommon(kBaseHi, 2, baud, divisor, extension);
}

uint32_t calcBaudRate(uint16_t divisor, uint16_t extension)
{
    if (divisor == 0)
        return kBase;
    uint32_t d = (divisor & 0x3FFFu) * 100 + fractionHundredths(divisor, extension != 0);
    return d ? 300000000u / d : kBase;
}

uint32_t calcBaudRateHi(uint16_t divisor, uint16_t extension)
{
    if (divisor == 0)
        return kBaseHi;
    if (divisor == 1)
        return 8000000;
    uint32_t d = (divisor & 0x3FFFu) * 100 + fractionHundredths(divisor, extension & 1);
    return d ? 1200000000u / d : kBaseHi;
}

int Baud_getDivisor(uint32_t baud, uint16_t *divisor, uint16_t *extension, uint32_t *actual, uint16_t *percent,
                    int *direction)
{
    return getDivisorCommon(calcDivisor, kBase, false, baud, divisor, extension, actual, percent, direction);
}

int Baud_getDivisorHi(uint32_t baud, uint16_t *divisor, uint16_t *extension, uint32_t *actual, uint16_t *percent,
                      int *direction)
{
    return getDivisorCommon(calcDivisorHi, kBaseHi, true, baud, divisor, extension, actual, percent, direction);
}

bool Baud_standard(uint32_t baud, uint16_t *divisor)
{
    static const struct {
        uint32_t baud;
        uint16_t word;
    } table[] = {
        {300, 0x2710},   {600, 0x1388},   {1200, 0x09C4},   {2400, 0x04E2},   {4800, 0x0271},
        {9600, 0x4138},  {19200, 0x809C}, {38400, 0xC04E},  {57600, 0x0034},  {115200, 0x001A},
        {230400, 0x000D}, {460800, 0x4006}, {921600, 0x8003},
    };
    for (const auto &e : table) {
        if (e.baud == baud) {
            *divisor = e.word;
            return true;
        }
    }
    return false;
}
