// Shared scalar types and helpers of the communication library.
// Every module of libtarncomm includes this; the names (u8_t, u16_t, ...) are
// the ones the wire records and callbacks use.
#ifndef TARNCOMM_COMMON_H
#define TARNCOMM_COMMON_H

#include <cstddef>
#include <cstdint>

typedef uint8_t u8_t;
typedef uint16_t u16_t;
typedef uint32_t u32_t;
typedef uint64_t u64_t;
typedef int8_t s8_t;
typedef int16_t s16_t;
typedef int32_t s32_t;
typedef int64_t s64_t;

// Wire records are byte-packed; every packed struct carries a static_assert on
// its size next to its definition.
#define TARN_PACKED __attribute__((packed))

// Little-endian field access. Payloads are always read and written through
// these, never by casting a byte pointer to a wider type, so the code is right
// on any host and on unaligned buffers.
static inline uint16_t get_le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
static inline uint32_t get_le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
static inline uint64_t get_le64(const uint8_t *p)
{
    return static_cast<uint64_t>(get_le32(p)) | (static_cast<uint64_t>(get_le32(p + 4)) << 32);
}
static inline void put_le16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
static inline void put_le32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
static inline void put_le64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

#endif
