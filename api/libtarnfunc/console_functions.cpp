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
#include "out.h"
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
    out_err("%s: unexpected word %s\n", cmd, extra);
    fflush(stderr);
    return false;
}

// One line for an argument word the command does not know.
void bad_word(const char *cmd, const char *word, const char *expected)
{
    fflush(stdout);
    if (word == nullptr || *word == '\0')
        out_err("%s: %s required\n", cmd, expected);
    else
        out_err("%s: invalid argument %s (%s)\n", cmd, word, expected);
    fflush(stderr);
}

void fail_stderr(const char *text)
{
    // A lost converter has been reported in one line; the command that it
    // ended adds nothing.
    if (comm_link_down())
        return;
    out_err("%s", text);
    fflush(stderr);
}

} // namespace

int process_cmd_ping(char *)
{
    uint32_t turnaround = 0;
    int rc = ping(&turnaround);
    if (rc != 0) {
        out_fail("ping failed\n");
        return rc;
    }
    out_doc().set("turnaround_us", turnaround);
    const char *unit = "us";
    if (turnaround > 1000) {
        turnaround /= 1000;
        unit = "ms";
    }
    out_text("PING: turn around %u%s\n", turnaround, unit);
    return 0;
}

int process_cmd_version(char *)
{
    uint8_t fwv[4];
    int rc = fwv_read(fwv);
    if (rc != 0) {
        out_fail("reading firmware version failed\n");
        return rc;
    }
    char text[16];
    snprintf(text, sizeof text, "%d.%d.%d.%d", fwv[0], fwv[1], fwv[2], fwv[3]);
    out_doc().set("firmware", text);
    out_doc().set("numbers", jvalue::bytes(fwv, 4));
    out_text("Firmware %s\n", text);
    return 0;
}

int process_cmd_date(char *)
{
    uint8_t dat[4];
    int rc = fwd_read(dat);
    if (rc != 0) {
        out_fail("reading firmware date failed\n");
        return rc;
    }
    jvalue &doc = out_doc();
    doc.set("day", dat[0]);
    doc.set("month", dat[1]);
    doc.set("year", dat[3] * 100u + dat[2]);
    out_text("Date %02d.%02d.%d%02d\n", dat[0], dat[1], dat[3], dat[2]);
    return 0;
}

int process_cmd_blversion(char *)
{
    uint8_t dat[4];
    int rc = blv_read(dat);
    if (rc != 0) {
        out_fail("reading bootloader version failed\n");
        return rc;
    }
    char text[32];
    snprintf(text, sizeof text, "%d%c%d%c", dat[3], dat[2], dat[1], dat[0]);
    out_doc().set("bootloader", std::string(text, strnlen(text, sizeof text)));
    out_doc().set("bytes", jvalue::bytes(dat, 4));
    if (!out_json())
        printf("Bootloader %d%c%d%c\n", dat[3], dat[2], dat[1], dat[0]);
    return 0;
}

int process_cmd_blstring(char *)
{
    char dat[31] = {};
    int rc = bls_read(dat);
    if (rc != 0) {
        out_fail("reading bootloader string failed\n");
        return rc;
    }
    dat[30] = 0;
    out_doc().set("text", dat);
    out_text("BL: %s\n", dat);
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
        jvalue &doc = out_doc();
        doc.set("operation", "write");
        doc.set("register", regad);
        doc.set("value", value);
        int rc = smi_write(regad, value);
        doc.set("confirmed", rc == 0);
        if (rc != 0)
            out_err("write register(%03x) failed\n", regad);
        return rc;
    }

    uint8_t value = 0;
    jvalue &doc = out_doc();
    doc.set("operation", "read");
    doc.set("register", regad);
    int rc = smi_read(regad, &value);
    if (rc != 0) {
        out_err("read register(%03x) failed\n", regad);
        return rc;
    }
    doc.set("value", value);
    out_text("register (%03x): %02x\n", regad, value);
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
        jvalue &doc = out_doc();
        doc.set("operation", "write");
        doc.set("phy", phyad);
        doc.set("register", regad);
        doc.set("value", value);
        int rc = mdio_write(phyad, regad, value);
        doc.set("confirmed", rc == 0);
        if (rc != 0)
            out_err("write register(%02x) failed\n", regad);
        return rc;
    }

    uint16_t value = 0;
    jvalue &doc = out_doc();
    doc.set("operation", "read");
    doc.set("phy", phyad);
    doc.set("register", regad);
    int rc = mdio_read(phyad, regad, &value);
    if (rc != 0) {
        out_err("read register(%02x) failed\n", regad);
    } else {
        doc.set("value", value);
        out_text("register (%02x): %04x\n", regad, value);
    }
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
    out_doc().set("power", mode == pwr_on ? "on" : "off");
    int rc = pwr_ctl(mode);
    out_doc().set("confirmed", rc == 0);
    if (rc != 0)
        out_fail("switching power mode failed\n");
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

    static const char *const mode_names[] = {"get", "on", "off", "trigger"};
    jvalue &doc = out_doc();
    doc.set("operation", mode_names[mode == wup_get ? 0 : mode == wup_on ? 1 : mode == wup_off ? 2 : 3]);
    int ret_val = wup_ctl(mode);
    if (mode != wup_get)
        doc.set("confirmed", ret_val != -1);
    if (ret_val == -1) {
        out_fail("wup cmd(%s) failed\n", param ? param : "get");
        return -1;
    }
    if (mode == wup_get) {
        const char *line = ret_val == 1 ? "GND (KL31)" : "UBatt (KL30)";
        doc.set("line", ret_val == 1 ? "gnd" : "ubatt");
        doc.set("text", line);
        out_text("ETH_WUP(%s)\n", line);
    }
    return 0;
}

namespace {

enum class e2p_sub { clear, read, write };

int e2p_read_range(const char *sub, unsigned long addr, unsigned long size)
{
    out_text("eep %s from 0x%lx %ld bytes\n", sub, addr, static_cast<long>(size));
    fflush(stdout);
    jvalue &doc = out_doc();
    doc.set("operation", "read");
    doc.set("address", addr);
    doc.set("size", size);
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size ? size : 1]);
    if (!buf) {
        fail_stderr("malloc failed\n");
        return -1;
    }
    unsigned long count = 0;
    cmd_interruptible_scope may_stop;
    while (count < size) {
        if (cmd_stop_requested())
            return -1;
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
    doc.set("bytes", jvalue::bytes(buf.get(), size));
    if (!out_json())
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
    out_text("eep %s to 0x%lx %ld bytes\n", sub, addr, static_cast<long>(len));
    if (!out_json())
        dump_hex(chunk, len, 32, "-");
    fflush(stdout);
    jvalue &c = out_doc()["chunks"].push(jvalue::object());
    c.set("address", addr);
    c.set("bytes", jvalue::bytes(chunk, len));
    c.set("confirmed", false);
    uint16_t written = len;
    // The box reports how many bytes it stored; fewer than given means data
    // was lost, which must not pass as success.
    if (e2p_write(static_cast<uint16_t>(addr), chunk, &written) != 0 || written != len) {
        fail_stderr("e2p_write failed\n");
        return -1;
    }
    c.set("confirmed", true);
    return 0;
}

int e2p_write_values(const char *sub, unsigned long addr, char **save)
{
    uint8_t chunk[E2P_MAX_PAYLOAD];
    uint16_t len = 0;
    out_doc().set("operation", "write");
    out_doc().set("address", addr);
    out_doc().set("chunks", jvalue::array());
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
        out_err("invalid sub-command %s\n", sub ? sub : "NULL");
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
        out_err("invalid parameter %s\n", tok);
        fflush(stderr);
        return -1;
    }

    if (kind == e2p_sub::clear) {
        out_text("eep %s from 0x%lx %ld bytes\n", sub, addr, static_cast<long>(size));
        fflush(stdout);
        jvalue &doc = out_doc();
        doc.set("operation", "clear");
        doc.set("address", addr);
        doc.set("size", size);
        const int rc = e2p_erase_block(static_cast<uint16_t>(addr), static_cast<uint16_t>(size));
        doc.set("confirmed", rc == 0);
        return rc;
    }
    return e2p_read_range(sub, addr, size);
}

int process_cmd_echo(char *param)
{
    rmt_func_param_echo_t p{};
    rmt_func_rtn_echo_t r{};
    const char *text = param ? param : "hallo";
    strncpy(p.echo, text, sizeof p.echo - 1);
    out_doc().set("sent", p.echo);
    if (!rmt_echo(&p, &r))
        return -1;
    const std::string back(r.echo, strnlen(r.echo, sizeof r.echo));
    out_doc().set("echo", back);
    out_text("echo(%s)\n", back.c_str());
    return 0;
}

int process_cmd_cfg(char *param)
{
    if (param == nullptr) {
        out_fail("parameter required\n");
        return -1;
    }
    if (keyword(param, "read", 1)) {
        e2p_cfg_cmd_t work[100];
        struct area {
            const char *name;
            uint16_t offset, limit;
        };
        const area areas[] = {{"Switch", 0x200, 0x61F}, {"PHY1", 0x620, 0x70F}, {"PHY2", 0x710, 0x7FF}};
        out_doc().set("operation", "read");
        jvalue &docs = out_doc().set("areas", jvalue::array());
        cmd_interruptible_scope may_stop;
        for (const area &a : areas) {
            if (cmd_stop_requested())
                return -1;
            if (!out_json()) {
                printf("E2P Config %s:\n", a.name);
                e2p_read_config(work, a.offset, a.limit);
                continue;
            }
            // The same records the text lists, as numbers.
            size_t count = 0;
            const int rc = e2p_load_config(work, a.offset, a.limit, std::size(work), &count);
            jvalue &d = docs.push(jvalue::object());
            d.set("name", a.name);
            d.set("offset", a.offset);
            d.set("complete", rc == 0);
            jvalue &recs = d.set("records", jvalue::array());
            unsigned off = a.offset;
            for (size_t i = 0; i < count; ++i) {
                jvalue &r = recs.push(jvalue::object());
                const unsigned size = work[i].hdr.size;
                r.set("offset", off);
                r.set("kind", static_cast<unsigned>(work[i].hdr.cmd));
                r.set("kind_name", e2p_cfg_kind_name(work[i].hdr.cmd));
                r.set("size", size);
                r.set("params", jvalue::bytes(work[i].param.raw, size > 1 ? std::min(size - 1, 12u) : 0));
                off += size;
            }
        }
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
        out_doc().set("operation", "write");
        jvalue &docs = out_doc().set("areas", jvalue::array());
        for (const area &a : areas) {
            const bool ok = e2p_write_config(a.seq, a.offset, a.limit, a.count) == 0;
            jvalue &d = docs.push(jvalue::object());
            d.set("name", a.name);
            d.set("offset", a.offset);
            d.set("record_count", a.count);
            d.set("confirmed", ok);
            if (!ok) {
                out_fail("E2P Config %s: write failed\n", a.name);
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
        out_err("hdlc: at most %zu bytes a frame\n", sizeof buf);
        fflush(stderr);
        return -1;
    }
    hdlc_tx_frame(buf, n);
    out_doc().set("bytes", jvalue::bytes(buf, n));
    if (!out_json())
        dump_hex_pre("HDLC: ", buf, n, 80, " ");
    return 0;
}
