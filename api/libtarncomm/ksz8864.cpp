// The switch's indirect tables and port registers. Tables go through the
// firmware's remote table functions; registers through SMI (sniff) or MDIO
// address 6 (everything else), always as read-modify-write of whole registers.
#include "ksz8864.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "out.h"
#include "periphery.h"

const ind_tab_desc_t tab_desc[] = {
    {"smac", IND_TAB_SMAC, 8, 32},
    {"vlan", IND_TAB_VLAN, 7, 1024},
    {"dmac", IND_TAB_DMAC, 9, 1024},
    {"mib", IND_TAB_MIB, 4, 272},
};
const int tab_desc_size = static_cast<int>(sizeof tab_desc / sizeof tab_desc[0]);

mib_counter_entry_t mib_counters[] = {
    {0, 0x00, "RxLoPriorityByte"},   {0, 0x01, "RxHiPriorityByte"},    {0, 0x02, "RxUndersizePkt"},
    {0, 0x03, "RxFragments"},        {0, 0x04, "RxOversize"},          {0, 0x05, "RxJabbers"},
    {0, 0x06, "RxSymbolError"},      {0, 0x07, "RxCRCerror"},          {0, 0x08, "RxAlignmentError"},
    {0, 0x09, "RxControl8808Pkts"},  {0, 0x0A, "RxPausePkts"},         {0, 0x0B, "RxBroadcast"},
    {0, 0x0C, "RxMulticast"},        {0, 0x0D, "RxUnicast"},           {0, 0x0E, "Rx64Octets"},
    {0, 0x0F, "Rx65to127Octets"},    {0, 0x10, "Rx128to255Octets"},    {0, 0x11, "Rx256to511Octets"},
    {0, 0x12, "Rx512to1023Octets"},  {0, 0x13, "Rx1024to1522Octets"},  {0, 0x14, "TxLoPriorityByte"},
    {0, 0x15, "TxHiPriorityByte"},   {0, 0x16, "TxLateCollision"},     {0, 0x17, "TxPausePkts"},
    {0, 0x18, "TxBroadcastPkts"},    {0, 0x19, "TxMulticastPkts"},     {0, 0x1A, "TxUnicastPkts"},
    {0, 0x1B, "TxDeferred"},         {0, 0x1C, "TxTotalCollision"},    {0, 0x1D, "TxExcessiveCollision"},
    {0, 0x1E, "TxSingleCollision"},  {0, 0x1F, "TxMultipleCollision"}, {0, 0x100, "TxDropPackets"},
    {0, 0x105, "RxDropPackets"},     {0, 0, nullptr},
};

namespace {

constexpr uint8_t SWITCH_MDIO_ADDR = 6;
constexpr int PORT_COUNT = 4;
constexpr uint8_t IND_DATA_MAX = 9; // data bytes of the remote table functions

const ind_tab_desc_t &desc(ind_tab_id id)
{
    return tab_desc[id];
}

bool port_ok(unsigned port)
{
    return port >= 1 && port <= PORT_COUNT;
}

// Register of a port's block: 0x10 * (port + 1) + offset.
uint8_t port_reg(unsigned port, unsigned offset)
{
    return static_cast<uint8_t>(0x10 * (port + 1) + offset);
}

int sw_read(uint8_t reg, uint16_t *value)
{
    return mdio_read(SWITCH_MDIO_ADDR, reg, value) == 0 ? 0 : -1;
}

// Sets or clears bits of one register; the write's own code is the result.
int sw_modify(uint8_t reg, bool set, uint16_t set_bits, uint16_t clear_mask)
{
    uint16_t v = 0;
    if (sw_read(reg, &v) != 0)
        return -1;
    v = set ? static_cast<uint16_t>(v | set_bits) : static_cast<uint16_t>(v & clear_mask);
    return mdio_write(SWITCH_MDIO_ADDR, reg, v);
}

int flag_set(int port, int val, unsigned offset, uint16_t bit, uint16_t clear_mask)
{
    if (port < 1 || port > PORT_COUNT)
        return 0;
    return sw_modify(port_reg(static_cast<unsigned>(port), offset), val == 1, bit, clear_mask);
}

int flag_get(int port, unsigned offset, unsigned shift)
{
    if (port < 1 || port > PORT_COUNT)
        return 0;
    uint16_t v = 0;
    if (sw_read(port_reg(static_cast<unsigned>(port), offset), &v) != 0)
        return -1;
    return (v >> shift) & 1;
}

} // namespace

// ---------------------------------------------------------------------------
// Wire layouts

void statmac_pack(const statmac_tab_entry_t *entry, uint8_t out[8])
{
    std::memcpy(out, entry->addr, 6);
    out[6] = static_cast<uint8_t>(((entry->fwd_ports & 0x0F) << 1) | ((entry->valid & 1) << 5) |
                                  ((entry->st_override & 1) << 6) | ((entry->use_fid & 1) << 7));
    out[7] = static_cast<uint8_t>(entry->fid & 0x7F);
}

void statmac_unpack(const uint8_t in[8], statmac_tab_entry_t *entry)
{
    std::memcpy(entry->addr, in, 6);
    entry->fwd_ports = static_cast<uint8_t>((in[6] >> 1) & 0x0F);
    entry->valid = static_cast<uint8_t>((in[6] >> 5) & 1);
    entry->st_override = static_cast<uint8_t>((in[6] >> 6) & 1);
    entry->use_fid = static_cast<uint8_t>(in[7] & 1);
    entry->fid = static_cast<uint8_t>(in[7] >> 1);
}

void vlan_tab_pack(const vlan_tab_entry_t *entry, uint8_t out[7])
{
    uint64_t bits = 0;
    for (int i = 3; i >= 0; --i) {
        const vlan_entry_t &v = entry->vlan[i];
        bits <<= 13;
        bits |= (v.fid & 0x7Fu) | ((static_cast<unsigned>(v.fwd_ports) << 8) & 0xF00u) |
                ((static_cast<unsigned>(v.valid) << 12) & 0x1000u);
    }
    for (int k = 0; k < 7; ++k)
        out[k] = static_cast<uint8_t>(bits >> (8 * k));
}

void vlan_tab_unpack(uint16_t index, const uint8_t in[7], vlan_tab_entry_t *entry)
{
    uint64_t bits = 0;
    for (int k = 0; k < 7; ++k)
        bits |= static_cast<uint64_t>(in[k]) << (8 * k);
    for (int i = 0; i < 4; ++i) {
        vlan_entry_t &v = entry->vlan[i];
        v.fid = static_cast<uint8_t>(bits & 0x7F);
        v.fwd_ports = static_cast<uint8_t>((bits >> 8) & 0x0F);
        v.valid = static_cast<uint8_t>((bits >> 12) & 1);
        v.vid = static_cast<uint16_t>(4 * index + i);
        bits >>= 13;
    }
}

// ---------------------------------------------------------------------------
// Raw entries

int ind_tab_entry_read(uint8_t table, uint16_t entry_idx, uint8_t *data, uint8_t dat_len)
{
    if (data == nullptr || dat_len > IND_DATA_MAX)
        return -1;
    rmt_func_param_ind_tab_t p{};
    p.table = table;
    p.entry_idx = entry_idx;
    p.entry_size = dat_len;
    rmt_func_rtn_ind_tab_t r{};
    if (!rmt_ind_tab_entry_read(&p, &r))
        return -1;
    std::memcpy(data, r.data, dat_len);
    return 0;
}

int ind_tab_entry_write(uint8_t table, uint16_t entry_idx, uint8_t *data, uint8_t dat_len)
{
    if (data == nullptr || dat_len > IND_DATA_MAX)
        return -1;
    rmt_func_param_ind_tab_write_t p{};
    p.table = table;
    p.entry_idx = entry_idx;
    p.entry_size = dat_len;
    std::memcpy(p.data, data, dat_len);
    rmt_func_rtn_ind_tab_write_t r{};
    return rmt_ind_tab_entry_write(&p, &r) ? 0 : -1;
}

// ---------------------------------------------------------------------------
// MIB counters

bool mib_tab_entry_read(uint8_t port, mib_counter_entry_t *entry)
{
    if (!port_ok(port) || entry == nullptr)
        return false;
    rmt_func_param_mibtab_t p{};
    p.port = port;
    p.offset = entry->offset;
    rmt_func_rtn_mibtab_t r{};
    if (!rmt_mib_tab_entry_read(&p, &r))
        return false;
    entry->value = r.value;
    return true;
}

void mib_tab_entry_show(uint8_t port, mib_counter_entry_t *entry)
{
    if (entry == nullptr) {
        out_err("mib_tab_entry_show: NULL parameter\n");
        return;
    }
    out_text("MIB: P%d (%s)(%s) %s(%d)\n", port, (entry->value & MIB_OVERFLOW) ? "o" : " ",
                (entry->value & MIB_VALID) ? " " : "!", entry->name,
                static_cast<int>(entry->value & MIB_COUNT_MASK));
}

int mib_tab_show(uint8_t port, mib_counter_entry_t *table)
{
    if (table == nullptr)
        return 0;
    int rc = 0;
    // A document lists every counter read, zero or not.
    jvalue &doc = out_doc()["ports"].push(jvalue::object());
    doc.set("port", port);
    jvalue &counters = doc.set("counters", jvalue::array());
    for (uint8_t i = 0; table[i].name != nullptr; ++i) {
        mib_counter_entry_t &row = table[i];
        // A failed read leaves the word of an earlier read in the row; showing
        // it would pass old data off as current.
        if (!mib_tab_entry_read(port, &row)) {
            rc = -1;
            if (comm_link_down())
                break; // reported once, as the converter's loss
            std::fflush(stdout);
            out_err("mib: could not read %s of port %d, skipped\n", row.name, port);
            std::fflush(stderr);
            continue;
        }
        jvalue &c = counters.push(jvalue::object());
        c.set("name", row.name);
        c.set("count", static_cast<unsigned long>(row.value & MIB_COUNT_MASK));
        c.set("valid", (row.value & MIB_VALID) != 0);
        c.set("overflow", (row.value & MIB_OVERFLOW) != 0);
        if ((row.value & MIB_COUNT_MASK) != 0 || (row.value & MIB_VALID) == 0)
            mib_tab_entry_show(port, &row);
    }
    return rc;
}

// ---------------------------------------------------------------------------
// Dynamic MAC table

bool dynmac_tab_entry_read(uint16_t index, dynmac_tab_entry_t *entry)
{
    if (index >= desc(IND_TAB_DMAC).max_entries || entry == nullptr)
        return false;
    rmt_func_param_dynmactab_t p{};
    p.index = index;
    rmt_func_rtn_dynmactab_t r{};
    if (!rmt_dynmac_tab_entry_read(&p, &r))
        return false;
    *entry = r.entry;
    return true;
}

void printMAC(uint8_t *mac)
{
    out_text("%02x:%02x:%02x:%02x:%02x:%02x", mac[5], mac[4], mac[3], mac[2], mac[1], mac[0]);
}

namespace {

void dynmac_json(jvalue &entries, const dynmac_tab_entry_t &e)
{
    char mac[18];
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", e.macAddr[5], e.macAddr[4], e.macAddr[3],
                  e.macAddr[2], e.macAddr[1], e.macAddr[0]);
    jvalue &j = entries.push(jvalue::object());
    j.set("mac", mac);
    j.set("port", static_cast<unsigned>(e.state[0] & 7));
}

} // namespace

int dynmac_tab_show()
{
    DynMacTableEntryBuffer_t e;
    std::memset(&e, 0, sizeof e);
    if (!dynmac_tab_entry_read(0, &e.macTableEntry))
        return -1;
    const uint8_t *b = e.macTableEntryBuffer;
    jvalue &doc = out_doc();
    jvalue &entries = doc.set("entries", jvalue::array());
    if (b[8] & 0x80) {
        doc.set("count", 0);
        out_text("Dynamic MAC address table is empty\n");
        return 1;
    }
    const int n = ((b[7] >> 5) | ((b[8] & 0x7F) << 3)) + 1;
    doc.set("count", n);
    out_text("Dynamic MAC address table has %d entries.\n", n);
    printMAC(e.macTableEntry.macAddr);
    out_text(" on port %d\n", e.macTableEntry.state[0] & 7);
    dynmac_json(entries, e.macTableEntry);
    for (int i = 1; i < n; ++i) {
        if (!dynmac_tab_entry_read(static_cast<uint16_t>(i), &e.macTableEntry))
            return -1;
        printMAC(e.macTableEntry.macAddr);
        out_text(" on port %d\n", e.macTableEntry.state[0] & 7);
        dynmac_json(entries, e.macTableEntry);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Static MAC and VLAN entries

bool statmac_tab_entry_read(uint16_t index, statmac_tab_entry_t *entry)
{
    const ind_tab_desc_t &d = desc(IND_TAB_SMAC);
    if (index >= d.max_entries || entry == nullptr) {
        errno = EINVAL;
        return false;
    }
    uint8_t data[IND_DATA_MAX] = {};
    if (ind_tab_entry_read(d.id, index, data, d.entry_size) != 0)
        return false;
    statmac_unpack(data, entry);
    return true;
}

bool statmac_tab_entry_write(uint16_t index, statmac_tab_entry_t *entry)
{
    const ind_tab_desc_t &d = desc(IND_TAB_SMAC);
    if (index >= d.max_entries || entry == nullptr) {
        errno = EINVAL;
        return false;
    }
    uint8_t data[IND_DATA_MAX] = {};
    statmac_pack(entry, data);
    return ind_tab_entry_write(d.id, index, data, d.entry_size) == 0;
}

bool vlan_tab_entry_read(uint16_t index, vlan_tab_entry_t *entry)
{
    const ind_tab_desc_t &d = desc(IND_TAB_VLAN);
    if (index >= d.max_entries || entry == nullptr) {
        errno = EINVAL;
        return false;
    }
    uint8_t data[IND_DATA_MAX] = {};
    if (ind_tab_entry_read(d.id, index, data, d.entry_size) != 0)
        return false;
    vlan_tab_unpack(index, data, entry);
    return true;
}

bool vlan_tab_entry_write(uint16_t index, vlan_tab_entry_t *entry)
{
    const ind_tab_desc_t &d = desc(IND_TAB_VLAN);
    if (index >= d.max_entries || entry == nullptr) {
        errno = EINVAL;
        return false;
    }
    uint8_t data[IND_DATA_MAX] = {};
    vlan_tab_pack(entry, data);
    return ind_tab_entry_write(d.id, index, data, d.entry_size) == 0;
}

bool vlan_entry_read(vlan_entry_t *vlan)
{
    if (vlan == nullptr)
        return false;
    vlan_tab_entry_t e{};
    const uint16_t vid = vlan->vid;
    if (!vlan_tab_entry_read(static_cast<uint16_t>(vid / 4), &e))
        return false;
    *vlan = e.vlan[vid % 4];
    vlan->vid = vid;
    return true;
}

bool vlan_entry_write(vlan_entry_t *vlan)
{
    if (vlan == nullptr)
        return false;
    vlan_tab_entry_t e{};
    const uint16_t index = static_cast<uint16_t>(vlan->vid / 4);
    if (!vlan_tab_entry_read(index, &e))
        return false;
    e.vlan[vlan->vid % 4] = *vlan;
    return vlan_tab_entry_write(index, &e);
}

bool vlan_entry_clear(int vid)
{
    if (vid < 0 || vid >= VLAN_ID_COUNT)
        return false;
    vlan_entry_t v{};
    v.vid = static_cast<uint16_t>(vid);
    return vlan_entry_write(&v);
}

// ---------------------------------------------------------------------------
// Port registers

int ksz_set_sniff(uint8_t port, uint8_t mode)
{
    const uint8_t reg = static_cast<uint8_t>((port - 1) * 16 + 0x21);
    uint8_t v = 0;
    if (smi_read(reg, &v) != 0)
        return -1;
    if (smi_write(reg, static_cast<uint8_t>((mode & 0xE0) | (v & 0x1F))) != 0)
        return -1;
    return 0;
}

int ksz_get_sniff(uint8_t port, uint8_t *p_ctl1_val)
{
    const uint8_t reg = static_cast<uint8_t>((port - 1) * 16 + 0x21);
    uint8_t v = 0;
    if (smi_read(reg, &v) != 0)
        return -1;
    if (p_ctl1_val != nullptr)
        *p_ctl1_val = static_cast<uint8_t>(v & 0xE0);
    return 0;
}

int pvlan_get(uint8_t port)
{
    if (!port_ok(port)) {
        errno = EINVAL;
        return -1;
    }
    uint16_t v = 0;
    if (sw_read(port_reg(port, 1), &v) != 0)
        return -1;
    return (v >> 1) & 0xF;
}

int pvlan_set(uint8_t port, uint8_t memshp)
{
    if (!port_ok(port) || memshp > 15) {
        errno = EINVAL;
        return -1;
    }
    uint16_t v = 0;
    const uint8_t reg = port_reg(port, 1);
    if (sw_read(reg, &v) != 0)
        return -1;
    return mdio_write(SWITCH_MDIO_ADDR, reg, static_cast<uint16_t>((v & 0xFFE1) | (memshp << 1)));
}

int pvid_get(uint8_t port)
{
    if (!port_ok(port)) {
        errno = EINVAL;
        return -1;
    }
    uint16_t low = 0, high = 0;
    if (sw_read(port_reg(port, 4), &low) != 0 || sw_read(port_reg(port, 3), &high) != 0)
        return -1;
    return (low & 0xFF) | ((high << 8) & 0xF00);
}

int pvid_set(uint8_t port, uint16_t pvid)
{
    if (!port_ok(port) || pvid > 0xFFF) {
        errno = EINVAL;
        return -1;
    }
    uint16_t v = 0;
    if (sw_read(port_reg(port, 3), &v) != 0)
        return -1;
    if (mdio_write(SWITCH_MDIO_ADDR, port_reg(port, 3), static_cast<uint16_t>((v & 0xFFF0) | ((pvid >> 8) & 0xF))) != 0)
        return -1;
    if (mdio_write(SWITCH_MDIO_ADDR, port_reg(port, 4), static_cast<uint16_t>(pvid & 0xFF)) != 0)
        return -1;
    return 0;
}

int vlan_802_1q_set(int mode)
{
    return sw_modify(5, mode != 0, 0x80, 0x007F);
}

int vlan_802_1q_get()
{
    uint16_t v = 0;
    if (sw_read(5, &v) != 0)
        return -1;
    return (v >> 7) & 1;
}

int vlan_pvid_remove_flag_set(int port, int val)
{
    return flag_set(port, val, 0, 0x02, 0x00FD);
}

int vlan_pvid_remove_flag_get(int port)
{
    return flag_get(port, 0, 1);
}

int vlan_pvid_insert_flag_set(int port, int val)
{
    return flag_set(port, val, 0, 0x04, 0x00FB);
}

int vlan_pvid_insert_flag_get(int port)
{
    return flag_get(port, 0, 2);
}

int vlan_vtable_filter_flag_set(int port, int val)
{
    return flag_set(port, val, 2, 0x40, 0xFFBF);
}

int vlan_vtable_filter_flag_get(int port)
{
    return flag_get(port, 2, 6);
}

int vlan_pvid_filter_flag_set(int port, int val)
{
    return flag_set(port, val, 2, 0x20, 0xFFDF);
}

int vlan_pvid_filter_flag_get(int port)
{
    return flag_get(port, 2, 5);
}
