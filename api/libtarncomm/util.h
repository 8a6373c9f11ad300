// Text conversions shared by the console commands: MAC address text <-> the
// six bytes as the switch keeps them (reversed), binary digit strings, and the
// one numeric argument rule every command handler reads numbers with.
#ifndef TARNCOMM_UTIL_H
#define TARNCOMM_UTIL_H

#include <type_traits>

#include "common.h"

// MAC bytes -> "aa:bb:cc:dd:ee:ff", mac[5] first; at most mac_str_len bytes
// including the terminating zero (cut, still terminated, when shorter than 18).
void mactostr(const uint8_t *mac, char *mac_str, int mac_str_len);

// "80:01:02:03:04:05" -> mac = {05, 04, 03, 02, 01, 80}. Scans "%x:%x:..." up to
// six fields; missing fields are 0, values keep their low 8 bits; never fails.
// mac_str_len is not consulted (kept for the interface).
void strtomac(const char *mac_str, int mac_str_len, uint8_t *mac);

// The low len bits of value as '0'/'1', most significant first, with the first
// character of delim (if not null or empty) after the digit of each position
// i with 0 < i < len - 1 and i % 4 == 0; zero-terminated. Returns the number
// of characters written, or -1 with errno = EINVAL when len > 32 (binStr
// untouched). len <= 0 gives "" and 0. binStr needs 40 bytes for len 32.
int ultobinstr(uint32_t value, char *binStr, int len, const char *delim);

// ---- Numeric argument conversion -----------------------------------------
//
// The rule: strtoull on one token, in base 0 (0x.. hex, 0.. octal, decimal)
// unless the handler names base 2; leading white space and a sign accepted, a
// minus sign negates modulo 2^64; conversion stops at the first character that
// is not a digit of the base. Two failures, judged on this conversion alone:
//   no number  - no digit where the number must start (value 0)
//   overflow   - does not fit in 64 bits (value all ones)
// A handler rejects both, or only "no number"; a failure it does not reject
// goes on with 0 or all ones. The accepted value is truncated to the width of
// the field it is stored in.

enum class num_reject {
    both,      // reject "no number" and "overflow"
    no_number, // reject only "no number"; overflow goes on with all ones
    none,      // reject nothing; failures go on with 0 / all ones
};

// Converts token by the rule.
//   token   text of one token; null is "no number"
//   base    0 (the default rule) or 2 (or any base strtoull accepts)
//   width   8, 16, 32 or 64: bits the value is truncated to
//   reject  which failures end the conversion with an error
//   value   out: the (truncated) value; written whenever the result is 0
//   end     out, optional: where the conversion stopped (for range ends)
// Result: 0 when the value is accepted; EINVAL ("no number") or ERANGE
// ("overflow") when that failure is rejected, with errno set to the same code,
// so the handler can report it with perror("invalid value") and get
// "invalid value: Invalid argument" / "...: Numerical result out of range".
// *value is left alone on a rejected failure.
int arg_to_num(const char *token, int base, unsigned width, num_reject reject, uint64_t *value,
               const char **end = nullptr);

// Typed form: the width comes from the destination, e.g.
//   uint8_t reg; if (arg_to_num(tok, &reg) != 0) { perror("invalid value"); return -1; }
template <class T>
int arg_to_num(const char *token, T *out, int base = 0, num_reject reject = num_reject::both,
               const char **end = nullptr)
{
    static_assert(std::is_integral_v<T> && std::is_unsigned_v<T> && sizeof(T) <= 8,
                  "arg_to_num stores into an unsigned integer field");
    uint64_t v = 0;
    int rc = arg_to_num(token, base, static_cast<unsigned>(sizeof(T) * 8), reject, &v, end);
    if (rc == 0 && out != nullptr)
        *out = static_cast<T>(v);
    return rc;
}

#endif
