// HDLC-like framing of the link to the box (RFC 1662 style): flag 0x7E, byte
// stuffing with 0x7D, FCS-16 sent low byte first. The transmitter stuffs on the
// fly into the output callback; the receiver is a byte-fed state machine that
// hands every frame with a good FCS to the frame callback.
#ifndef TARNCOMM_HDLC_H
#define TARNCOMM_HDLC_H

#include "common.h"

// Defined in commands.h (the message header).
struct hdlc_msg_hdr;
typedef struct hdlc_msg_hdr hdlc_msg_hdr_t;

constexpr uint8_t HDLC_FLAG = 0x7E;
constexpr uint8_t HDLC_ESC = 0x7D;
constexpr uint8_t HDLC_ESC_XOR = 0x20;
// Receive buffer: content and FCS. The longest frame received whole has 62
// content bytes, exactly one hdlc_msg_t.
constexpr unsigned HDLC_RX_BUF_SIZE = 64;
constexpr unsigned HDLC_MAX_CONTENT = HDLC_RX_BUF_SIZE - 2;

// Writes one byte to the line.
typedef void (*hdlc_put_char_t)(char data);
// Writes one whole encoded frame (flags, stuffed content, FCS) to the line in
// one go.
typedef void (*hdlc_put_frame_t)(const uint8_t *bytes, size_t len);
// Receives the content of one good frame, without the FCS (0 to 62 bytes).
// The buffer is the receiver's own and is reused for the next frame: copy what
// must outlive the call.
typedef void (*hdlc_on_rx_frame_t)(const u8_t *buffer, uint16_t bytes_received);

// Resets the receiver, stores both callbacks (either may be null: output is
// then discarded, frames are then not delivered). Call before the first byte is
// sent or received, before the receiver thread starts.
void hdlc_init(hdlc_put_char_t put_char, hdlc_on_rx_frame_t on_rx_frame);

// Installs (or with null removes) the frame output: while it is set, every
// frame and every single byte goes to it in one call instead of one
// hdlc_put_char call per wire byte; the bytes are the same. hdlc_init
// removes it. Call while no other thread transmits.
void hdlc_set_frame_output(hdlc_put_frame_t put_frame);

// One byte, unchanged, to the output callback (under the transmit lock, so it
// never lands inside another thread's frame).
void hdlc_tx_byte(uint8_t data);

// One whole frame with the bytes_to_send bytes at buffer as content (0 bytes
// gives flags and FCS only).
void hdlc_tx_frame(const uint8_t *buffer, uint8_t bytes_to_send);

// Feeds one received byte to the receiver; may call the frame callback once,
// on the calling thread, before it returns. Single consumer: only the
// receiver thread calls this.
void hdlc_on_rx_byte(uint8_t data);

// Transmit lock. Every frame goes out whole under one mutex (hdlc_tx_frame
// holds it from the opening to the closing flag), so the ping echo
// of the receiver thread never interleaves with a request of the main thread.
// Lock order: an exchange object's mtx (held by send_req) may be held when the
// transmit lock is taken, never the other way round. The output callback runs
// under the lock and must not call hdlc_tx_* itself: such a nested call is
// detected and its bytes are dropped (it could not be sent whole anyway)
// rather than deadlocking.

#endif
