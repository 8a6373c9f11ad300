// Stored configuration: record read/write on top of e2p_read/e2p_write, the
// sequence walkers with their stop rules, the default sequences, and the
// chunked raw arrays used for the CAN block.
#include "eepromcfg.h"

#include <cstring>

#include "commands.h"
#include "e2p.h"

namespace {

constexpr e2p_cfg_cmd_t rec2(uint8_t cmd, uint16_t value)
{
    e2p_cfg_cmd_t r{};
    r.hdr.size = 3;
    r.hdr.cmd = cmd & 0xF;
    r.param.raw[0] = static_cast<uint8_t>(value);
    r.param.raw[1] = static_cast<uint8_t>(value >> 8);
    return r;
}

constexpr e2p_cfg_cmd_t rec_mdio(uint8_t cmd, uint8_t phy, uint8_t reg, uint16_t value)
{
    e2p_cfg_cmd_t r{};
    r.hdr.size = 5;
    r.hdr.cmd = cmd & 0xF;
    r.param.raw[0] = phy;
    r.param.raw[1] = reg;
    r.param.raw[2] = static_cast<uint8_t>(value);
    r.param.raw[3] = static_cast<uint8_t>(value >> 8);
    return r;
}

constexpr e2p_cfg_cmd_t BEGIN = rec2(E2P_CFG_BEGIN, E2P_CFG_BEGIN_VALUE);
constexpr e2p_cfg_cmd_t END = rec2(E2P_CFG_END, E2P_CFG_END_VALUE);

#define M(reg, val) rec_mdio(E2P_CFG_MDIO, PHY, reg, val)
// The 40 register writes of the BroadR-Reach PHY start-up, in order.
#define OABR_REGS                                                                                               \
    M(0x17, 0x0F93), M(0x15, 0x107F), M(0x17, 0x0F90), M(0x15, 0x0001), M(0x00, 0x3000), M(0x00, 0x0200),       \
        M(0x18, 0x0C00), M(0x17, 0x0F90), M(0x15, 0x0000), M(0x00, 0x0100), M(0x17, 0x0001), M(0x15, 0x0027),   \
        M(0x17, 0x000E), M(0x15, 0x9B52), M(0x17, 0x000F), M(0x15, 0xA04D), M(0x17, 0x0F90), M(0x15, 0x0001),   \
        M(0x17, 0x0F92), M(0x15, 0x9225), M(0x17, 0x000A), M(0x15, 0x0323), M(0x00, 0x0208), M(0x17, 0x0FFD),   \
        M(0x15, 0x1C3F), M(0x17, 0x0FFE), M(0x15, 0x1C3F), M(0x17, 0x0F99), M(0x15, 0x7180), M(0x17, 0x0F9A),   \
        M(0x15, 0x34C0), M(0x18, 0xF167), M(0x17, 0x0F0E), M(0x15, 0x0800), M(0x17, 0x0F9F), M(0x15, 0x0000),   \
        M(0x1C, 0xAC81), M(0x1C, 0x8A03), M(0x1C, 0xB4E5), M(0x1C, 0xB863)

} // namespace

const e2p_cfg_cmd_t switch_default_init_sequence[3] = {
    BEGIN,
    rec_mdio(E2P_CFG_SWITCH, 0x06, 0xDF, 0x0040),
    END,
};

#define PHY 0x18
const e2p_cfg_cmd_t oabr1_default_init_sequence[42] = {BEGIN, OABR_REGS, END};
#undef PHY
#define PHY 0x19
const e2p_cfg_cmd_t oabr2_default_init_sequence[42] = {BEGIN, OABR_REGS, END};
#undef PHY
#undef OABR_REGS
#undef M

const int switch_default_init_sequence_length = 3;
const int oabr1_default_init_sequence_length = 42;
const int oabr2_default_init_sequence_length = 42;

uint8_t e2p_cfg_hdr_to_byte(const e2p_cfg_cmd_hdr_t *hdr)
{
    return static_cast<uint8_t>((hdr->size & 0x0F) | ((hdr->cmd & 0x0F) << 4));
}

void e2p_cfg_hdr_from_byte(e2p_cfg_cmd_hdr_t *hdr, uint8_t byte)
{
    hdr->size = byte & 0x0F;
    hdr->cmd = (byte >> 4) & 0x0F;
}

namespace {

// area_full: no room for a record before the limit; work_full (the sequence
// reader only): the caller's work area is full before the sequence ended.
enum class rec_read { ok, area_full, invalid, failed, work_full };

// e2p_read_cfg_cmd with the reason of a refusal, for the sequence reader.
rec_read read_record(uint16_t offset, e2p_cfg_cmd_t *cfg_cmd, uint16_t limit, int *size)
{
    if (static_cast<unsigned>(offset) + 1 >= limit)
        return rec_read::area_full;
    uint8_t hdr = 0;
    uint16_t n = 1;
    // A failed or empty read leaves nothing to parse: the header byte would
    // be whatever the buffer held.
    if (e2p_read(offset, &hdr, &n) != 0 || n < 1)
        return rec_read::failed;
    e2p_cfg_hdr_from_byte(&cfg_cmd->hdr, hdr);
    const unsigned s = cfg_cmd->hdr.size;
    if (s == 0 || s > E2P_CFG_MAX_SIZE || static_cast<unsigned>(offset) + s > limit)
        return rec_read::invalid;
    if (s > 1) {
        uint8_t param[12];
        uint16_t want = static_cast<uint16_t>(s - 1);
        n = want;
        if (e2p_read(static_cast<uint16_t>(offset + 1), param, &n) != 0 || n < want)
            return rec_read::failed;
        std::memcpy(cfg_cmd->param.raw, param, want);
    }
    *size = static_cast<int>(s);
    return rec_read::ok;
}

} // namespace

int e2p_read_cfg_cmd(uint16_t offset, e2p_cfg_cmd_t *cfg_cmd, uint16_t limit)
{
    if (cfg_cmd == nullptr)
        return -1;
    int size = 0;
    return read_record(offset, cfg_cmd, limit, &size) == rec_read::ok ? size : -1;
}

namespace {

enum class rec_write { ok, refused, failed };

// e2p_write_cfg_cmd with the reason of a failure, for the sequence writer.
rec_write write_record(uint16_t offset, const e2p_cfg_cmd_t *cfg_cmd, uint16_t limit)
{
    const unsigned s = cfg_cmd->hdr.size;
    if (s <= 1 || s > E2P_CFG_MAX_SIZE || static_cast<unsigned>(offset) + s > limit)
        return rec_write::refused;
    uint8_t bytes[E2P_CFG_MAX_SIZE];
    bytes[0] = e2p_cfg_hdr_to_byte(&cfg_cmd->hdr);
    std::memcpy(&bytes[1], cfg_cmd->param.raw, s - 1);
    uint16_t n = static_cast<uint16_t>(s);
    // A record the box stored only in part is as broken as one it did not
    // store: the firmware would apply a torn record.
    if (e2p_write(offset, bytes, &n) != 0 || n != s)
        return rec_write::failed;
    return rec_write::ok;
}

} // namespace

int e2p_write_cfg_cmd(uint16_t offset, const e2p_cfg_cmd_t *cfg_cmd, uint16_t limit)
{
    if (cfg_cmd == nullptr)
        return -1;
    return write_record(offset, cfg_cmd, limit) == rec_write::ok ? static_cast<int>(cfg_cmd->hdr.size) : -1;
}

int e2p_check_cfg_begin(const e2p_cfg_cmd_t *cfg_cmd)
{
    return cfg_cmd != nullptr && cfg_cmd->hdr.cmd == E2P_CFG_BEGIN &&
           get_le16(cfg_cmd->param.raw) == E2P_CFG_BEGIN_VALUE;
}

int e2p_check_cfg_end(const e2p_cfg_cmd_t *cfg_cmd)
{
    return cfg_cmd != nullptr && cfg_cmd->hdr.cmd == E2P_CFG_END &&
           get_le16(cfg_cmd->param.raw) == E2P_CFG_END_VALUE;
}

int e2p_write_config(const e2p_cfg_cmd_t *cfg_cmds, uint16_t offset, uint16_t limit, size_t count)
{
    if (cfg_cmds == nullptr || count == 0 || !e2p_check_cfg_begin(&cfg_cmds[0]))
        return -1;
    int rc = 0;
    unsigned off = offset;
    for (size_t idx = 0; idx < count; ++idx) {
        const rec_write w = write_record(static_cast<uint16_t>(off), &cfg_cmds[idx], limit);
        // A header-only record is not stored, by design; any other record
        // that is not stored whole leaves the area unlike the sequence.
        if (w == rec_write::failed || (w == rec_write::refused && cfg_cmds[idx].hdr.size > 1))
            rc = -1;
        if (w == rec_write::failed && comm_link_down())
            break;
        const bool end = e2p_check_cfg_end(&cfg_cmds[idx]);
        off += cfg_cmds[idx].hdr.size;
        if (end || off >= limit)
            break;
    }
    return rc;
}

namespace {

// Why e2p_load_config stopped, for the printed listing.
struct load_result {
    int rc = 0;
    size_t count = 0;
    rec_read stop = rec_read::ok;
    unsigned stop_offset = 0;
    uint8_t stop_hdr = 0;
};

load_result load(e2p_cfg_cmd_t *cfg_cmds, uint16_t offset, uint16_t limit, size_t capacity)
{
    load_result r;
    if (cfg_cmds == nullptr || capacity == 0) {
        r.rc = -1;
        return r;
    }
    unsigned off = offset;
    for (size_t idx = 0; idx < capacity; ++idx) {
        int size = 0;
        const rec_read rr = read_record(static_cast<uint16_t>(off), &cfg_cmds[idx], limit, &size);
        if (rr != rec_read::ok) {
            r.stop = rr;
            r.stop_offset = off;
            r.stop_hdr = e2p_cfg_hdr_to_byte(&cfg_cmds[idx].hdr);
            r.rc = (idx == 0 || rr == rec_read::failed) ? -1 : 0;
            return r;
        }
        r.count = idx + 1;
        if (idx == 0 && !e2p_check_cfg_begin(&cfg_cmds[0])) {
            r.rc = -1;
            return r;
        }
        off += static_cast<unsigned>(size);
        if (e2p_check_cfg_end(&cfg_cmds[idx]) || off >= limit)
            return r;
    }
    // The work area is full before the sequence ended.
    r.stop = rec_read::work_full;
    r.stop_offset = off;
    return r;
}

} // namespace

int e2p_load_config(e2p_cfg_cmd_t *cfg_cmds, uint16_t offset, uint16_t limit, size_t capacity, size_t *count)
{
    load_result r = load(cfg_cmds, offset, limit, capacity);
    if (count != nullptr)
        *count = r.count;
    return r.rc;
}

int e2p_read_config(e2p_cfg_cmd_t *cfg_cmds, uint16_t offset, uint16_t limit, size_t capacity, size_t *count)
{
    load_result r = load(cfg_cmds, offset, limit, capacity);
    if (count != nullptr)
        *count = r.count;
    unsigned off = offset;
    for (size_t i = 0; i < r.count; ++i) {
        e2p_print_cfg_cmd(&cfg_cmds[i], static_cast<uint16_t>(off), stdout);
        off += cfg_cmds[i].hdr.size;
    }
    if (r.count == 1 && r.rc != 0 && !e2p_check_cfg_begin(&cfg_cmds[0]))
        std::printf("0x%04X no begin marker\n", offset);
    else if (r.stop == rec_read::failed)
        std::printf("0x%04X read failed\n", r.stop_offset);
    else if (r.stop == rec_read::invalid)
        std::printf("0x%04X no valid record (header 0x%02X)\n", r.stop_offset, r.stop_hdr);
    else if (r.stop == rec_read::work_full)
        std::printf("0x%04X work area full after %zu records\n", r.stop_offset, r.count);
    std::fflush(stdout);
    return r.rc;
}

const char *e2p_cfg_kind_name(unsigned cmd)
{
    switch (cmd) {
    case E2P_CFG_BEGIN: return "begin";
    case E2P_CFG_END: return "end";
    case E2P_CFG_MDIO: return "mdio";
    case E2P_CFG_SWITCH: return "switch";
    default: return "?";
    }
}

int e2p_format_cfg_cmd(const e2p_cfg_cmd_t *cfg_cmd, uint16_t offset, char *buf, size_t len)
{
    if (cfg_cmd == nullptr || buf == nullptr || len == 0)
        return -1;
    const unsigned kind = cfg_cmd->hdr.cmd;
    const unsigned size = cfg_cmd->hdr.size;
    char tmp[160];
    int n = std::snprintf(tmp, sizeof tmp, "0x%04X kind %u (%s) size %u:", offset, kind, e2p_cfg_kind_name(kind),
                          size);
    const unsigned nparam = size > 1 ? (size > E2P_CFG_MAX_SIZE ? 12 : size - 1) : 0;
    for (unsigned i = 0; i < nparam; ++i)
        n += std::snprintf(tmp + n, sizeof tmp - static_cast<size_t>(n), " %02X", cfg_cmd->param.raw[i]);
    if ((kind == E2P_CFG_MDIO || kind == E2P_CFG_SWITCH) && size == 5)
        n += std::snprintf(tmp + n, sizeof tmp - static_cast<size_t>(n), " (phy 0x%02X reg 0x%02X value 0x%04X)",
                           cfg_cmd->param.raw[0], cfg_cmd->param.raw[1], get_le16(&cfg_cmd->param.raw[2]));
    return std::snprintf(buf, len, "%s", tmp);
}

void e2p_print_cfg_cmd(const e2p_cfg_cmd_t *cfg_cmd, uint16_t offset, FILE *out)
{
    char line[160];
    if (e2p_format_cfg_cmd(cfg_cmd, offset, line, sizeof line) < 0)
        return;
    std::fprintf(out != nullptr ? out : stdout, "%s\n", line);
}

int e2p_write_config_array(const void *data, uint16_t offset, uint16_t len)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    if (p == nullptr && len > 0)
        return -1;
    unsigned off = offset;
    uint16_t c = 15;
    while (len > 15) {
        const uint16_t asked = c;
        if (e2p_write(static_cast<uint16_t>(off), p, &c) != 0)
            return -1;
        // 0 bytes would never end; more than asked would run past data.
        if (c == 0 || c > asked || c > len)
            return -1;
        off += c;
        p += c;
        len = static_cast<uint16_t>(len - c);
    }
    uint16_t n = len;
    if (e2p_write(static_cast<uint16_t>(off), p, &n) != 0)
        return -1;
    // The last chunk has no next one to carry its rest: stored in part is
    // not stored.
    if (n != len)
        return -1;
    return 0;
}

int e2p_read_config_array(void *data, uint16_t offset, uint16_t *len)
{
    return e2p_read(offset, data, len) == 0 ? 0 : -1;
}
