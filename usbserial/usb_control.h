// Device control: every setting of the converter's serial line is one or two
// vendor control requests. The public FT_ functions are declared in
// usbserial.h, the internal helpers in usbserial-private.h.
#pragma once

#include "usbserial-private.h"

// bRequest codes of the converter.
enum : uint8_t {
    kReqReset = 0,
    kReqModemCtrl = 1,
    kReqFlowCtrl = 2,
    kReqBaud = 3,
    kReqData = 4,
    kReqModemStatus = 5,
    kReqEventChar = 6,
    kReqErrorChar = 7,
    kReqSetLatency = 9,
    kReqGetLatency = 10,
    kReqSetBitMode = 11,
    kReqGetBitMode = 12,
    kReqVendorRead = 0x20,
    kReqVendorWrite = 0x21,
};

constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
constexpr int kPurgeRxRepeats = 6;
