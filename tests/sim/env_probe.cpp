// A libusb program linked against the simulated bus without the test mode,
// as tarnctl-sim is: the bus comes up from the environment. Prints one line
// per device (serial number and bcdDevice); each argument is a pause in
// milliseconds after which the list is printed again, after a line "--".
#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

static void list_devices()
{
    libusb_device **list;
    ssize_t n = libusb_get_device_list(nullptr, &list);
    for (ssize_t i = 0; i < n; i++) {
        libusb_device_descriptor d;
        libusb_get_device_descriptor(list[i], &d);
        libusb_device_handle *h;
        unsigned char serial[32] = "";
        if (libusb_open(list[i], &h) == 0) {
            libusb_get_string_descriptor_ascii(h, d.iSerialNumber, serial, sizeof serial);
            libusb_close(h);
        }
        printf("%s %04x\n", serial, d.bcdDevice);
    }
    libusb_free_device_list(list, 1);
}

int main(int argc, char **argv)
{
    if (libusb_init(nullptr) != 0)
        return 1;
    list_devices();
    for (int i = 1; i < argc; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(atoi(argv[i])));
        printf("--\n");
        list_devices();
    }
    libusb_exit(nullptr);
    return 0;
}
