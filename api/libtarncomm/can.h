// CAN controller services: bit timing, masks and filters, modes,
// wake-up, trace and the EEPROM store. For now this module holds the exchange
// objects, so the console's router can deliver to every one of them; the
// services themselves come in a later issue.
#ifndef TARNCOMM_CAN_H
#define TARNCOMM_CAN_H

#include "commands.h"
#include "common.h"

extern comm_obj_t can_set_speed_ctl;       // 0xF0/0x41 -> 0xF1/0x41
extern comm_obj_t can_get_speed_ctl;       // 0xF0/0x42 -> 0x6F/0x42 (0xF1/0x42 too)
extern comm_obj_t can_set_filter_mask_ctl; // 0xF0/0x47 -> 0xF1/0x47
extern comm_obj_t can_get_filter_mask_ctl; // 0xF0/0x48 -> 0x6F/0x48
extern comm_obj_t can_trace_enable_ctl;    // 0xF0/0x49 -> 0xF1/0x49
extern comm_obj_t can_trace_disable_ctl;   // 0xF0/0x4A -> 0xF1/0x4A
extern comm_obj_t can_set_mode_ctl;        // 0xF0/0x4B -> 0xF1/0x4B
extern comm_obj_t can_get_mode_ctl;        // 0xF0/0x4C -> 0xF1/0x4C
extern comm_obj_t can_reset_ctl;           // 0xF0/0x50 -> 0xF1/0x50
extern comm_obj_t can_reinit_ctl;          // 0xF0/0x51 -> 0xF1/0x51
extern comm_obj_t can_wakeup_read;         // 0xF0/0x52 -> 0xF1/0x52
extern comm_obj_t can_wakeup_write;        // 0xF0/0x53 -> 0xF1/0x53
extern comm_obj_t can_set_lcmode_ctl;      // 0xF0/0x62 -> 0xF1/0x62
extern comm_obj_t can_get_lcmode_ctl;      // 0x60/0x62 -> 0x6F/0x62

#endif
