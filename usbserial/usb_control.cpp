// Line control over vendor requests. Requests are synchronous control
// transfers on the caller's thread with the handle's USB time-out. Shadows
// are written only after the device took the request (the baud and line
// control words excepted: a later break request must combine with the word
// last asked for).
#include "usb_control.h"

#include "baud.h"

#include <algorithm>

FT_STATUS FT_VendorRequest(uint8_t request, uint16_t value, uint16_t index, uint8_t *data, uint16_t length,
                           uint8_t requestType, DeviceExtension *d)
{
    if (!d || !d->usbctx.usb_dev)
        return FT_IO_ERROR;
    int r = libusb_control_transfer(d->usbctx.usb_dev, requestType, request, value, index, data, length,
                                    d->usbTimeout.load());
    return r == static_cast<int>(length) ? FT_OK : FT_IO_ERROR;
}

FT_STATUS GetModemStatus(DeviceExtension *d)
{
    uint8_t buf[2] = {0, 0};
    uint16_t iface = static_cast<uint16_t>(std::max(0, static_cast<int>(d->usbctx.interfaceNumber)));
    if (FT_VendorRequest(kReqModemStatus, 0, iface, buf, 2, kVendorIn, d) != FT_OK)
        return FT_IO_ERROR;
    std::lock_guard lock(d->rxMutex);
    d->modemStatus = buf[0] & 0xF0;
    d->lineStatus = buf[1];
    return FT_OK;
}

FT_STATUS ReadLatencyTimer(DeviceExtension *d)
{
    if (!d->cls.fractional)
        return FT_NOT_SUPPORTED;
    uint8_t v = 0;
    FT_STATUS st = FT_VendorRequest(kReqGetLatency, 0, d->controlIndex, &v, 1, kVendorIn, d);
    if (st == FT_OK)
        d->latencyTimer = v;
    return st;
}

FT_STATUS Purge(DeviceExtension *d, ULONG mask)
{
    FT_STATUS st = FT_OK;
    if (mask & FT_PURGE_RX) {
        // The chip wants the receive purge repeated before its FIFO is
        // reliably empty; only the last answer tells.
        for (int i = 0; i < kPurgeRxRepeats; ++i)
            st = FT_VendorRequest(kReqReset, 1, d->controlIndex, nullptr, 0, kVendorOut, d);
        if (st != FT_OK)
            return st;
        std::lock_guard lock(d->rxMutex);
        // Transfers that arrived but are not queued yet hold data from
        // before the purge: drop them when the processor gets there.
        for (auto &slot : d->slots)
            if (slot && slot->receivedLength.load() > 2)
                slot->discard = true;
        d->ringWrite = d->ringRead = 0;
        d->ringFree = d->ringSize;
        // The queue is empty now, as after a read that empties it: the next
        // data must notify again.
        d->eventStatus &= ~static_cast<uint32_t>(FT_EVENT_RXCHAR);
    }
    if (mask & FT_PURGE_TX)
        st = FT_VendorRequest(kReqReset, 2, d->controlIndex, nullptr, 0, kVendorOut, d);
    return st;
}

FT_STATUS SetBaudRate(DeviceExtension *d, ULONG baud)
{
    uint16_t word = 0, ext = 0;
    if (!Baud_standard(baud, &word)) {
        int ok = (d->cls.highClock && baud >= 1200) ? Baud_getDivisorHi(baud, &word, &ext)
                                                    : Baud_getDivisor(baud, &word, &ext);
        if (ok != 1)
            return FT_IO_ERROR;
    }
    uint16_t index = d->cls.shiftedIndex ? static_cast<uint16_t>((ext << 8) | d->controlIndex) : ext;
    FT_STATUS st = FT_VendorRequest(kReqBaud, word, index, nullptr, 0, kVendorOut, d);
    d->baudRate = baud;
    return st;
}

extern "C" {

FT_STATUS FT_ResetDevice(FT_HANDLE h)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    FT_STATUS st = FT_VendorRequest(kReqReset, 0, 0, nullptr, 0, kVendorOut, d);
    if (st != FT_OK)
        return st;
    return Purge(d, FT_PURGE_RX | FT_PURGE_TX);
}

FT_STATUS FT_Purge(FT_HANDLE h, ULONG mask)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    return Purge(d, mask);
}

FT_STATUS FT_SetBaudRate(FT_HANDLE h, ULONG baud)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    return SetBaudRate(d, baud);
}

FT_STATUS FT_SetDivisor(FT_HANDLE h, USHORT divisor)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    return FT_VendorRequest(kReqBaud, divisor, d->controlIndex, nullptr, 0, kVendorOut, d);
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, UCHAR wordLength, UCHAR stopBits, UCHAR parity)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    uint16_t value = static_cast<uint16_t>(wordLength | (parity << 8) | (stopBits << 11));
    d->lineControl = value;
    FT_STATUS st = FT_VendorRequest(kReqData, value, d->controlIndex, nullptr, 0, kVendorOut, d);
    if (st == FT_OK) {
        d->wordLength = wordLength;
        d->stopBits = stopBits;
        d->parity = parity;
    }
    return st;
}

static FT_STATUS modemControl(DeviceExtension *d, uint16_t value)
{
    FT_STATUS st = FT_VendorRequest(kReqModemCtrl, value, d->controlIndex, nullptr, 0, kVendorOut, d);
    if (st == FT_OK) {
        if (value & 0x0100)
            d->dtrOn = value & 1;
        if (value & 0x0200)
            d->rtsOn = (value & 2) != 0;
    }
    return st;
}

FT_STATUS FT_SetDtr(FT_HANDLE h)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    return modemControl(d, 0x0101);
}

FT_STATUS FT_ClrDtr(FT_HANDLE h)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    return modemControl(d, 0x0100);
}

FT_STATUS FT_SetRts(FT_HANDLE h)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    return modemControl(d, 0x0202);
}

FT_STATUS FT_ClrRts(FT_HANDLE h)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    return modemControl(d, 0x0200);
}

FT_STATUS FT_SetFlowControl(FT_HANDLE h, USHORT mode, UCHAR xon, UCHAR xoff)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    uint16_t value = mode == FT_FLOW_XON_XOFF ? static_cast<uint16_t>((xoff << 8) | xon) : 0;
    FT_STATUS st = FT_VendorRequest(kReqFlowCtrl, value, static_cast<uint16_t>(mode | d->controlIndex), nullptr, 0,
                                    kVendorOut, d);
    if (st != FT_OK)
        return st;
    d->flowMode = mode;
    d->xonChar = xon;
    d->xoffChar = xoff;
    // Hardware handshake only works with our side of it raised.
    if (mode == FT_FLOW_RTS_CTS)
        return modemControl(d, 0x0202);
    if (mode == FT_FLOW_DTR_DSR)
        return modemControl(d, 0x0101);
    return FT_OK;
}

FT_STATUS FT_SetChars(FT_HANDLE h, UCHAR eventChar, UCHAR eventEnabled, UCHAR errorChar, UCHAR errorEnabled)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    uint16_t ev = static_cast<uint16_t>(eventChar | (eventEnabled ? 0x0100 : 0));
    FT_STATUS st = FT_VendorRequest(kReqEventChar, ev, d->controlIndex, nullptr, 0, kVendorOut, d);
    if (st != FT_OK)
        return st;
    uint16_t er = static_cast<uint16_t>(errorChar | (errorEnabled ? 0x0100 : 0));
    st = FT_VendorRequest(kReqErrorChar, er, d->controlIndex, nullptr, 0, kVendorOut, d);
    if (st != FT_OK)
        return st;
    d->eventChar = eventChar;
    d->eventCharEnabled = eventEnabled;
    d->errorChar = errorChar;
    d->errorCharEnabled = errorEnabled;
    return FT_OK;
}

FT_STATUS FT_SetBreakOn(FT_HANDLE h)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    return FT_VendorRequest(kReqData, static_cast<uint16_t>(d->lineControl | 0x4000), d->controlIndex, nullptr, 0,
                            kVendorOut, d);
}

FT_STATUS FT_SetBreakOff(FT_HANDLE h)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    return FT_VendorRequest(kReqData, d->lineControl, d->controlIndex, nullptr, 0, kVendorOut, d);
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, UCHAR latency)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!d->cls.fractional)
        return FT_NOT_SUPPORTED;
    FT_STATUS st = FT_VendorRequest(kReqSetLatency, latency, d->controlIndex, nullptr, 0, kVendorOut, d);
    if (st == FT_OK) {
        d->latencyTimer = latency;
        UpdateDeadmanTimeout(d);
    }
    return st;
}

FT_STATUS FT_GetLatencyTimer(FT_HANDLE h, PUCHAR latency)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!latency)
        return FT_INVALID_PARAMETER;
    FT_STATUS st = ReadLatencyTimer(d);
    if (st == FT_OK)
        *latency = d->latencyTimer;
    return st;
}

FT_STATUS FT_SetBitMode(FT_HANDLE h, UCHAR mask, UCHAR mode)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!d->cls.fractional)
        return FT_NOT_SUPPORTED;
    uint16_t value = static_cast<uint16_t>((mode << 8) | mask);
    FT_STATUS st = FT_VendorRequest(kReqSetBitMode, value, d->controlIndex, nullptr, 0, kVendorOut, d);
    if (st == FT_OK)
        d->bitMode = value;
    return st;
}

FT_STATUS FT_GetBitMode(FT_HANDLE h, PUCHAR value)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!value)
        return FT_INVALID_PARAMETER;
    if (!d->cls.fractional)
        return FT_NOT_SUPPORTED;
    uint8_t v = 0;
    FT_STATUS st = FT_VendorRequest(kReqGetBitMode, 0, d->controlIndex, &v, 1, kVendorIn, d);
    if (st == FT_OK)
        *value = v;
    return st;
}

static uint16_t vendorIndex(const DeviceExtension *d) { return d->cls.multiChannel ? d->controlIndex : 0; }

FT_STATUS FT_VendorCmdGetEx(FT_HANDLE h, USHORT command, UCHAR *buf, USHORT len)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!d->cls.vendorCmd)
        return FT_IO_ERROR;
    if (!buf)
        return FT_INVALID_PARAMETER;
    len = std::min<USHORT>(len, 128);
    return FT_VendorRequest(kReqVendorRead, command, vendorIndex(d), buf, len, kVendorIn, d);
}

FT_STATUS FT_VendorCmdGet(FT_HANDLE h, UCHAR command, UCHAR *buf, USHORT len)
{
    return FT_VendorCmdGetEx(h, command, buf, len);
}

FT_STATUS FT_VendorCmdSet(FT_HANDLE h, UCHAR command, UCHAR *buf, USHORT len)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!d->cls.vendorCmd)
        return FT_IO_ERROR;
    if (!buf && len != 0)
        return FT_INVALID_PARAMETER;
    len = std::min<USHORT>(len, 128);
    // A single payload byte rides in wValue; the chip wants no data stage then.
    if (len == 1)
        return FT_VendorRequest(kReqVendorWrite, static_cast<uint16_t>(command | (buf[0] << 8)), vendorIndex(d),
                                nullptr, 0, kVendorOut, d);
    return FT_VendorRequest(kReqVendorWrite, command, vendorIndex(d), buf, len, kVendorOut, d);
}

FT_STATUS FT_VendorCmdSetEx(FT_HANDLE, USHORT, UCHAR *, USHORT) { return FT_NOT_SUPPORTED; }

} // extern "C"
