// The strict reading of numeric arguments, shared by every command.
#include "args.h"
#include "out.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <string>

namespace {

std::string binary(uint64_t v)
{
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + (v & 1)));
        v >>= 1;
    } while (v != 0);
    return s;
}

} // namespace

int field_num(const char *token, int base, uint64_t min, uint64_t max, uint64_t *value, const char **end)
{
    if (token == nullptr)
        return EINVAL;
    // strtoull would take blanks and a sign (a minus wrapping round to a
    // huge value); neither belongs in a field value.
    const bool digit_first = base == 2 ? (token[0] == '0' || token[0] == '1') : isdigit((unsigned char)token[0]);
    if (!digit_first)
        return EINVAL;
    // "0x" with no hexadecimal digit after it is no number, although
    // strtoull reads its 0.
    if (base == 0 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X') && !isxdigit((unsigned char)token[2]))
        return EINVAL;
    char *stop = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(token, &stop, base);
    if (errno == ERANGE)
        return ERANGE;
    if (errno != 0 || stop == token)
        return EINVAL;
    if (end != nullptr)
        *end = stop;
    else if (*stop != '\0')
        return EINVAL;
    if (v < min || v > max)
        return ERANGE;
    *value = v;
    return 0;
}

std::atomic<int> cmd_interruptible{0};
std::atomic<int> cmd_interrupted{0};

bool cmd_stop_requested()
{
    if (cmd_interrupted.load() == 0)
        return false;
    fflush(stdout);
    out_err("interrupted\n");
    fflush(stderr);
    return true;
}

bool field_arg(const char *what, const char *token, int base, uint64_t min, uint64_t max, uint64_t *value,
               const char **end)
{
    const int rc = field_num(token, base, min, max, value, end);
    if (rc == 0)
        return true;
    fflush(stdout);
    if (token == nullptr)
        out_err("%s: missing\n", what);
    else if (rc == EINVAL)
        out_err("%s %s: not a number\n", what, token);
    else if (base == 2)
        out_err("%s %s: out of range (%s to %s)\n", what, token, binary(min).c_str(), binary(max).c_str());
    else if (max > 9)
        out_err("%s %s: out of range (0x%llx to 0x%llx)\n", what, token, (unsigned long long)min,
                (unsigned long long)max);
    else
        out_err("%s %s: out of range (%llu to %llu)\n", what, token, (unsigned long long)min,
                (unsigned long long)max);
    fflush(stderr);
    return false;
}
