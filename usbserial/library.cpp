// The library's own life: libusb and its event thread, started before main
// and stopped after it, the library lock, the identifier table, and the
// calls that need no handle.
#include "usbserial-private.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <pthread.h>
#include <thread>

IdTable *gIdt = nullptr;
std::atomic<int> gInitialised{0};

namespace {

std::mutex glibmutex; // the library lock; constant-initialised, so usable before main
std::atomic<bool> do_libusb_update{false};
std::thread *poll_libusb_thread = nullptr;

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
