// A stand-in for the USB serial driver's FT_ functions, for testing the
// console front end without USB: a configurable device list, a call log,
// a receive queue that signals the caller's event the way the driver does,
// a capture of written bytes, CBUS pins, injected failures and, for whole
// program runs, canned answers to request frames.
//
// Programs linked against it read their set-up from the environment on the
// first FT_ call:
//   FAKE_FT_DEVICES  comma list of devices, each "SERIAL" (the box's converter)
//                    or "IDHEX:SERIAL" (another ID, e.g. 04036001:X)
//   FAKE_FT_FAIL     comma list of FT_ function names that return FT_IO_ERROR
//   FAKE_FT_LOG      file to which every logged call is appended, one a line
//   FAKE_FT_PINS     CBUS levels read back by FT_GetBitMode (hex, bits 0-3)
//   FAKE_FT_REPLIES  ";"-separated "REQHEX=ACKHEX": when a frame whose content
//                    starts with REQHEX is written, a frame with the content
//                    ACKHEX is received; "REQHEX=@TT" answers with the
//                    request itself, its type replaced by TT
//   FAKE_FT_HELLO    content (hex) of frames, ";"-separated, received as soon
//                    as the event notification is set up
#ifndef TARNCTL_TESTS_FAKE_FT_H
#define TARNCTL_TESTS_FAKE_FT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "usbserial.h"

namespace fake_ft {

constexpr uint32_t corvane_id = 0x04037F80;

struct Device {
    uint32_t id;
    std::string serial;
};

// Back to an empty bus: no devices, no failures, empty logs and queues,
// pins 0, no open handle.
void reset();
void set_devices(const std::vector<Device> &devices);
// Canned answers to written request frames; the latest added is tried
// first. The echo form answers with the request, its type replaced.
void add_reply(const std::vector<uint8_t> &request_prefix, const std::vector<uint8_t> &ack);
void add_echo_reply(const std::vector<uint8_t> &request_prefix, uint8_t ack_type);
// The named FT_ function returns status from now on (FT_OK clears it).
void set_failure(const std::string &function, FT_STATUS status);

// Queues received bytes and signals the registered event like the driver.
void push_rx(const std::vector<uint8_t> &bytes);
// Queues one frame with this content, framed and checked independently of
// the console's own HDLC code.
void push_frame(const std::vector<uint8_t> &content);
size_t rx_pending();

// Every byte written so far, and the number of FT_Write calls.
std::vector<uint8_t> tx_bytes();
size_t tx_calls();
// Contents of the complete good frames found in what was written.
std::vector<std::vector<uint8_t>> tx_frames();

// Calls other than FT_GetQueueStatus, FT_Read and FT_Write, as text such as
// "FT_SetChars(0x7e,1,0,0)", and every good frame written, as "TX <hex>".
std::vector<std::string> calls();
// The counts asked of FT_Read, and the number of FT_GetQueueStatus calls.
std::vector<uint32_t> read_requests();
size_t queue_queries();

// CBUS: the levels FT_GetBitMode reports, and the last bit-bang byte written.
void set_pins(uint8_t levels);
uint8_t pins();

} // namespace fake_ft

#endif
