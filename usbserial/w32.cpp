// The Windows-compatibility layer: the comm-style calls mapped onto the FT_
// functions. Results are 1 for success and 0 for failure; the FT_STATUS of
// the call that was made is kept as the handle's last error.
#include "usbserial-private.h"

#include <cstring>

namespace {

BOOL record(DeviceExtension *d, FT_STATUS st)
{
    d->lastError = st;
    return st == FT_OK ? TRUE : FALSE;
}

} // namespace

extern "C" {

FT_HANDLE FT_W32_CreateFile(LPCSTR name, DWORD, DWORD, LPVOID, DWORD, DWORD attrs, HANDLE)
{
    DWORD by = 0;
    if (attrs & FT_W32_OPEN_BY_SERIAL_NUMBER)
        by = FT_OPEN_BY_SERIAL_NUMBER;
    else if (attrs & FT_W32_OPEN_BY_DESCRIPTION)
        by = FT_OPEN_BY_DESCRIPTION;
    FT_HANDLE h = nullptr;
    if (by == 0 || !name || FT_OpenEx(const_cast<char *>(name), by, &h) != FT_OK)
        return FT_W32_INVALID_HANDLE;
    return h;
}

FT_HANDLE FT_W32_OpenFile(int deviceNumber)
{
    FT_HANDLE h = nullptr;
    return FT_Open(deviceNumber, &h) == FT_OK ? h : nullptr;
}

BOOL FT_W32_CloseHandle(FT_HANDLE h) { return FT_Close(h) == FT_OK ? TRUE : FALSE; }

BOOL FT_W32_ReadFile(FT_HANDLE h, LPVOID buffer, DWORD size, LPDWORD read, LPVOID)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    return record(ref.get(), FT_Read(h, buffer, size, read));
}

BOOL FT_W32_WriteFile(FT_HANDLE h, LPVOID buffer, DWORD size, LPDWORD written, LPVOID)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    return record(ref.get(), FT_Write(h, buffer, size, written));
}

DWORD FT_W32_GetLastError(FT_HANDLE h)
{
    HandleRef ref(h);
    if (!ref)
        return FT_INVALID_HANDLE;
    return ref.get()->lastError.load();
}

BOOL FT_W32_GetOverlappedResult(FT_HANDLE h, LPVOID, LPDWORD, BOOL)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    return record(ref.get(), FT_NOT_SUPPORTED);
}

BOOL FT_W32_CancelIo(FT_HANDLE h)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    return record(ref.get(), FT_NOT_SUPPORTED);
}

BOOL FT_W32_SetCommBreak(FT_HANDLE h)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    return record(ref.get(), FT_SetBreakOn(h));
}

BOOL FT_W32_ClearCommBreak(FT_HANDLE h)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    return record(ref.get(), FT_SetBreakOff(h));
}

BOOL FT_W32_EscapeCommFunction(FT_HANDLE h, DWORD func)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    switch (func) {
    case FT_W32_SETRTS:
        return record(ref.get(), FT_SetRts(h));
    case FT_W32_CLRRTS:
        return record(ref.get(), FT_ClrRts(h));
    case FT_W32_SETDTR:
        return record(ref.get(), FT_SetDtr(h));
    case FT_W32_CLRDTR:
        return record(ref.get(), FT_ClrDtr(h));
    case FT_W32_SETBREAK:
        return record(ref.get(), FT_SetBreakOn(h));
    case FT_W32_CLRBREAK:
        return record(ref.get(), FT_SetBreakOff(h));
    default:
        return FALSE;
    }
}

BOOL FT_W32_GetCommModemStatus(FT_HANDLE h, LPDWORD status)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    ULONG s = 0;
    FT_STATUS st = status ? FT_GetModemStatus(h, &s) : static_cast<FT_STATUS>(FT_INVALID_PARAMETER);
    if (st == FT_OK)
        *status = s;
    return record(ref.get(), st);
}

BOOL FT_W32_PurgeComm(FT_HANDLE h, DWORD flags)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    ULONG mask = 0;
    if (flags & (FT_W32_PURGE_RXABORT | FT_W32_PURGE_RXCLEAR))
        mask |= FT_PURGE_RX;
    if (flags & (FT_W32_PURGE_TXABORT | FT_W32_PURGE_TXCLEAR))
        mask |= FT_PURGE_TX;
    return record(ref.get(), FT_Purge(h, mask));
}

BOOL FT_W32_ClearCommError(FT_HANDLE h, LPDWORD errors, LPFTCOMSTAT comstat)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    DeviceExtension *d = ref.get();
    {
        std::lock_guard lock(d->commMutex);
        if (errors)
            *errors = d->lineErrors;
        d->lineErrors = 0;
    }
    DWORD queued = 0;
    FT_STATUS st = FT_GetQueueStatusEx(h, &queued);
    if (comstat) {
        std::memset(comstat, 0, sizeof *comstat);
        comstat->cbInQue = queued;
        comstat->cbOutQue = 0;
    }
    DWORD events = 0;
    FT_GetEventStatus(h, &events);
    return record(ref.get(), st);
}

BOOL FT_W32_GetCommTimeouts(FT_HANDLE h, LPFTTIMEOUTS t)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    if (!t)
        return record(ref.get(), FT_INVALID_PARAMETER);
    DeviceExtension *d = ref.get();
    std::memset(t, 0, sizeof *t);
    t->ReadTotalTimeoutConstant = d->readTimeout.load();
    t->WriteTotalTimeoutConstant = d->writeTimeout.load();
    return record(ref.get(), FT_OK);
}

BOOL FT_W32_SetCommTimeouts(FT_HANDLE h, LPFTTIMEOUTS t)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    if (!t)
        return record(ref.get(), FT_INVALID_PARAMETER);
    return record(ref.get(), FT_SetTimeouts(h, t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutConstant));
}

BOOL FT_W32_SetupComm(FT_HANDLE h, DWORD, DWORD)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    return record(ref.get(), FT_OK);
}

BOOL FT_W32_GetCommState(FT_HANDLE h, LPFTDCB dcb)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    if (!dcb)
        return record(ref.get(), FT_INVALID_PARAMETER);
    *dcb = ref.get()->dcb;
    dcb->DCBlength = sizeof(FTDCB);
    return record(ref.get(), FT_OK);
}

BOOL FT_W32_SetCommState(FT_HANDLE h, LPFTDCB dcb)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    if (!dcb)
        return record(ref.get(), FT_INVALID_PARAMETER);
    DeviceExtension *d = ref.get();
    FT_STATUS st = FT_SetBaudRate(h, dcb->BaudRate);
    if (st == FT_OK)
        st = FT_SetDataCharacteristics(h, dcb->ByteSize, dcb->StopBits ? FT_STOP_BITS_2 : FT_STOP_BITS_1,
                                       dcb->Parity);
    if (st == FT_OK) {
        USHORT flow = FT_FLOW_NONE;
        if (dcb->fOutxCtsFlow)
            flow = FT_FLOW_RTS_CTS;
        else if (dcb->fOutxDsrFlow)
            flow = FT_FLOW_DTR_DSR;
        else if (dcb->fOutX || dcb->fInX)
            flow = FT_FLOW_XON_XOFF;
        st = FT_SetFlowControl(h, flow, static_cast<UCHAR>(dcb->XonChar), static_cast<UCHAR>(dcb->XoffChar));
    }
    // Our side's lines follow the block only where it changed them.
    if (st == FT_OK && dcb->fDtrControl != d->dcb.fDtrControl && dcb->fDtrControl <= 1)
        st = dcb->fDtrControl ? FT_SetDtr(h) : FT_ClrDtr(h);
    if (st == FT_OK && dcb->fRtsControl != d->dcb.fRtsControl && dcb->fRtsControl <= 1)
        st = dcb->fRtsControl ? FT_SetRts(h) : FT_ClrRts(h);
    if (st == FT_OK)
        st = FT_SetChars(h, static_cast<UCHAR>(dcb->EvtChar), dcb->EvtChar != 0, static_cast<UCHAR>(dcb->ErrorChar),
                         dcb->fErrorChar);
    if (st == FT_OK)
        d->dcb = *dcb;
    return record(ref.get(), st);
}

BOOL FT_W32_SetCommMask(FT_HANDLE h, ULONG mask)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    DeviceExtension *d = ref.get();
    {
        std::lock_guard lock(d->commMutex);
        d->commMask = mask;
        d->commAbort = true;
        EventSet(&d->commEvent);
    }
    {
        // The comm events and FT_SetEventNotification share the stream's
        // events; the comm mask takes over.
        std::lock_guard lock(d->rxMutex);
        d->notifyEnabled = false;
    }
    return record(ref.get(), FT_OK);
}

BOOL FT_W32_GetCommMask(FT_HANDLE h, LPDWORD mask)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    if (!mask)
        return record(ref.get(), FT_INVALID_PARAMETER);
    DeviceExtension *d = ref.get();
    std::lock_guard lock(d->commMutex);
    *mask = d->commMask;
    return record(ref.get(), FT_OK);
}

BOOL FT_W32_WaitCommEvent(FT_HANDLE h, PULONG event, LPVOID)
{
    HandleRef ref(h);
    if (!ref)
        return FALSE;
    DeviceExtension *d = ref.get();
    {
        std::lock_guard lock(d->commMutex);
        if (d->commMask == 0)
            return record(ref.get(), FT_INVALID_PARAMETER);
        d->commAbort = false;
    }
    for (;;) {
        uint32_t hit = 0;
        bool abort = false;
        {
            std::lock_guard lock(d->commMutex);
            EventReset(&d->commEvent);
            hit = d->commPending & d->commMask;
            d->commPending = 0;
            abort = d->commAbort || d->closing;
        }
        if (hit || abort) {
            if (event)
                *event = hit;
            return record(ref.get(), FT_OK);
        }
        // No wait for ever on a converter that has gone.
        if (!IsAlive(d))
            return record(ref.get(), FT_IO_ERROR);
        EventWait(&d->commEvent, 0);
    }
}

} // extern "C"
