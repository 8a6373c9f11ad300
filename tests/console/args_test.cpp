// The strict reading of numbers the commands write or address with: what is
// well formed is read as before, anything else is refused.
#include <gtest/gtest.h>

#include <cerrno>

#include "args.h"

namespace {

TEST(FieldNumbers, WellFormedAndMalformedWords)
{
    constexpr uint64_t all = UINT64_MAX;
    const struct {
        const char *token;
        int base;
        uint64_t max;
        int rc;
        uint64_t value;
    } cases[] = {
        // well formed: hexadecimal, decimal, octal, binary; the field's limits
        {"0x1800", 0, 0xFFFF, 0, 0x1800},
        {"0X1f", 0, 0xFF, 0, 0x1F},
        {"17", 0, 0xFF, 0, 17},
        {"021", 0, 0xFF, 0, 021},
        {"0", 0, 0, 0, 0},
        {"0xff", 0, 0xFF, 0, 0xFF},
        {"1001", 2, 0xF, 0, 9},
        {"18446744073709551615", 0, all, 0, all},
        // malformed: trailing text, no digits, signs, blanks, empty
        {"0xzz", 0, 0xFFFF, EINVAL, 0},
        {"12abc", 0, 0xFFFF, EINVAL, 0},
        {"0x", 0, 0xFF, EINVAL, 0},
        {"08", 0, 0xFF, EINVAL, 0},
        {"", 0, 0xFF, EINVAL, 0},
        {"-1", 0, all, EINVAL, 0},
        {"+1", 0, 0xFF, EINVAL, 0},
        {" 1", 0, 0xFF, EINVAL, 0},
        {"1 ", 0, 0xFF, EINVAL, 0},
        {"1002", 2, 0xF, EINVAL, 0},
        {"x1", 2, 0xF, EINVAL, 0},
        // out of the field's range, or beyond 64 bits
        {"0x100", 0, 0xFF, ERANGE, 0},
        {"0x10000", 0, 0xFFFF, ERANGE, 0},
        {"99999999999", 0, 0xFF, ERANGE, 0},
        {"18446744073709551616", 0, all, ERANGE, 0},
        {"10000", 2, 0xF, ERANGE, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.token);
        uint64_t v = 0xDEAD;
        EXPECT_EQ(field_num(c.token, c.base, 0, c.max, &v), c.rc);
        EXPECT_EQ(v, c.rc == 0 ? c.value : 0xDEAD);
    }
    uint64_t v = 0;
    EXPECT_EQ(field_num(nullptr, 0, 0, 1, &v), EINVAL);
    EXPECT_EQ(field_num("0", 0, 1, 4, &v), ERANGE); // below the field's first value
}

TEST(FieldNumbers, RangeEndIsLeftToTheCaller)
{
    uint64_t v = 0;
    const char *end = nullptr;
    EXPECT_EQ(field_num("7-10", 0, 0, 31, &v, &end), 0);
    EXPECT_EQ(v, 7u);
    EXPECT_STREQ(end, "-10");
}

TEST(FieldNumbers, RefusalNamesTheWordAndTheRange)
{
    const struct {
        const char *token;
        int base;
        uint64_t min, max;
        const char *err;
    } cases[] = {
        {"0xzz", 0, 0, 0xFFFF, "invalid register value 0xzz: not a number\n"},
        {"0x10000", 0, 0, 0xFFFF, "invalid register value 0x10000: out of range (0x0 to 0xffff)\n"},
        {"9", 0, 1, 4, "invalid register value 9: out of range (1 to 4)\n"},
        {"100000", 2, 0, 0x1F, "invalid register value 100000: out of range (0 to 11111)\n"},
        {nullptr, 0, 0, 1, "invalid register value: missing\n"},
    };
    for (const auto &c : cases) {
        uint64_t v = 0;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(field_arg("invalid register value", c.token, c.base, c.min, c.max, &v));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    }
}

} // namespace
