// Baud-rate divisors of the converter: a 14-bit integer divisor with an
// eighth-step fraction, on a 3 MHz base (or 12 MHz on the high-clock chips).
// Pure functions, no device access.
#pragma once

#include <cstdint>

// Status of the calc functions: -1 impossible, 1 close enough, 0 fraction
// not representable (the caller rounds the divisor up).
int calcDivisor(uint32_t baud, uint16_t *divisor, uint16_t *extension);
int calcDivisorHi(uint32_t baud, uint16_t *divisor, uint16_t *extension);
// The rate a divisor word and extension really give.
uint32_t calcBaudRate(uint16_t divisor, uint16_t extension);
uint32_t calcBaudRateHi(uint16_t divisor, uint16_t extension);

// 1 acceptable (within 3 %), 0 not acceptable, -1 impossible. The optional
// outputs tell the actual rate, the whole-percent deviation and its
// direction (0: actual below the request, 1: at or above).
int Baud_getDivisor(uint32_t baud, uint16_t *divisor, uint16_t *extension, uint32_t *actual = nullptr,
                    uint16_t *percent = nullptr, int *direction = nullptr);
int Baud_getDivisorHi(uint32_t baud, uint16_t *divisor, uint16_t *extension, uint32_t *actual = nullptr,
                      uint16_t *percent = nullptr, int *direction = nullptr);

// The rates sent as fixed words with extension 0 on every chip; false when
// `baud` is not one of them.
bool Baud_standard(uint32_t baud, uint16_t *divisor);
