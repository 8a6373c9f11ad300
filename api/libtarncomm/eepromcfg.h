// The start-up configuration stored in the EEPROM: variable-length records
// (header byte with size and kind, then parameters) between a begin and an end
// marker, the three default sequences the console writes, and raw chunked
// arrays for the CAN block.
#ifndef TARNCOMM_EEPROMCFG_H
#define TARNCOMM_EEPROMCFG_H

#include <cstdio>

#include "common.h"

// Header byte: bits 0-3 size (stored length, header included, 1..13),
// bits 4-7 cmd (record kind). The stored byte is always built and parsed with
// explicit shifts (e2p_cfg_hdr_to_byte / e2p_cfg_hdr_from_byte), whatever the
// compiler does with the bit-fields.
typedef struct e2p_cfg_cmd_hdr {
    uint8_t size : 4;
    uint8_t cmd : 4;
} TARN_PACKED e2p_cfg_cmd_hdr_t;
static_assert(sizeof(e2p_cfg_cmd_hdr_t) == 1, "e2p_cfg_cmd_hdr is 1 byte");

typedef struct e2p_cfg_param_mdio {
    uint8_t phyad;
    uint8_t regad;
    uint16_t value;
} TARN_PACKED e2p_cfg_param_mdio_t;
typedef struct e2p_cfg_param_ctl {
    uint16_t value;
} TARN_PACKED e2p_cfg_param_ctl_t;
typedef struct e2p_cfg_param_itab {
    uint8_t table;
    uint16_t index;
    uint8_t data[9];
} TARN_PACKED e2p_cfg_param_itab_t;

// The parameter bytes exactly as stored (raw, little-endian). raw is what the
// record functions read and write; the typed views are for reading on a
// little-endian host, the helpers below decode raw on any host.
typedef union e2p_cfg_param {
    uint8_t raw[12];
    e2p_cfg_param_mdio_t mdio;
    e2p_cfg_param_ctl_t ctl;
    e2p_cfg_param_itab_t itab;
} e2p_cfg_param_t;
static_assert(sizeof(e2p_cfg_param_t) == 12, "e2p_cfg_param is 12 bytes");

typedef struct e2p_cfg_cmd {
    e2p_cfg_cmd_hdr_t hdr;
    e2p_cfg_param_t param;
} TARN_PACKED e2p_cfg_cmd_t;
static_assert(sizeof(e2p_cfg_cmd_t) == 13, "e2p_cfg_cmd is 13 bytes");

// Record kinds and markers.
constexpr uint8_t E2P_CFG_BEGIN = 0;       // size 3, value 0xCCBB (stored BB CC)
constexpr uint8_t E2P_CFG_END = 1;         // size 3, value 0xCCEE (stored EE CC)
constexpr uint8_t E2P_CFG_MDIO = 3;        // size 5, phy, reg, value (PHY sequences)
constexpr uint8_t E2P_CFG_SWITCH = 5;      // size 5, 06 DF 40 00 (switch sequence)
constexpr uint16_t E2P_CFG_BEGIN_VALUE = 0xCCBB;
constexpr uint16_t E2P_CFG_END_VALUE = 0xCCEE;
constexpr uint8_t E2P_CFG_MAX_SIZE = 13;

// Configuration areas: first address and limit (offset + size <= limit).
constexpr uint16_t E2P_CFG_SWITCH_START = 0x200, E2P_CFG_SWITCH_LIMIT = 0x61F;
constexpr uint16_t E2P_CFG_PHY1_START = 0x620, E2P_CFG_PHY1_LIMIT = 0x70F;
constexpr uint16_t E2P_CFG_PHY2_START = 0x710, E2P_CFG_PHY2_LIMIT = 0x7FF;
// The console's work area for reading one area back.
constexpr size_t E2P_CFG_WORK_AREA = 100;

// Default sequences: switch (begin, one kind-5 record, end), PHY 1 (begin, 40
// register writes for PHY 0x18, end), PHY 2 (the same for PHY 0x19).
extern const e2p_cfg_cmd_t switch_default_init_sequence[3];
extern const e2p_cfg_cmd_t oabr1_default_init_sequence[42];
extern const e2p_cfg_cmd_t oabr2_default_init_sequence[42];
extern const int switch_default_init_sequence_length; // 3
extern const int oabr1_default_init_sequence_length;  // 42
extern const int oabr2_default_init_sequence_length;  // 42

uint8_t e2p_cfg_hdr_to_byte(const e2p_cfg_cmd_hdr_t *hdr);
void e2p_cfg_hdr_from_byte(e2p_cfg_cmd_hdr_t *hdr, uint8_t byte);

// Reads the record at offset. Returns its size, or -1: offset + 1 >= limit,
// size 0, size > 13, offset + size > limit, or an EEPROM read that failed or
// returned fewer bytes than asked (such a record is never parsed as data).
int e2p_read_cfg_cmd(uint16_t offset, e2p_cfg_cmd_t *cfg_cmd, uint16_t limit);

// Stores the first size bytes of *cfg_cmd at offset in one e2p_write. Returns
// its size, or -1: without writing when size <= 1, size > 13 or
// offset + size > limit; after writing when the write failed or the box
// stored fewer bytes than the record has.
int e2p_write_cfg_cmd(uint16_t offset, const e2p_cfg_cmd_t *cfg_cmd, uint16_t limit);

// 1 when kind 0 with parameter bytes BB CC (size not looked at), else 0.
int e2p_check_cfg_begin(const e2p_cfg_cmd_t *cfg_cmd);
// 1 when kind 1 with parameter bytes EE CC, else 0.
int e2p_check_cfg_end(const e2p_cfg_cmd_t *cfg_cmd);

// Stores the sequence cfg_cmds[0..count) from offset: nothing unless it starts
// with a begin marker; stops after the end marker, when offset reaches limit,
// or when the caller's count records have been walked. Records are written
// as e2p_write_cfg_cmd does; the offset advances by each record's size even
// when one was refused, and a failed write does not stop the sequence unless
// the link is gone. Result: 0 when every record was stored whole (a
// header-only record is never stored and does not count), -1 when one was
// not, or nothing was written for want of a begin marker.
int e2p_write_config(const e2p_cfg_cmd_t *cfg_cmds, uint16_t offset, uint16_t limit, size_t count);
// The usual three-argument call on an array: the count is the array's.
template <size_t N>
int e2p_write_config(const e2p_cfg_cmd_t (&cfg_cmds)[N], uint16_t offset, uint16_t limit)
{
    return e2p_write_config(cfg_cmds, offset, limit, N);
}

// Reads the stored sequence at offset into cfg_cmds (at most capacity records)
// without printing. Stops after an end marker, when offset reaches limit, when
// the work area is full, and at a record that is not valid (size 0 and the
// other refusals of e2p_read_cfg_cmd). *count (optional) = records filled.
// Result: 0; -1 when the first record is not a begin marker or an EEPROM read
// failed (the records before it are filled and counted).
int e2p_load_config(e2p_cfg_cmd_t *cfg_cmds, uint16_t offset, uint16_t limit, size_t capacity, size_t *count);

// As e2p_load_config, then prints every record read to stdout, one line each
// (e2p_print_cfg_cmd), and a line naming why reading stopped early when it did
// (no begin marker, a failed read, an invalid record, the work area full).
int e2p_read_config(e2p_cfg_cmd_t *cfg_cmds, uint16_t offset, uint16_t limit, size_t capacity,
                    size_t *count = nullptr);
template <size_t N>
int e2p_read_config(e2p_cfg_cmd_t (&cfg_cmds)[N], uint16_t offset, uint16_t limit)
{
    return e2p_read_config(cfg_cmds, offset, limit, N);
}

// Name of a record kind: "begin", "end", "mdio", "switch", or "?".
const char *e2p_cfg_kind_name(unsigned cmd);

// One record as text, at EEPROM address offset, without line end:
//   "0x0620 kind 0 (begin) size 3: BB CC"
//   "0x0623 kind 3 (mdio) size 5: 18 17 93 0F (phy 0x18 reg 0x17 value 0x0F93)"
// Parameter bytes are the size - 1 stored ones. Returns snprintf's count.
int e2p_format_cfg_cmd(const e2p_cfg_cmd_t *cfg_cmd, uint16_t offset, char *buf, size_t len);
// The same with a line end, on out (stdout when null).
void e2p_print_cfg_cmd(const e2p_cfg_cmd_t *cfg_cmd, uint16_t offset, FILE *out = nullptr);

// Stores len raw bytes from offset in chunks of 15 (the next chunk asks for the
// count the box acknowledged for the previous one). 0, or -1 when a write
// fails, the box acknowledges 0 bytes or more than asked, or the last chunk
// is acknowledged in part.
int e2p_write_config_array(const void *data, uint16_t offset, uint16_t len);
// One e2p_read of *len bytes (at most 57): 0 when it succeeds, -1 otherwise.
int e2p_read_config_array(void *data, uint16_t offset, uint16_t *len);

#endif
