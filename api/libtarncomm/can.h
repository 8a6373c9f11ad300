// CAN controller services: bit timing (speed), acceptance masks and filters,
// operating mode and the second mode byte, wake-up parameters, trace of the
// received CAN frames, reset and re-init, and the CAN block in the EEPROM.
// One exchange object per service, one blocking exchange per call; the
// console's router delivers their acknowledgements.
#ifndef TARNCOMM_CAN_H
#define TARNCOMM_CAN_H

#include "commands.h"
#include "common.h"

// Bit timing of the controller, 11 bytes in this order on the wire and in the
// EEPROM. The segment fields hold their length in time quanta minus 1; the
// three CNF bytes are the controller's registers built from the others.
typedef struct can_speed_cfg_t {
    uint8_t CAN_SJW;     // synchronisation jump width
    uint8_t CAN_BPR;     // baud-rate prescaler
    uint8_t CAN_BTLMODE; // phase segment 2 taken from CAN_PS2
    uint8_t CAN_SAM;     // triple sampling
    uint8_t CAN_PS1;     // phase segment 1
    uint8_t CAN_PRSEG;   // propagation segment
    uint8_t CAN_WAKFIL;  // wake-up filter
    uint8_t CAN_PS2;     // phase segment 2
    uint8_t CAN_CNF1;
    uint8_t CAN_CNF2;
    uint8_t CAN_CNF3;
} TARN_PACKED can_speed_cfg;
static_assert(sizeof(can_speed_cfg) == 11, "can_speed_cfg is 11 bytes");

// Acceptance masks and filters of the two receive buffers: buffer 0 has one
// mask and two filters, buffer 1 one mask and four. 34 bytes on the wire,
// 32-bit fields little-endian; always (un)serialised field by field.
typedef struct MaskFilterBufferStruct {
    uint8_t uiRxB0ExtId; // buffer 0 matches extended identifiers
    uint32_t RxB0Mask;
    uint32_t RxB0Filter0Id;
    uint32_t RxB0Filter1Id;
    uint8_t uiRxB1ExtId; // buffer 1 matches extended identifiers
    uint32_t RxB1Mask;
    uint32_t RxB1Filter2Id;
    uint32_t RxB1Filter3Id;
    uint32_t RxB1Filter4Id;
    uint32_t RxB1Filter5Id;
} TARN_PACKED MaskFilterBufferStruct;
static_assert(sizeof(MaskFilterBufferStruct) == 34, "MaskFilterBufferStruct is 34 bytes");
constexpr int CAN_MASK_FILTER_SIZE = 34;

// Wake-up settings; only ever stored in the EEPROM (16 bytes, little-endian).
typedef struct WakeupConfiguration {
    uint8_t lcmode;
    uint32_t milliseconds;
    uint8_t selective;
    uint32_t pulse_width_time;
    uint32_t threshold_time;
    uint8_t opmode;
    uint8_t can_mode;
} TARN_PACKED WakeupConfiguration;
static_assert(sizeof(WakeupConfiguration) == 16, "WakeupConfiguration is 16 bytes");
constexpr int CAN_WAKEUP_CFG_SIZE = 16;

// The CAN block of the EEPROM: speed record, masks and filters, wake-up
// record, then the CRC over the three (low byte first).
constexpr uint16_t CAN_E2P_SPEED_ADDR = 0x800;
constexpr uint16_t CAN_E2P_FILTER_ADDR = 0x80B;
constexpr uint16_t CAN_E2P_WAKEUP_ADDR = 0x82D;
constexpr uint16_t CAN_E2P_CRC_ADDR = 0x83D;

// Controller modes the console sets.
constexpr uint8_t CAN_MODE_NORMAL = 0x00;
constexpr uint8_t CAN_MODE_LISTEN = 0x60;

// mf -> the 34-byte wire layout at d; *size = 34.
void serializeMaskFilter(const MaskFilterBufferStruct *mf, char *d, int *size);
// The 34-byte wire layout at data -> *mf. size is not used (the layout is
// fixed); data must hold 34 bytes.
void unserializeMaskFilter(MaskFilterBufferStruct *mf, const char *data, int size);
// cfg -> the 16-byte stored layout at d.
void serializeWakeupConfig(const WakeupConfiguration *cfg, uint8_t *d);

// All services return 0 when the acknowledgement arrived, otherwise the
// non-zero code of send_req (110 time-out, 22 other failure). Outputs are
// written only on 0. No service checks the values it sends.
int can_trace_enable(void);
int can_trace_disable(void);
int can_reset(void);
// Makes the settings given since the last re-init take effect.
int can_reinit(void);
int can_set_speed(can_speed_cfg cfg);
// cfg may be null: the exchange still runs.
int can_get_speed(can_speed_cfg *cfg);
int can_set_filter_mask(MaskFilterBufferStruct fm);
int can_get_filter_mask(MaskFilterBufferStruct *fm);
// *ms from acknowledgement bytes 0-3 (signed), *selective from byte 4, each
// when not null; opmode is not part of the answer and is never written.
int can_get_wakeup(int *ms, uint8_t *selective, uint8_t *opmode);
int can_set_wakeup(int ms, uint8_t selective);
int can_set_lcmode(uint8_t mode);
int can_get_lcmode(uint8_t *mode);
// 0x00 normal operation, 0x60 listen only; effective after can_reinit.
int can_set_mode(uint8_t mode);
int can_get_mode(uint8_t *mode);

// Stores the three records at 0x800, 0x80B and 0x82D and the CRC over their
// 61 bytes (FCS-16 register from 0xFFFF, not complemented) at 0x83D. 0, or -1
// at the first write that failed or was stored only in part, with a line on
// stderr naming it (what was written before stays).
int can_save_cfg_to_e2p(const can_speed_cfg *speedConfig, const MaskFilterBufferStruct *filterMask,
                        const WakeupConfiguration *wakeupConfig);

#endif
