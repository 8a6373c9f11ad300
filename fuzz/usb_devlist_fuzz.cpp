// The driver's device list and its opens by position, serial number,
// description and location, on a simulated bus of up to four converters
// whose release number, identifiers, serial number and product string come
// from the input.
//
// Input, per converter: two bytes release number, one byte identifier
// choice, one byte serial length and its bytes, one byte product length and
// its bytes.
//
// Checked: the list has one entry per interface of every listed converter;
// an entry that opens by its position describes the handle that opened
// (type, identifiers, serial number, description, location); every text the
// listing calls hand out ends within its buffer; an open by a listed name
// or location that succeeds opens a converter with that name or location.
#include "usbserial-private.h"

#include "hwmodel.h"
#include "usb/simbus.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace {

void checkAt(bool ok, int line)
{
    if (!ok) {
        std::fprintf(stderr, "check failed at line %d\n", line);
        std::abort();
    }
}
#define check(ok) checkAt((ok), __LINE__)

std::string text(const uint8_t *&p, size_t &n, size_t max)
{
    if (!n)
        return {};
    size_t len = std::min<size_t>(*p++ % (max + 1), --n);
    std::string s(reinterpret_cast<const char *>(p), len);
    p += len;
    n -= len;
    return s;
}

bool sameField(const char *a, const char *b, size_t size) { return strncmp(a, b, size) == 0; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = [] { return FT_SetVIDPID(0x0403, 0x7F80) == FT_OK; }();
    (void)once;
    std::vector<sim::DeviceSpec> specs;
    const uint8_t *p = data;
    size_t n = size;
    while (n >= 3 && specs.size() < 4) {
        sim::DeviceSpec s;
        s.bcd_device = static_cast<uint16_t>(p[0] << 8 | p[1]);
        const uint8_t ids = p[2];
        p += 3;
        n -= 3;
        if (ids % 3 == 1) {
            s.vendor = 0x0403;
            s.product = 0x7F80;
        } else if (ids % 3 == 2) {
            s.vendor = 0x0403;
            s.product = static_cast<uint16_t>(0x6000 + (ids >> 2));
        }
        s.serial = text(p, n, 40);
        s.product_name = text(p, n, 80);
        s.box = false;
        specs.push_back(s);
    }
    sim::reset_bus(specs);

    DWORD count = 0;
    check(FT_CreateDeviceInfoList(&count) == FT_OK);
    DWORD interfaces = 0;
    check(FT_ListDevices(&interfaces, nullptr, FT_LIST_NUMBER_ONLY) == FT_OK);
    check(count == interfaces);
    std::vector<FT_DEVICE_LIST_INFO_NODE> list(count + 1);
    DWORD filled = 0;
    check(FT_GetDeviceInfoList(list.data(), &filled) == FT_OK && filled == count);

    for (DWORD i = 0; i < count; ++i) {
        char name[64 + 8];
        std::memset(name, 0x55, sizeof name);
        FT_STATUS st = FT_ListDevices(reinterpret_cast<PVOID>(static_cast<uintptr_t>(i)), name,
                                      FT_LIST_BY_INDEX | (i % 2 ? FT_OPEN_BY_DESCRIPTION : FT_OPEN_BY_SERIAL_NUMBER));
        if (st == FT_OK)
            check(std::memchr(name, 0, 64) != nullptr || name[64] == 0x55);

        FT_HANDLE h = nullptr;
        if (FT_Open(static_cast<int>(i), &h) == FT_OK) {
            const FT_DEVICE_LIST_INFO_NODE &e = list[i];
            const FT_DEVICE_LIST_INFO_NODE &o = Ext(h)->info;
            check(e.Flags == (Ext(h)->maxPacketSize > 64 ? FT_FLAGS_HISPEED : 0u));
            check(e.Type == o.Type && e.ID == o.ID && e.LocId == o.LocId);
            check(sameField(e.SerialNumber, o.SerialNumber, sizeof e.SerialNumber));
            check(sameField(e.Description, o.Description, sizeof e.Description));
            FT_Close(h);
        }

        // Open by what the list shows; whatever opens must carry that name.
        char serial[17] = {}, desc[65] = {};
        std::memcpy(serial, list[i].SerialNumber, 16);
        std::memcpy(desc, list[i].Description, 64);
        for (int by : {FT_OPEN_BY_SERIAL_NUMBER, FT_OPEN_BY_DESCRIPTION}) {
            const char *want = by == FT_OPEN_BY_SERIAL_NUMBER ? serial : desc;
            h = nullptr;
            if (FT_OpenEx(const_cast<char *>(want), by, &h) == FT_OK) {
                const FT_DEVICE_LIST_INFO_NODE &o = Ext(h)->info;
                // (Its strings unreadable, an open leaves its information
                // zero.) The channel letter is matched ignoring case, so
                // "d" may open channel D of a chip without a serial number
                // that comes first on the bus.
                const char *got = by == FT_OPEN_BY_SERIAL_NUMBER ? o.SerialNumber : o.Description;
                const size_t field = by == FT_OPEN_BY_SERIAL_NUMBER ? 16 : 64;
                check(o.ID == 0 || strncasecmp(got, want, field) == 0);
                FT_Close(h);
            }
        }
        h = nullptr;
        if (FT_OpenEx(reinterpret_cast<PVOID>(static_cast<uintptr_t>(list[i].LocId)), FT_OPEN_BY_LOCATION, &h) ==
            FT_OK) {
            check(Ext(h)->info.LocId == list[i].LocId);
            FT_Close(h);
        }
    }
    return 0;
}
