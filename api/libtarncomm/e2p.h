// Raw access to the box's EEPROM: read and write in pieces of at most 57 bytes
// through the exchange objects comm_e2p_read / comm_e2p_write, and byte and
// block erase through the remote functions 6 and 7.
#ifndef TARNCOMM_E2P_H
#define TARNCOMM_E2P_H

#include "commands.h"
#include "common.h"

constexpr uint16_t E2P_MAX_PAYLOAD = 57; // 60-byte payload less the 3-byte header

// Payload of both requests and both acknowledgements (little-endian on the
// wire; the services encode it explicitly).
typedef struct e2p_msg_hdr {
    uint16_t addr; // EEPROM address
    uint8_t size;  // data bytes asked for / written / read
} TARN_PACKED e2p_msg_hdr_t;
typedef struct e2p_msg {
    e2p_msg_hdr_t hdr;
    uint8_t value[E2P_MAX_PAYLOAD];
} TARN_PACKED e2p_msg_t;
static_assert(sizeof(e2p_msg_hdr_t) == 3, "e2p_msg_hdr is 3 bytes");
static_assert(sizeof(e2p_msg_t) == 60, "e2p_msg is 60 bytes");

// Reads up to *size bytes (at most 57) at addr. On 0: min(n, *size, 57) bytes
// copied to data and *size = n, the count the box reports. Otherwise send_req's
// code; data and *size unchanged.
int e2p_read(uint16_t addr, void *data, uint16_t *size);

// Writes *size bytes at addr. *size > 57: "size > max_payload (%d)\n" on stderr
// and -1 without sending. On 0, *size = the count the box reports written;
// otherwise send_req's code.
int e2p_write(uint16_t addr, const void *data, uint16_t *size);

// Erase one byte (remote function 6) / size bytes from addr (remote function 7,
// waits up to 10 s): 0 when acknowledged, 1 otherwise.
int e2p_erase_byte(uint16_t addr);
int e2p_erase_block(uint16_t addr, uint16_t size);

#endif
