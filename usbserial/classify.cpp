// What a converter is: its abilities by release number, and the strings it
// is known by (serial number and description, with the channel letter on
// multi-channel types).
#include "usbserial-private.h"

#include <algorithm>
#include <cstdio>

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

