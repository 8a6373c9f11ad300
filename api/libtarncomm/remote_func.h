// Remote function calls: a numbered firmware function with a parameter block
// and a return block, all through the one exchange object comm_rmt_func
// (request 0xF2/function number, acknowledgement 0xF3/any cmd).
#ifndef TARNCOMM_REMOTE_FUNC_H
#define TARNCOMM_REMOTE_FUNC_H

#include "commands.h"
#include "common.h"

constexpr uint16_t RMT_BLOCK_MAX = 56; // 60-byte payload less the 4-byte rmt_param

typedef enum remote_functions {
    func_rmt_echo = 0,
    func_rmt_mib_tab_entry_read = 1,
    func_rmt_dynmac_tab_entry_read = 2,
    func_rmt_bcm89810_led_ctrl = 3,
    func_rmt_ind_tab_entry_read = 4,
    func_rmt_ind_tab_entry_write = 5,
    func_rmt_eeprom_erase_byte = 6,
    func_rmt_eeprom_erase_block = 7,
} remote_functions_t;

// Bytes 0-3 of the request payload.
typedef struct rmt_param {
    uint16_t param_size;
    uint16_t rtn_size;
} TARN_PACKED rmt_param_t;
static_assert(sizeof(rmt_param_t) == 4, "rmt_param is 4 bytes");

// One dynamic MAC table entry as it travels (the switch table code gives the meaning).
typedef struct dynmac_tab_entry {
    uint8_t macAddr[6];
    uint8_t fid_dr;
    uint8_t state[2];
} TARN_PACKED dynmac_tab_entry_t;
static_assert(sizeof(dynmac_tab_entry_t) == 9, "dynmac_tab_entry is 9 bytes");

// Parameter and return blocks. Multi-byte fields hold host values; the
// wrappers encode and decode them little-endian explicitly.
typedef struct rmt_func_param_echo { char echo[32]; } TARN_PACKED rmt_func_param_echo_t;
typedef struct rmt_func_rtn_echo { char echo[32]; } TARN_PACKED rmt_func_rtn_echo_t;
typedef struct rmt_func_param_mibtab { uint8_t port; uint16_t offset; } TARN_PACKED rmt_func_param_mibtab_t;
typedef struct rmt_func_rtn_mibtab { uint32_t value; } TARN_PACKED rmt_func_rtn_mibtab_t;
typedef struct rmt_func_param_dynmactab { uint16_t index; } TARN_PACKED rmt_func_param_dynmactab_t;
typedef struct rmt_func_rtn_dynmactab { dynmac_tab_entry_t entry; } TARN_PACKED rmt_func_rtn_dynmactab_t;
typedef struct rmt_func_param_ind_tab {
    uint8_t table;
    uint16_t entry_idx;
    uint8_t entry_size;
} TARN_PACKED rmt_func_param_ind_tab_t;
typedef struct rmt_func_rtn_ind_tab { uint8_t data[9]; } TARN_PACKED rmt_func_rtn_ind_tab_t;
typedef struct rmt_func_param_ind_tab_write {
    uint8_t table;
    uint16_t entry_idx;
    uint8_t entry_size;
    uint8_t data[9];
} TARN_PACKED rmt_func_param_ind_tab_write_t;
typedef struct rmt_func_rtn_ind_tab_write { uint8_t dummy; } TARN_PACKED rmt_func_rtn_ind_tab_write_t;
typedef struct rmt_func_param_eeprom_erase_byte { uint16_t addr; } TARN_PACKED rmt_func_param_eeprom_erase_byte_t;
typedef struct rmt_func_rtn_eeprom_erase_byte { uint8_t dummy; } TARN_PACKED rmt_func_rtn_eeprom_erase_byte_t;
typedef struct rmt_func_param_eeprom_erase_block {
    uint16_t addr;
    uint16_t size;
} TARN_PACKED rmt_func_param_eeprom_erase_block_t;
typedef struct rmt_func_rtn_eeprom_erase_block { uint8_t dummy; } TARN_PACKED rmt_func_rtn_eeprom_erase_block_t;

static_assert(sizeof(rmt_func_param_echo_t) == 32 && sizeof(rmt_func_rtn_echo_t) == 32, "echo blocks");
static_assert(sizeof(rmt_func_param_mibtab_t) == 3 && sizeof(rmt_func_rtn_mibtab_t) == 4, "mib blocks");
static_assert(sizeof(rmt_func_param_dynmactab_t) == 2 && sizeof(rmt_func_rtn_dynmactab_t) == 9, "dynmac blocks");
static_assert(sizeof(rmt_func_param_ind_tab_t) == 4 && sizeof(rmt_func_rtn_ind_tab_t) == 9, "ind tab read blocks");
static_assert(sizeof(rmt_func_param_ind_tab_write_t) == 13 && sizeof(rmt_func_rtn_ind_tab_write_t) == 1,
              "ind tab write blocks");
static_assert(sizeof(rmt_func_param_eeprom_erase_byte_t) == 2, "erase byte block");
static_assert(sizeof(rmt_func_param_eeprom_erase_block_t) == 4, "erase block block");

// Runs function func_idx: time-out timeout seconds (<= 0: 1), param_size bytes
// of param sent after the 4-byte rmt_param, the first rtn_size bytes of the
// acknowledgement payload copied to rtn. false without sending when a block
// exceeds 56 bytes; false with "** send_req failed" on stdout when the
// exchange fails (rtn untouched).
bool rmt_function(uint8_t func_idx, int32_t timeout, const void *param, uint16_t param_size, void *rtn,
                  uint16_t rtn_size);

// Wrappers: number, time-out and block sizes of each function.
bool rmt_echo(rmt_func_param_echo_t *param, rmt_func_rtn_echo_t *rtn);                       // fn 0, 1 s
bool rmt_mib_tab_entry_read(rmt_func_param_mibtab_t *param, rmt_func_rtn_mibtab_t *rtn);      // fn 1, 3 s
bool rmt_dynmac_tab_entry_read(rmt_func_param_dynmactab_t *param, rmt_func_rtn_dynmactab_t *rtn); // fn 2, 3 s
bool rmt_ind_tab_entry_read(rmt_func_param_ind_tab_t *param, rmt_func_rtn_ind_tab_t *rtn);    // fn 4, 3 s
bool rmt_ind_tab_entry_write(rmt_func_param_ind_tab_write_t *param, rmt_func_rtn_ind_tab_write_t *rtn); // fn 5, 3 s
bool rmt_eeprom_erase_byte(rmt_func_param_eeprom_erase_byte_t *param, rmt_func_rtn_eeprom_erase_byte_t *rtn); // fn 6, 1 s
bool rmt_eeprom_erase_block(rmt_func_param_eeprom_erase_block_t *param,
                            rmt_func_rtn_eeprom_erase_block_t *rtn); // fn 7, 10 s

#endif
