// Text conversions: MAC address text, binary digit strings and the
// numeric argument rule of the command handlers. No state.
#include "util.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

void mactostr(const uint8_t *mac, char *mac_str, int mac_str_len)
{
    if (mac == nullptr || mac_str == nullptr || mac_str_len <= 0)
        return;
    std::snprintf(mac_str, static_cast<size_t>(mac_str_len), "%02x:%02x:%02x:%02x:%02x:%02x", mac[5], mac[4],
                  mac[3], mac[2], mac[1], mac[0]);
}

void strtomac(const char *mac_str, int /*mac_str_len*/, uint8_t *mac)
{
    if (mac == nullptr)
        return;
    unsigned int w[6] = {0, 0, 0, 0, 0, 0};
    if (mac_str != nullptr)
        std::sscanf(mac_str, "%x:%x:%x:%x:%x:%x", &w[5], &w[4], &w[3], &w[2], &w[1], &w[0]);
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<uint8_t>(w[i] & 0xFF);
}

int ultobinstr(uint32_t value, char *binStr, int len, const char *delim)
{
    if (len > 32) {
        errno = EINVAL;
        return -1;
    }
    if (binStr == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const bool use_delim = delim != nullptr && delim[0] != '\0';
    int n = 0;
    for (int i = len - 1; i >= 0; --i) {
        binStr[n++] = ((value >> i) & 1u) ? '1' : '0';
        if (use_delim && i > 0 && i < len - 1 && i % 4 == 0)
            binStr[n++] = delim[0];
    }
    binStr[n] = '\0';
    return n;
}

int arg_to_num(const char *token, int base, unsigned width, num_reject reject, uint64_t *value, const char **end)
{
    uint64_t v = 0;
    int failure = 0;
    const char *stop = token;
    if (token == nullptr) {
        failure = EINVAL;
    } else {
        char *e = nullptr;
        errno = 0;
        unsigned long long r = std::strtoull(token, &e, base);
        stop = e;
        if (e == token) {
            failure = EINVAL; // no digit where the number must start
            v = 0;
        } else if (errno == ERANGE) {
            failure = ERANGE;
            v = ~static_cast<uint64_t>(0);
        } else if (errno != 0) {
            failure = EINVAL; // an unsupported base
            v = 0;
        } else {
            v = static_cast<uint64_t>(r);
        }
    }
    if (end != nullptr)
        *end = stop;

    const bool rejected = (failure == EINVAL && reject != num_reject::none) ||
                          (failure == ERANGE && reject == num_reject::both);
    if (rejected) {
        errno = failure;
        return failure;
    }
    if (width < 64)
        v &= (static_cast<uint64_t>(1) << width) - 1;
    if (value != nullptr)
        *value = v;
    return 0;
}
