// The driver's library state and the life of a handle: start and stop of
// libusb and its event thread, classification of converters, open by index,
// serial number, description or location, close, device information, and
// the transmit path.
#include "usbserial-private.h"

#include "usb_control.h"

#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <pthread.h>
#include <thread>

IdTable *gIdt = nullptr;
std::atomic<int> gInitialised{0};

namespace {

std::mutex glibmutex; // the library lock; constant-initialised, so usable before main
std::atomic<bool> do_libusb_update{false};
std::thread *poll_libusb_thread = nullptr;
uint32_t gInstanceCounter = 0; // guarded by glibmutex

constexpr uint32_t kWriteThreadFlag = 0x40000000;
// How long close waits, beyond the processor wait period, for a cancelled
// transfer to come back before it leaves the transfer to libusb.
constexpr auto kCancelGrace = std::chrono::milliseconds(2000);

void poll_async_libusb()
{
    pthread_setname_np(pthread_self(), "usbserial-usb");
    while (do_libusb_update.load()) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout(nullptr, &tv);
    }
}

} // namespace

int LibLock()
{
    glibmutex.lock();
    return 0;
}

void LibUnlock() { glibmutex.unlock(); }

// Needs the library lock (or the single thread of program start).
bool constructDriver()
{
    if (gInitialised.load())
        return true;
    if (!gIdt) {
        gIdt = IdTable_create(24);
        if (!gIdt)
            return false;
        if (IdTable_addDefaults(gIdt) != 0) {
            IdTable_destroy(gIdt);
            gIdt = nullptr;
            return false;
        }
    }
    if (libusb_init(nullptr) != 0)
        return false;
    do_libusb_update = true;
    poll_libusb_thread = new (std::nothrow) std::thread;
    if (poll_libusb_thread) {
        try {
            *poll_libusb_thread = std::thread(poll_async_libusb);
        } catch (...) {
            delete poll_libusb_thread;
            poll_libusb_thread = nullptr;
        }
    }
    if (!poll_libusb_thread) {
        do_libusb_update = false;
        libusb_exit(nullptr);
        return false;
    }
    gInitialised = 1;
    return true;
}

__attribute__((constructor)) static void constructDriverAtLoad()
{
    std::lock_guard lock(glibmutex);
    constructDriver();
}

std::mutex *LibMutex() { return &glibmutex; }

void ShutdownDriver()
{
    if (gInitialised.load()) {
        do_libusb_update = false;
        // The event thread would only see the flag at the end of its poll.
        libusb_interrupt_event_handler(nullptr);
        if (poll_libusb_thread) {
            poll_libusb_thread->join();
            delete poll_libusb_thread;
            poll_libusb_thread = nullptr;
        }
        libusb_exit(nullptr);
        gInitialised = 0;
    }
}

__attribute__((destructor)) static void destroyDriver()
{
    // Handles the program left open would keep threads and transfers
    // running into a libusb that is going away.
    while (DeviceExtension *d = FindDevice(0))
        if (FT_Close(d) != FT_OK)
            break;
    ShutdownDriver();
    ResetAttachedList();
    if (gIdt) {
        IdTable_destroy(gIdt);
        gIdt = nullptr;
    }
}

bool DeviceMatch(uint16_t vendor, uint16_t product)
{
    return gIdt && IdTable_contains(gIdt, static_cast<uint32_t>(vendor) << 16 | product);
}

DeviceClass ClassifyDevice(uint16_t bcdDevice, bool hasSerialString)
{
    struct Row {
        uint16_t bcd;
        DeviceClass c;
    };
    //                 type slots multi  frac   hi     shift  zlp    vcmd
    static const Row rows[] = {
        {0x0400, {0, 1, false, true, false, false, false, false}},
        {0x0500, {4, 2, true, true, false, true, false, false}},
        {0x0600, {5, 1, false, true, false, false, false, false}},
        {0x0700, {6, 2, true, true, true, true, false, false}},
        {0x0800, {7, 4, true, true, true, true, false, false}},
        {0x0900, {8, 1, false, true, true, true, false, false}},
        {0x1000, {9, 1, false, true, false, true, false, false}},
        {0x1400, {3, 0, false, true, false, false, true, true}},
        {0x1500, {3, 0, true, true, false, true, true, true}},
        {0x1600, {3, 0, true, true, false, true, true, true}},
        {0x1700, {12, 1, false, true, true, false, true, true}},
        {0x1800, {10, 2, true, true, true, true, true, true}},
        {0x1900, {11, 4, true, true, true, true, true, true}},
        {0x2100, {13, 0, false, true, false, false, false, true}},
    };
    const uint16_t high = bcdDevice & 0xFF00;
    DeviceClass c{3, 0, false, false, false, false, false, false};
    if (high == 0x0200) {
        c = hasSerialString ? DeviceClass{1, 1, false, false, false, false, false, false}
                            : DeviceClass{0, 1, false, true, false, false, false, false};
    } else {
        for (const Row &r : rows)
            if (r.bcd == high)
                c = r.c;
    }
    // The reported type follows the exact release number; the abilities
    // only its high byte.
    if (bcdDevice != high)
        c.type = 3;
    return c;
}

DeviceClass ClassifyDevice(const libusb_device_descriptor &desc)
{
    return ClassifyDevice(desc.bcdDevice, desc.iSerialNumber != 0);
}

bool ReadStringDescriptor(libusb_device_handle *h, uint8_t index, char *buf, int size)
{
    buf[0] = '\0';
    if (index == 0)
        return true;
    int r = libusb_get_string_descriptor_ascii(h, index, reinterpret_cast<unsigned char *>(buf), size);
    if (r < 0) {
        buf[0] = '\0';
        return false;
    }
    buf[std::min(r, size - 1)] = '\0';
    return true;
}

DeviceStrings ReadDeviceStrings(libusb_device_handle *h, const libusb_device_descriptor &desc)
{
    DeviceStrings s;
    s.serialOk = ReadStringDescriptor(h, desc.iSerialNumber, s.serial, sizeof s.serial);
    s.productOk = ReadStringDescriptor(h, desc.iProduct, s.product, sizeof s.product);
    return s;
}

void ChannelStrings(const DeviceStrings &s, bool multiChannel, int iface, char *serial, char *description)
{
    const char letter = static_cast<char>('A' + std::max(0, iface));
    if (serial) {
        if (multiChannel)
            std::snprintf(serial, 18, "%s%c", s.serial, letter);
        else
            std::snprintf(serial, 18, "%s", s.serial);
    }
    if (description) {
        if (multiChannel)
            std::snprintf(description, 67, "%s %c", s.product, letter);
        else
            std::snprintf(description, 67, "%s", s.product);
    }
}

// ---------------------------------------------------------------- open

namespace {

void CloseCandidate(DeviceExtension *d)
{
    if (d->usbctx.usb_dev) {
        libusb_close(d->usbctx.usb_dev);
        d->usbctx.usb_dev = nullptr;
    }
    if (d->usbctx.device) {
        libusb_unref_device(d->usbctx.device);
        d->usbctx.device = nullptr;
    }
    delete d->dev_desc;
    d->dev_desc = nullptr;
    if (d->config_desc) {
        libusb_free_config_descriptor(d->config_desc);
        d->config_desc = nullptr;
    }
}

FT_STATUS ConfigureDevice(DeviceExtension *d, int iface)
{
    // SetDeviceContext
    d->readTimeout = 0;
    d->writeTimeout = 0;
    d->idVendor = d->dev_desc->idVendor;
    d->idProduct = d->dev_desc->idProduct;
    const libusb_interface_descriptor &alt = d->config_desc->interface[iface].altsetting[0];
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor &ep = alt.endpoint[e];
        if (ep.bEndpointAddress & 0x80) {
            d->usbctx.bulkIn = ep.bEndpointAddress;
        } else {
            d->usbctx.bulkOut = ep.bEndpointAddress;
            d->outPacketSize = d->cls.zeroLength ? ep.wMaxPacketSize : 0;
        }
    }
    if (d->cls.multiChannel) {
        d->controlIndex = static_cast<uint8_t>(alt.bInterfaceNumber + 1);
        d->usbctx.interfaceNumber = alt.bInterfaceNumber;
    } else {
        d->controlIndex = 0;
        d->usbctx.interfaceNumber = 0;
    }
    // A kernel driver bound to the interface is left alone: we never detach
    // it, so such an interface cannot be claimed.
    if (libusb_claim_interface(d->usbctx.usb_dev, d->usbctx.interfaceNumber) != 0) {
        d->usbctx.interfaceNumber = -1;
        return FT_DEVICE_NOT_OPENED;
    }
    // Read once here, for the configuration file and the handle's own
    // device information alike.
    // A list built just before has read them already.
    if (!TakeListedStrings(d->usbctx.bus, d->usbctx.address, *d->dev_desc, &d->strings))
        d->strings = ReadDeviceStrings(d->usbctx.usb_dev, *d->dev_desc);
    GetDeviceConfigSettings(d);
    d->writeFunction = (d->ConfigFlags & kWriteThreadFlag) ? FT_WriteMultiThread : FT_WriteSingleThread;
    return FT_OK;
}

// The interface an open by serial number or description names: the whole
// string on single-channel chips, the string plus the channel letter (after
// a blank for a description) on multi-channel ones. -1: no such channel.
int GetDeviceInterface(const DeviceExtension *d, const char *arg, size_t devLen, bool byDescription)
{
    size_t argLen = std::strlen(arg);
    if (!d->cls.multiChannel)
        return argLen == devLen ? 0 : -1;
    size_t extra = byDescription ? 2 : 1;
    if (argLen != devLen + extra)
        return -1;
    if (byDescription && arg[devLen] != ' ')
        return -1;
    char c = static_cast<char>(arg[argLen - 1] | 0x20);
    if (c < 'a' || c > 'd')
        return -1;
    int iface = c - 'a';
    return iface < d->config_desc->bNumInterfaces ? iface : -1;
}

uint32_t BaseLocation(libusb_device *dev)
{
    return static_cast<uint32_t>(libusb_get_bus_number(dev)) << 8 | libusb_get_device_address(dev);
}

FT_STATUS OpenDevice(void *arg, DWORD flags, int index, DeviceExtension *d)
{
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0)
        return FT_IO_ERROR;
    FT_STATUS result = FT_DEVICE_NOT_FOUND;
    int slot = 0;
    const DWORD by = flags & 7;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device *dev = list[i];
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) != 0 || !DeviceMatch(desc.idVendor, desc.idProduct))
            continue;
        const DeviceClass cls = ClassifyDevice(desc);
        int wantedSlot = -1;
        if (index != -1) {
            // The numbering counts every matching device, also one that
            // cannot be opened, so positions agree with the device list.
            if (index >= slot && index < slot + cls.slots)
                wantedSlot = index - slot;
            slot += cls.slots;
            if (wantedSlot < 0)
                continue;
        }
        assert(!d->usbctx.usb_dev && !d->dev_desc && !d->config_desc);
        if (libusb_open(dev, &d->usbctx.usb_dev) != 0) {
            d->usbctx.usb_dev = nullptr;
            if (index != -1) {
                result = FT_DEVICE_NOT_OPENED;
                break;
            }
            continue;
        }
        assert(d->usbctx.usb_dev);
        d->usbctx.device = libusb_ref_device(dev);
        d->usbctx.bus = libusb_get_bus_number(dev);
        d->usbctx.address = libusb_get_device_address(dev);
        d->dev_desc = new (std::nothrow) libusb_device_descriptor(desc);
        if (!d->dev_desc || libusb_get_config_descriptor(dev, 0, &d->config_desc) != 0) {
            d->config_desc = nullptr;
            CloseCandidate(d);
            continue;
        }
        d->cls = cls;
        int iface = -1;
        if (index != -1) {
            iface = wantedSlot < d->config_desc->bNumInterfaces ? wantedSlot : -1;
        } else if (by == FT_OPEN_BY_SERIAL_NUMBER || by == FT_OPEN_BY_DESCRIPTION) {
            const bool byDesc = by == FT_OPEN_BY_DESCRIPTION;
            char str[257];
            if (!ReadStringDescriptor(d->usbctx.usb_dev, byDesc ? desc.iProduct : desc.iSerialNumber, str,
                                      sizeof str)) {
                CloseCandidate(d);
                result = FT_DEVICE_NOT_OPENED;
                break;
            }
            const char *want = static_cast<const char *>(arg);
            size_t len = std::strlen(str);
            iface = std::strncmp(want, str, len) == 0 ? GetDeviceInterface(d, want, len, byDesc) : -1;
            // A near miss (another channel letter, a longer name) is not the
            // end: another device may carry exactly this name.
            if (iface < 0) {
                CloseCandidate(d);
                continue;
            }
        } else if (by == FT_OPEN_BY_LOCATION) {
            const DWORD want = static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg));
            uint32_t loc = BaseLocation(dev);
            if (d->config_desc->bNumInterfaces > 1)
                loc <<= 4;
            if (cls.multiChannel) {
                if (loc != (want & ~0xFu)) {
                    CloseCandidate(d);
                    continue;
                }
                int nibble = static_cast<int>(want & 0xF);
                iface = (nibble == 0 || nibble > d->config_desc->bNumInterfaces) ? -1 : nibble - 1;
            } else {
                if (loc != want) {
                    CloseCandidate(d);
                    continue;
                }
                iface = 0;
            }
        } else {
            CloseCandidate(d);
            result = FT_INVALID_PARAMETER;
            break;
        }
        if (iface < 0) {
            CloseCandidate(d);
            result = FT_DEVICE_NOT_FOUND;
            break;
        }
        if (ConfigureDevice(d, iface) == FT_OK) {
            result = FT_OK;
        } else {
            CloseCandidate(d);
            result = FT_DEVICE_NOT_OPENED;
        }
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

FT_STATUS InitDeviceStructure(DeviceExtension *d)
{
    FT_STATUS st = FT_VendorRequest(kReqReset, 0, 0, nullptr, 0, kVendorOut, d);
    if (st == FT_OK)
        st = Purge(d, FT_PURGE_RX | FT_PURGE_TX);
    if (st != FT_OK)
        return st;
    if (GetModemStatus(d) != FT_OK)
        return FT_IO_ERROR;
    const libusb_interface &if0 = d->config_desc->interface[0];
    uint32_t mps = 0;
    if (if0.num_altsetting > 0 && if0.altsetting[0].bNumEndpoints > 0)
        mps = if0.altsetting[0].endpoint[0].wMaxPacketSize;
    d->maxPacketSize = mps ? mps : 64;
    d->stopFlag = 0;
    d->inTaskStopped = 0;
    {
        std::lock_guard lock(d->rxMutex);
        d->ringSize = kRingSize;
        d->ringWrite = d->ringRead = 0;
        d->ringFree = d->ringSize;
        d->maxInTransferSize = kMaxTransferSize;
        d->inTransferSize = 4096;
        d->maxOutTransferSize = kMaxTransferSize;
        d->outTransferSize = 4096;
    }
    d->processorWait = 300;
    d->readerWait = 500;
    d->deadmanTimeout = 5000;
    d->usbTimeout = 5000;
    st = ReadLatencyTimer(d);
    if (st != FT_OK)
        return st;
    // A string that could not be read leaves the information zero, as a
    // failed FT_GetDeviceInfo would.
    if (d->strings.serialOk && d->strings.productOk) {
        char serial[18], description[67];
        ChannelStrings(d->strings, d->cls.multiChannel, d->usbctx.interfaceNumber, serial, description);
        d->typeCode = d->cls.type;
        d->info.Type = d->cls.type;
        d->info.ID = static_cast<DWORD>(d->dev_desc->idVendor) << 16 | d->dev_desc->idProduct;
        CopyField(d->info.SerialNumber, sizeof d->info.SerialNumber, serial);
        CopyField(d->info.Description, sizeof d->info.Description, description);
    }
    d->info.ftHandle = d;
    st = FT_GetDeviceLocId(d, &d->info.LocId);
    if (st != FT_OK)
        return st;
    EventInit(&d->commEvent);
    EventInit(&d->readerWake);
    EventInit(&d->processorWake);
    EventInit(&d->writeRequest);
    EventInit(&d->writeDone);
    {
        std::lock_guard lock(d->commMutex);
        d->commMask = d->commPending = 0;
        d->commAbort = d->closing = false;
        d->lineErrors = 0;
    }
    d->eventChar = 0;
    d->eventCharEnabled = 0;
    d->errorChar = d->errorCharEnabled = 0;
    d->lineControl = 8;
    std::lock_guard lock(d->stateMutex);
    d->alive = 1;
    return FT_OK;
}

// Stops the pipeline and writer threads, waits for the bulk-in transfers and
// releases everything the record holds; the record itself goes last. Used
// by FT_Close and by an open that failed half way.
void TearDown(DeviceExtension *d)
{
    d->stopFlag = 1;
    // Wake both pipeline threads wherever they wait: the reader on a free
    // slot, the processor on a filled one (cancelling completes it).
    EventSet(&d->readerWake);
    EventSet(&d->processorWake);
    for (auto &s : d->slots) {
        if (!s)
            continue;
        EventSet(&s->freeEvent);
        if (SlotStatus(s.get()) == kSlotSubmitted)
            libusb_cancel_transfer(s->transfer);
        EventSet(&s->filledEvent);
    }
    if (d->readerThread.joinable())
        d->readerThread.join();
    if (d->processorThread.joinable())
        d->processorThread.join();
    EventDestroy(&d->readerWake);
    EventDestroy(&d->processorWake);

    if (d->writerThread.joinable()) {
        d->writeLength = 0;
        d->writerRun = false;
        d->writeCount = nullptr;
        EventSet(&d->writeRequest);
        d->writerThread.join();
        EventDestroy(&d->writeRequest);
        EventDestroy(&d->writeDone);
    }

    // A transfer libusb still holds must outlive us: its completion writes
    // to its slot. One that does not come back in time is left to libusb
    // with its slot (a small leak beats a write into freed memory).
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(d->processorWait) + kCancelGrace;
    // The completion publishes its result and signals in one critical
    // section of the filled event, so a status read under that lock that is
    // no longer "submitted" means the completion is done with the slot.
    for (auto &s : d->slots) {
        if (!s || SlotStatus(s.get()) != kSlotSubmitted)
            continue;
        libusb_cancel_transfer(s->transfer);
        while (SlotStatus(s.get()) == kSlotSubmitted && std::chrono::steady_clock::now() < limit) {
            if (EventWait(&s->filledEvent, 50))
                EventReset(&s->filledEvent);
        }
        if (SlotStatus(s.get()) == kSlotSubmitted)
            s.release();
    }

    if (d->usbctx.usb_dev && d->usbctx.interfaceNumber != -1)
        libusb_release_interface(d->usbctx.usb_dev, d->usbctx.interfaceNumber);
    CloseCandidate(d);

    for (auto &s : d->slots) {
        if (!s)
            continue;
        if (s->transfer)
            libusb_free_transfer(s->transfer);
        EventDestroy(&s->freeEvent);
        EventDestroy(&s->filledEvent);
        s.reset();
    }
    d->ring.reset();
    if (d->writeTransfer)
        libusb_free_transfer(d->writeTransfer); // never in flight: every write waited for its completion
    d->writeTransfer = nullptr;

    {
        std::lock_guard lock(d->commMutex);
        d->commMask = 0;
        d->closing = true;
        EventSet(&d->commEvent);
        EventDestroy(&d->commEvent);
    }
    RemoveDevice(d);
}

FT_STATUS FTCommonOpen(void *arg, DWORD flags, int index, FT_HANDLE *out)
{
    if (!out)
        return FT_INVALID_PARAMETER;
    std::lock_guard lock(glibmutex);
    if (!constructDriver())
        return FT_OTHER_ERROR;
    DeviceExtension *d = AddDevice(); // holds a reference until the open is over
    if (!d)
        return FT_INSUFFICIENT_RESOURCES;
    d->usbctx.interfaceNumber = -1;
    FT_STATUS st = OpenDevice(arg, flags, index, d);
    if (st == FT_OK) {
        d->instance = gInstanceCounter;
        d->ring.reset(new (std::nothrow) uint8_t[kRingSize]);
        d->writeTransfer = libusb_alloc_transfer(0);
        if (!d->ring || !d->writeTransfer)
            st = FT_INSUFFICIENT_RESOURCES;
        for (int i = 0; st == FT_OK && i < kInSlots; ++i) {
            auto *s = new (std::nothrow) InSlot;
            if (!s) {
                st = FT_INSUFFICIENT_RESOURCES;
                break;
            }
            d->slots[i].reset(s);
            s->buffer.reset(new (std::nothrow) uint8_t[kSlotBufferSize]);
            s->transfer = libusb_alloc_transfer(0);
            if (!s->buffer || !s->transfer) {
                st = FT_INSUFFICIENT_RESOURCES;
                break;
            }
            EventInit(&s->freeEvent);
            EventInit(&s->filledEvent);
            EventSet(&s->freeEvent);
            s->pDevExt = d;
        }
    }
    if (st == FT_OK)
        st = InitDeviceStructure(d);
    if (st == FT_OK) {
        try {
            d->readerThread = std::thread(reader_thread, d);
            d->processorThread = std::thread(processor_thread, d);
            d->writerRun = true;
            d->writerThread = std::thread(write_thread, d);
        } catch (...) {
            st = FT_INSUFFICIENT_RESOURCES;
        }
    }
    if (st != FT_OK) {
        // Someone may have guessed the record and closed it meanwhile; then
        // that close tears it down once our reference is gone.
        const bool ours = BeginClose(d) != nullptr;
        ReleaseDevice(d);
        if (ours) {
            WakeForClose(d);
            WaitUntilUnused(d);
            TearDown(d);
        }
        return st;
    }
    ++gInstanceCounter;
    d->openComplete.store(true, std::memory_order_release);
    *out = d;
    ReleaseDevice(d);
    return FT_OK;
}

} // namespace

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

void WakeForClose(DeviceExtension *d)
{
    {
        std::lock_guard lock(d->rxMutex);
        d->rxClosed = true;
        d->rxCond.notify_all();
    }
    {
        std::lock_guard lock(d->writeXferMutex);
        d->writeClosing = true;
        if (d->writeInFlight)
            libusb_cancel_transfer(d->writeTransfer);
    }
    std::lock_guard lock(d->commMutex);
    d->closing = true;
    EventSet(&d->commEvent);
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

// ---------------------------------------------------------------- FT_ functions

extern "C" {

FT_STATUS FT_SetVIDPID(DWORD vid, DWORD pid)
{
    if (vid == 0 && pid == 0)
        return FT_OK;
    std::lock_guard lock(glibmutex);
    if (!gIdt && !constructDriver() && !gIdt)
        return FT_OTHER_ERROR;
    if (IdTable_add(gIdt, (vid & 0xFFFF) << 16 | (pid & 0xFFFF)) != 0)
        return FT_INSUFFICIENT_RESOURCES;
    return FT_OK;
}

FT_STATUS FT_GetVIDPID(DWORD *vid, DWORD *pid)
{
    if (!vid || !pid)
        return FT_INVALID_PARAMETER;
    std::lock_guard lock(glibmutex); // the table may be growing in FT_SetVIDPID
    if (!gIdt || gIdt->count == 0)
        return FT_OTHER_ERROR;
    uint32_t key = gIdt->ids[gIdt->count - 1];
    *vid = key >> 16;
    *pid = key & 0xFFFF;
    return FT_OK;
}

FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle) { return FTCommonOpen(nullptr, 0, deviceNumber, pHandle); }

FT_STATUS FT_OpenEx(PVOID arg, DWORD flags, FT_HANDLE *pHandle)
{
    if ((flags & 7) != FT_OPEN_BY_LOCATION && !arg)
        return FT_INVALID_PARAMETER;
    return FTCommonOpen(arg, flags, -1, pHandle);
}

FT_STATUS FT_Close(FT_HANDLE h)
{
    DeviceExtension *d = BeginClose(h);
    if (!d)
        return FT_INVALID_HANDLE;
    // Calls still running on the handle are woken and waited out before
    // anything they might touch is freed.
    WakeForClose(d);
    WaitUntilUnused(d);
    TearDown(d);
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfo(FT_HANDLE h, DWORD *type, LPDWORD id, PCHAR serial, PCHAR description, LPVOID)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!d->dev_desc || !d->usbctx.usb_dev)
        return FT_OTHER_ERROR;
    if (type)
        *type = d->cls.type;
    if (id)
        *id = static_cast<DWORD>(d->dev_desc->idVendor) << 16 | d->dev_desc->idProduct;
    DeviceStrings strings;
    if (serial && !ReadStringDescriptor(d->usbctx.usb_dev, d->dev_desc->iSerialNumber, strings.serial,
                                        sizeof strings.serial))
        return FT_OTHER_ERROR;
    if (description && !ReadStringDescriptor(d->usbctx.usb_dev, d->dev_desc->iProduct, strings.product,
                                              sizeof strings.product))
        return FT_OTHER_ERROR;
    ChannelStrings(strings, d->cls.multiChannel, d->usbctx.interfaceNumber, serial, description);
    return FT_OK;
}

FT_STATUS FT_GetDeviceLocId(FT_HANDLE h, LPDWORD loc)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    if (!loc)
        return FT_INVALID_PARAMETER;
    if (!d->usbctx.device)
        return FT_OTHER_ERROR;
    uint32_t base = BaseLocation(d->usbctx.device);
    *loc = d->cls.multiChannel ? (base << 4 | static_cast<uint32_t>(d->usbctx.interfaceNumber + 1)) : base;
    return FT_OK;
}

FT_STATUS FT_CyclePort(FT_HANDLE h)
{
    USBSERIAL_CHECK_HANDLE(h, d);
    return libusb_reset_device(d->usbctx.usb_dev) == 0 ? FT_OK : FT_IO_ERROR;
}

static DWORD versionNumber()
{
    char text[8];
    std::snprintf(text, sizeof text, "%02d%02d%02d", USBSERIAL_VERSION_MAJOR, USBSERIAL_VERSION_MINOR,
                  USBSERIAL_VERSION_PATCH);
    return static_cast<DWORD>(std::strtoul(text, nullptr, 16));
}

FT_STATUS FT_GetLibraryVersion(LPDWORD version)
{
    if (!version)
        return FT_INVALID_PARAMETER;
    *version = versionNumber();
    return FT_OK;
}

FT_STATUS FT_GetDriverVersion(FT_HANDLE, LPDWORD version)
{
    if (!version)
        return FT_INVALID_PARAMETER;
    *version = versionNumber();
    return FT_OK;
}

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

FT_STATUS FT_IoCtl(FT_HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPVOID) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetWaitMask(FT_HANDLE, DWORD) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_WaitOnMask(FT_HANDLE, DWORD *) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_SetResetPipeRetryCount(FT_HANDLE, DWORD) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_ResetPort(FT_HANDLE) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_Rescan(void) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_Reload(WORD, WORD) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_GetComPortNumber(FT_HANDLE, LPLONG) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_ComPortIdle(FT_HANDLE) { return FT_NOT_SUPPORTED; }
FT_STATUS FT_ComPortCancelIdle(FT_HANDLE) { return FT_NOT_SUPPORTED; }

} // extern "C"
