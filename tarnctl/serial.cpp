// The serial line to the box: finding its converter in the driver's device
// list, opening and configuring it, closing it, and the converter's CBUS
// pins (CBUS0 is the microcontroller's reset, CBUS1 tells the box that a
// terminal is attached).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "args.h"
#include "out.h"
#include "tarnctl.h"
#include "util.h"

char tarn_link_sn[17];

namespace {

constexpr DWORD corvane_vid = 0x0403;
constexpr DWORD corvane_pid = 0x7F80;
constexpr ULONG corvane_id = (corvane_vid << 16) | corvane_pid;
constexpr int no_position = -1;

constexpr UCHAR cbus_bitbang = 0x20;
constexpr uint8_t cbus_all_pins = 0xFF;
constexpr unsigned long cbus_max_pin = 7;

// The serial number field need not be terminated when it is full.
std::string serial_of(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return std::string(node.SerialNumber, strnlen(node.SerialNumber, sizeof node.SerialNumber));
}

// An entry the driver could not identify while it built the list: it could
// not open the converter (someone else has it open, or a kernel driver holds
// it) or not read its strings. It has no serial number then.
bool unidentified(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return node.SerialNumber[0] == '\0';
}

const char *why_unidentified(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return (node.Flags & FT_FLAGS_OPENED) != 0 ? "busy or claimed by a kernel driver"
                                               : "its USB strings could not be read";
}

// Reads the driver's device list; false when it cannot be built.
bool read_device_list(std::vector<FT_DEVICE_LIST_INFO_NODE> *list, bool *list_ok)
{
    DWORD count = 0;
    FT_SetVIDPID(corvane_vid, corvane_pid);
    *list_ok = false;
    if (const FT_STATUS st = FT_CreateDeviceInfoList(&count); st != FT_OK) {
        fprintf(stderr, "the USB device list could not be read (driver status %lu)\n", static_cast<unsigned long>(st));
        fflush(stderr);
        return false;
    }
    if (count != 0) {
        list->assign(count, FT_DEVICE_LIST_INFO_NODE{});
        DWORD filled = count;
        if (FT_GetDeviceInfoList(list->data(), &filled) == FT_OK) {
            // The list may have shrunk between the two calls; never look
            // beyond what was filled in.
            if (filled < count)
                list->resize(filled);
            *list_ok = true;
        }
    }
    return true;
}

// Opens the converter at a list position and configures the line; the
// handle is published only when everything succeeded. A failure says what
// failed on stderr: the console has nothing else to show for it.
int open_and_configure(int position, const std::string &serial, FT_HANDLE *handle, RX_EVENT_HANDLE *event,
                       unsigned int baudrate)
{
    FT_HANDLE h = nullptr;
    if (const FT_STATUS st = FT_Open(position, &h); st != FT_OK) {
        if (st == FT_DEVICE_NOT_FOUND)
            fprintf(stderr, "Corvane %s could not be opened: not found (unplugged?)\n", serial.c_str());
        else if (st == FT_DEVICE_NOT_OPENED)
            fprintf(stderr,
                    "Corvane %s could not be opened: busy, claimed by a kernel driver, or its converter "
                    "refused the set-up\n",
                    serial.c_str());
        else if (st == FT_IO_ERROR)
            fprintf(stderr, "Corvane %s could not be opened: its converter failed a USB request (driver status %lu)\n",
                    serial.c_str(), static_cast<unsigned long>(st));
        else
            fprintf(stderr, "Corvane %s could not be opened (driver status %lu)\n", serial.c_str(),
                    static_cast<unsigned long>(st));
        fflush(stderr);
        return -1;
    }

    FT_ResetDevice(h);
    FT_SetBitMode(h, 0x00, 0x00);

    // The set-up steps in order; the first that fails is named.
    const char *failed = nullptr;
    FT_STATUS st = FT_OK;
    auto step = [&](const char *name, FT_STATUS status) {
        if (failed == nullptr && status != FT_OK) {
            failed = name;
            st = status;
        }
        return failed == nullptr;
    };
    step("baud rate", FT_SetBaudRate(h, baudrate)) && step("data format", FT_SetDataCharacteristics(h, 8, 0, 0)) &&
        step("flow control", FT_SetFlowControl(h, 0, 0, 0)) && step("event character", FT_SetChars(h, 0x7E, 1, 0, 0)) &&
        step("time-outs", FT_SetTimeouts(h, 700, 50)) && step("latency timer", FT_SetLatencyTimer(h, 10));
    if (failed == nullptr) {
        EVENT_HANDLE *ev = *event;
        pthread_mutex_init(&ev->eMutex, nullptr);
        pthread_cond_init(&ev->eCondVar, nullptr);
        ev->iVar = 0;
        step("receive event", FT_SetEventNotification(h, 1, ev)) && step("purge", FT_Purge(h, 3));
    }
    if (failed != nullptr) {
        fprintf(stderr, "Corvane %s could not be configured: setting the %s failed (driver status %lu)\n",
                serial.c_str(), failed, static_cast<unsigned long>(st));
        fflush(stderr);
        // Leave no half-configured converter open behind us.
        FT_Close(h);
        return -1;
    }
    *handle = h;
    return 0;
}

// Opens the list entry at position and, on success, remembers its serial
// number for a reconnection after the converter was lost.
int connect_entry(const std::vector<FT_DEVICE_LIST_INFO_NODE> &list, int position, FT_HANDLE *handle,
                  RX_EVENT_HANDLE *event, unsigned int baudrate)
{
    const std::string serial = serial_of(list[position]);
    int rc = open_and_configure(position, serial, handle, event, baudrate);
    if (rc == 0)
        snprintf(tarn_link_sn, sizeof tarn_link_sn, "%s", serial.c_str());
    return rc;
}

// No box to open. A converter that could not even be identified may be the
// box, held by someone else: say so rather than leave the user to guess.
int report_not_detected(const std::vector<FT_DEVICE_LIST_INFO_NODE> &list, bool announce = true)
{
    if (announce) {
        out_fail("No Corvane detected\n");
        fflush(stdout);
    }
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].ID != corvane_id && unidentified(list[i])) {
            fprintf(stderr, "USB serial converter %zu could not be identified: %s\n", i + 1, why_unidentified(list[i]));
            fflush(stderr);
        }
    }
    return -1;
}

} // namespace

int serial_connect(FT_HANDLE *handle, RX_EVENT_HANDLE *event, unsigned int tarn_inst, unsigned int baudrate)
{
    std::vector<FT_DEVICE_LIST_INFO_NODE> list;
    bool list_ok;
    if (!read_device_list(&list, &list_ok))
        return -1;

    int position = no_position;
    if (list_ok) {
        unsigned int instance = 1;
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].ID != corvane_id)
                continue;
            if (instance == tarn_inst)
                position = static_cast<int>(i);
            ++instance;
        }
    }
    if (position == no_position)
        return report_not_detected(list);
    return connect_entry(list, position, handle, event, baudrate);
}

int serial_connect_sn(FT_HANDLE *handle, RX_EVENT_HANDLE *event, char *tarn_sn, unsigned int baudrate,
                      bool announce_absence)
{
    std::vector<FT_DEVICE_LIST_INFO_NODE> list;
    bool list_ok;
    if (!read_device_list(&list, &list_ok))
        return -1;

    int position = no_position;
    if (list_ok && tarn_sn != nullptr) {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].ID == corvane_id && strcasecmp(serial_of(list[i]).c_str(), tarn_sn) == 0)
                position = static_cast<int>(i);
    }
    if (position == no_position)
        return report_not_detected(list, announce_absence);
    return connect_entry(list, position, handle, event, baudrate);
}

void list_devices(void)
{
    std::vector<FT_DEVICE_LIST_INFO_NODE> list;
    bool list_ok = false;
    int printed = 0;

    read_device_list(&list, &list_ok);
    jvalue &boxes = out_doc().set("boxes", jvalue::array());
    if (list_ok) {
        for (size_t i = 0; i < list.size(); ++i) {
            // Never an empty serial number: say why there is none.
            const std::string serial = serial_of(list[i]);
            jvalue &box = boxes.push(jvalue::object());
            box.set("index", static_cast<unsigned>(i + 1));
            box.set("serial", serial.empty() ? jvalue() : jvalue(serial));
            if (serial.empty())
                box.set("unidentified", why_unidentified(list[i]));
            box.set("description", std::string(list[i].Description, strnlen(list[i].Description, sizeof list[i].Description)));
            box.set("location", static_cast<unsigned long>(list[i].LocId));
            if (!serial.empty())
                out_text("%d. %s\n", static_cast<int>(i + 1), serial.c_str());
            else
                out_text("%d. (no serial number: %s)\n", static_cast<int>(i + 1), why_unidentified(list[i]));
            ++printed;
        }
    }
    if (printed == 0)
        out_text("No Corvane found\n");
    fflush(stdout);
}

int serial_disconnect(FT_HANDLE handle)
{
    return FT_Close(handle) == FT_OK ? 0 : -1;
}

int serial_cbus_set(FT_HANDLE handle, uint8_t pin, uint8_t level)
{
    UCHAR byte = 0xF0;
    FT_STATUS status = FT_GetBitMode(handle, &byte);
    // The read gives the pin levels only. The written byte keeps them for
    // the other pins and always drives all four pins as outputs: taking the
    // upper half from the read would turn the pins into inputs and the write
    // would drive nothing. After a failed read the byte is still written,
    // starting from all outputs low, so the pin gets its level.
    byte = static_cast<UCHAR>(0xF0 | (byte & 0x0F));
    if (level == 1)
        byte |= static_cast<UCHAR>(1u << (pin & 7));
    else
        byte &= static_cast<UCHAR>(~(1u << (pin & 7)));
    status |= FT_SetBitMode(handle, byte, cbus_bitbang);
    return status == FT_OK ? 0 : -1;
}

int serial_cbus_get(FT_HANDLE handle, uint8_t pin, uint8_t *level)
{
    if (FT_GetBitMode(handle, level) != FT_OK)
        return -1;
    *level &= 0x0F;
    if (pin != cbus_all_pins)
        *level = (*level >> (pin & 7)) & 1;
    return 0;
}

int serial_device_reset(FT_HANDLE handle)
{
    int low = serial_cbus_set(handle, 0, 0);
    usleep(50000);
    int high = serial_cbus_set(handle, 0, 1);
    return (low != 0 || high != 0) ? -1 : 0;
}

int process_cmd_reset(char *param)
{
    // Any word but one of "cpu" is refused, not taken as a reset of nothing:
    // a script that asked for a reset must not read success when none came.
    if (param != nullptr && param[0] != 'c' && param[0] != 'C') {
        out_err("invalid reset target %s (cpu)\n", param);
        return -1;
    }
    int ret = serial_device_reset(ft_handle);
    out_doc().set("reset", "cpu");
    out_doc().set("confirmed", ret == 0);
    if (ret != 0)
        out_fail("reset failed\n");
    return ret;
}

int process_cmd_cbus(char *param)
{
    static const char seps[] = "= \t";
    uint8_t v = 0;

    if (param == nullptr || strcasecmp(param, "all") == 0) {
        out_doc().set("operation", "read");
        if (serial_cbus_get(ft_handle, cbus_all_pins, &v) != 0) {
            out_err("cbus read failed\n");
            return -1;
        }
        jvalue &pins = out_doc().set("pins", jvalue::array());
        for (int pin = 0; pin < 4; ++pin) {
            const char level = (v >> pin) & 1 ? 'H' : 'L';
            jvalue &p = pins.push(jvalue::object());
            p.set("pin", pin);
            p.set("level", std::string(1, level));
            out_text("cbus%d(%c)\n", pin, level);
        }
        return 0;
    }

    char *save = nullptr;
    char *pin_tok = strtok_r(param, seps, &save);
    unsigned long pin = 0;
    // Pins 4 to 7 are the direction half of the bit-bang byte; anything
    // above would wrap onto another pin, so it is refused.
    if (!field_arg("invalid cbus pin", pin_tok, &pin, 0, cbus_max_pin))
        return -1;

    char *level_tok = strtok_r(nullptr, seps, &save);
    if (level_tok == nullptr) {
        out_doc().set("operation", "read");
        if (serial_cbus_get(ft_handle, static_cast<uint8_t>(pin), &v) != 0) {
            out_err("cbus read failed\n");
            fflush(stderr);
            return -1;
        }
        jvalue &p = out_doc()["pins"].push(jvalue::object());
        p.set("pin", pin);
        p.set("level", v ? "H" : "L");
        out_text("cbus%1lu(%c)\n", pin, v ? 'H' : 'L');
        fflush(stdout);
        return 0;
    }

    uint8_t level;
    if (level_tok[0] == 'h' || level_tok[0] == 'H' || strcmp(level_tok, "1") == 0) {
        level = 1;
    } else if (level_tok[0] == 'l' || level_tok[0] == 'L' || strcmp(level_tok, "0") == 0) {
        level = 0;
    } else {
        out_err("invalid cbus level %s (H, L, 1 or 0)\n", level_tok);
        fflush(stderr);
        return -1;
    }
    out_doc().set("operation", "write");
    jvalue &p = out_doc()["pins"].push(jvalue::object());
    p.set("pin", pin);
    p.set("level", level ? "H" : "L");
    int ret = serial_cbus_set(ft_handle, static_cast<uint8_t>(pin), level);
    out_doc().set("confirmed", ret == 0);
    if (ret != 0) {
        out_err("cbus write failed\n");
        fflush(stderr);
    }
    return ret;
}
