// Hex dumps, MAC text, binary digit strings and the numeric argument rule.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "debug.h"
#include "util.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

std::string seq_hex(unsigned from, unsigned n, const char *sep)
{
    std::string s;
    char b[8];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X%s", (from + i) & 0xFF, sep);
        s += b;
    }
    return s;
}

TEST(Dump, PrefixAndShortLine)
{
    const uint8_t d[] = {0xF0, 0x04, 0x00};
    CaptureStdout();
    dump_hex_pre("HDLC: ", d, 3, 80, " ");
    EXPECT_EQ(GetCapturedStdout(), "HDLC: F0 04 00 \n");

    CaptureStdout();
    dump_hex_pre("HDLC: ", d, 0, 80, " ");
    dump_hex(d, 0, 80, " ");
    EXPECT_EQ(GetCapturedStdout(), "HDLC: \n\n");

    CaptureStdout();
    dump_hex(d, 1, 1, "-"); // byte 0 is followed by the delimiter even at width 1
    EXPECT_EQ(GetCapturedStdout(), "F0-\n");
}

TEST(Dump, FullLinesEndWithALineEnd)
{
    uint8_t d[80];
    for (unsigned i = 0; i < 80; ++i)
        d[i] = static_cast<uint8_t>(i);
    CaptureStdout();
    dump_hex(d, 80, 80, " ");
    EXPECT_EQ(GetCapturedStdout(), seq_hex(0, 79, " ") + "4F\n\n");

    CaptureStdout();
    dump_hex(d, 5, 2, "-");
    EXPECT_EQ(GetCapturedStdout(), "00-01\n02-03\n04-\n");

    CaptureStdout();
    dump_hex(d, 5, 0, " "); // width 0: one line, no division by zero
    EXPECT_EQ(GetCapturedStdout(), "00 01 02 03 04 \n");
}

TEST(Dump, AddressColumnAndFillers)
{
    const uint8_t d4[] = {0xAA, 0xBB, 0xCC, 0xDD};
    CaptureStdout();
    dump_hex_offset("", d4, 4, 16, " ", 1, 0x105);
    EXPECT_EQ(GetCapturedStdout(), "100: .. .. .. .. .. AA BB CC DD \n");

    uint8_t d[20];
    for (unsigned i = 0; i < 20; ++i)
        d[i] = static_cast<uint8_t>(i);
    CaptureStdout();
    dump_hex_offset("", d, 20, 16, " ", 1, 0x100);
    EXPECT_EQ(GetCapturedStdout(), "100: " + seq_hex(0, 15, " ") + "0F\n110: 10 11 12 13 \n");

    CaptureStdout();
    dump_hex_offset("", d, 16, 16, " ", 1, 0);
    EXPECT_EQ(GetCapturedStdout(), "00: " + seq_hex(0, 15, " ") + "0F\n\n");

    CaptureStdout();
    dump_hex_offset("", d, 16, 16, " ", 1, 0x7F0);
    EXPECT_EQ(GetCapturedStdout(), "7F0: " + seq_hex(0, 15, " ") + "0F\n\n");

    // No address column: fillers still stand before the first value.
    CaptureStdout();
    dump_hex_offset(nullptr, d4, 2, 16, " ", 0, 3);
    EXPECT_EQ(GetCapturedStdout(), ".. .. .. AA BB \n");
}

TEST(MacText, BothDirections)
{
    const uint8_t mac[6] = {0x05, 0x04, 0x03, 0x02, 0x01, 0x80};
    char s[18];
    mactostr(mac, s, sizeof s);
    EXPECT_STREQ(s, "80:01:02:03:04:05");
    char shortbuf[9];
    std::memset(shortbuf, 'x', sizeof shortbuf);
    mactostr(mac, shortbuf, sizeof shortbuf);
    EXPECT_STREQ(shortbuf, "80:01:02"); // cut and still terminated

    uint8_t m[6];
    strtomac("80:01:02:03:04:05", 17, m);
    EXPECT_EQ(0, std::memcmp(m, mac, 6));
    strtomac("80:01:02:03:04", 14, m);
    const uint8_t five[6] = {0x00, 0x04, 0x03, 0x02, 0x01, 0x80};
    EXPECT_EQ(0, std::memcmp(m, five, 6));
    strtomac("1ff:2", 5, m);
    const uint8_t wide[6] = {0, 0, 0, 0, 0x02, 0xFF};
    EXPECT_EQ(0, std::memcmp(m, wide, 6));
    strtomac("", 0, m);
    const uint8_t zero[6] = {};
    EXPECT_EQ(0, std::memcmp(m, zero, 6));
}

TEST(BinaryString, DigitsAndGroups)
{
    char s[40];
    EXPECT_EQ(ultobinstr(9, s, 4, nullptr), 4);
    EXPECT_STREQ(s, "1001");
    EXPECT_EQ(ultobinstr(0xA5, s, 8, " "), 9);
    EXPECT_STREQ(s, "1010 0101");
    EXPECT_EQ(ultobinstr(0x155, s, 9, " "), 10);
    EXPECT_STREQ(s, "10101 0101");
    EXPECT_EQ(ultobinstr(0xF, s, 4, nullptr), 4);
    EXPECT_STREQ(s, "1111");
    EXPECT_EQ(ultobinstr(0xFFFFFFFF, s, 32, " "), 39);
    EXPECT_EQ(std::strlen(s), 39u);
    EXPECT_EQ(ultobinstr(5, s, 0, " "), 0);
    EXPECT_STREQ(s, "");

    std::strcpy(s, "keep");
    errno = 0;
    EXPECT_EQ(ultobinstr(1, s, 33, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(s, "keep");
}

TEST(NumericRule, BasesAndWidths)
{
    uint64_t v = 0;
    EXPECT_EQ(arg_to_num("42", 0, 32, num_reject::both, &v), 0);
    EXPECT_EQ(v, 42u);
    EXPECT_EQ(arg_to_num("0x1F", 0, 32, num_reject::both, &v), 0);
    EXPECT_EQ(v, 0x1Fu);
    EXPECT_EQ(arg_to_num("010", 0, 32, num_reject::both, &v), 0);
    EXPECT_EQ(v, 8u);
    EXPECT_EQ(arg_to_num("  101", 2, 8, num_reject::both, &v), 0);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(arg_to_num("-1", 0, 64, num_reject::both, &v), 0);
    EXPECT_EQ(v, ~0ull);

    uint8_t u8 = 0;
    EXPECT_EQ(arg_to_num("0x1FF", &u8), 0); // truncated to the field
    EXPECT_EQ(u8, 0xFF);
    uint16_t u16 = 0;
    EXPECT_EQ(arg_to_num("0x12345", &u16), 0);
    EXPECT_EQ(u16, 0x2345);

    // Conversion stops at the first non-digit; the rest is the caller's.
    const char *end = nullptr;
    uint32_t u32 = 0;
    EXPECT_EQ(arg_to_num("3-7", &u32, 0, num_reject::both, &end), 0);
    EXPECT_EQ(u32, 3u);
    EXPECT_STREQ(end, "-7");
}

TEST(NumericRule, Failures)
{
    uint64_t v = 99;
    errno = 0;
    EXPECT_EQ(arg_to_num("zz", 0, 32, num_reject::both, &v), EINVAL);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(v, 99u); // untouched on a rejected failure
    EXPECT_EQ(arg_to_num(nullptr, 0, 32, num_reject::both, &v), EINVAL);
    EXPECT_EQ(arg_to_num("2", 2, 32, num_reject::both, &v), EINVAL); // no binary digit

    errno = 0;
    EXPECT_EQ(arg_to_num("99999999999999999999999", 0, 32, num_reject::both, &v), ERANGE);
    EXPECT_EQ(errno, ERANGE);

    // Failures a handler does not reject go on with 0 / all ones.
    EXPECT_EQ(arg_to_num("99999999999999999999999", 0, 16, num_reject::no_number, &v), 0);
    EXPECT_EQ(v, 0xFFFFu);
    EXPECT_EQ(arg_to_num("x", 0, 16, num_reject::none, &v), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(arg_to_num("x", 0, 16, num_reject::no_number, &v), EINVAL);

    // The error indicator is judged on this conversion alone.
    errno = ERANGE;
    EXPECT_EQ(arg_to_num("7", 0, 8, num_reject::both, &v), 0);
    EXPECT_EQ(v, 7u);

    // The handler's system-error style message.
    CaptureStderr();
    arg_to_num("?", 0, 8, num_reject::both, &v);
    std::perror("invalid value");
    EXPECT_EQ(GetCapturedStderr(), std::string("invalid value: ") + std::strerror(EINVAL) + "\n");
}

} // namespace
