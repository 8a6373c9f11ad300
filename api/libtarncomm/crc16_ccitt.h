// FCS-16 of RFC 1662 (CRC-16/X-25): reflected polynomial 0x8408, table driven.
// Used by the HDLC framing and on its own for the check word of the stored CAN
// configuration. The functions apply neither the initial value nor the final
// complement: callers start from 0xFFFF and complement themselves.
#ifndef TARNCOMM_CRC16_CCITT_H
#define TARNCOMM_CRC16_CCITT_H

#include "common.h"

// Entry i is the register after shifting byte value i through the reflected
// polynomial eight times.
extern const uint16_t crc16_ccitt_table[256];

// Initial register value and the register a good frame ends with when the
// content and its two FCS bytes have been run through.
constexpr uint16_t CRC16_CCITT_INIT = 0xFFFF;
constexpr uint16_t CRC16_CCITT_GOOD = 0xF0B8;

// Does nothing: the table is constant. Kept because hdlc_init calls it.
void crc16_ccitt_init(void);

// (crc >> 8) ^ table[(crc ^ data) & 0xFF]
uint16_t crc16_ccitt_calc_byte(uint16_t crc, uint8_t data);

// The same step over data_length bytes in order, starting from crc.
uint16_t crc16_ccitt_calc_data(uint16_t crc, const uint8_t *data, uint16_t data_length);

#endif
