// The command handlers of the box's basic functions: link test,
// identification, registers, power, wake-up line, EEPROM, stored
// configuration, remote echo and raw frames. They keep no state; every
// number is read strictly, within its field (field_arg).
#include "console_functions.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <strings.h>

#include "args.h"
#include "commands.h"
#include "debug.h"
#include "e2p.h"
#include "eepromcfg.h"
#include "hdlc.h"
#include "periphery.h"
#include "remote_func.h"
#include "util.h"

namespace {

// The EEPROM is addressed with 16 bits; a number beyond that would be cut to
// another address.
constexpr unsigned long e2p_addr_space = 0x10000;

// True when the token is at least n characters long and its first n equal
// the keyword's, ignoring case.
bool keyword(const char *token, const char *word, size_t n)
{
    return token != nullptr && strlen(token) >= n && strncasecmp(token, word, n) == 0;
}

// A word left over after a write's value is a typo somewhere on the line;
// nothing is written then.
bool no_more(const char *cmd, char *&save)
{
    char *extra = strtok_r(nullptr, " \t", &save);
    if (extra == nullptr)
        return true;
    fflush(stdout);
    fprintf(stderr, "%s: unexpected word %s\n", cmd, extra);
    fflush(stderr);
    return false;
}

// One line for an argument word the command does not know.
void bad_word(const char *cmd, const char *word, const char *expected)
{
    fflush(stdout);
    if (word == nullptr || *word == '\0')
        fprintf(stderr, "%s: %s required\n", cmd, expected);
    else
        fprintf(stderr, "%s: invalid argument %s (%s)\n", cmd, word, expected);
    fflush(stderr);
}

void fail_stderr(const char *text)
{
    // A lost converter has been reported in one line; the command that it
    // ended adds nothing.
    if (comm_link_down())
        return;
    fputs(text, stderr);
    fflush(stderr);
}

} // namespace

int process_cmd_ping(char *)
{
    uint32_t turnaround = 0;
    int rc = ping(&turnaround);
    if (rc != 0) {
        printf("ping failed\n");
        return rc;
    }
    const char *unit = "us";
    if (turnaround > 1000) {
        turnaround /= 1000;
        unit = "ms";
    }
    printf("PING: turn around %u%s\n", turnaround, unit);
    return 0;
}

int process_cmd_version(char *)
{
    uint8_t fwv[4];
    int rc = fwv_read(fwv);
    if (rc != 0) {
        printf("reading firmware version failed\n");
        return rc;
    }
    printf("Firmware %d.%d.%d.%d\n", fwv[0], fwv[1], fwv[2], fwv[3]);
    return 0;
}

int process_cmd_date(char *)
{
    uint8_t dat[4];
    int rc = fwd_read(dat);
    if (rc != 0) {
        printf("reading firmware date failed\n");
        return rc;
    }
    printf("Date %02d.%02d.%d%02d\n", dat[0], dat[1], dat[3], dat[2]);
    return 0;
}

int process_cmd_blversion(char *)
{
    uint8_t dat[4];
    int rc = blv_read(dat);
    if (rc != 0) {
        printf("reading bootloader version failed\n");
        return rc;
    }
    printf("Bootloader %d%c%d%c\n", dat[3], dat[2], dat[1], dat[0]);
    return 0;
}

int process_cmd_blstring(char *)
{
    char dat[31] = {};
    int rc = bls_read(dat);
    if (rc != 0) {
        printf("reading bootloader string failed\n");
        return rc;
    }
    dat[30] = 0;
    printf("BL: %s\n", dat);
    return 0;
}

int process_cmd_smi_reg(char *param)
{
    char *save = nullptr;
    char *tok = param ? strtok_r(param, "= \t", &save) : nullptr;
    uint8_t regad = 0;
    if (!field_arg("invalid register address", tok, &regad))
        return -1;

    tok = strtok_r(nullptr, "= \t", &save);
    if (tok != nullptr) {
        uint8_t value = 0;
        if (!field_arg("invalid register value", tok, &value) || !no_more("sreg", save))
            return -1;
        int rc = smi_write(regad, value);
        if (rc != 0)
            fprintf(stderr, "write register(%03x) failed\n", regad);
        return rc;
    }

    uint8_t value = 0;
    int rc = smi_read(regad, &value);
    if (rc != 0) {
        fprintf(stderr, "read register(%03x) failed\n", regad);
        return rc;
    }
    printf("register (%03x): %02x\n", regad, value);
    return 0;
}

int process_cmd_mdio_reg(char *param)
{
    char *save = nullptr;
    char *tok = param ? strtok_r(param, "= \t", &save) : nullptr;
    // The PHY address in the upper and the register in the lower byte: a
    // wider number would name a register the user did not mean.
    uint16_t addr = 0;
    if (!field_arg("invalid register address", tok, &addr))
        return -1;
    uint8_t phyad = static_cast<uint8_t>(addr >> 8);
    uint8_t regad = static_cast<uint8_t>(addr);

    tok = strtok_r(nullptr, "= \t", &save);
    if (tok != nullptr) {
        uint16_t value = 0;
        if (!field_arg("invalid register value", tok, &value) || !no_more("mreg", save))
            return -1;
        int rc = mdio_write(phyad, regad, value);
        if (rc != 0)
            fprintf(stderr, "write register(%02x) failed\n", regad);
        return rc;
    }

    uint16_t value = 0;
    int rc = mdio_read(phyad, regad, &value);
    if (rc != 0)
        fprintf(stderr, "read register(%02x) failed\n", regad);
    else
        printf("register (%02x): %04x\n", regad, value);
    return rc;
}

int process_cmd_power(char *param)
{
    pwr_ctl_t mode;
    if (param != nullptr && strcasecmp(param, "on") == 0)
        mode = pwr_on;
    else if (param != nullptr && strcasecmp(param, "off") == 0)
        mode = pwr_off;
    else {
        bad_word("power", param, "on or off");
        return -1;
    }
    int rc = pwr_ctl(mode);
    if (rc != 0)
        printf("switching power mode failed\n");
    return rc;
}

int process_cmd_wup(char *param)
{
    wup_ctl_t mode;
    if (param == nullptr)
        mode = wup_get;
    else if (keyword(param, "get", 2))
        mode = wup_get;
    else if (keyword(param, "on", 2))
        mode = wup_on;
    else if (keyword(param, "off", 2))
        mode = wup_off;
    else if (keyword(param, "trigger", 2))
        mode = wup_trig;
    else {
        bad_word("wup", param, "get, on, off or trigger");
        return -1;
    }

    int ret_val = wup_ctl(mode);
    if (ret_val == -1) {
        printf("wup cmd(%s) failed\n", param ? param : "get");
        return -1;
    }
    if (mode == wup_get)
        printf("ETH_WUP(%s)\n", ret_val == 1 ? "GND (KL31)" : "UBatt (KL30)");
    return 0;
}

namespace {

enum class e2p_sub { clear, read, write };

int e2p_read_range(const char *sub, unsigned long addr, unsigned long size)
{
    printf("eep %s from 0x%lx %ld bytes\n", sub, addr, static_cast<long>(size));
    fflush(stdout);
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size ? size : 1]);
    if (!buf) {
        fail_stderr("malloc failed\n");
        return -1;
    }
    unsigned long count = 0;
    while (count < size) {
        uint16_t asked = static_cast<uint16_t>(std::min<unsigned long>(size - count, E2P_MAX_PAYLOAD));
        uint16_t len = asked;
        // A chunk for which the box reports nothing would never advance, and
        // one reported longer than asked would skip bytes that were never
        // copied: both end the read as failed.
        if (e2p_read(static_cast<uint16_t>(addr + count), buf.get() + count, &len) != 0 || len == 0 ||
            len > asked) {
            fail_stderr("e2p_read failed\n");
            return -1;
        }
        count += len;
    }
    dump_hex_offset("", buf.get(), static_cast<uint32_t>(size), 16, " ", 1, static_cast<uint32_t>(addr));
    return 0;
}

int e2p_write_chunk(const char *sub, unsigned long addr, uint8_t *chunk, uint16_t len)
{
    // Data that would run past the end of the address space would wrap to
    // address 0 and overwrite what is stored there.
    if (addr + len > e2p_addr_space) {
        fail_stderr("invalid address");
        return -1;
    }
    printf("eep %s to 0x%lx %ld bytes\n", sub, addr, static_cast<long>(len));
    dump_hex(chunk, len, 32, "-");
    fflush(stdout);
    uint16_t written = len;
    // The box reports how many bytes it stored; fewer than given means data
    // was lost, which must not pass as success.
    if (e2p_write(static_cast<uint16_t>(addr), chunk, &written) != 0 || written != len) {
        fail_stderr("e2p_write failed\n");
        return -1;
    }
    return 0;
}

int e2p_write_values(const char *sub, unsigned long addr, char **save)
{
    uint8_t chunk[E2P_MAX_PAYLOAD];
    uint16_t len = 0;
    for (;;) {
        char *tok = strtok_r(nullptr, " \t,)", save);
        if (tok == nullptr)
            return len > 0 ? e2p_write_chunk(sub, addr, chunk, len) : 0;
        uint8_t value;
        if (!field_arg("invalid value", tok, &value))
            return -1;
        chunk[len++] = value;
        if (len == E2P_MAX_PAYLOAD) {
            if (e2p_write_chunk(sub, addr, chunk, len) != 0)
                return -1;
            addr += len;
            len = 0;
        }
    }
}

} // namespace

int process_cmd_e2p(char *param)
{
    if (param == nullptr) {
        fail_stderr("NULL parameter\n");
        return -1;
    }
    char *save = nullptr;
    char *sub = strtok_r(param, " =\t(", &save);
    e2p_sub kind;
    if (keyword(sub, "clear", 1)) {
        kind = e2p_sub::clear;
    } else if (keyword(sub, "read", 1)) {
        kind = e2p_sub::read;
    } else if (keyword(sub, "write", 1)) {
        kind = e2p_sub::write;
    } else {
        fprintf(stderr, "invalid sub-command %s\n", sub ? sub : "NULL");
        fflush(stderr);
        return -1;
    }

    char *tok = strtok_r(nullptr, " =\t,(", &save);
    if (tok == nullptr) {
        fail_stderr("NULL address\n");
        return -1;
    }
    unsigned long addr;
    if (!field_arg("invalid address", tok, &addr, 0, e2p_addr_space - 1))
        return -1;

    if (kind == e2p_sub::write)
        return e2p_write_values(sub, addr, &save);

    unsigned long size = 1;
    tok = strtok_r(nullptr, " =\t,)", &save);
    // The services take 16-bit sizes, and a range past the last address
    // would wrap to address 0.
    if (tok != nullptr && !field_arg("invalid size", tok, &size, 0, std::min(e2p_addr_space - 1, e2p_addr_space - addr)))
        return -1;
    tok = strtok_r(nullptr, " =\t)", &save);
    if (tok != nullptr) {
        fprintf(stderr, "invalid parameter %s\n", tok);
        fflush(stderr);
        return -1;
    }

    if (kind == e2p_sub::clear) {
        printf("eep %s from 0x%lx %ld bytes\n", sub, addr, static_cast<long>(size));
        fflush(stdout);
        return e2p_erase_block(static_cast<uint16_t>(addr), static_cast<uint16_t>(size));
    }
    return e2p_read_range(sub, addr, size);
}

int process_cmd_echo(char *param)
{
    rmt_func_param_echo_t p{};
    rmt_func_rtn_echo_t r{};
    const char *text = param ? param : "hallo";
    strncpy(p.echo, text, sizeof p.echo - 1);
    if (!rmt_echo(&p, &r))
        return -1;
    printf("echo(%.*s)\n", static_cast<int>(strnlen(r.echo, sizeof r.echo)), r.echo);
    return 0;
}

int process_cmd_cfg(char *param)
{
    if (param == nullptr) {
        printf("parameter required\n");
        return -1;
    }
    if (keyword(param, "read", 1)) {
        e2p_cfg_cmd_t work[100];
        printf("E2P Config Switch:\n");
        e2p_read_config(work, 0x200, 0x61F);
        printf("E2P Config PHY1:\n");
        e2p_read_config(work, 0x620, 0x70F);
        printf("E2P Config PHY2:\n");
        e2p_read_config(work, 0x710, 0x7FF);
        return 0;
    } else if (keyword(param, "write", 1)) {
        // All three areas are written whatever one of them did (a partial
        // image is no better than a complete one with a hole), but any area
        // not stored whole is named and fails the command.
        struct area {
            const char *name;
            const e2p_cfg_cmd_t *seq;
            size_t count;
            uint16_t offset, limit;
        };
        const area areas[] = {
            {"Switch", switch_default_init_sequence, std::size(switch_default_init_sequence), 0x200, 0x61F},
            {"PHY1", oabr1_default_init_sequence, std::size(oabr1_default_init_sequence), 0x620, 0x70F},
            {"PHY2", oabr2_default_init_sequence, std::size(oabr2_default_init_sequence), 0x710, 0x7FF},
        };
        int rc = 0;
        for (const area &a : areas) {
            if (e2p_write_config(a.seq, a.offset, a.limit, a.count) != 0) {
                printf("E2P Config %s: write failed\n", a.name);
                rc = -1;
                if (comm_link_down())
                    break;
            }
        }
        fflush(stdout);
        return rc;
    }
    bad_word("cfg", param, "read or write");
    return -1;
}

int process_cmd_hdlc(char *param)
{
    uint8_t buf[HDLC_MSG_SIZE];
    uint8_t n = 0;
    char *save = nullptr;
    char *tok = param ? strtok_r(param, " \t,.-", &save) : nullptr;
    while (tok != nullptr && n < sizeof buf) {
        uint8_t value;
        if (!field_arg("invalid value", tok, &value))
            return -1;
        buf[n++] = value;
        tok = strtok_r(nullptr, " \t,.-", &save);
    }
    // A frame cut short is not the frame that was typed.
    if (tok != nullptr) {
        fflush(stdout);
        fprintf(stderr, "hdlc: at most %zu bytes a frame\n", sizeof buf);
        fflush(stderr);
        return -1;
    }
    hdlc_tx_frame(buf, n);
    dump_hex_pre("HDLC: ", buf, n, 80, " ");
    return 0;
}
