// The CAN command: show and set the controller's bit timing (presets or a
// bit rate run through the timing calculation), trace on/off, reset, re-init,
// operating mode; the printer of the trace records the box sends while the
// trace is on, optionally also appended to a log file in the candump log
// format; and the MDIO test. The only state of their own is that log: every
// other CAN command starts from the record the box holds.
#include "can_functions.h"

#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <strings.h>

#include "args.h"
#include "can_bridge.h"
#include "out.h"
#include "commands.h"
#include "periphery.h"
#include "util.h"

const can_speed_cfg default_can_cfg[] = {
    // SJW BPR BTL SAM PS1 PRSEG WAKFIL PS2 CNF1..3 (computed on use)
    {0, 4, 0, 0, 7, 2, 0, 7, 0, 0, 0},
    {0, 3, 0, 0, 7, 0, 0, 5, 0, 0, 0},
    {0, 1, 0, 0, 7, 0, 0, 5, 0, 0, 0},
    {0, 0, 0, 0, 7, 7, 0, 7, 0, 0, 0},
    {0, 1, 1, 0, 2, 0, 0, 2, 0, 0, 0},
    {0, 0, 1, 0, 7, 0, 0, 6, 0, 0, 0},
    {0, 0, 0, 0, 2, 0, 0, 2, 0, 0, 0},
};
const int default_can_cfg_length = static_cast<int>(sizeof default_can_cfg / sizeof default_can_cfg[0]);

namespace {

constexpr const char *can_delims = " \t,.";
constexpr unsigned long default_bit_rate = 500000;
constexpr unsigned long min_bit_rate = 5000;
constexpr unsigned long max_bit_rate = 1000000;
constexpr unsigned long max_ntq = 25;
// Five quanta would leave no propagation segment, which the controller's
// PRSEG field (length minus 1) cannot express.
constexpr unsigned long min_ntq = 6;
constexpr unsigned long max_brp = 63;

// ---- CAN log -------------------------------------------------------------------
// The records go to the file in the text form candump writes with -L, which
// can-utils, python-can and SavvyCAN read back:
//   (<seconds>.<micros>) <interface> <ID>#<DATA>
// The time is the host's at arrival, as candump takes it. Error records are
// written as the kernel's CAN error frames: the error flag set in the
// identifier with the class bits, eight data bytes.
constexpr const char *can_log_default_iface = "tarn0";

// The open log and the interface name written in it. Opened and closed by
// the main thread, written by the receiver thread.
std::mutex can_log_mtx;
FILE *can_log_file = nullptr;      // guarded by can_log_mtx
std::string can_log_iface;         // guarded by can_log_mtx

// One record in log form into buf (without line end); false for a record
// that is no CAN frame nor error (an unknown kind). The frame is the one the
// bridge sends, so the log and the interface show the same bus.
bool can_log_frame(const uint8_t *d, char *buf, size_t size)
{
    struct can_frame f;
    if (!can_record_to_frame(d, &f))
        return false;
    char data[2 * CAN_MAX_DLEN + 1] = "";
    for (unsigned i = 0; i < f.len && i < CAN_MAX_DLEN; ++i)
        snprintf(&data[2 * i], sizeof data - 2 * i, "%02X", f.data[i]);
    const bool wide = (f.can_id & (CAN_EFF_FLAG | CAN_ERR_FLAG)) != 0;
    const canid_t id = f.can_id & (CAN_ERR_FLAG | CAN_EFF_MASK);
    struct timeval now;
    gettimeofday(&now, nullptr);
    snprintf(buf, size, "(%lld.%06ld) %s %0*X#%s", static_cast<long long>(now.tv_sec),
             static_cast<long>(now.tv_usec), can_log_iface.c_str(), wide ? 8 : 3, id, data);
    return true;
}

void can_log_record(const uint8_t *d)
{
    std::lock_guard<std::mutex> lock(can_log_mtx);
    if (can_log_file == nullptr)
        return;
    char line[128];
    if (!can_log_frame(d, line, sizeof line))
        return;
    // Flushed a record at a time: with -N the console is ended from outside,
    // and what was logged must be in the file by then.
    if (fprintf(can_log_file, "%s\n", line) < 0 || fflush(can_log_file) != 0) {
        out_err("CAN log: write failed: %s; log closed\n", strerror(errno));
        fflush(stderr);
        fclose(can_log_file);
        can_log_file = nullptr;
    }
}

// The next word of a can log argument, split at blanks only (a file name
// may hold dots and commas); a word in double quotes may hold blanks too.
// Null when there is none; *bad when a quote is left open.
char *log_word(char *&at, bool *bad)
{
    at += strspn(at, " \t");
    if (*at == '\0')
        return nullptr;
    char *word = at;
    if (*at == '"') {
        word = ++at;
        char *close = strchr(at, '"');
        if (close == nullptr) {
            *bad = true;
            return nullptr;
        }
        *close = '\0';
        at = close + 1;
        return word;
    }
    at += strcspn(at, " \t");
    if (*at != '\0')
        *at++ = '\0';
    return word;
}

// can log <file> [<interface>] | can log off.
int can_log(char *rest)
{
    char empty[] = "";
    char *at = rest != nullptr ? rest : empty;
    bool bad = false;
    const char *file = log_word(at, &bad);
    const char *iface = file != nullptr ? log_word(at, &bad) : nullptr;
    const char *extra = iface != nullptr ? log_word(at, &bad) : nullptr;
    if (bad) {
        out_err("can log: a quote is not closed\n");
        fflush(stderr);
        return -1;
    }
    if (file == nullptr || *file == '\0') {
        out_err("can log: file name or off required\n");
        fflush(stderr);
        return -1;
    }
    if (extra != nullptr) {
        out_err("can log: unexpected word %s (a file name with blanks needs quotes)\n", extra);
        fflush(stderr);
        return -1;
    }
    std::lock_guard<std::mutex> lock(can_log_mtx);
    if (strcasecmp(file, "off") == 0 && iface != nullptr) {
        out_err("can log: unexpected word %s\n", iface);
        fflush(stderr);
        return -1;
    }
    if (strcasecmp(file, "off") == 0) {
        int rc = can_log_file != nullptr ? fclose(can_log_file) : 0;
        can_log_file = nullptr;
        if (rc != 0) {
            out_err("can log: closing the log failed: %s\n", strerror(errno));
            fflush(stderr);
            return -1;
        }
        out_doc().set("log", nullptr);
        out_text("log off\n");
        return 0;
    }
    // An interface name is one word of at most 15 characters, as the
    // kernel's are; anything else would not read back.
    if (iface != nullptr && (strlen(iface) > 15 || strpbrk(iface, "()#") != nullptr)) {
        out_err("can log: invalid interface name %s\n", iface);
        fflush(stderr);
        return -1;
    }
    FILE *f = fopen(file, "a");
    if (f == nullptr) {
        out_err("can log: %s: %s\n", file, strerror(errno));
        fflush(stderr);
        return -1;
    }
    if (can_log_file != nullptr)
        fclose(can_log_file);
    can_log_file = f;
    can_log_iface = iface != nullptr ? iface : can_log_default_iface;
    out_doc().set("log", file);
    out_doc().set("interface", can_log_iface);
    // Named as it would be typed, so that the file is unmistakable.
    if (strpbrk(file, " \t") != nullptr)
        out_text("log \"%s\" %s\n", file, can_log_iface.c_str());
    else
        out_text("log %s %s\n", file, can_log_iface.c_str());
    return 0;
}

// can bridge <interface> | can bridge off | can bridge (its state). The
// interface name is one word taken at blanks, like the log's file name.
int can_bridge(char *rest)
{
    char *save = nullptr;
    const char *iface = rest != nullptr ? strtok_r(rest, " \t", &save) : nullptr;
    jvalue &bridge = out_doc().set("bridge", jvalue::object());
    const auto facts = [&bridge](const can_bridge_status_t &st) {
        bridge.set("interface", st.on ? jvalue(st.iface) : jvalue());
        bridge.set("written", static_cast<unsigned long long>(st.written));
        bridge.set("dropped", static_cast<unsigned long long>(st.dropped));
    };
    if (iface == nullptr) {
        const can_bridge_status_t st = can_bridge_status();
        facts(st);
        bridge.set("on", st.on);
        if (st.on)
            out_text("bridge %s: %llu frames written, %llu dropped\n", st.iface,
                     static_cast<unsigned long long>(st.written), static_cast<unsigned long long>(st.dropped));
        else
            out_text("bridge off\n");
        return 0;
    }
    if (strtok_r(nullptr, " \t", &save) != nullptr) {
        out_err("can bridge: one interface name or off\n");
        fflush(stderr);
        return -1;
    }
    if (strcasecmp(iface, "off") == 0) {
        // The counts are those of the bridge just closed.
        const can_bridge_status_t st = can_bridge_close();
        facts(st);
        bridge.set("on", false);
        if (st.on)
            out_text("bridge off: %llu frames written, %llu dropped\n", static_cast<unsigned long long>(st.written),
                     static_cast<unsigned long long>(st.dropped));
        else
            out_text("bridge off\n");
        return 0;
    }
    if (can_bridge_open(iface) != 0)
        return -1;
    bridge.set("on", true);
    bridge.set("interface", iface);
    out_text("bridge %s\n", iface);
    return 0;
}

bool keyword(const char *token, const char *word, size_t n)
{
    return token != nullptr && strlen(token) >= n && strncasecmp(token, word, n) == 0;
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

// The bit rate of "speed" and "calc": one whole number. A missing token is
// the default rate.
int bus_frequency(const char *token, unsigned long *value)
{
    if (token == nullptr) {
        *value = default_bit_rate;
        return 0;
    }
    uint64_t v = 0;
    if (field_num(token, 0, 0, UINT64_MAX, &v) != 0) {
        out_err("%s: invalid bus frequency entry %s\n", "process_cmd_can", token);
        fflush(stderr);
        return -1;
    }
    *value = static_cast<unsigned long>(v);
    return 0;
}

int bit_rate_in_range(const char *token, unsigned long value)
{
    if (value >= min_bit_rate && value <= max_bit_rate)
        return 0;
    out_err("%s: bus frequency %s out of range\n", "process_cmd_can", token);
    fflush(stderr);
    return -1;
}

// The bit rate of "speed" (which also takes a preset index) and "calc",
// checked before anything is asked of the box.
int checked_rate(const char *token, bool presets, unsigned long *value)
{
    if (bus_frequency(token, value) != 0)
        return -1;
    if (presets && *value < static_cast<unsigned long>(default_can_cfg_length))
        return 0;
    return token != nullptr ? bit_rate_in_range(token, *value) : 0;
}

int can_speed(unsigned long value)
{
    can_speed_cfg cfg{};
    if (value < static_cast<unsigned long>(default_can_cfg_length)) {
        out_doc().set("preset", value);
        cfg = default_can_cfg[value];
        can_calc_config(&cfg);
    } else if (can_calc_params(CAN_FOSC, value, 1, &cfg) != 0) {
        fail_stderr("Ntq calculation failed\n");
        return -1;
    }
    if (value >= static_cast<unsigned long>(default_can_cfg_length))
        out_doc().set("bit_rate", value);
    out_doc().set("confirmed", false);
    if (can_set_speed(cfg) != 0) {
        fail_stderr("Failed to set CAN configuration\n");
        return -1;
    }
    can_config_show(&cfg);
    if (can_reinit() != 0) {
        fail_stderr("Failed to activate new config\n");
        return -1;
    }
    out_doc().set("confirmed", true);
    return 0;
}

int can_calc(unsigned long value)
{
    can_speed_cfg cfg{};
    if (can_calc_params(CAN_FOSC, value, 1, &cfg) != 0) {
        fail_stderr("Ntq calculation failed\n");
        return -1;
    }
    return 0;
}

int can_dump(bool on)
{
    out_doc().set("trace", on);
    out_doc().set("confirmed", false);
    if (on) {
        if (can_trace_enable() != 0) {
            fail_stderr("Enabling CAN trace failed\n");
            return -1;
        }
        out_doc().set("confirmed", true);
        out_text("dump on\n");
        return 0;
    }
    if (can_trace_disable() != 0) {
        fail_stderr("Disabling CAN trace failed\n");
        return -1;
    }
    out_doc().set("confirmed", true);
    out_text("dump off\n");
    return 0;
}

// The word after "mode": show (also none), normal or listen; -1 when it is
// none of them (message printed).
int mode_word(const char *token)
{
    if (token == nullptr || keyword(token, "show", 2))
        return 0x100;
    if (keyword(token, "normal", 2))
        return CAN_MODE_NORMAL;
    if (keyword(token, "listen", 2))
        return CAN_MODE_LISTEN;
    out_err("invalid CAN mode command %s\n", token);
    fflush(stderr);
    return -1;
}

void mode_facts(uint8_t mode)
{
    out_doc().set("mode", mode);
    out_doc().set("mode_name", mode == CAN_MODE_NORMAL ? "normal" : mode == CAN_MODE_LISTEN ? "listen" : "other");
}

int can_mode(int mode_or_show, const char *token)
{
    if (mode_or_show == 0x100) {
        uint8_t mode = 0;
        if (can_get_mode(&mode) != 0) {
            fail_stderr("Failed to get CAN mode\n");
            return -1;
        }
        mode_facts(mode);
        out_text("Mode: %02X\n", mode);
        return 0;
    }
    const uint8_t mode = static_cast<uint8_t>(mode_or_show);
    mode_facts(mode);
    out_doc().set("confirmed", false);
    if (can_set_mode(mode) != 0) {
        out_err("Failed to set CAN mode %s\n", token);
        fflush(stderr);
        return -1;
    }
    if (can_reinit() != 0) {
        fail_stderr("Failed to activate new config\n");
        return -1;
    }
    out_doc().set("confirmed", true);
    out_text("Mode: %02X\n", mode);
    return 0;
}

} // namespace

void can_calc_config(can_speed_cfg *c)
{
    if (c == nullptr)
        return;
    c->CAN_CNF1 = static_cast<uint8_t>((c->CAN_SJW << 6) | c->CAN_BPR);
    c->CAN_CNF2 = static_cast<uint8_t>((c->CAN_BTLMODE << 7) | (c->CAN_SAM << 6) | (c->CAN_PS1 << 3) | c->CAN_PRSEG);
    c->CAN_CNF3 = static_cast<uint8_t>((c->CAN_WAKFIL << 6) | c->CAN_PS2);
}

int can_calc_params(unsigned long Fosc, unsigned long Fbus, int triple, can_speed_cfg *can_speedcfg)
{
    if (Fbus == 0 || can_speedcfg == nullptr)
        return -1;

    // Quanta per bit for prescaler BRP: Fosc / (2 * Fbus * (BRP + 1)),
    // truncated. Dividing step by step gives the same quotient without the
    // product overflowing.
    const unsigned long per_bit = Fosc / Fbus / 2;
    unsigned long brp = 0;
    unsigned long ntq = per_bit;
    while (ntq > max_ntq && brp < max_brp) {
        ++brp;
        ntq = per_bit / (brp + 1);
    }
    if (ntq < min_ntq || ntq > max_ntq)
        return -1;

    const int sy = 1;
    int ps = static_cast<int>((32 * ntq + 50) / 100); // 0.32 * Ntq, halves up
    if (ps > 8)
        ps = 8;
    int pr = static_cast<int>(ntq) - sy - 2 * ps;
    if (pr > 8)
        pr = 8;
    int sjw = ps - 1;
    if (sjw > 4)
        sjw = 4;

    jvalue &calc = out_doc().set("calculation", jvalue::object());
    calc.set("bit_rate", Fbus);
    calc.set("ntq", ntq);
    calc.set("brp", brp);
    calc.set("sy", sy);
    calc.set("pr", pr);
    calc.set("ps1", ps);
    calc.set("ps2", ps);
    calc.set("sjw", sjw);
    calc.set("sum", sy + pr + ps + ps);
    out_text("NTQ(%lu) BRP(%lu) ## SY(%d) PR(%d) PS1(%d) PS2(%d) ## SJW(%d) ## sum(%d)\n", ntq, brp, sy, pr, ps, ps,
             sjw, sy + pr + ps + ps);

    can_speed_cfg c{};
    c.CAN_BPR = static_cast<uint8_t>(brp);
    c.CAN_BTLMODE = 1;
    c.CAN_PRSEG = static_cast<uint8_t>(pr - 1);
    c.CAN_PS1 = static_cast<uint8_t>(ps - 1);
    c.CAN_PS2 = static_cast<uint8_t>(ps - 1);
    c.CAN_SJW = static_cast<uint8_t>(sjw - 1);
    c.CAN_SAM = triple == 1 ? 1 : 0;
    c.CAN_WAKFIL = 0;
    can_calc_config(&c);
    *can_speedcfg = c;
    return 0;
}

void can_config_show(const can_speed_cfg *cfg)
{
    if (cfg == nullptr)
        return;
    jvalue &t = out_doc().set("timing", jvalue::object());
    t.set("sjw", cfg->CAN_SJW);
    t.set("brp", cfg->CAN_BPR);
    t.set("btlmode", cfg->CAN_BTLMODE);
    t.set("sam", cfg->CAN_SAM);
    t.set("ps1", cfg->CAN_PS1);
    t.set("prseg", cfg->CAN_PRSEG);
    t.set("wakfil", cfg->CAN_WAKFIL);
    t.set("ps2", cfg->CAN_PS2);
    t.set("cnf1", cfg->CAN_CNF1);
    t.set("cnf2", cfg->CAN_CNF2);
    t.set("cnf3", cfg->CAN_CNF3);
    out_text("PreScaler: %d\n", cfg->CAN_BPR);
    out_text("PropSeg: %d\n", cfg->CAN_PRSEG);
    out_text("PhaseSeg 1: %d\n", cfg->CAN_PS1);
    out_text("PhaseSeg 2: %d\n", cfg->CAN_PS2);
    out_text("SyncJumpWidth: %d\n", cfg->CAN_SJW);
    out_text("TripleSampling: %d\n", cfg->CAN_SAM);
    out_text("CNF1: %d\n", cfg->CAN_CNF1);
    out_text("CNF2: %d\n", cfg->CAN_CNF2);
    out_text("CNF3: %d\n", cfg->CAN_CNF3);
}

namespace {

// A trace record as a document: the identifier as on the bus (all 29 bits
// of an extended frame) and the bytes a classic frame carries.
jvalue can_record_json(const uint8_t *d, uint8_t kind, int32_t timestamp)
{
    static const char *const kinds[] = {"frame", "message_error", "can_error"};
    jvalue doc = jvalue::object();
    doc.set("command", "trace");
    doc.set("ok", true);
    doc.set("kind", kind < 3 ? kinds[kind] : "unknown");
    doc.set("kind_code", kind);
    doc.set("time", static_cast<long long>(timestamp));
    if (kind == 0) {
        const uint8_t sidh = d[5], sidl = d[6], eid8 = d[7], eid0 = d[8];
        const bool ext = (sidl & 0x08) != 0;
        const uint32_t id = ext ? (static_cast<uint32_t>(sidh) << 21) | (static_cast<uint32_t>(sidl >> 5) << 18) |
                                      (static_cast<uint32_t>(sidl & 0x03) << 16) | (static_cast<uint32_t>(eid8) << 8) |
                                      eid0
                                : (static_cast<uint32_t>(sidh) << 3) | (sidl >> 5);
        const unsigned dlc = d[9] & 0x0F;
        doc.set("id", static_cast<unsigned long>(id));
        doc.set("extended", ext);
        doc.set("dlc", dlc);
        doc.set("data", jvalue::bytes(d + 10, dlc > 8 ? 8 : dlc));
    } else if (kind == 2) {
        doc.set("error", d[4]);
    }
    return doc;
}

} // namespace

void process_can_msg(hdlc_msg_t *msg, uint16_t /*size*/)
{
    if (msg == nullptr)
        return;
    const uint8_t *d = msg->data;
    const uint8_t kind = d[0];
    const int32_t timestamp = static_cast<int32_t>(get_le32(d + 1));
    char line[80];

    switch (kind) {
    case 0: {
        const uint8_t sidh = d[5], sidl = d[6], eid8 = d[7], eid0 = d[8];
        unsigned id;
        if (sidl & 0x08)
            id = (static_cast<unsigned>(sidl & 0x03) << 16) | (static_cast<unsigned>(eid8) << 8) | eid0;
        else
            id = (static_cast<unsigned>(sidh) << 3) | (sidl >> 5);
        const unsigned dlc = d[9] & 0x0F;
        char text[80];
        for (unsigned i = 0; i < dlc; ++i)
            snprintf(&text[2 * i], sizeof text - 2 * i, "%02X", d[10 + i]);
        text[2 * dlc] = '\0';
        snprintf(line, sizeof line, "%07d %02X %02d %.30s\n", timestamp, id, static_cast<int>(dlc), text);
        break;
    }
    case 1:
        snprintf(line, sizeof line, "%07d ERROR 0 Message Error\n", timestamp);
        break;
    case 2:
        snprintf(line, sizeof line, "%07d ERROR 0 CAN Error: %d\n", timestamp, d[4]);
        break;
    default:
        // A newer firmware may send kinds this console does not know; say so
        // rather than hide the record.
        snprintf(line, sizeof line, "%07d unknown CAN record kind %u\n", timestamp, kind);
        break;
    }
    if (out_json())
        out_emit(can_record_json(d, kind, timestamp));
    else
        // puts adds a line end of its own: every record is followed by an
        // empty line.
        puts(line);
    can_log_record(d);
    can_bridge_record(d);
}

int process_cmd_can(char *param)
{
    // The log and the bridge are the console's own business: they need no
    // answer from the box, and their names are taken apart by blanks only.
    if (param != nullptr) {
        char *word = param + strspn(param, " \t");
        const size_t len = strcspn(word, " \t");
        char *rest = word[len] != '\0' ? word + len + 1 : nullptr;
        if (len >= 3 && strncasecmp(word, "log", 3) == 0) {
            out_doc().set("operation", "log");
            return can_log(rest);
        }
        if (len >= 2 && strncasecmp(word, "bridge", 2) == 0) {
            out_doc().set("operation", "bridge");
            return can_bridge(rest);
        }
    }

    char *save = nullptr;
    char *sub = param != nullptr ? strtok_r(param, can_delims, &save) : nullptr;
    char *arg = sub != nullptr ? strtok_r(nullptr, can_delims, &save) : nullptr;

    // The sub-command and its argument are checked before the box is asked
    // anything: a refused command sends nothing.
    enum class sub_cmd { show, speed, dump, reset, reinit, calc, mode } kind;
    if (sub == nullptr || keyword(sub, "show", 2))
        kind = sub_cmd::show;
    else if (keyword(sub, "speed", 2))
        kind = sub_cmd::speed;
    else if (keyword(sub, "dump", 2))
        kind = sub_cmd::dump;
    else if (keyword(sub, "reset", 3))
        kind = sub_cmd::reset;
    else if (keyword(sub, "reinit", 3))
        kind = sub_cmd::reinit;
    else if (keyword(sub, "calc", 3))
        kind = sub_cmd::calc;
    else if (keyword(sub, "mode", 3))
        kind = sub_cmd::mode;
    else {
        out_err("Invalid CAN command %s\n", sub);
        fflush(stderr);
        return -1;
    }
    static const char *const sub_names[] = {"show", "speed", "dump", "reset", "reinit", "calc", "mode"};
    out_doc().set("operation", sub_names[static_cast<int>(kind)]);
    unsigned long rate = default_bit_rate;
    int mode = 0;
    if ((kind == sub_cmd::speed || kind == sub_cmd::calc) && checked_rate(arg, kind == sub_cmd::speed, &rate) != 0)
        return -1;
    if (kind == sub_cmd::dump && arg != nullptr && !keyword(arg, "on", 2) && !keyword(arg, "off", 2)) {
        out_err("invalid CAN dump command %s (on or off)\n", arg);
        fflush(stderr);
        return -1;
    }
    if (kind == sub_cmd::mode && (mode = mode_word(arg)) < 0)
        return -1;

    can_speed_cfg cfg{};
    if (can_get_speed(&cfg) != 0) {
        fail_stderr("Failed to get CAN configuration\n");
        return -1;
    }

    switch (kind) {
    case sub_cmd::show:
        can_config_show(&cfg);
        return 0;
    case sub_cmd::speed:
        return can_speed(rate);
    case sub_cmd::dump:
        return can_dump(arg == nullptr || keyword(arg, "on", 2));
    case sub_cmd::reset:
        if (can_reset() != 0) {
            out_doc().set("confirmed", false);
            fail_stderr("CAN reset failed\n");
            return -1;
        }
        out_doc().set("confirmed", true);
        return 0;
    case sub_cmd::reinit:
        if (can_reinit() != 0) {
            out_doc().set("confirmed", false);
            fail_stderr("CAN re-init failed\n");
            return -1;
        }
        out_doc().set("confirmed", true);
        return 0;
    case sub_cmd::calc:
        return can_calc(rate);
    case sub_cmd::mode:
        return can_mode(mode, arg);
    }
    return -1;
}

int process_cmd_can_reset(char *)
{
    return can_reset();
}

int process_cmd_can_mode(char *param)
{
    char *save = nullptr;
    const char *tok = param != nullptr ? strtok_r(param, "= \t", &save) : nullptr;
    uint8_t mode = 0;
    arg_to_num(tok, &mode, 0, num_reject::none);
    can_set_mode(mode);
    return can_reinit();
}

// ---- MDIO test ---------------------------------------------------------------

int mdio_reg_read_test(uint8_t phyad, uint8_t regad, uint16_t value, unsigned int count)
{
    for (unsigned int pass = 0; pass < count; ++pass) {
        const unsigned int left = count - 1 - pass;
        uint16_t got = 0;
        if (mdio_read(phyad, regad, &got) != 0) {
            out_err("%s: mdio_read failed after %u loops, , phyad(%02X) regad(%02X)\n", __func__, left,
                    phyad, regad);
            fflush(stderr);
            return -1;
        }
        if (got != value) {
            out_err("%s read invalid value after %u loops (%04X != %04X), phyad(%02X) regad(%02X)\n",
                    __func__, left, got, value, phyad, regad);
            fflush(stderr);
            return -1;
        }
    }
    return 0;
}

int mdio_reg_write_test(uint8_t phyad, uint8_t regad, uint16_t v1, uint16_t v2, unsigned int count)
{
    for (unsigned int pass = 0; pass < count; ++pass) {
        const unsigned int left = count - 1 - pass;
        // The last pass writes v1, which stays in the register.
        const uint16_t value = (left & 1u) ? v2 : v1;
        uint16_t got = 0;
        if (mdio_write(phyad, regad, value) != 0 || mdio_read(phyad, regad, &got) != 0) {
            out_err("%s: mdio_read failed after %u loops, , phyad(%02X) regad(%02X)\n", __func__, left,
                    phyad, regad);
            fflush(stderr);
            return -1;
        }
        if (got != value) {
            out_err("%s read invalid value after %u loops (%04X != %04X), phyad(%02X) regad(%02X)\n",
                    __func__, left, got, value, phyad, regad);
            fflush(stderr);
            return -1;
        }
    }
    return 0;
}

int mdio_test(void)
{
    constexpr unsigned passes = 100;
    int failed = 0;
    auto report = [&failed](int rc, const char *name, unsigned phy, unsigned reg, jvalue values) {
        // The verdict of each case is in the document; the line is for people.
        fprintf(stderr, "%s %s\n", name, rc == 0 ? "passed" : "failed");
        jvalue &c = out_doc()["cases"].push(jvalue::object());
        const char *paren = strchr(name, '(');
        c.set("routine", std::string(name, paren != nullptr ? static_cast<size_t>(paren - name) : strlen(name)));
        c.set("phy", phy);
        c.set("register", reg);
        c.set("values", values);
        c.set("passes", passes);
        c.set("passed", rc == 0);
        c.set("text", name);
        fflush(stderr);
        if (rc != 0)
            ++failed;
    };
    const auto vals = [](std::initializer_list<unsigned> vs) {
        jvalue a = jvalue::array();
        for (unsigned v : vs)
            a.push(v);
        return a;
    };
    out_doc().set("cases", jvalue::array());
    report(mdio_reg_read_test(0x18, 0x03, 0x5CC2, passes), "mdio_reg_read_test(0x18, 0x03, 0x5CC2, 100)", 0x18, 0x03,
           vals({0x5CC2}));
    report(mdio_reg_read_test(0x19, 0x03, 0x5CC2, passes), "mdio_reg_read_test(0x19, 0x03, 0x5CC2, 100)", 0x19, 0x03,
           vals({0x5CC2}));
    report(mdio_reg_read_test(0x06, 0x00, 0x95, passes), "mdio_reg_read_test(0x06, 0x00, 0x95, 100)", 0x06, 0x00,
           vals({0x95}));
    report(mdio_reg_write_test(0x18, 0x00, 0x200, 0x208, passes),
           "mdio_reg_write_test(0x18, 0x00, 0x200, 0x208, 100)", 0x18, 0x00, vals({0x200, 0x208}));
    report(mdio_reg_write_test(0x19, 0x00, 0x200, 0x208, passes),
           "mdio_reg_write_test(0x19, 0x00, 0x200, 0x208, 100)", 0x19, 0x00, vals({0x200, 0x208}));
    report(mdio_reg_write_test(0x06, 0x22, 0x06, static_cast<uint8_t>(~0x06), passes),
           "mdio_reg_write_test(0x06, 0x22, 0x06, ~0x06, 100)", 0x06, 0x22, vals({0x06, 0xF9}));
    out_doc().set("failed", failed);
    return failed;
}

int process_cmd_test(char *param)
{
    char *save = nullptr;
    const char *what = param != nullptr ? strtok_r(param, " \t\r\n", &save) : nullptr;
    out_doc().set("test", keyword(what, "mdio", 2) ? jvalue("mdio") : jvalue());
    if (!keyword(what, "mdio", 2)) {
        fflush(stdout);
        if (what == nullptr)
            out_err("test: which test? (mdio)\n");
        else
            out_err("test: unknown test %s (mdio)\n", what);
        fflush(stderr);
        return -1;
    }
    // A test that found a fault is a failed command.
    return mdio_test() == 0 ? 0 : -1;
}
