// The driver's internal picture: the per-handle record an FT_HANDLE points
// to, the converter classification by bcdDevice, the library-wide state and
// the helpers the modules share.
//
// Locks, and what each guards:
//   glibmutex (library)       opens, FT_ListDevices, FT_SetVIDPID, gIdt, gInitialised
//   gDeviceListMutex          the registry pgDeviceList (device-list)
//   gAttachedMutex            pgAttachedList and its count
//   DeviceExtension::rxMutex  ring, in-transfer size, event status word, event
//                             mask/handle/enabled bit, slot discard flags
//   DeviceExtension::stateMutex  alive flag
//   DeviceExtension::writeMutex  one FT_Write at a time
//   DeviceExtension::commMutex   the compatibility comm-event state
//   each InternalEvent           its own flag
// Lock order where two meet: glibmutex -> gDeviceListMutex; glibmutex ->
// gAttachedMutex; commMutex -> the comm event's own mutex. rxMutex and
// stateMutex are never held together, and the caller's EVENT_HANDLE mutex is
// only taken with none of ours held.
#pragma once

#include "Event.h"
#include "idtable.h"
#include "usbserial.h"

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

struct DeviceExtension;

// What a converter can do, decided from its device descriptor.
struct DeviceClass {
    uint32_t type;     // the Type reported to callers
    int slots;         // positions taken in the open-by-index numbering
    bool multiChannel; // each interface its own channel
    bool fractional;   // eighth-step divisors, latency timer, bit modes
    bool highClock;    // 12 MHz divisor path above 1199 baud
    bool shiftedIndex; // divisor extension goes to the high byte of wIndex
    bool zeroLength;   // bulk-out transfers of whole packets end with a ZLP
    bool vendorCmd;    // FT_VendorCmdGet/Set allowed
};

DeviceClass ClassifyDevice(uint16_t bcdDevice, bool hasSerialString);
DeviceClass ClassifyDevice(const libusb_device_descriptor &desc);

constexpr int kInSlots = 4;
constexpr uint32_t kSlotBufferSize = 65536;
constexpr int32_t kRingSize = 262144;
constexpr uint32_t kMaxTransferSize = 65536;
constexpr uint32_t kQueueStatusCap = 65536;
constexpr int32_t kSlotSubmitted = -1;
// Kept apart from every libusb transfer status (LIBUSB_TRANSFER_ERROR is 1).
constexpr int32_t kSlotSubmitFailed = 0x100;

// One bulk-in transfer with its buffer. Slots are heap objects of their own
// so that a transfer libusb still holds at close can be left to it together
// with everything its completion touches.
struct InSlot {
    std::unique_ptr<uint8_t[]> buffer;
    std::atomic<int32_t> receivedLength{0};
    InternalEvent freeEvent;   // set: may be submitted
    InternalEvent filledEvent; // set by the completion
    bool discard = false;      // guarded by the record's rxMutex
    libusb_transfer *transfer = nullptr;
    // kSlotSubmitted, kSlotSubmitFailed, else the libusb transfer status.
    std::atomic<int32_t> status{0};
    DeviceExtension *pDevExt = nullptr;
};

// The two strings a converter is known by, read from it once per open or
// list entry.
struct DeviceStrings {
    char serial[17] = {};  // iSerialNumber, at most 16 characters
    char product[65] = {}; // iProduct, at most 64 characters
    bool serialOk = false;
    bool productOk = false;
};

using WriteFunction = int (*)(DeviceExtension *, const uint8_t *, DWORD, DWORD *);

struct DeviceExtension {
    // Registry state, guarded by gDeviceListMutex: the link, the number of
    // calls using the record right now, and whether a close has taken it
    // out of the registry (and waits for `refs` to drop to 0).
    DeviceExtension *next = nullptr;
    int refs = 0;
    bool closeStarted = false;

    // 1. USB context
    struct {
        libusb_device_handle *usb_dev = nullptr;
        int32_t interfaceNumber = -1;
        uint8_t bulkIn = 0;
        uint8_t bulkOut = 0;
        libusb_device *device = nullptr;
        uint8_t bus = 0;     // where the device sat when it was opened
        uint8_t address = 0;
    } usbctx;

    // 2. Descriptors
    libusb_device_descriptor *dev_desc = nullptr;
    libusb_config_descriptor *config_desc = nullptr;
    DeviceClass cls{};

    // 3. Last status bytes from the receive stream (processor thread; read
    //    by FT_GetModemStatus under rxMutex).
    uint8_t modemStatus = 0;
    uint8_t lineStatus = 0;

    // 4. Time-outs (ms, 0 = none); set by the caller's thread.
    std::atomic<uint32_t> readTimeout{0};
    std::atomic<uint32_t> writeTimeout{0};

    // 5. Threads and flags
    std::thread readerThread;
    std::thread processorThread;
    std::atomic<int32_t> stopFlag{0};
    std::atomic<int32_t> inTaskStopped{0};

    // 6. Receive ring (rxMutex)
    std::mutex rxMutex;
    std::condition_variable rxCond; // data queued, device gone or handle closing; FT_Read waits on it
    std::unique_ptr<uint8_t[]> ring;
    int32_t ringWrite = 0;
    int32_t ringRead = 0;
    int32_t ringSize = 0;
    int32_t ringFree = 0;
    bool rxGone = false;   // mirror of !alive, for waiters on rxCond
    bool rxClosed = false; // a close is waiting for the readers to leave

    // 7. Wake events of the two pipeline threads
    InternalEvent readerWake;
    InternalEvent processorWake;

    // 8. Bulk-in slots
    std::unique_ptr<InSlot> slots[kInSlots];

    // 9. Wait periods (ms)
    uint32_t processorWait = 300;
    uint32_t readerWait = 500;

    // 10. Channel
    uint8_t controlIndex = 0;

    // 11. Shadows of the line settings
    uint32_t baudRate = 0;
    uint8_t wordLength = 0, stopBits = 0, parity = 0;
    uint16_t flowMode = 0;
    uint8_t xonChar = 0, xoffChar = 0;
    std::atomic<uint8_t> eventChar{0}, eventCharEnabled{0}; // read by the processor
    uint8_t errorChar = 0, errorCharEnabled = 0;
    uint16_t bitMode = 0;
    std::atomic<uint8_t> latencyTimer{0};
    uint16_t lineControl = 8;
    bool dtrOn = false, rtsOn = false;

    // 12. Notification state (rxMutex)
    uint32_t eventMask = 0;
    EVENT_HANDLE *eventHandle = nullptr;
    uint32_t eventStatus = 0;
    bool notifyEnabled = false;

    // 13. Packet size
    uint32_t maxPacketSize = 64;

    // 14. USB and deadman time-outs (ms)
    std::atomic<uint32_t> usbTimeout{5000};
    std::atomic<uint32_t> deadmanTimeout{5000};

    // 15. Transfer sizes; inTransferSize under rxMutex
    uint32_t maxInTransferSize = kMaxTransferSize;
    uint32_t inTransferSize = 4096;
    uint32_t maxOutTransferSize = kMaxTransferSize;
    std::atomic<uint32_t> outTransferSize{4096};

    // 16. Compatibility comm-event state (commMutex)
    std::mutex commMutex;
    uint32_t commMask = 0;
    uint32_t commPending = 0;
    bool commAbort = false;
    InternalEvent commEvent;
    bool closing = false;
    uint32_t lineErrors = 0;
    std::atomic<uint32_t> lastError{0};
    FTDCB dcb{};
    FTTIMEOUTS w32Timeouts{};

    // 17. Device information filled at open
    uint32_t typeCode = 0;
    FT_DEVICE_LIST_INFO_NODE info{};

    // 18. Write path
    InternalEvent writeRequest;
    InternalEvent writeDone;
    const uint8_t *writeBuffer = nullptr; // handed over through the two events
    DWORD writeLength = 0;
    DWORD *writeCount = nullptr;
    int writeResult = 0;
    std::thread writerThread;
    std::atomic<bool> writerRun{false};
    WriteFunction writeFunction = nullptr;
    std::mutex writeMutex;
    // The bulk OUT transfer (writeXferMutex). A write waits for its
    // completion on writeXferCond; close cancels a write in flight, so no
    // write can hold a close up for longer than libusb takes to cancel.
    std::mutex writeXferMutex;
    std::condition_variable writeXferCond;
    libusb_transfer *writeTransfer = nullptr;
    bool writeInFlight = false;
    bool writeFinished = false;
    bool writeClosing = false;

    // 19. Configuration matching; the strings as read at open
    DeviceStrings strings;
    uint16_t outPacketSize = 0;
    char description[65] = {};
    char serialNumber[20] = {};
    uint16_t idVendor = 0, idProduct = 0;
    uint32_t ConfigFlags = 0;

    // 20. Alive flag (stateMutex); instance number
    std::mutex stateMutex;
    uint8_t alive = 0;
    uint32_t instance = 0;
    // Set once the open has finished; the device list reads the record's
    // USB identity only after seeing it.
    std::atomic<bool> openComplete{false};
};

// ---- library state (library.cpp) ----
extern IdTable *gIdt;
extern std::atomic<int> gInitialised;
int LibLock();
void LibUnlock();
bool constructDriver();
void ShutdownDriver();
std::mutex *LibMutex();
bool DeviceMatch(uint16_t vendor, uint16_t product);

// ---- registry of open handles (device-list.cpp) ----
// A new record, linked at the head, holding one reference for its opener.
DeviceExtension *AddDevice();
void RemoveDevice(DeviceExtension *d); // unlinks (if still linked) and frees
// Takes a handle out of the registry and marks it closing; null when it was
// not there. Close does this first, so a second close of the same handle,
// even from another thread at the same moment, is refused instead of
// freeing twice, and every later call on it is refused too.
DeviceExtension *BeginClose(const void *handle);
// Waits until no call holds a reference on a record taken by BeginClose.
void WaitUntilUnused(DeviceExtension *d);
// A reference on a registered record; null when the handle is not (or no
// longer) open. Close frees nothing while a reference is held.
DeviceExtension *AcquireDevice(const void *handle);
void ReleaseDevice(DeviceExtension *d);
DeviceExtension *FindDevice(uint32_t n);
bool IsDeviceValid(const void *handle);

// The one handle check of every FT_ function that takes a handle: the
// record stays valid until the reference goes out of scope.
class HandleRef {
public:
    explicit HandleRef(const void *handle) : d_(AcquireDevice(handle)) {}
    ~HandleRef()
    {
        if (d_)
            ReleaseDevice(d_);
    }
    HandleRef(const HandleRef &) = delete;
    HandleRef &operator=(const HandleRef &) = delete;
    explicit operator bool() const { return d_ != nullptr; }
    DeviceExtension *get() const { return d_; }

private:
    DeviceExtension *d_;
};

#define USBSERIAL_CHECK_HANDLE(h, d)                                                                               \
    HandleRef d##Ref_(h);                                                                                          \
    if (!d##Ref_)                                                                                                  \
        return FT_INVALID_HANDLE;                                                                                  \
    DeviceExtension *d = d##Ref_.get()
// The strings the last FT_CreateDeviceInfoList read from this device, for
// the open that follows it; each is handed out once. False: read them.
bool TakeListedStrings(uint8_t bus, uint8_t address, const libusb_device_descriptor &desc, DeviceStrings *out);
// Drops the device-information list (at exit, and before each rebuild).
void ResetAttachedList();
// Copies the device information of the handle open on this device and
// interface; false when there is none.
bool FindOpenDevice(uint8_t bus, uint8_t address, int interfaceNumber, FT_DEVICE_LIST_INFO_NODE *info,
                    uint32_t *maxPacketSize);

// ---- classification and string descriptors (classify.cpp) ----
// ASCII string `index` of an open device; false when it cannot be read.
bool ReadStringDescriptor(libusb_device_handle *h, uint8_t index, char *buf, int size);
DeviceStrings ReadDeviceStrings(libusb_device_handle *h, const libusb_device_descriptor &desc);
// Serial number and description of one channel: on multi-channel types the
// serial number gets the channel letter ("%s%c") and the description a
// blank and the letter ("%s %c"). Buffers of 18 and 67 bytes.
void ChannelStrings(const DeviceStrings &s, bool multiChannel, int iface, char *serial, char *description);

// ---- vendor requests (usb_control.cpp) ----
FT_STATUS FT_VendorRequest(uint8_t request, uint16_t value, uint16_t index, uint8_t *data, uint16_t length,
                           uint8_t requestType, DeviceExtension *d);
FT_STATUS GetModemStatus(DeviceExtension *d);
FT_STATUS ReadLatencyTimer(DeviceExtension *d);
FT_STATUS Purge(DeviceExtension *d, ULONG mask);
FT_STATUS SetBaudRate(DeviceExtension *d, ULONG baud);

// ---- receive pipeline (bulk_in.cpp) ----
void reader_thread(DeviceExtension *d);
void processor_thread(DeviceExtension *d);
void LIBUSB_CALL InRequestCompletion(libusb_transfer *t);
void ProcessBulkInData(DeviceExtension *d, const uint8_t *data, int32_t n, InSlot *slot);
void UpdateDeadmanTimeout(DeviceExtension *d);
// A slot's status read under its filled event's lock (see InRequestCompletion).
int32_t SlotStatus(InSlot *s);
// Called by the completion between publishing its result and signalling;
// tests use it to widen that window.
extern std::atomic<void (*)()> gSlotCompletionTestHook;
bool IsAlive(DeviceExtension *d);
void MarkGone(DeviceExtension *d);
// The compatibility comm event: mark `bits` pending (those in the comm mask)
// and wake a waiter.
void SignalCommEvent(DeviceExtension *d, uint32_t bits);

// ---- write path (write.cpp); WakeForClose (usbserial.cpp) ----
void LIBUSB_CALL WriteCompletion(libusb_transfer *t);
// Wakes everything that may wait inside a call on this handle (readers,
// a write in flight, a comm-event waiter) so that close can wait them out.
void WakeForClose(DeviceExtension *d);
int FT_WriteSingleThread(DeviceExtension *d, const uint8_t *buf, DWORD count, DWORD *written);
int FT_WriteMultiThread(DeviceExtension *d, const uint8_t *buf, DWORD count, DWORD *written);
void write_thread(DeviceExtension *d);

// ---- configuration file (config.cpp) ----
void GetDeviceConfigSettings(DeviceExtension *d);

// Fills a fixed text field of the device list: as many characters as fit,
// terminated only when shorter than the field (a full field has no room).
inline void CopyField(char *dst, size_t size, const char *src)
{
    size_t n = 0;
    while (n < size && src[n]) {
        dst[n] = src[n];
        ++n;
    }
    if (n < size)
        dst[n] = '\0';
}

// Copies a C string into a fixed field, cut to fit and always terminated.
inline void CopyString(char *dst, size_t size, const char *src)
{
    size_t n = 0;
    while (n + 1 < size && src[n])
        ++n;
    for (size_t i = 0; i < n; ++i)
        dst[i] = src[i];
    dst[n] = '\0';
}

inline DeviceExtension *Ext(FT_HANDLE h) { return static_cast<DeviceExtension *>(h); }
