// Runs inside the peer guest as its only program: drives two emulated
// converters through the driver's public interface alone, over the guest
// kernel's usbfs and the system's libusb-1.0. One converter's line is looped
// back by the host; on the other the host watches the line settings the
// emulator applies and answers each announced baud rate with one byte.
// Every finding is one "PEER ..." line on the console; the last one is
// "PEER RESULT PASS" or "PEER RESULT FAIL <count>".
//
// What QEMU's converter does not do, and how this program deals with it
// (seen with QEMU 7.2):
// - no status-only packets while the line is idle, so an idle handle would
//   look unplugged after the dead-man time-out: the time-out is raised here;
// - bit modes (set and read) and mark or space parity are refused with a
//   stall: checked as I/O errors, each followed by a request that works;
// - the line-status byte is always 0 and the modem lines are fixed (CTS,
//   DSR and DCD on): the status is checked for stray bits only;
// - the latency timer is stored and read back but not applied, the event
//   character is accepted and ignored, and the line is not paced: nothing
//   here measures timing;
// - a host serial port gets only the stop bits of the data format, and the
//   classic speed nearest to the decoded rate: the host compares the rate
//   and format QEMU reports decoding, not only the port's settings.
#include "usbserial.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *kEchoSerial = "PEERECHO";
constexpr const char *kBaudSerial = "PEERBAUD";
constexpr DWORD kId = 0x04036001;

int failures = 0;

void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::printf("PEER ");
    std::vprintf(fmt, ap);
    std::printf("\n");
    std::fflush(stdout);
    va_end(ap);
}

bool check(bool ok, const char *fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (!ok) {
        ++failures;
        say("FAIL %s", text);
    }
    return ok;
}

bool status(FT_STATUS got, FT_STATUS want, const char *what) {
    if (std::getenv("PEER_VERBOSE")) say("STEP %s: %lu", what, (unsigned long)got);
    return check(got == want, "%s: status %lu, expected %lu", what, (unsigned long)got, (unsigned long)want);
}

std::string sysfs(const std::string &dir, const char *name) {
    std::string v;
    if (FILE *f = std::fopen((dir + "/" + name).c_str(), "r")) {
        char buf[128];
        if (std::fgets(buf, sizeof buf, f)) v = buf;
        std::fclose(f);
    }
    while (!v.empty() && (v.back() == '\n' || v.back() == ' ')) v.pop_back();
    return v;
}

// What the kernel knows of the converter with this serial number.
struct KernelView {
    DWORD loc = 0;
    std::string product;
    bool found = false;
};

KernelView kernel_view(const char *serial) {
    KernelView k;
    for (int bus = 1; bus < 8; ++bus)
        for (int port = 1; port < 16; ++port) {
            std::string dir = "/sys/bus/usb/devices/" + std::to_string(bus) + "-" + std::to_string(port);
            if (sysfs(dir, "serial") != serial) continue;
            k.loc = (DWORD)(std::atoi(sysfs(dir, "busnum").c_str()) << 8 | std::atoi(sysfs(dir, "devnum").c_str()));
            k.product = sysfs(dir, "product");
            k.found = true;
        }
    return k;
}

std::vector<unsigned char> pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (auto &b : v) {
        seed = seed * 1103515245u + 12345u;
        b = (unsigned char)(seed >> 16);
    }
    return v;
}

// Reads until `n` bytes arrived or `ms` passed without any progress.
size_t read_all(FT_HANDLE h, unsigned char *dst, size_t n, int ms) {
    size_t got = 0;
    timespec last{};
    clock_gettime(CLOCK_MONOTONIC, &last);
    while (got < n) {
        DWORD q = 0, r = 0;
        if (FT_GetQueueStatus(h, &q) != FT_OK) break;
        if (q > 0) {
            DWORD want = (DWORD)std::min<size_t>(q, n - got);
            if (FT_Read(h, dst + got, want, &r) != FT_OK) break;
            got += r;
            clock_gettime(CLOCK_MONOTONIC, &last);
            continue;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - last.tv_sec) * 1000 + (now.tv_nsec - last.tv_nsec) / 1000000 > ms) break;
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return got;
}

// Writes `size` bytes on one thread while this one reads them back, and
// compares byte for byte.
void loop_back(FT_HANDLE h, size_t size, unsigned seed) {
    auto out = pattern(size, seed);
    std::vector<unsigned char> in(size);
    FT_STATUS ws = FT_OTHER_ERROR;
    DWORD written = 0;
    std::thread writer([&] { ws = FT_Write(h, out.data(), (DWORD)size, &written); });
    size_t got = read_all(h, in.data(), size, 3000);
    writer.join();
    status(ws, FT_OK, "loop-back write");
    check(written == size, "loop-back of %zu: %lu written", size, (unsigned long)written);
    size_t first_bad = size;
    for (size_t i = 0; i < got; ++i)
        if (in[i] != out[i]) {
            first_bad = i;
            break;
        }
    check(got == size && first_bad == size, "loop-back of %zu: %zu back, first difference at %zu", size, got,
          first_bad);
    say("LOOP %zu bytes: %zu back, %s", size, got, got == size && first_bad == size ? "equal" : "DIFFERENT");
}

// The handle of a successful open, else null.
FT_HANDLE opened(FT_STATUS st, FT_HANDLE h, const char *how) { return status(st, FT_OK, how) ? h : nullptr; }

void check_device_list(int &echo_index, int &baud_index) {
    DWORD n = 0;
    status(FT_CreateDeviceInfoList(&n), FT_OK, "FT_CreateDeviceInfoList");
    check(n == 2, "device list holds %lu entries, expected 2", (unsigned long)n);
    std::vector<FT_DEVICE_LIST_INFO_NODE> list(n);
    DWORD m = 0;
    status(FT_GetDeviceInfoList(list.data(), &m), FT_OK, "FT_GetDeviceInfoList");
    check(m == n, "FT_GetDeviceInfoList count %lu, list %lu", (unsigned long)m, (unsigned long)n);
    for (DWORD i = 0; i < n && i < m; ++i) {
        const auto &e = list[i];
        say("DEV %lu flags=%lu type=%lu id=0x%08lx loc=0x%lx serial=\"%.16s\" desc=\"%.64s\" handle=%p",
            (unsigned long)i, (unsigned long)e.Flags, (unsigned long)e.Type, (unsigned long)e.ID,
            (unsigned long)e.LocId, e.SerialNumber, e.Description, e.ftHandle);
        std::string serial(e.SerialNumber, strnlen(e.SerialNumber, sizeof e.SerialNumber));
        if (serial == kEchoSerial) echo_index = (int)i;
        if (serial == kBaudSerial) baud_index = (int)i;
        KernelView k = kernel_view(serial.c_str());
        check(k.found, "entry %lu: serial \"%s\" unknown to the kernel", (unsigned long)i, serial.c_str());
        check(e.Flags == 0, "entry %lu: flags %lu", (unsigned long)i, (unsigned long)e.Flags);
        check(e.Type == 0, "entry %lu: type %lu, expected 0 for release 0x0400", (unsigned long)i,
              (unsigned long)e.Type);
        check(e.ID == kId, "entry %lu: id 0x%08lx", (unsigned long)i, (unsigned long)e.ID);
        check(e.LocId == k.loc, "entry %lu: location 0x%lx, kernel says 0x%lx", (unsigned long)i,
              (unsigned long)e.LocId, (unsigned long)k.loc);
        check(!k.product.empty() && k.product == e.Description, "entry %lu: description \"%s\", kernel \"%s\"",
              (unsigned long)i, e.Description, k.product.c_str());
        check(e.ftHandle == nullptr, "entry %lu: handle set", (unsigned long)i);
    }
    check(echo_index >= 0 && baud_index >= 0, "serial numbers %s and %s not both listed", kEchoSerial,
          kBaudSerial);
}

void check_opens(int echo_index, int n) {
    FT_HANDLE h = nullptr;
    {
        const FT_STATUS st = FT_Open(echo_index, &h);
        h = opened(st, h, "FT_Open by index");
    }
    if (h) {
        DWORD type = 99, id = 0, loc = 0;
        char serial[32] = {}, desc[80] = {};
        status(FT_GetDeviceInfo(h, &type, &id, serial, desc, nullptr), FT_OK, "FT_GetDeviceInfo");
        status(FT_GetDeviceLocId(h, &loc), FT_OK, "FT_GetDeviceLocId");
        KernelView k = kernel_view(kEchoSerial);
        check(type == 0 && id == kId && std::strcmp(serial, kEchoSerial) == 0 && k.product == desc && loc == k.loc,
              "open device info: type %lu id 0x%lx serial \"%s\" desc \"%s\" loc 0x%lx", (unsigned long)type,
              (unsigned long)id, serial, desc, (unsigned long)loc);
        // The kernel refuses a second claim of the interface.
        FT_HANDLE again = nullptr;
        status(FT_OpenEx((PVOID)kEchoSerial, FT_OPEN_BY_SERIAL_NUMBER, &again), FT_DEVICE_NOT_OPENED,
               "second open of an open converter");
        DWORD cnt = 0;
        FT_DEVICE_LIST_INFO_NODE node[2] = {};
        FT_CreateDeviceInfoList(&cnt);
        FT_GetDeviceInfoList(cnt == 2 ? node : nullptr, &cnt);
        check(cnt == 2 && node[echo_index].Flags == 1 && node[echo_index].ftHandle == h,
              "list while open: flags %lu, handle %p (ours %p)", (unsigned long)node[echo_index].Flags,
              node[echo_index].ftHandle, h);
        status(FT_Close(h), FT_OK, "FT_Close");
        status(FT_Close(h), FT_INVALID_HANDLE, "second FT_Close");
    }
    status(FT_Open(n, &h), FT_DEVICE_NOT_FOUND, "FT_Open beyond the list");
    status(FT_OpenEx((PVOID) "NOSUCHSERIAL", FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND,
           "FT_OpenEx of an unknown serial");
    KernelView k = kernel_view(kEchoSerial);
    h = nullptr;
    {
        const FT_STATUS st = FT_OpenEx((PVOID)(uintptr_t)k.loc, FT_OPEN_BY_LOCATION, &h);
        h = opened(st, h, "FT_OpenEx by location");
    }
    if (h) {
        char serial[32] = {};
        FT_GetDeviceInfo(h, nullptr, nullptr, serial, nullptr, nullptr);
        check(std::strcmp(serial, kEchoSerial) == 0, "open by location found \"%s\"", serial);
        FT_Close(h);
    }
    h = nullptr;
    {
        const FT_STATUS st = FT_OpenEx((PVOID)k.product.c_str(), FT_OPEN_BY_DESCRIPTION, &h);
        h = opened(st, h, "FT_OpenEx by description");
    }
    if (h) FT_Close(h);
}

void check_line_control(FT_HANDLE h) {
    const DWORD good[] = {300, 9600, 115200, 230400, 921600, 2000000, 3000000, 250000, 1000000};
    for (DWORD b : good) status(FT_SetBaudRate(h, b), FT_OK, ("baud " + std::to_string(b)).c_str());
    const DWORD refused[] = {0, 183, 2500000, 2900000, 4000000};
    for (DWORD b : refused)
        status(FT_SetBaudRate(h, b), FT_IO_ERROR, ("refused baud " + std::to_string(b)).c_str());

    struct Format {
        UCHAR bits, stop, parity;
        FT_STATUS want;
    };
    // Mark and space parity are refused by the emulated chip (a stall), so
    // they show that a stalled request is an I/O error and that the control
    // pipe works again after it.
    const Format formats[] = {{8, 0, 0, FT_OK}, {7, 2, 2, FT_OK}, {8, 0, 1, FT_OK},   {7, 0, 2, FT_OK},
                              {8, 0, 3, FT_IO_ERROR}, {8, 2, 4, FT_IO_ERROR}, {8, 0, 0, FT_OK}};
    for (const auto &f : formats)
        status(FT_SetDataCharacteristics(h, f.bits, f.stop, f.parity), f.want,
               ("data characteristics " + std::to_string(f.bits) + "/" + std::to_string(f.stop) + "/" +
                std::to_string(f.parity))
                   .c_str());

    const USHORT flows[] = {FT_FLOW_RTS_CTS, FT_FLOW_DTR_DSR, FT_FLOW_XON_XOFF, FT_FLOW_NONE};
    for (USHORT f : flows) status(FT_SetFlowControl(h, f, 0x11, 0x13), FT_OK, "flow control");
    status(FT_SetDtr(h), FT_OK, "DTR on");
    status(FT_SetRts(h), FT_OK, "RTS on");
    status(FT_ClrDtr(h), FT_OK, "DTR off");
    status(FT_ClrRts(h), FT_OK, "RTS off");
    status(FT_SetBreakOn(h), FT_OK, "break on");
    status(FT_SetBreakOff(h), FT_OK, "break off");
    status(FT_SetChars(h, 0x7E, 1, 0, 0), FT_OK, "event and error characters");
    status(FT_SetChars(h, 0, 0, 0, 0), FT_OK, "characters off");

    for (UCHAR lat : {2, 16, 255}) {
        UCHAR got = 0;
        status(FT_SetLatencyTimer(h, lat), FT_OK, "FT_SetLatencyTimer");
        status(FT_GetLatencyTimer(h, &got), FT_OK, "FT_GetLatencyTimer");
        say("LATENCY set %u read %u", lat, got);
        check(got == lat, "latency set %u, read back %u", lat, got);
    }
    // Bit modes are not part of the emulated chip: a stall, an I/O error.
    UCHAR pins = 0;
    status(FT_SetBitMode(h, 0x30, FT_BITMODE_CBUS_BITBANG), FT_IO_ERROR, "CBUS bit mode (not emulated)");
    status(FT_GetBitMode(h, &pins), FT_IO_ERROR, "bit mode read (not emulated)");
    status(FT_GetBitMode(h, nullptr), FT_INVALID_PARAMETER, "bit mode read to null");

    ULONG modem = 0xFFFF;
    status(FT_GetModemStatus(h, &modem), FT_OK, "FT_GetModemStatus");
    say("MODEM 0x%04lx", (unsigned long)modem);
    check((modem & 0xFF0F) == 0, "modem status 0x%04lx has bits outside the modem lines", (unsigned long)modem);
}

void check_purge_and_event(FT_HANDLE h) {
    // Purge of a queue that holds looped-back data.
    auto data = pattern(100, 7);
    DWORD w = 0, q = 0;
    status(FT_Write(h, data.data(), 100, &w), FT_OK, "write before purge");
    for (int i = 0; i < 2000 && q < 100; ++i) {
        FT_GetQueueStatus(h, &q);
        if (q < 100) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    check(q == 100, "queue before purge holds %lu, expected 100", (unsigned long)q);
    status(FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK, "FT_Purge");
    FT_GetQueueStatus(h, &q);
    check(q == 0, "queue after purge holds %lu", (unsigned long)q);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FT_GetQueueStatus(h, &q);
    check(q == 0, "stale data after purge: %lu bytes", (unsigned long)q);

    // The receive event is signalled when looped-back data arrives.
    EVENT_HANDLE ev;
    pthread_mutex_init(&ev.eMutex, nullptr);
    pthread_cond_init(&ev.eCondVar, nullptr);
    status(FT_SetEventNotification(h, FT_EVENT_RXCHAR, &ev), FT_OK, "FT_SetEventNotification");
    pthread_mutex_lock(&ev.eMutex);
    UCHAR byte = 0x5A;
    FT_Write(h, &byte, 1, &w);
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 3;
    bool signalled = false;
    for (;;) {
        FT_GetQueueStatus(h, &q);
        if (q > 0) {
            signalled = true;
            break;
        }
        if (pthread_cond_timedwait(&ev.eCondVar, &ev.eMutex, &until) != 0) break;
    }
    pthread_mutex_unlock(&ev.eMutex);
    check(signalled, "no receive event for a looped-back byte");
    UCHAR back = 0;
    DWORD r = 0;
    FT_Read(h, &back, 1, &r);
    check(r == 1 && back == byte, "event byte came back as %u (%lu read)", back, (unsigned long)r);
    FT_SetEventNotification(h, 0, &ev);
}

// Emulators do not send status packets while the line is idle, so the
// dead-man time-out is raised: a slow host must not make an open handle look
// unplugged between two steps of this program.
void keep_alive_while_idle(FT_HANDLE h) { status(FT_SetDeadmanTimeout(h, 60000), FT_OK, "FT_SetDeadmanTimeout"); }

void check_echo_converter(int index) {
    FT_HANDLE h = nullptr;
    {
        const FT_STATUS st = FT_OpenEx((PVOID)kEchoSerial, FT_OPEN_BY_SERIAL_NUMBER, &h);
        h = opened(st, h, "open the loop-back converter");
    }
    if (!h) return;
    keep_alive_while_idle(h);
    status(FT_SetTimeouts(h, 3000, 0), FT_OK, "FT_SetTimeouts");
    check_line_control(h);
    status(FT_SetBaudRate(h, 3000000), FT_OK, "baud for the loop-back");
    status(FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK, "purge before the loop-back");
    check_purge_and_event(h);
    loop_back(h, 300, 1);
    loop_back(h, 4096, 2);
    loop_back(h, 65536, 3);
    status(FT_Close(h), FT_OK, "close the loop-back converter");

    // A reopened handle gets a fresh receive pipeline.
    h = nullptr;
    {
        const FT_STATUS st = FT_Open(index, &h);
        h = opened(st, h, "reopen by index");
    }
    if (!h) return;
    loop_back(h, 1000, 4);

    // QEMU's chip is silent while the line is idle, so with a short dead-man
    // time-out the handle is soon taken for gone; reads then fail and close
    // still works. (Should QEMU start sending status packets, this fails and
    // the raised time-outs above can go.)
    status(FT_SetLatencyTimer(h, 1), FT_OK, "latency 1 ms");
    status(FT_SetDeadmanTimeout(h, 200), FT_OK, "dead-man 200 ms");
    // Each round trip completes one of the four bulk-in transfers, which goes
    // back with the short time-out.
    for (unsigned i = 0; i < 5; ++i) loop_back(h, 10, 5 + i);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    DWORD q = 0;
    UCHAR byte = 0;
    status(FT_GetQueueStatus(h, &q), FT_IO_ERROR, "queue of an idle handle after the dead-man time-out");
    status(FT_Read(h, &byte, 1, &q), FT_IO_ERROR, "read of an idle handle after the dead-man time-out");
    status(FT_Close(h), FT_OK, "close after the dead-man time-out");
}

// For each rate the host reads what the emulator made of the divisor and
// answers with one byte, which also paces this loop.
void check_baud_converter() {
    FT_HANDLE h = nullptr;
    {
        const FT_STATUS st = FT_OpenEx((PVOID)kBaudSerial, FT_OPEN_BY_SERIAL_NUMBER, &h);
        h = opened(st, h, "open the baud converter");
    }
    if (!h) return;
    keep_alive_while_idle(h);
    status(FT_SetTimeouts(h, 10000, 0), FT_OK, "FT_SetTimeouts");
    // The standard table, computed divisors, and one rate for each of the
    // eighths that need the extension bit (3/8, 5/8, 3/4, 7/8 of 10).
    const DWORD rates[] = {300,     1200,    9600,    19200,   38400,   57600,  115200, 230400, 460800, 921600,
                           250000,  1000000, 2000000, 3000000, 500000,  100000, 289157, 282353, 279070, 275862};
    for (DWORD b : rates) {
        if (!status(FT_SetBaudRate(h, b), FT_OK, ("baud " + std::to_string(b)).c_str())) continue;
        say("BAUD %lu", (unsigned long)b);
        UCHAR ack = 0;
        DWORD r = 0;
        FT_Read(h, &ack, 1, &r);
        check(r == 1 && ack == 'k', "no answer from the host for baud %lu", (unsigned long)b);
    }
    struct Format {
        UCHAR bits, stop, parity;
    };
    for (Format f : {Format{7, 2, 2}, Format{8, 0, 1}, Format{8, 0, 0}}) {
        if (!status(FT_SetDataCharacteristics(h, f.bits, f.stop, f.parity), FT_OK, "data characteristics")) continue;
        say("FORMAT %u %u %u", f.bits, f.stop, f.parity);
        UCHAR ack = 0;
        DWORD r = 0;
        FT_Read(h, &ack, 1, &r);
        check(r == 1 && ack == 'k', "no answer from the host for the format");
    }
    for (USHORT mode : {FT_FLOW_RTS_CTS, FT_FLOW_DTR_DSR, FT_FLOW_XON_XOFF, FT_FLOW_NONE}) {
        if (!status(FT_SetFlowControl(h, mode, 0x11, 0x13), FT_OK, "flow control")) continue;
        say("FLOW 0x%04x 0x11 0x13", mode);
        UCHAR ack = 0;
        DWORD r = 0;
        FT_Read(h, &ack, 1, &r);
        check(r == 1 && ack == 'k', "no answer from the host for the flow control");
    }
    status(FT_Close(h), FT_OK, "close the baud converter");
}

}  // namespace

int main() {
    say("START");
    DWORD version = 0;
    FT_GetLibraryVersion(&version);
    check(version == 0x00010408, "library version 0x%lx", (unsigned long)version);
    int echo_index = -1, baud_index = -1;
    check_device_list(echo_index, baud_index);
    if (echo_index >= 0 && baud_index >= 0) {
        check_opens(echo_index, 2);
        check_echo_converter(echo_index);
        check_baud_converter();
    }
    if (failures == 0)
        say("RESULT PASS");
    else
        say("RESULT FAIL %d", failures);
    return failures == 0 ? 0 : 1;
}
