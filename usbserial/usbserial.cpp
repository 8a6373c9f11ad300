// The life of a handle: open by index, serial number, description or
// location (one walk over the bus with a matcher per kind), the device
// requests and threads an open starts, close, and the handle's own device
// information.
#include "usbserial-private.h"

#include "usb_control.h"

#include <cassert>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

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

namespace {

uint32_t gInstanceCounter = 0; // guarded by the library lock

constexpr uint32_t kWriteThreadFlag = 0x40000000;
// How long close waits, beyond the processor wait period, for a cancelled
// transfer to come back before it leaves the transfer to libusb.
constexpr auto kCancelGrace = std::chrono::milliseconds(2000);

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

uint32_t BaseLocation(libusb_device *dev)
{
    return static_cast<uint32_t>(libusb_get_bus_number(dev)) << 8 | libusb_get_device_address(dev);
}

// A device on the bus that an open considers, opened and with its
// descriptors read.
struct Candidate {
    libusb_device *dev;
    const libusb_device_descriptor &desc;
    const DeviceExtension *d; // usb_dev, config_desc and cls filled in
};

// What one kind of open is looking for.
class Matcher {
public:
    virtual ~Matcher() = default;
    // Before the device is opened: false passes it by.
    virtual bool wants(const DeviceClass &) { return true; }
    // The code that ends the open when a wanted device cannot be opened;
    // FT_OK passes it by.
    virtual FT_STATUS whenUnopenable() const { return FT_OK; }
    // With the device open: the interface to use, or -1 for the next
    // device; sets *end to end the open with that code instead.
    virtual int interfaceOf(const Candidate &c, FT_STATUS *end) = 0;
};

// Position `index` of the numbering that counts every matching device by
// its index slots, also one that cannot be opened, so that positions agree
// with the device list.
class IndexMatcher : public Matcher {
public:
    explicit IndexMatcher(int index) : index_(index) {}
    bool wants(const DeviceClass &cls) override
    {
        const int first = slot_;
        slot_ += cls.slots;
        wanted_ = index_ - first;
        return index_ >= first && index_ < slot_;
    }
    FT_STATUS whenUnopenable() const override { return FT_DEVICE_NOT_OPENED; }
    int interfaceOf(const Candidate &c, FT_STATUS *end) override
    {
        if (wanted_ < c.d->config_desc->bNumInterfaces)
            return wanted_;
        *end = FT_DEVICE_NOT_FOUND;
        return -1;
    }

private:
    int index_;
    int slot_ = 0;
    int wanted_ = -1;
};

// A serial number or description: the whole string on single-channel
// chips, the string plus the channel letter (after a blank for a
// description) on multi-channel ones.
class NameMatcher : public Matcher {
public:
    NameMatcher(const char *name, bool byDescription) : name_(name), byDescription_(byDescription) {}
    int interfaceOf(const Candidate &c, FT_STATUS *end) override
    {
        char str[257];
        if (!ReadStringDescriptor(c.d->usbctx.usb_dev, byDescription_ ? c.desc.iProduct : c.desc.iSerialNumber, str,
                                  sizeof str)) {
            *end = FT_DEVICE_NOT_OPENED;
            return -1;
        }
        const size_t len = std::strlen(str);
        // A near miss (another channel letter, a longer name) is not the
        // end: another device may carry exactly this name.
        if (std::strncmp(name_, str, len) != 0)
            return -1;
        const size_t nameLen = std::strlen(name_);
        if (!c.d->cls.multiChannel)
            return nameLen == len ? 0 : -1;
        if (nameLen != len + (byDescription_ ? 2 : 1) || (byDescription_ && name_[len] != ' '))
            return -1;
        const char letter = static_cast<char>(name_[nameLen - 1] | 0x20);
        if (letter < 'a' || letter > 'd')
            return -1;
        const int iface = letter - 'a';
        return iface < c.d->config_desc->bNumInterfaces ? iface : -1;
    }

private:
    const char *name_;
    bool byDescription_;
};

// A location: bus << 8 | address, shifted left 4 for devices with more
// than one interface; on multi-channel types the low nibble is the
// interface + 1.
class LocationMatcher : public Matcher {
public:
    explicit LocationMatcher(DWORD location) : location_(location) {}
    int interfaceOf(const Candidate &c, FT_STATUS *end) override
    {
        uint32_t loc = BaseLocation(c.dev);
        if (c.d->config_desc->bNumInterfaces > 1)
            loc <<= 4;
        if (!c.d->cls.multiChannel)
            return loc == location_ ? 0 : -1;
        if (loc != (location_ & ~0xFu))
            return -1;
        const int nibble = static_cast<int>(location_ & 0xF);
        if (nibble == 0 || nibble > c.d->config_desc->bNumInterfaces) {
            *end = FT_DEVICE_NOT_FOUND;
            return -1;
        }
        return nibble - 1;
    }

private:
    DWORD location_;
};

// One walk over the matching devices: the first the matcher takes is
// opened, configured and kept in `d`.
FT_STATUS OpenDevice(Matcher &matcher, DeviceExtension *d)
{
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0)
        return FT_IO_ERROR;
    FT_STATUS result = FT_DEVICE_NOT_FOUND;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device *dev = list[i];
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) != 0 || !DeviceMatch(desc.idVendor, desc.idProduct))
            continue;
        const DeviceClass cls = ClassifyDevice(desc);
        if (!matcher.wants(cls))
            continue;
        assert(!d->usbctx.usb_dev && !d->dev_desc && !d->config_desc);
        if (libusb_open(dev, &d->usbctx.usb_dev) != 0) {
            d->usbctx.usb_dev = nullptr;
            if (matcher.whenUnopenable() != FT_OK) {
                result = matcher.whenUnopenable();
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
        FT_STATUS end = FT_OK;
        const int iface = matcher.interfaceOf(Candidate{dev, desc, d}, &end);
        if (iface < 0) {
            CloseCandidate(d);
            if (end == FT_OK)
                continue;
            result = end;
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
    std::lock_guard lock(*LibMutex());
    if (!constructDriver())
        return FT_OTHER_ERROR;
    DeviceExtension *d = AddDevice(); // holds a reference until the open is over
    if (!d)
        return FT_INSUFFICIENT_RESOURCES;
    d->usbctx.interfaceNumber = -1;
    FT_STATUS st;
    if (index != -1) {
        IndexMatcher m(index);
        st = OpenDevice(m, d);
    } else if ((flags & 7) == FT_OPEN_BY_SERIAL_NUMBER || (flags & 7) == FT_OPEN_BY_DESCRIPTION) {
        NameMatcher m(static_cast<const char *>(arg), (flags & 7) == FT_OPEN_BY_DESCRIPTION);
        st = OpenDevice(m, d);
    } else if ((flags & 7) == FT_OPEN_BY_LOCATION) {
        LocationMatcher m(static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg)));
        st = OpenDevice(m, d);
    } else {
        st = FT_INVALID_PARAMETER;
    }
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

extern "C" {

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

} // extern "C"
