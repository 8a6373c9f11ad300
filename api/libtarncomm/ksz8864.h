// The switch: its indirectly addressed tables (static MAC, VLAN, dynamic MAC,
// MIB counters), reached through the firmware's remote table functions, and
// the per-port registers for mirroring, port VLANs, PVID and VLAN flags,
// reached through SMI or MDIO address 6. Every call here is one or two
// blocking exchanges on the caller's (main) thread.
#ifndef TARNCOMM_KSZ8864_H
#define TARNCOMM_KSZ8864_H

#include "common.h"
#include "remote_func.h"

// ---- Indirect tables ------------------------------------------------------

typedef struct ind_tab_desc {
    const char *name;     // name the console uses
    uint8_t id;           // table number of the remote table functions
    uint8_t entry_size;   // bytes per entry on the wire
    uint16_t max_entries; // valid indexes 0 .. max_entries - 1
} ind_tab_desc_t;

// smac (0, 8 bytes, 32), vlan (1, 7, 1024), dmac (2, 9, 1024), mib (3, 4, 272).
extern const ind_tab_desc_t tab_desc[];
extern const int tab_desc_size;

enum ind_tab_id : uint8_t {
    IND_TAB_SMAC = 0,
    IND_TAB_VLAN = 1,
    IND_TAB_DMAC = 2,
    IND_TAB_MIB = 3,
};

// Counter word: bit 31 overflowed, bit 30 count valid, bits 0-29 the count.
constexpr uint32_t MIB_OVERFLOW = 0x80000000u;
constexpr uint32_t MIB_VALID = 0x40000000u;
constexpr uint32_t MIB_COUNT_MASK = 0x3FFFFFFFu;

typedef struct mib_counter_entry {
    uint32_t value;   // counter word of the last successful read, 0 at start
    uint16_t offset;  // counter number within a port
    const char *name; // null ends the list
} mib_counter_entry_t;

// The 34 counters of a port in table order, then a row with a null name.
extern mib_counter_entry_t mib_counters[];

typedef union DynMacTableEntryBuffer {
    dynmac_tab_entry_t macTableEntry;
    uint8_t macTableEntryBuffer[9];
} DynMacTableEntryBuffer_t;
static_assert(sizeof(DynMacTableEntryBuffer_t) == 9, "a dynamic MAC entry is 9 bytes");

typedef struct statmac_tab_entry {
    uint8_t addr[6];     // least significant octet first
    uint8_t fwd_ports;   // bit 0 = port 1 .. bit 3 = port 4
    uint8_t valid;       // 0/1
    uint8_t st_override; // 0/1
    uint8_t use_fid;     // 0/1
    uint8_t fid;         // 0..127
} statmac_tab_entry_t;

typedef struct vlan_entry {
    uint8_t fwd_ports; // member ports, bit 0 = port 1 .. bit 3 = port 4
    uint8_t valid;     // 0/1
    uint8_t fid;       // 0..127
    uint16_t vid;      // 0..4095
} vlan_entry_t;

// The four VLANs of one VLAN table entry: VLAN 4 * index + i in vlan[i].
typedef struct vlan_tab_entry {
    vlan_entry_t vlan[4];
} vlan_tab_entry_t;

constexpr int VLAN_ID_COUNT = 4096;

// Wire layouts, without any exchange. The static entry is written and read
// with two different layouts (the firmware and stored entries rely on both):
//   written: byte 6 = (fwd_ports << 1) | (valid << 5) | (st_override << 6) |
//            (use_fid << 7), byte 7 = fid & 0x7F
//   read:    fwd_ports, valid and st_override as written, use_fid = byte 7
//            bit 0, fid = byte 7 >> 1
// A VLAN entry is one 56-bit little-endian number of four 13-bit groups
// (group i in bits 13i..13i+12: fid bits 0-6, ports bits 8-11, valid bit 12).
void statmac_pack(const statmac_tab_entry_t *entry, uint8_t out[8]);
void statmac_unpack(const uint8_t in[8], statmac_tab_entry_t *entry);
void vlan_tab_pack(const vlan_tab_entry_t *entry, uint8_t out[7]);
void vlan_tab_unpack(uint16_t index, const uint8_t in[7], vlan_tab_entry_t *entry);

// Raw entry access: 0 on success, -1 otherwise (also, without an exchange,
// for dat_len above 9 or a null data). No index or size check here.
int ind_tab_entry_read(uint8_t table, uint16_t entry_idx, uint8_t *data, uint8_t dat_len);
int ind_tab_entry_write(uint8_t table, uint16_t entry_idx, uint8_t *data, uint8_t dat_len);

// One counter of a port (1..4) into entry->value; false without an exchange
// for another port or a null entry. On failure entry->value is unchanged.
bool mib_tab_entry_read(uint8_t port, mib_counter_entry_t *entry);
// "MIB: P<port> (o| )( |!) <name>(<count>)".
void mib_tab_entry_show(uint8_t port, mib_counter_entry_t *entry);
// Reads every counter of the list and prints those that are invalid or not
// zero. A counter whose read failed is not printed. 0 when every read
// succeeded, -1 otherwise (also for a port outside 1..4).
int mib_tab_show(uint8_t port, mib_counter_entry_t *table);

// false without an exchange for index >= 1024 or a null entry.
bool dynmac_tab_entry_read(uint16_t index, dynmac_tab_entry_t *entry);
// mac[5] .. mac[0] as "xx:xx:xx:xx:xx:xx", no line end.
void printMAC(uint8_t *mac);
// Lists the learned addresses; the count and the empty flag come from entry
// 0. 1 when listed (or empty), -1 when a read failed.
int dynmac_tab_show();

// Typed entries. Index out of range: errno = EINVAL, false, no exchange.
bool statmac_tab_entry_read(uint16_t index, statmac_tab_entry_t *entry);
bool statmac_tab_entry_write(uint16_t index, statmac_tab_entry_t *entry);
bool vlan_tab_entry_read(uint16_t index, vlan_tab_entry_t *entry);
bool vlan_tab_entry_write(uint16_t index, vlan_tab_entry_t *entry);

// One VLAN by vlan->vid (entry vid / 4, group vid % 4). The read leaves vid
// as it was; after a failed read *vlan means nothing. The write reads the
// entry, replaces the group and writes the entry back.
bool vlan_entry_read(vlan_entry_t *vlan);
bool vlan_entry_write(vlan_entry_t *vlan);
// false without an exchange for vid outside 0..4095.
bool vlan_entry_clear(int vid);

// ---- Port registers -------------------------------------------------------
//
// Port p (1..4) has a register block at 0x10 * (p + 1). Each setter is one
// read-modify-write that changes only its own bits.

// Sniff mode bits of block + 1 (by SMI).
constexpr uint8_t SNIFF_MIRROR = 0x80; // this port receives the copies
constexpr uint8_t SNIFF_RX = 0x40;
constexpr uint8_t SNIFF_TX = 0x20;
constexpr uint8_t SNIFF_RXTX = 0x60;
constexpr uint8_t SNIFF_OFF = 0x00;

// No port check. 0, or -1 when a read or write failed.
int ksz_set_sniff(uint8_t port, uint8_t mode);
int ksz_get_sniff(uint8_t port, uint8_t *p_ctl1_val);

// Port VLAN membership (block + 1, bits 1-4). Bad port or memshp > 15:
// errno = EINVAL and -1. get: the mask or -1; set: 0, -1 after a failed
// read, or the exchange code of a failed write.
int pvlan_get(uint8_t port);
int pvlan_set(uint8_t port, uint8_t memshp);

// PVID (block + 3 bits 0-3: bits 8-11, block + 4: bits 0-7). Bad port or
// pvid > 0xFFF: errno = EINVAL and -1. The high bits are written first.
int pvid_get(uint8_t port);
int pvid_set(uint8_t port, uint16_t pvid);

// 802.1Q VLAN enable (register 5, bit 7).
int vlan_802_1q_set(int mode);
int vlan_802_1q_get();

// Per-port flags. A port outside 1..4 gives 0 without an exchange; only val 1
// sets a flag, any other value clears it. get: 0/1 or -1.
int vlan_pvid_remove_flag_set(int port, int val); // block + 0, bit 1
int vlan_pvid_remove_flag_get(int port);
int vlan_pvid_insert_flag_set(int port, int val); // block + 0, bit 2
int vlan_pvid_insert_flag_get(int port);
int vlan_vtable_filter_flag_set(int port, int val); // block + 2, bit 6
int vlan_vtable_filter_flag_get(int port);
int vlan_pvid_filter_flag_set(int port, int val); // block + 2, bit 5
int vlan_pvid_filter_flag_get(int port);

#endif
