// The switch commands: sniff, mib, tab, pvlan, smac, vlan and mac. They keep
// no state; every number is read strictly, within its field (field_arg),
// and every table limit comes from tab_desc.
#include "switch_functions.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "args.h"
#include "commands.h"
#include "debug.h"
#include "out.h"
#include "util.h"

namespace {

constexpr int PORT_COUNT = 4;

// True when the token is at least n characters long and its first n equal
// the keyword's, ignoring case.
bool keyword(const char *token, const char *word, size_t n)
{
    return token != nullptr && strlen(token) >= n && strncasecmp(token, word, n) == 0;
}

bool whole_word(const char *token, const char *word)
{
    return token != nullptr && strcasecmp(token, word) == 0;
}

void fail_stderr(const char *text)
{
    // A lost converter has been reported in one line; the command that it
    // ended adds nothing.
    if (comm_link_down())
        return;
    fflush(stdout);
    out_err("%s", text);
    fflush(stderr);
}

// Splits the argument text in place, with a delimiter set per token; a null
// text has no tokens.
class tokens;
bool no_more(const char *cmd, tokens &args);

class tokens {
public:
    explicit tokens(char *text) : text_(text) {}
    char *next(const char *delims)
    {
        if (text_ == nullptr && save_ == nullptr)
            return nullptr;
        char *tok = strtok_r(text_, delims, &save_);
        text_ = nullptr;
        return tok;
    }

private:
    char *text_;
    char *save_ = nullptr;
};

// A word left over after the last field is a typo somewhere on the line;
// nothing is written then.
bool no_more(const char *cmd, tokens &args)
{
    const char *extra = args.next(" \t");
    if (extra == nullptr)
        return true;
    fflush(stdout);
    out_err("%s: unexpected word %s\n", cmd, extra);
    return false;
}

const ind_tab_desc_t &table_of(ind_tab_id id)
{
    return tab_desc[id];
}

// "<first>[<sep><end>]" in one token: after the first number, a separator of
// any kind and the end number, when at least two characters are left.
struct entry_range {
    uint64_t first = 0;
    bool has_end = false;
    uint64_t end = 0;
    const char *end_text = nullptr;
};

enum class range_rc { ok, bad_first, bad_end };

// The separator is a punctuation mark ("7-10", "7:10"); a lone one after
// the number ("7-") leaves the range at its first entry. Anything else
// after the number is a typo, not a range.
range_rc parse_range(const char *token, entry_range &r)
{
    const char *stop = nullptr;
    if (field_num(token, 0, 0, UINT64_MAX, &r.first, &stop) != 0)
        return range_rc::bad_first;
    if (*stop == '\0')
        return range_rc::ok;
    if (!ispunct(static_cast<unsigned char>(*stop)))
        return range_rc::bad_first;
    if (stop[1] != '\0') {
        r.end_text = stop + 1;
        if (field_num(r.end_text, 0, 0, UINT64_MAX, &r.end) != 0)
            return range_rc::bad_end;
        r.has_end = true;
    }
    return range_rc::ok;
}

// yes/no flags of a table entry: a word that is neither is refused.
bool flag_word(const char *fn, const char *token, uint8_t *flag)
{
    if (token[0] == 'y' || token[0] == 'Y' || strcmp(token, "1") == 0) {
        *flag = 1;
        return true;
    }
    if (token[0] == 'n' || token[0] == 'N' || strcmp(token, "0") == 0) {
        *flag = 0;
        return true;
    }
    fflush(stdout);
    out_err("%s: invalid flag %s (yes or no)\n", fn, token);
    return false;
}

// Six octets of one or two hexadecimal digits, colon-separated, first
// octet first; stored last octet first, as the switch keeps them.
bool mac_address(const char *fn, const char *token, uint8_t *addr)
{
    uint8_t out[6];
    const char *p = token;
    for (int i = 5; i >= 0; --i) {
        int digits = 0;
        unsigned v = 0;
        while (digits < 3 && isxdigit(static_cast<unsigned char>(p[digits]))) {
            v = v * 16 + static_cast<unsigned>(isdigit(static_cast<unsigned char>(p[digits])) ? p[digits] - '0'
                                                                                             : (tolower(p[digits]) - 'a' + 10));
            ++digits;
        }
        const char want = i > 0 ? ':' : '\0';
        if (digits == 0 || digits > 2 || p[digits] != want) {
            fflush(stdout);
            out_err("%s: invalid MAC address %s\n", fn, token);
            return false;
        }
        out[i] = static_cast<uint8_t>(v);
        p += digits + (i > 0 ? 1 : 0);
    }
    memcpy(addr, out, sizeof out);
    return true;
}

// Reports a refused range in the handler's name; false when refused.
bool range_ok(const char *fn, const char *token, range_rc rc, const entry_range &r)
{
    if (rc == range_rc::bad_first) {
        fflush(stdout);
        out_err("%s: invalid entry_idx %s\n", fn, token);
        return false;
    }
    if (rc == range_rc::bad_end) {
        fflush(stdout);
        out_err("%s: invalid end_entry_idx %s\n", fn, r.end_text);
        return false;
    }
    return true;
}

// Entry numbers of smac and vlan are signed: "-1" is a number below the
// table, not entry 65535 cut to 16 bits.
bool index_ok(const char *fn, int64_t first, int64_t last, int64_t limit)
{
    if (first < 0 || last < 0 || first >= limit || last >= limit) {
        fflush(stdout);
        out_err("%s: invalid start index (%lld) or end index (%lld)\n", fn, static_cast<long long>(first),
                static_cast<long long>(last));
        return false;
    }
    return true;
}

// The entries an smac or vlan command works on: all of them without a token,
// else the token's entry or range, each within the table's limit.
bool listing_range(const char *fn, const char *tok, int64_t limit, int64_t *first, int64_t *last)
{
    *first = 0;
    *last = limit - 1;
    if (tok != nullptr) {
        entry_range r;
        if (!range_ok(fn, tok, parse_range(tok, r), r))
            return false;
        *first = static_cast<int64_t>(r.first);
        *last = r.has_end ? static_cast<int64_t>(r.end) : *first;
    }
    return index_ok(fn, *first, *last, limit);
}

// Names an entry a listing could not read and leaves out.
void skipped(const char *fn, const char *what, int64_t n)
{
    if (comm_link_down())
        return;
    fflush(stdout);
    out_err("%s: could not read %s %lld, skipped\n", fn, what, static_cast<long long>(n));
}

} // namespace

namespace {

// The member ports of a port mask, port 1 first.
jvalue port_list(unsigned mask)
{
    jvalue ports = jvalue::array();
    for (unsigned p = 1; p <= 5; ++p)
        if (mask & (1u << (p - 1)))
            ports.push(p);
    return ports;
}

} // namespace

jvalue smac_entry_json(const statmac_tab_entry_t *entry, long long index)
{
    char mac[18];
    mactostr(const_cast<uint8_t *>(entry->addr), mac, sizeof mac);
    jvalue j = jvalue::object();
    j.set("index", index);
    j.set("fid", entry->fid);
    j.set("use_fid", entry->use_fid != 0);
    j.set("override", entry->st_override != 0);
    j.set("valid", entry->valid != 0);
    j.set("ports", port_list(entry->fwd_ports));
    j.set("port_mask", entry->fwd_ports);
    j.set("mac", mac);
    return j;
}

jvalue vlan_entry_json(const vlan_entry_t *entry)
{
    jvalue j = jvalue::object();
    j.set("vid", entry->vid);
    j.set("fid", entry->fid);
    j.set("valid", entry->valid != 0);
    j.set("ports", port_list(entry->fwd_ports));
    j.set("port_mask", entry->fwd_ports);
    return j;
}

void smac_entry_show(statmac_tab_entry_t *entry)
{
    if (entry == nullptr)
        return;
    char mac[18];
    char ports[40];
    mactostr(entry->addr, mac, sizeof mac);
    ultobinstr(entry->fwd_ports, ports, 4, nullptr);
    out_text("fid(%02X) use_fid(%c) st_ovrd(%c) valid(%c) ports(%s) MAC(%s)\n", entry->fid, entry->use_fid ? 'x' : '-',
           entry->st_override ? 'x' : '-', entry->valid ? 'x' : '-', ports, mac);
}

void vlan_entry_show(vlan_entry_t *entry)
{
    if (entry == nullptr)
        return;
    char ports[40];
    ultobinstr(entry->fwd_ports, ports, 4, nullptr);
    out_text("vid(%04u) fid(%03u) valid(%c) ports(%s)\n", static_cast<unsigned>(entry->vid),
           static_cast<unsigned>(entry->fid), entry->valid ? 'x' : '-', ports);
}

namespace {

// The name of a port's sniff bits (bits 7..5 of its control register).
const char *sniff_mode_name(uint8_t mode)
{
    switch (mode & 0xE0) {
    case SNIFF_OFF: return "off";
    case SNIFF_RX: return "rx";
    case SNIFF_TX: return "tx";
    case SNIFF_RXTX: return "rxtx";
    case SNIFF_MIRROR: return "mirror";
    default: return "mixed";
    }
}

} // namespace

int process_cmd_sniff(char *param)
{
    const char *delims = "= \t";
    tokens args(param);
    char *tok = args.next(delims);
    uint64_t v = 0;
    if (!field_arg("invalid port", tok, 0, 1, PORT_COUNT, &v))
        return -1;
    const long port = static_cast<long>(v);
    jvalue &doc = out_doc();
    doc.set("port", port);

    tok = args.next(delims);
    if (tok == nullptr) {
        uint8_t mode = 0;
        doc.set("operation", "read");
        if (ksz_get_sniff(static_cast<uint8_t>(port), &mode) != 0) {
            fflush(stdout);
            out_err("getting sniff mode for port(%ld) failed\n", port);
            return -1;
        }
        doc.set("mode", mode);
        doc.set("mode_name", sniff_mode_name(mode));
        out_text("sniff mode(%02X) on port(%ld)\n", mode, port);
        fflush(stdout);
        return 0;
    }

    uint8_t mode;
    if (whole_word(tok, "rxtx"))
        mode = SNIFF_RXTX;
    else if (whole_word(tok, "rx"))
        mode = SNIFF_RX;
    else if (whole_word(tok, "tx"))
        mode = SNIFF_TX;
    else if (keyword(tok, "mirror", 2))
        mode = SNIFF_MIRROR;
    else if (keyword(tok, "off", 2))
        mode = SNIFF_OFF;
    else {
        fflush(stdout);
        out_err("sniff: invalid mode %s (rx, tx, rxtx, mirror or off)\n", tok);
        return -1;
    }
    if (args.next(delims) != nullptr) {
        fflush(stdout);
        out_err("sniff: too many arguments\n");
        return -1;
    }
    doc.set("operation", "write");
    doc.set("mode", mode);
    doc.set("mode_name", sniff_mode_name(mode));
    out_text("sniff mode(%02X) on port(%ld)\n", mode, port);
    fflush(stdout);
    int rc = ksz_set_sniff(static_cast<uint8_t>(port), mode);
    doc.set("confirmed", rc == 0);
    if (rc != 0) {
        // The line above only says what was asked; say that it did not happen.
        out_err("setting sniff mode for port(%ld) failed\n", port);
    }
    return rc;
}

int process_cmd_mib(char *param)
{
    out_doc().set("ports", jvalue::array());
    const bool has_arg = param != nullptr && param[strspn(param, " \t\r\n")] != '\0';
    if (has_arg) {
        uint64_t port = 0;
        // A port the switch does not have would read no counter at all.
        if (!field_arg("invalid port", param + strspn(param, " \t"), 0, 1, PORT_COUNT, &port))
            return -1;
        int rc = mib_tab_show(static_cast<uint8_t>(port), mib_counters);
        fflush(stdout);
        return rc == 0 ? 0 : -1;
    }
    int rc = 0;
    cmd_interruptible_scope may_stop;
    for (uint8_t port = 1; port <= PORT_COUNT; ++port) {
        if (cmd_stop_requested())
            return -1;
        if (comm_link_down()) {
            rc = -1;
            break;
        }
        if (mib_tab_show(port, mib_counters) != 0)
            rc = -1;
        out_text("\n");
    }
    fflush(stdout);
    return rc;
}

int process_cmd_ind_tab(char *param)
{
    static const char *const fn = "process_cmd_ind_tab";
    tokens args(param);
    char *tok = args.next(" =\t(");
    if (tok == nullptr) {
        fail_stderr("table name required\n");
        return -1;
    }
    const ind_tab_desc_t *t = nullptr;
    for (int i = 0; i < tab_desc_size && t == nullptr; ++i)
        if (keyword(tok, tab_desc[i].name, 2))
            t = &tab_desc[i];
    if (t == nullptr) {
        fflush(stdout);
        out_err("invalid table %s\n", tok);
        return -1;
    }

    const char *entry_delims = ",. =\t(";
    uint64_t first = 0, last = 0;
    tok = args.next(entry_delims);
    if (tok == nullptr || keyword(tok, "all", 1)) {
        first = 0;
        last = t->max_entries - 1u;
    } else {
        entry_range r;
        if (!range_ok(fn, tok, parse_range(tok, r), r))
            return -1;
        first = r.first;
        last = (r.has_end && r.end != 0) ? r.end : first;
    }
    // The firmware addresses entries with 16 bits: a number beyond the table
    // would reach another entry, or none, instead of being refused.
    if (first >= t->max_entries || (last >= first && last >= t->max_entries)) {
        fflush(stdout);
        out_err("%s: invalid start index (%llu) or end index (%llu)\n", fn,
                static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
        return -1;
    }

    uint8_t data[9] = {};
    jvalue &doc = out_doc();
    doc.set("table", t->name);
    tok = args.next(entry_delims);
    if (tok != nullptr) {
        // The dynamic MAC table and the counters belong to the switch.
        if (t->id == IND_TAB_DMAC || t->id == IND_TAB_MIB) {
            fflush(stdout);
            out_err("%s: %s-table is read-only\n", fn, t->name);
            return -1;
        }
        int n = 0;
        while (tok != nullptr) {
            uint64_t v = 0;
            if (field_num(tok, 0, 0, 0xFF, &v) != 0) {
                fflush(stdout);
                out_err("%s: invalid data %s\n", fn, tok);
                return -1;
            }
            data[n++] = static_cast<uint8_t>(v);
            tok = args.next(" ,\t.)");
            if (tok != nullptr && n == static_cast<int>(sizeof data)) {
                ++n; // too many: refused by the size test below
                break;
            }
        }
        if (n != t->entry_size) {
            fflush(stdout);
            out_err("%s: number of data bytes (%d) does not match entry size (%d)\n", fn, n, t->entry_size);
            return -1;
        }
        doc.set("operation", "write");
        jvalue &w = doc["entries"].push(jvalue::object());
        w.set("index", first);
        w.set("bytes", jvalue::bytes(data, static_cast<size_t>(n)));
        const int rc = ind_tab_entry_write(t->id, static_cast<uint16_t>(first), data, static_cast<uint8_t>(n));
        doc.set("confirmed", rc == 0);
        return rc;
    }

    doc.set("operation", "read");
    jvalue &entries = doc.set("entries", jvalue::array());
    cmd_interruptible_scope may_stop;
    for (uint64_t e = first; e <= last; ++e) {
        if (cmd_stop_requested())
            return -1;
        if (ind_tab_entry_read(t->id, static_cast<uint16_t>(e), data, t->entry_size) != 0) {
            if (!comm_link_down()) {
                fflush(stdout);
                out_err("failed to read entry %llu from %s table\n", static_cast<unsigned long long>(e),
                        t->name);
            }
            return -1;
        }
        jvalue &r = entries.push(jvalue::object());
        r.set("index", e);
        r.set("bytes", jvalue::bytes(data, t->entry_size));
        if (!out_json())
            dump_hex(data, t->entry_size, 80, " ");
    }
    return 0;
}

namespace {

jvalue membership_json(unsigned long port, unsigned mask)
{
    jvalue j = jvalue::object();
    j.set("port", port);
    j.set("members", port_list(mask));
    j.set("mask", mask);
    return j;
}

} // namespace

int process_cmd_pvlan(char *param)
{
    const char *delims = "= \t";
    tokens args(param);
    char *tok = args.next(delims);
    jvalue &doc = out_doc();
    if (tok == nullptr || keyword(tok, "show", 2)) {
        int rc = 0;
        doc.set("operation", "read");
        jvalue &ports = doc.set("ports", jvalue::array());
        for (unsigned long port = 1; port <= PORT_COUNT; ++port) {
            const long memshp = pvlan_get(static_cast<uint8_t>(port));
            // An unreadable port shows all ones; the status says it failed.
            if (memshp < 0)
                rc = -1;
            if (memshp < 0 && comm_link_down())
                break; // no port can be read any more
            // The document leaves an unreadable port out.
            if (memshp >= 0)
                ports.push(membership_json(port, static_cast<unsigned>(memshp)));
            char bin[40];
            ultobinstr(static_cast<uint32_t>(memshp), bin, 4, nullptr);
            out_text("port(%lu) %s (%02lX)\n", port, bin, static_cast<unsigned long>(memshp));
        }
        fflush(stdout);
        return rc;
    }

    uint64_t v = 0;
    if (!field_arg("invalid port", tok, 0, 1, PORT_COUNT, &v))
        return -1;
    const unsigned long port = static_cast<unsigned long>(v);
    const uint8_t port8 = static_cast<uint8_t>(port);

    tok = args.next(delims);
    if (tok == nullptr) {
        doc.set("operation", "read");
        jvalue &ports = doc.set("ports", jvalue::array());
        const long memshp = pvlan_get(port8);
        if (memshp == -1) {
            fail_stderr("failed to get port vlan membership\n");
            return -1;
        }
        ports.push(membership_json(port, static_cast<unsigned>(memshp)));
        out_text("port(%lu) %02lX\n", port, static_cast<unsigned long>(memshp));
        fflush(stdout);
        return 0;
    }

    // Five bits as the register holds them; the set refuses masks that
    // name a port the switch does not have.
    uint64_t m = 0;
    if (!field_arg("invalid port vlan membership", tok, 2, 0, 0x1F, &m) || !no_more("pvlan", args))
        return -1;
    out_text("setting port(%lu) membership(%02lX)\n", port, static_cast<unsigned long>(m));
    fflush(stdout);
    const uint8_t memshp = static_cast<uint8_t>(m);
    doc.set("operation", "write");
    doc.set("ports", jvalue::array()).push(membership_json(port, memshp));
    const bool ok = pvlan_set(port8, memshp) == 0;
    doc.set("confirmed", ok);
    if (!ok) {
        fail_stderr("failed to set port vlan membership\n");
        return -1;
    }
    return 0;
}

int process_cmd_smac(char *param)
{
    static const char *const fn = "process_cmd_smac";
    const char *delims = " \t,.";
    const int64_t limit = table_of(IND_TAB_SMAC).max_entries;
    tokens args(param);
    char *tok = args.next(delims);
    int64_t first = 0, last = 0;
    if (!listing_range(fn, tok, limit, &first, &last))
        return -1;

    tok = args.next(delims);
    jvalue &doc = out_doc();
    if (tok == nullptr) {
        int rc = 0;
        doc.set("operation", "read");
        jvalue &entries = doc.set("entries", jvalue::array());
        cmd_interruptible_scope may_stop;
        for (int64_t e = first; e <= last; ++e) {
            if (cmd_stop_requested())
                return -1;
            statmac_tab_entry_t entry{};
            if (!statmac_tab_entry_read(static_cast<uint16_t>(e), &entry)) {
                rc = -1;
                if (comm_link_down())
                    break; // nothing more can be read; the event has its own message
                skipped(fn, "entry", e); // the listing goes on
                continue;
            }
            entries.push(smac_entry_json(&entry, e));
            out_text("%2d ", static_cast<int>(e));
            smac_entry_show(&entry);
        }
        fflush(stdout);
        return rc;
    }

    statmac_tab_entry_t entry{};
    uint64_t v = 0;
    if (field_num(tok, 0, 0, 0x7F, &v) != 0) {
        fflush(stdout);
        out_err("%s: invalid FID %s\n", fn, tok);
        return -1;
    }
    entry.fid = static_cast<uint8_t>(v);
    uint8_t *flags[] = {&entry.use_fid, &entry.st_override, &entry.valid};
    for (uint8_t *flag : flags) {
        tok = args.next(delims);
        if (tok == nullptr)
            break;
        if (!flag_word(fn, tok, flag))
            return -1;
    }
    if (tok != nullptr)
        tok = args.next(delims);
    if (tok != nullptr) {
        if (!field_arg("invalid forward ports", tok, 2, 0, 0x0F, &v))
            return -1;
        entry.fwd_ports = static_cast<uint8_t>(v);
        tok = args.next(delims);
    }
    if (tok == nullptr) {
        fflush(stdout);
        out_err("%s: incomplete static Mac table entry\n", fn);
        return -1;
    }
    if (!mac_address(fn, tok, entry.addr) || !no_more("smac", args))
        return -1;
    if (!out_json())
        dump_hex_pre(fn, entry.addr, sizeof entry.addr, 80, " ");
    doc.set("operation", "write");
    doc.set("entries", jvalue::array()).push(smac_entry_json(&entry, first));
    const bool ok = statmac_tab_entry_write(static_cast<uint16_t>(first), &entry);
    doc.set("confirmed", ok);
    return ok ? 0 : -1;
}

int process_cmd_vlan(char *param)
{
    static const char *const fn = "process_cmd_vlan";
    const char *delims = " \t,.";
    const int64_t limit = 4 * static_cast<int64_t>(table_of(IND_TAB_VLAN).max_entries);
    tokens args(param);
    char *tok = args.next(delims);
    int64_t first = 0, last = 0;
    if (!listing_range(fn, tok, limit, &first, &last))
        return -1;

    tok = args.next(delims);
    if (tok == nullptr) {
        // One table entry holds four VLANs: it is read once, when the listing
        // reaches its first VLAN in the range, and its VLANs are shown from
        // that read. A failed read is not kept, so the entry's next VLAN
        // reads it again: a VLAN is skipped exactly when a read for it failed.
        int rc = 0;
        out_doc().set("operation", "read");
        jvalue &entries = out_doc().set("entries", jvalue::array());
        vlan_tab_entry_t entry{};
        int64_t have = -1; // index of the entry read last, -1 for none
        cmd_interruptible_scope may_stop;
        for (int64_t id = first; id <= last; ++id) {
            if (cmd_stop_requested())
                return -1;
            const int64_t index = id / 4;
            if (index != have) {
                have = -1;
                if (!vlan_tab_entry_read(static_cast<uint16_t>(index), &entry)) {
                    rc = -1;
                    if (comm_link_down())
                        break; // nothing more can be read; the event has its own message
                    skipped(fn, "VLAN", id); // the listing goes on
                    continue;
                }
                have = index;
            }
            entries.push(vlan_entry_json(&entry.vlan[id % 4]));
            vlan_entry_show(&entry.vlan[id % 4]);
        }
        fflush(stdout);
        return rc;
    }

    vlan_entry_t w{};
    w.vid = static_cast<uint16_t>(first);
    uint64_t v = 0;
    if (field_num(tok, 0, 0, 0x7F, &v) != 0) {
        fflush(stdout);
        out_err("%s: invalid FID %s\n", fn, tok);
        return -1;
    }
    w.fid = static_cast<uint8_t>(v);
    tok = args.next(delims);
    if (tok != nullptr) {
        if (!flag_word(fn, tok, &w.valid))
            return -1;
        tok = args.next(delims);
    }
    if (tok == nullptr) {
        fflush(stdout);
        out_err("%s: incomplete static Mac table entry\n", fn);
        return -1;
    }
    if (!field_arg("invalid forward ports", tok, 2, 0, 0x0F, &v))
        return -1;
    w.fwd_ports = static_cast<uint8_t>(v);
    args.next(delims); // one more field is allowed and not used
    vlan_entry_show(&w);
    fflush(stdout);
    out_doc().set("operation", "write");
    out_doc().set("entries", jvalue::array()).push(vlan_entry_json(&w));
    const bool ok = vlan_entry_write(&w);
    out_doc().set("confirmed", ok);
    return ok ? 0 : -1;
}

int process_cmd_mac(char *)
{
    out_doc().set("entries", jvalue::array());
    const int rc = dynmac_tab_show();
    fflush(stdout);
    // A listing cut short by a failed read is not a success.
    return rc < 0 ? -1 : 0;
}

int process_cmd_port(char *)
{
    return -1;
}
