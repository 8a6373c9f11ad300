// Transmit path: each FT_Write is one bulk OUT transfer, on the caller's
// thread or handed to the handle's writer thread. The transfer is
// asynchronous and waited for, so that close can cancel one in flight.
#include "usbserial-private.h"

#include <cassert>
#include <pthread.h>

// ---------------------------------------------------------------- write path

namespace {

// One bulk OUT transfer, waited for. A time-out is a short write, not a
// failure (the count tells); a stall is cleared at once so that the next
// write goes through.
int BulkOut(DeviceExtension *d, const uint8_t *buf, DWORD count, DWORD *written)
{
    *written = 0;
    std::unique_lock lock(d->writeXferMutex);
    if (d->writeClosing)
        return LIBUSB_ERROR_NO_DEVICE;
    libusb_transfer *t = d->writeTransfer;
    libusb_fill_bulk_transfer(t, d->usbctx.usb_dev, d->usbctx.bulkOut, const_cast<uint8_t *>(buf),
                              static_cast<int>(count), WriteCompletion, d, d->writeTimeout.load());
    d->writeFinished = false;
    int r = libusb_submit_transfer(t);
    if (r != 0)
        return r == LIBUSB_ERROR_OTHER ? 0 : r;
    d->writeInFlight = true;
    d->writeXferCond.wait(lock, [d] { return d->writeFinished; });
    d->writeInFlight = false;
    *written = static_cast<DWORD>(t->actual_length);
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_TIMED_OUT:
        return 0;
    case LIBUSB_TRANSFER_STALL:
        lock.unlock();
        libusb_clear_halt(d->usbctx.usb_dev, d->usbctx.bulkOut);
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_CANCELLED:
        return LIBUSB_ERROR_INTERRUPTED;
    default:
        return LIBUSB_ERROR_IO;
    }
}

} // namespace

void LIBUSB_CALL WriteCompletion(libusb_transfer *t)
{
    auto *d = static_cast<DeviceExtension *>(t->user_data);
    std::lock_guard lock(d->writeXferMutex);
    d->writeFinished = true;
    d->writeXferCond.notify_all();
}


int FT_WriteSingleThread(DeviceExtension *d, const uint8_t *buf, DWORD count, DWORD *written)
{
    return BulkOut(d, buf, count, written);
}

int FT_WriteMultiThread(DeviceExtension *d, const uint8_t *buf, DWORD count, DWORD *written)
{
    // The write mutex is held: exactly one request is handed over at a time.
    d->writeBuffer = buf;
    d->writeLength = count;
    d->writeCount = written;
    EventSet(&d->writeRequest);
    EventWait(&d->writeDone, 0);
    EventReset(&d->writeDone);
    return d->writeResult;
}

void write_thread(DeviceExtension *d)
{
    assert(d);
    pthread_setname_np(pthread_self(), "usbserial-wr");
    while (d->writerRun.load()) {
        DWORD transferred = 0;
        int result = 0;
        EventWait(&d->writeRequest, 0);
        EventReset(&d->writeRequest);
        // An empty request still goes out (a zero-length packet), except the
        // one close sends to end the thread.
        if (d->writeLength != 0 || (d->writerRun.load() && d->writeCount))
            result = BulkOut(d, d->writeBuffer, d->writeLength, &transferred);
        if (d->writeCount)
            *d->writeCount = transferred;
        d->writeResult = result;
        EventSet(&d->writeDone);
    }
}

extern "C" {

FT_STATUS FT_Write(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD written)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if ((!buffer && count != 0) || !written)
        return FT_INVALID_PARAMETER;
    std::lock_guard lock(d->writeMutex);
    *written = 0;
    const auto *buf = static_cast<const uint8_t *>(buffer);
    int r = d->writeFunction(d, buf, count, written);
    if (*written == count) {
        // A transfer that ends exactly on a packet boundary needs an empty
        // packet, or the chip waits for more before it passes the data on.
        if (count != 0 && d->outPacketSize != 0 && count % d->outPacketSize == 0) {
            DWORD zero = 0;
            d->writeFunction(d, buf, 0, &zero);
        }
        bool txEmpty;
        {
            std::lock_guard c(d->commMutex);
            txEmpty = d->commMask & FT_W32_EV_TXEMPTY;
        }
        if (txEmpty)
            SignalCommEvent(d, FT_W32_EV_TXEMPTY);
    }
    return r == 0 ? FT_OK : FT_IO_ERROR;
}

} // extern "C"
