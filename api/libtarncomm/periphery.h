// Periphery services: one blocking call per basic firmware function (Ethernet
// power, wake-up line, MDIO and SMI registers, identification, ping,
// bootloader enable, status word, Ethernet wake-up parameters). Each fills the
// request of its own exchange object, calls send_req and decodes the answer.
#ifndef TARNCOMM_PERIPHERY_H
#define TARNCOMM_PERIPHERY_H

#include "commands.h"
#include "common.h"

// Payload records (wire layout; the services encode them explicitly).
typedef struct mdio_msg_hdr {
    uint8_t phyad;
    uint8_t regad;
} TARN_PACKED mdio_msg_hdr_t;
typedef struct mdio_msg {
    mdio_msg_hdr_t hdr;
    uint16_t value; // little-endian on the wire
} TARN_PACKED mdio_msg_t;
static_assert(sizeof(mdio_msg_t) == 4, "mdio_msg is 4 bytes");

typedef struct smi_msg_hdr {
    uint8_t regad;
} TARN_PACKED smi_msg_hdr_t;
typedef struct smi_msg {
    smi_msg_hdr_t hdr;
    uint8_t value;
} TARN_PACKED smi_msg_t;
static_assert(sizeof(smi_msg_t) == 2, "smi_msg is 2 bytes");

typedef enum pwr_ctl { pwr_on = 0, pwr_off = 1 } pwr_ctl_t;
typedef enum wup_ctl { wup_on = 0, wup_off = 1, wup_trig = 2, wup_get = 3 } wup_ctl_t;

// All return send_req's result (0, 110, 22) unless said otherwise; output
// variables are written only on 0.

// Ethernet part on/off; -1 without sending for another mode.
int pwr_ctl(pwr_ctl_t mode);
// PHY register read/write through MDIO.
int mdio_read(uint8_t phyad, uint8_t regad, uint16_t *regval);
int mdio_write(uint8_t phyad, uint8_t regad, uint16_t regval);
// Switch register read/write through SMI.
int smi_read(uint8_t regad, uint8_t *regval);
int smi_write(uint8_t regad, uint8_t regval);
// Firmware version: fwv[0..3] = ack bytes 0..3.
int fwv_read(uint8_t *fwv);
// Firmware date: fwd[3..0] = ack bytes 0..3 (reversed).
int fwd_read(uint8_t *fwd);
// Bootloader version: reversed like fwd_read.
int blv_read(uint8_t *blv);
// Bootloader string: 30 bytes into bls (strncpy semantics; caller terminates).
int bls_read(char *bls);
// Link turn-around time in microseconds.
int ping(uint32_t *turnaround);
// Bootloader enable (non-zero) or disable (zero).
int bl_enable(int enable);
// Wake-up line: -1 on failure, else ack byte 0 (0..255); for wup_get 1 = GND.
int wup_ctl(wup_ctl_t mode);
// Housekeeping status word (signed 32-bit).
int hk_status(int *status);
// Ethernet wake-up parameters.
int set_eth_wakeup(int ms, int threshold);
int get_eth_wakeup(int *ms, int *threshold);
// Wake-up pulse: sends 50 30 02 as one frame and returns 0 at once; no wait,
// no exchange object (its ack reaches comm_wup_ctl with nobody waiting).
int trigger_wup(void);

#endif
