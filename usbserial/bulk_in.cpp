// Receive pipeline. A slot travels reader -> libusb -> completion ->
// processor -> reader, handed on only through its free and filled events;
// both threads walk the slots in the same order, so data is queued in the
// order it arrived. The completion touches nothing but its own slot, which
// lets close leave a slot to libusb if a cancelled transfer never comes back.
#include "bulk_in.h"

#include <algorithm>
#include <cassert>
#include <pthread.h>
#include <chrono>
#include <cstring>
#include <thread>

std::atomic<void (*)()> gSlotCompletionTestHook{nullptr};

namespace {

constexpr uint32_t kSubmitBackoffMinMs = 5;
constexpr uint32_t kSubmitBackoffMaxMs = 200;

int InRequest(DeviceExtension *d, InSlot *s)
{
    uint32_t len;
    {
        std::lock_guard lock(d->rxMutex);
        len = d->inTransferSize;
    }
    libusb_fill_bulk_transfer(s->transfer, d->usbctx.usb_dev, d->usbctx.bulkIn, s->buffer.get(),
                              static_cast<int>(len), InRequestCompletion, s, d->usbTimeout.load());
    s->receivedLength = 0;
    // Marked before the submission: the completion may run on the event
    // thread before libusb_submit_transfer has even returned.
    s->status = kSlotSubmitted;
    int r = libusb_submit_transfer(s->transfer);
    if (r != 0)
        s->status = kSlotSubmitFailed;
    return r;
}

// Hands a slot back to the reader with nothing queued from it.
void ReleaseSlot(DeviceExtension *d, InSlot *s)
{
    {
        std::lock_guard lock(d->rxMutex);
        s->discard = false;
        s->receivedLength = 0;
    }
    EventSet(&s->freeEvent);
}

void SignalCaller(EVENT_HANDLE *ev)
{
    pthread_mutex_lock(&ev->eMutex);
    pthread_cond_signal(&ev->eCondVar);
    pthread_mutex_unlock(&ev->eMutex);
}

} // namespace

int32_t SlotStatus(InSlot *s)
{
    std::lock_guard lock(s->filledEvent.mutex);
    return s->status.load();
}

bool IsAlive(DeviceExtension *d)
{
    std::lock_guard lock(d->stateMutex);
    return d->alive != 0;
}

void MarkGone(DeviceExtension *d)
{
    {
        std::lock_guard lock(d->stateMutex);
        d->alive = 0;
    }
    EVENT_HANDLE *ev = nullptr;
    {
        std::lock_guard lock(d->rxMutex);
        d->rxGone = true;
        d->rxCond.notify_all();
        if (d->notifyEnabled)
            ev = d->eventHandle;
    }
    // A caller asleep on its event would otherwise never learn that no more
    // data is coming; woken, its next queue query reports FT_IO_ERROR.
    if (ev)
        SignalCaller(ev);
    SignalCommEvent(d, 0);
}

void SignalCommEvent(DeviceExtension *d, uint32_t bits)
{
    std::lock_guard lock(d->commMutex);
    uint32_t fresh = bits & d->commMask & ~d->commPending;
    d->commPending |= fresh;
    if (fresh || bits == 0)
        EventSet(&d->commEvent);
}

void reader_thread(DeviceExtension *d)
{
    assert(d);
    pthread_setname_np(pthread_self(), "usbserial-rd");
    int i = 0;
    uint32_t backoff = kSubmitBackoffMinMs;
    for (;;) {
        while (!d->stopFlag.load() && IsAlive(d)) {
            InSlot *s = d->slots[i].get();
            if (!EventWait(&s->freeEvent, d->readerWait))
                continue;
            if (d->stopFlag.load())
                break;
            EventReset(&s->freeEvent);
            int r = InRequest(d, s);
            if (r == 0) {
                backoff = kSubmitBackoffMinMs;
                i = (i + 1) % kInSlots;
                continue;
            }
            if (r == LIBUSB_ERROR_NO_DEVICE || r == LIBUSB_ERROR_PIPE) {
                MarkGone(d);
                break;
            }
            // Any other refusal is taken as passing: the slot goes to the
            // processor empty (so both threads stay in step) and comes back
            // for another try after a growing pause, which keeps a lasting
            // refusal from turning into a busy loop.
            s->receivedLength = 0;
            EventSet(&s->filledEvent);
            i = (i + 1) % kInSlots;
            EventWait(&d->readerWake, backoff);
            backoff = std::min(backoff * 2, kSubmitBackoffMaxMs);
        }
        // Idle until close.
        EventWait(&d->readerWake, 0);
        if (d->stopFlag.load())
            return;
        EventReset(&d->readerWake);
    }
}

void LIBUSB_CALL InRequestCompletion(libusb_transfer *t)
{
    auto *s = static_cast<InSlot *>(t->user_data);
    int32_t len = 0;
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_STALL:
    case LIBUSB_TRANSFER_OVERFLOW:
        len = t->actual_length;
        break;
    default:
        break;
    }
    // Result and signal in one critical section of the filled event: close
    // reads the status under the same lock, so once it sees the result the
    // completion has let go of the slot.
    EventSetAfter(&s->filledEvent, [&] {
        s->receivedLength = len;
        s->status = t->status;
        if (auto hook = gSlotCompletionTestHook.load())
            hook();
    });
}

void processor_thread(DeviceExtension *d)
{
    assert(d);
    pthread_setname_np(pthread_self(), "usbserial-proc");
    int i = 0;
    for (;;) {
        while (!d->stopFlag.load()) {
            InSlot *s = d->slots[i].get();
            if (!EventWait(&s->filledEvent, d->processorWait)) {
                if (!IsAlive(d))
                    break;
                continue;
            }
            EventReset(&s->filledEvent);
            if (!IsAlive(d))
                break;
            int32_t st = s->status.load();
            if (st == LIBUSB_TRANSFER_NO_DEVICE || st == LIBUSB_TRANSFER_ERROR || st == LIBUSB_TRANSFER_TIMED_OUT) {
                // The converter sends status bytes every latency period, so
                // a transfer that errs or times out means it is gone.
                MarkGone(d);
                break;
            }
            if (st != LIBUSB_TRANSFER_COMPLETED) {
                if (d->stopFlag.load())
                    break;
                if (st == LIBUSB_TRANSFER_STALL) {
                    libusb_clear_halt(d->usbctx.usb_dev, d->usbctx.bulkIn);
                    std::this_thread::yield();
                }
                // A stalled, refused, cancelled or overflowing transfer
                // carries nothing we trust; the slot goes back into service.
                ReleaseSlot(d, s);
                i = (i + 1) % kInSlots;
                continue;
            }
            ProcessBulkInData(d, s->buffer.get(), s->receivedLength.load(), s);
            ReleaseSlot(d, s);
            i = (i + 1) % kInSlots;
        }
        EventWait(&d->processorWake, 0);
        if (d->stopFlag.load())
            return;
        EventReset(&d->processorWake);
    }
}

void ProcessBulkInData(DeviceExtension *d, const uint8_t *data, int32_t n, InSlot *slot)
{
    bool evEnabled = false;
    uint8_t evChar = 0;
    if (n > 2) {
        evChar = d->eventChar.load();
        evEnabled = d->eventCharEnabled.load() != 0;
    }
    const int32_t packet = static_cast<int32_t>(d->maxPacketSize);
    while (n >= 2) {
        int32_t chunk = std::min(packet, n);
        uint8_t modem = data[0] & 0xF0;
        uint32_t errors = n > 2 ? (data[1] & 0x1E) : 0;
        bool received = false;
        bool charSeen = false;
        uint8_t change = 0;
        uint32_t bits = 0;
        EVENT_HANDLE *ev = nullptr;
        bool notify = false;
        {
            std::unique_lock lock(d->rxMutex);
            change = modem ^ d->modemStatus;
            d->modemStatus = modem;
            d->lineStatus = data[1];
            int32_t len = chunk - 2;
            // A payload the ring has no room for is dropped and reported as
            // an overrun; the pipeline never waits for the caller, so the
            // status bytes of every packet and a converter that has gone
            // are seen however full the ring is.
            if (len > 0 && !(slot && slot->discard) && d->ringFree < len)
                errors |= 0x02;
            // A purge since this transfer arrived drops what is left of it.
            if (len > 0 && !(slot && slot->discard) && d->ringFree >= len) {
                const uint8_t *src = data + 2;
                if (evEnabled)
                    charSeen = std::find(src, src + len, evChar) != src + len;
                int32_t first = std::min(len, d->ringSize - d->ringWrite);
                std::memcpy(d->ring.get() + d->ringWrite, src, first);
                std::memcpy(d->ring.get(), src + first, len - first);
                d->ringWrite = (d->ringWrite + len) % d->ringSize;
                d->ringFree -= len;
                received = true;
                d->rxCond.notify_all();
            }
            notify = d->notifyEnabled;
            // One event at a time: nothing more is reported until the caller
            // has taken the last one (read the queue empty or fetched the
            // status), so a waiter is woken once per batch, not per packet.
            if (notify && d->eventStatus == 0) {
                if (received && (d->eventMask & FT_EVENT_RXCHAR))
                    bits = FT_EVENT_RXCHAR;
                else if (change && (d->eventMask & FT_EVENT_MODEM_STATUS))
                    bits = FT_EVENT_MODEM_STATUS;
                else if (errors && (d->eventMask & FT_EVENT_LINE_STATUS))
                    bits = FT_EVENT_LINE_STATUS;
                d->eventStatus |= bits;
                ev = d->eventHandle;
            }
        }
        if (bits && ev)
            SignalCaller(ev); // only after rxMutex is released
        if (!notify && (received || change || errors)) {
            uint32_t comm = 0;
            if (received)
                comm |= FT_W32_EV_RXCHAR;
            if (charSeen)
                comm |= FT_W32_EV_RXFLAG;
            if (change & 0x10)
                comm |= FT_W32_EV_CTS;
            if (change & 0x20)
                comm |= FT_W32_EV_DSR;
            if (change & 0x80)
                comm |= FT_W32_EV_RLSD;
            if (change & 0x40)
                comm |= FT_W32_EV_RING;
            if (errors) {
                comm |= FT_W32_EV_ERR;
                std::lock_guard lock(d->commMutex);
                d->lineErrors |= errors;
            }
            if (comm)
                SignalCommEvent(d, comm);
        }
        data += chunk;
        n -= chunk;
    }
}

void UpdateDeadmanTimeout(DeviceExtension *d)
{
    if (d->maxPacketSize <= 2)
        return;
    uint32_t in;
    {
        std::lock_guard lock(d->rxMutex);
        in = d->inTransferSize;
    }
    d->usbTimeout = (in / (d->maxPacketSize - 2)) * d->latencyTimer.load() + d->deadmanTimeout.load();
}

extern "C" {

FT_STATUS FT_Read(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD read)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!buffer || !read)
        return FT_INVALID_PARAMETER;
    *read = 0;
    if (count == 0)
        return FT_OK;
    if (!IsAlive(d))
        return FT_IO_ERROR;
    const uint32_t timeout = d->readTimeout.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    std::unique_lock lock(d->rxMutex);
    for (;;) {
        if (d->rxClosed)
            return FT_INVALID_HANDLE;
        if (d->rxGone)
            return FT_IO_ERROR;
        DWORD queued = static_cast<DWORD>(d->ringSize - d->ringFree);
        if (count <= queued)
            break;
        if (timeout == 0) {
            d->rxCond.wait(lock);
        } else if (d->rxCond.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (d->rxClosed)
                return FT_INVALID_HANDLE;
            if (d->rxGone)
                return FT_IO_ERROR;
            // What has come by now, but never more than was asked for.
            count = std::min(count, static_cast<DWORD>(d->ringSize - d->ringFree));
            break;
        }
    }
    auto *out = static_cast<uint8_t *>(buffer);
    int32_t n = static_cast<int32_t>(count);
    int32_t first = std::min(n, d->ringSize - d->ringRead);
    std::memcpy(out, d->ring.get() + d->ringRead, first);
    std::memcpy(out + first, d->ring.get(), n - first);
    d->ringRead = (d->ringRead + n) % d->ringSize;
    d->ringFree += n;
    if (d->ringFree == d->ringSize)
        d->eventStatus &= ~static_cast<uint32_t>(FT_EVENT_RXCHAR);
    *read = count;
    return FT_OK;
}

static FT_STATUS queueLength(FT_HANDLE h, DWORD *out, bool capped)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!out)
        return FT_INVALID_PARAMETER;
    if (!IsAlive(d))
        return FT_IO_ERROR;
    std::lock_guard lock(d->rxMutex);
    DWORD q = static_cast<DWORD>(d->ringSize - d->ringFree);
    *out = capped ? std::min<DWORD>(q, kQueueStatusCap) : q;
    return FT_OK;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE h, DWORD *rx) { return queueLength(h, rx, true); }

FT_STATUS FT_GetQueueStatusEx(FT_HANDLE h, DWORD *rx) { return queueLength(h, rx, false); }

FT_STATUS FT_GetStatus(FT_HANDLE h, DWORD *rx, DWORD *tx, DWORD *events)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!rx || !tx || !events)
        return FT_INVALID_PARAMETER;
    if (!IsAlive(d))
        return FT_IO_ERROR;
    std::lock_guard lock(d->rxMutex);
    *rx = std::min<DWORD>(static_cast<DWORD>(d->ringSize - d->ringFree), kQueueStatusCap);
    *tx = 0;
    *events = d->eventStatus;
    d->eventStatus = 0;
    return FT_OK;
}

FT_STATUS FT_GetEventStatus(FT_HANDLE h, DWORD *events)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!events)
        return FT_INVALID_PARAMETER;
    std::lock_guard lock(d->rxMutex);
    *events = d->eventStatus;
    d->eventStatus = 0;
    return FT_OK;
}

FT_STATUS FT_GetModemStatus(FT_HANDLE h, ULONG *status)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!status)
        return FT_INVALID_PARAMETER;
    std::lock_guard lock(d->rxMutex);
    *status = d->modemStatus;
    d->eventStatus &= ~static_cast<uint32_t>(FT_EVENT_MODEM_STATUS);
    return FT_OK;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE h, ULONG readTimeout, ULONG writeTimeout)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    d->readTimeout = readTimeout;
    d->writeTimeout = writeTimeout;
    return FT_OK;
}

FT_STATUS FT_SetDeadmanTimeout(FT_HANDLE h, ULONG ms)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (ms == 0)
        return FT_INVALID_PARAMETER;
    d->deadmanTimeout = ms;
    UpdateDeadmanTimeout(d);
    return FT_OK;
}

FT_STATUS FT_SetUSBParameters(FT_HANDLE h, ULONG inSize, ULONG outSize)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    inSize = std::min<ULONG>(inSize, d->maxInTransferSize);
    outSize = std::min<ULONG>(outSize, d->maxOutTransferSize);
    {
        std::lock_guard lock(d->rxMutex);
        if (inSize >= d->maxPacketSize)
            d->inTransferSize = inSize;
    }
    if (outSize >= d->maxPacketSize)
        d->outTransferSize = outSize;
    return FT_OK;
}

FT_STATUS FT_SetEventNotification(FT_HANDLE h, DWORD mask, PVOID param)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!param)
        return FT_INVALID_PARAMETER;
    std::lock_guard lock(d->rxMutex);
    if (mask) {
        d->eventStatus = 0;
        d->eventHandle = static_cast<EVENT_HANDLE *>(param);
        d->eventMask = mask;
        d->notifyEnabled = true;
    } else {
        d->notifyEnabled = false;
    }
    return FT_OK;
}

FT_STATUS FT_StopInTask(FT_HANDLE h)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    d->inTaskStopped = 1;
    return FT_OK;
}

FT_STATUS FT_RestartInTask(FT_HANDLE h)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    d->inTaskStopped = 0;
    return FT_OK;
}

} // extern "C"
