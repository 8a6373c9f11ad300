// Registry of open handles. Opens add under the library lock but close does
// not take that lock, so the list has a mutex of its own.
#include "device-list.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
std::mutex gDeviceListMutex; // guards pgDeviceList and every record's next, refs and closeStarted
std::condition_variable gDeviceUnused; // a closing record's last reference went
DeviceExtension *pgDeviceList = nullptr;

DeviceExtension *FindLinked(const void *handle)
{
    for (DeviceExtension *d = pgDeviceList; d; d = d->next)
        if (d == handle)
            return d;
    return nullptr;
}
} // namespace

DeviceExtension *AddDevice()
{
    auto *d = new (std::nothrow) DeviceExtension();
    if (!d)
        return nullptr;
    std::lock_guard lock(gDeviceListMutex);
    d->refs = 1;
    d->next = pgDeviceList;
    pgDeviceList = d;
    return d;
}

DeviceExtension *BeginClose(const void *handle)
{
    if (!handle)
        return nullptr;
    std::lock_guard lock(gDeviceListMutex);
    for (DeviceExtension **p = &pgDeviceList; *p; p = &(*p)->next) {
        if (*p == handle) {
            DeviceExtension *d = *p;
            *p = d->next;
            d->next = nullptr;
            d->closeStarted = true;
            return d;
        }
    }
    return nullptr;
}

void WaitUntilUnused(DeviceExtension *d)
{
    std::unique_lock lock(gDeviceListMutex);
    gDeviceUnused.wait(lock, [d] { return d->refs == 0; });
}

DeviceExtension *AcquireDevice(const void *handle)
{
    if (!handle)
        return nullptr;
    std::lock_guard lock(gDeviceListMutex);
    DeviceExtension *d = FindLinked(handle);
    if (d)
        ++d->refs;
    return d;
}

void ReleaseDevice(DeviceExtension *d)
{
    std::lock_guard lock(gDeviceListMutex);
    if (--d->refs == 0 && d->closeStarted)
        gDeviceUnused.notify_all();
}

void RemoveDevice(DeviceExtension *d)
{
    {
        std::lock_guard lock(gDeviceListMutex);
        for (DeviceExtension **p = &pgDeviceList; *p; p = &(*p)->next) {
            if (*p == d) {
                *p = d->next;
                break;
            }
        }
    }
    delete d;
}

DeviceExtension *FindDevice(uint32_t n)
{
    std::lock_guard lock(gDeviceListMutex);
    DeviceExtension *d = pgDeviceList;
    while (d && n--)
        d = d->next;
    return d;
}

bool IsDeviceValid(const void *handle)
{
    if (!handle)
        return false;
    std::lock_guard lock(gDeviceListMutex);
    return FindLinked(handle) != nullptr;
}

bool FindOpenDevice(uint8_t bus, uint8_t address, int interfaceNumber, FT_DEVICE_LIST_INFO_NODE *info,
                    uint32_t *maxPacketSize)
{
    std::lock_guard lock(gDeviceListMutex);
    for (DeviceExtension *d = pgDeviceList; d; d = d->next) {
        if (!d->openComplete.load(std::memory_order_acquire))
            continue;
        if (d->usbctx.bus == bus && d->usbctx.address == address && d->usbctx.interfaceNumber == interfaceNumber) {
            *info = d->info;
            *maxPacketSize = d->maxPacketSize;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------- device-information list

namespace {

std::mutex gAttachedMutex; // guards pgAttachedList and dwNumberOfAttachedDevices
FT_DEVICE_LIST_INFO_NODE *pgAttachedList = nullptr;
DWORD dwNumberOfAttachedDevices = 0;

// Calls fn(device, descriptor, config) for every matching device whose
// configuration can be read, in libusb's order, until fn returns false.
template <typename Fn> int ForEachMatchingDevice(Fn fn)
{
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0)
        return static_cast<int>(count);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) != 0 || !DeviceMatch(desc.idVendor, desc.idProduct))
            continue;
        libusb_config_descriptor *cfg = nullptr;
        if (libusb_get_config_descriptor(list[i], 0, &cfg) != 0)
            continue;
        bool go_on = fn(list[i], desc, *cfg);
        libusb_free_config_descriptor(cfg);
        if (!go_on)
            break;
    }
    libusb_free_device_list(list, 1);
    return 0;
}

DWORD GetDeviceCount()
{
    DWORD n = 0;
    ForEachMatchingDevice([&](libusb_device *, const libusb_device_descriptor &, const libusb_config_descriptor &c) {
        n += c.bNumInterfaces;
        return true;
    });
    return n;
}

// One list entry: serial number (1), description (2) or location (4) of
// interface `iface` of `dev`, in a caller buffer of 64 bytes.
FT_STATUS ListEntry(libusb_device *dev, const libusb_device_descriptor &desc, int numInterfaces, int iface,
                    DWORD what, void *out)
{
    const bool multi = numInterfaces > 1;
    if (what == FT_OPEN_BY_LOCATION) {
        uint32_t loc = static_cast<uint32_t>(libusb_get_bus_number(dev)) << 8 | libusb_get_device_address(dev);
        // The channel nibble counts from 1, as FT_GetDeviceLocId and open
        // by location do, so a listed location opens its own channel.
        if (multi)
            loc = loc << 4 | static_cast<uint32_t>(iface + 1);
        *static_cast<DWORD *>(out) = loc;
        return FT_OK;
    }
    if (multi && iface > 5)
        return FT_OTHER_ERROR;
    libusb_device_handle *h = nullptr;
    if (libusb_open(dev, &h) != 0)
        return FT_DEVICE_NOT_FOUND;
    char s[257];
    bool ok = ReadStringDescriptor(h, what == FT_OPEN_BY_SERIAL_NUMBER ? desc.iSerialNumber : desc.iProduct, s,
                                   sizeof s);
    libusb_close(h);
    if (!ok)
        s[0] = '\0';
    auto *buf = static_cast<char *>(out);
    const char letter = static_cast<char>('A' + iface);
    std::string text = s;
    if (multi)
        text += what == FT_OPEN_BY_SERIAL_NUMBER ? std::string(1, letter) : std::string(" ") + letter;
    CopyField(buf, 64, text.c_str()); // 64 characters fill the buffer without a terminator
    return FT_OK;
}

// The strings the last list build read, per device, for the one open that
// usually follows it (gAttachedMutex). Taken once: a later open reads again.
struct ListedStrings {
    uint8_t bus, address;
    uint16_t idVendor, idProduct, bcdDevice;
    DeviceStrings strings;
};
std::vector<ListedStrings> gListedStrings;

// One position of the open-by-index numbering: a device and its channel.
struct Slot {
    libusb_device *dev;
    libusb_device_descriptor desc;
    DeviceClass cls;
    int iface;
};

// What FT_Open at this position would find, without the open's reset,
// purges and threads: the interface must be claimable (else it is taken to
// be open already) and the type one that opens at all. The strings are read
// once. False: the entry counts as one that could not be opened.
bool ProbeSlot(const Slot &s, FT_DEVICE_LIST_INFO_NODE *node, std::vector<ListedStrings> *listed)
{
    if (!s.cls.fractional)
        return false; // the open's latency read would refuse it
    libusb_device_handle *h = nullptr;
    if (libusb_open(s.dev, &h) != 0)
        return false;
    libusb_config_descriptor *cfg = nullptr;
    bool ok = false;
    if (libusb_get_config_descriptor(s.dev, 0, &cfg) == 0 && s.iface < cfg->bNumInterfaces &&
        cfg->interface[s.iface].num_altsetting > 0) {
        const int number = s.cls.multiChannel ? cfg->interface[s.iface].altsetting[0].bInterfaceNumber : 0;
        if (libusb_claim_interface(h, number) == 0) {
            DeviceStrings strings = ReadDeviceStrings(h, s.desc);
            libusb_release_interface(h, number);
            listed->push_back(ListedStrings{libusb_get_bus_number(s.dev), libusb_get_device_address(s.dev),
                                            s.desc.idVendor, s.desc.idProduct, s.desc.bcdDevice, strings});
            const libusb_interface &if0 = cfg->interface[0];
            uint32_t mps = 0;
            if (if0.num_altsetting > 0 && if0.altsetting[0].bNumEndpoints > 0)
                mps = if0.altsetting[0].endpoint[0].wMaxPacketSize;
            const uint32_t base =
                static_cast<uint32_t>(libusb_get_bus_number(s.dev)) << 8 | libusb_get_device_address(s.dev);
            *node = FT_DEVICE_LIST_INFO_NODE{};
            node->Flags = mps > 64 ? FT_FLAGS_HISPEED : 0;
            node->Type = s.cls.type;
            node->ID = static_cast<DWORD>(s.desc.idVendor) << 16 | s.desc.idProduct;
            node->LocId = s.cls.multiChannel ? (base << 4 | static_cast<uint32_t>(number + 1)) : base;
            // An open leaves its information zero when a string cannot be read.
            if (strings.serialOk && strings.productOk) {
                char serial[18], description[67];
                ChannelStrings(strings, s.cls.multiChannel, number, serial, description);
                CopyField(node->SerialNumber, sizeof node->SerialNumber, serial);
                CopyField(node->Description, sizeof node->Description, description);
            } else {
                node->Type = 0;
                node->ID = 0;
            }
            ok = true;
        }
    }
    if (cfg)
        libusb_free_config_descriptor(cfg);
    libusb_close(h);
    return ok;
}

} // namespace

bool TakeListedStrings(uint8_t bus, uint8_t address, const libusb_device_descriptor &desc, DeviceStrings *out)
{
    std::lock_guard lock(gAttachedMutex);
    for (auto it = gListedStrings.begin(); it != gListedStrings.end(); ++it) {
        if (it->bus == bus && it->address == address && it->idVendor == desc.idVendor &&
            it->idProduct == desc.idProduct && it->bcdDevice == desc.bcdDevice) {
            *out = it->strings;
            gListedStrings.erase(it);
            return true;
        }
    }
    return false;
}

void ResetAttachedList()
{
    std::lock_guard lock(gAttachedMutex);
    gListedStrings.clear();
    std::free(pgAttachedList);
    pgAttachedList = nullptr;
    dwNumberOfAttachedDevices = 0;
}

extern "C" {

FT_STATUS FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags)
{
    LibLock();
    struct Unlock {
        ~Unlock() { LibUnlock(); }
    } unlock;
    if (!constructDriver())
        return FT_OTHER_ERROR;
    const DWORD mode = flags & FT_LIST_MASK;
    if (mode == FT_LIST_NUMBER_ONLY) {
        if (!arg1)
            return FT_INVALID_PARAMETER;
        *static_cast<DWORD *>(arg1) = GetDeviceCount();
        return FT_OK;
    }
    if (!arg1 && !arg2)
        return FT_INVALID_PARAMETER;
    DWORD what = flags & 7;
    if (what == 0)
        what = FT_OPEN_BY_SERIAL_NUMBER;
    if (what != FT_OPEN_BY_SERIAL_NUMBER && what != FT_OPEN_BY_DESCRIPTION && what != FT_OPEN_BY_LOCATION)
        return FT_INVALID_PARAMETER;

    if (mode == FT_LIST_BY_INDEX) {
        if (!arg2)
            return FT_INVALID_PARAMETER;
        const DWORD index = static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg1));
        FT_STATUS st = FT_DEVICE_NOT_FOUND;
        DWORD total = 0;
        ForEachMatchingDevice([&](libusb_device *dev, const libusb_device_descriptor &desc,
                                  const libusb_config_descriptor &cfg) {
            total += cfg.bNumInterfaces;
            if (index >= total)
                return true;
            int iface = static_cast<int>(cfg.bNumInterfaces + index - total);
            st = ListEntry(dev, desc, cfg.bNumInterfaces, iface, what, arg2);
            return false;
        });
        return st;
    }
    if (mode == FT_LIST_ALL) {
        if (!arg1 || !arg2)
            return FT_INVALID_PARAMETER;
        auto *count = static_cast<DWORD *>(arg2);
        *count = 0;
        FT_STATUS st = FT_OK;
        ForEachMatchingDevice([&](libusb_device *dev, const libusb_device_descriptor &desc,
                                  const libusb_config_descriptor &cfg) {
            for (int i = 0; i < cfg.bNumInterfaces; ++i) {
                void *out = what == FT_OPEN_BY_LOCATION ? static_cast<void *>(static_cast<DWORD *>(arg1) + *count)
                                                        : static_cast<char **>(arg1)[*count];
                if (!out) {
                    st = FT_INVALID_PARAMETER;
                    return false;
                }
                st = ListEntry(dev, desc, cfg.bNumInterfaces, i, what, out);
                if (st != FT_OK)
                    return false;
                ++*count;
            }
            return true;
        });
        return st;
    }
    return FT_INVALID_PARAMETER;
}

FT_STATUS FT_CreateDeviceInfoList(LPDWORD numDevs)
{
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    ResetAttachedList();
    *numDevs = 0;
    LibLock(); // the identifier table must not grow under DeviceMatch
    struct Unlock {
        ~Unlock() { LibUnlock(); }
    } unlock;
    if (!constructDriver())
        return FT_OTHER_ERROR;
    // One walk over the bus: the entry count (every interface of every
    // matching device) and the open-by-index positions, which skip the
    // types that take none, so entry i describes what FT_Open(i) opens.
    libusb_device **devices = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &devices);
    if (count < 0)
        return FT_IO_ERROR;
    struct FreeList {
        libusb_device **l;
        ~FreeList() { libusb_free_device_list(l, 1); }
    } freeList{devices};
    DWORD n = 0;
    std::vector<Slot> slots;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(devices[i], &desc) != 0 || !DeviceMatch(desc.idVendor, desc.idProduct))
            continue;
        libusb_config_descriptor *cfg = nullptr;
        if (libusb_get_config_descriptor(devices[i], 0, &cfg) != 0)
            continue;
        n += cfg->bNumInterfaces;
        libusb_free_config_descriptor(cfg);
        const DeviceClass cls = ClassifyDevice(desc);
        for (int k = 0; k < cls.slots; ++k)
            slots.push_back(Slot{devices[i], desc, cls, cls.multiChannel ? k : 0});
    }
    if (n == 0)
        return FT_OK;
    auto *nodes = static_cast<FT_DEVICE_LIST_INFO_NODE *>(std::calloc(n, sizeof(FT_DEVICE_LIST_INFO_NODE)));
    if (!nodes) {
        std::lock_guard lock(gAttachedMutex);
        dwNumberOfAttachedDevices = n;
        return FT_INSUFFICIENT_RESOURCES;
    }
    std::vector<ListedStrings> listed;
    for (DWORD i = 0; i < n; ++i) {
        FT_DEVICE_LIST_INFO_NODE &node = nodes[i];
        if (i < slots.size() && ProbeSlot(slots[i], &node, &listed))
            continue;
        // Taken to be open already: if it is open in this process, show
        // that handle. The entry is paired with the handle by device and
        // channel, so the pairing holds whatever order the opens came in.
        node = FT_DEVICE_LIST_INFO_NODE{};
        node.Flags = FT_FLAGS_OPENED;
        FT_DEVICE_LIST_INFO_NODE info{};
        uint32_t mps = 0;
        if (i < slots.size() &&
            FindOpenDevice(libusb_get_bus_number(slots[i].dev), libusb_get_device_address(slots[i].dev),
                           slots[i].iface, &info, &mps)) {
            node = info;
            node.Flags = FT_FLAGS_OPENED | (mps > 64 ? FT_FLAGS_HISPEED : 0);
        } else {
            node.Type = 3;
        }
    }
    {
        std::lock_guard lock(gAttachedMutex);
        std::free(pgAttachedList);
        pgAttachedList = nodes;
        dwNumberOfAttachedDevices = n;
        gListedStrings = std::move(listed);
    }
    *numDevs = n;
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, LPDWORD numDevs)
{
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    std::lock_guard lock(gAttachedMutex);
    if (dest && pgAttachedList)
        std::memcpy(dest, pgAttachedList, dwNumberOfAttachedDevices * sizeof(FT_DEVICE_LIST_INFO_NODE));
    *numDevs = pgAttachedList ? dwNumberOfAttachedDevices : 0;
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfoDetail(DWORD index, LPDWORD flags, LPDWORD type, LPDWORD id, LPDWORD locId,
                                 LPVOID serial, LPVOID description, FT_HANDLE *handle)
{
    std::lock_guard lock(gAttachedMutex);
    if (!pgAttachedList || index >= dwNumberOfAttachedDevices)
        return FT_DEVICE_NOT_FOUND;
    const FT_DEVICE_LIST_INFO_NODE &n = pgAttachedList[index];
    if (flags)
        *flags = n.Flags;
    if (type)
        *type = n.Type;
    if (id)
        *id = n.ID;
    if (locId)
        *locId = n.LocId;
    if (serial)
        std::memcpy(serial, n.SerialNumber, sizeof n.SerialNumber);
    if (description)
        std::memcpy(description, n.Description, sizeof n.Description);
    if (handle)
        *handle = n.ftHandle;
    return FT_OK;
}

} // extern "C"
