// Bytes from the box as the receiver thread hands them on: the HDLC decoder
// with the console's frame router behind it (acknowledgements matched to the
// waiting request, late answers taken out of the way, debug texts and the
// refusals named in them, the box's ping echoed, CAN trace records).
//
// Input: bytes 0-3 set up a request waiting on the remote function object
// and one on the EEPROM read object, each with one request outstanding that
// timed out (function numbers, addresses and exact lengths from those bytes);
// the rest is the byte stream from the box.
//
// Checked on every input: an answer stored for a waiting request is one that
// request accepts (its cmd, its echoed address, its exact length), an echoed
// ping is one whole frame, and nothing the router does reads or writes out of
// bounds (ASan, UBSan).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalogue.h"
#include "commands.h"
#include "hdlc.h"
#include "tarnctl.h"

// The line itself is never opened here: the front end's driver calls fail.
extern "C" {
FT_STATUS FT_Close(FT_HANDLE) { return FT_INVALID_HANDLE; }
FT_STATUS FT_CreateDeviceInfoList(LPDWORD) { return FT_DEVICE_NOT_FOUND; }
FT_STATUS FT_GetBitMode(FT_HANDLE, PUCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *, LPDWORD) { return FT_DEVICE_NOT_FOUND; }
FT_STATUS FT_GetQueueStatus(FT_HANDLE, DWORD *) { return FT_INVALID_HANDLE; }
FT_STATUS FT_Open(int, FT_HANDLE *) { return FT_DEVICE_NOT_FOUND; }
FT_STATUS FT_Purge(FT_HANDLE, ULONG) { return FT_INVALID_HANDLE; }
FT_STATUS FT_Read(FT_HANDLE, LPVOID, DWORD, LPDWORD) { return FT_INVALID_HANDLE; }
FT_STATUS FT_ResetDevice(FT_HANDLE) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetBaudRate(FT_HANDLE, ULONG) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetBitMode(FT_HANDLE, UCHAR, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetChars(FT_HANDLE, UCHAR, UCHAR, UCHAR, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetEventNotification(FT_HANDLE, DWORD, PVOID) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetFlowControl(FT_HANDLE, USHORT, UCHAR, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetLatencyTimer(FT_HANDLE, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetTimeouts(FT_HANDLE, ULONG, ULONG) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetVIDPID(DWORD, DWORD) { return FT_OK; }
FT_STATUS FT_Write(FT_HANDLE, LPVOID, DWORD, LPDWORD written)
{
    *written = 0;
    return FT_INVALID_HANDLE;
}
}

namespace {

// The ping echo: one whole frame, flags at both ends and none inside.
void check_frame(const uint8_t *bytes, size_t len)
{
    if (len < 4 || bytes[0] != HDLC_FLAG || bytes[len - 1] != HDLC_FLAG ||
        std::memchr(bytes + 1, HDLC_FLAG, len - 2) != nullptr)
        std::abort();
}

void make_waiting(comm_obj_t *obj, uint8_t cmd, uint8_t flags, const uint8_t *key, uint8_t key_len,
                  uint8_t orphan_cmd)
{
    pthread_mutex_lock(&obj->mtx);
    obj->ack_arrived = 0;
    obj->waiting = 1;
    obj->ident = comm_ident_t{};
    obj->ident.cmd = cmd;
    obj->ident.flags = flags;
    obj->ident.key_len = key_len;
    if (key_len != 0)
        std::memcpy(obj->ident.key, key, key_len);
    obj->n_orphans = 1;
    obj->orphans[0] = obj->ident;
    obj->orphans[0].cmd = orphan_cmd;
    pthread_mutex_unlock(&obj->mtx);
}

// A stored answer of a waiting request must be one it accepts.
void check_arrival(comm_obj_t *obj)
{
    pthread_mutex_lock(&obj->mtx);
    if (obj->ack_arrived) {
        const comm_ident_t &id = obj->ident;
        if ((id.flags & COMM_MATCH_CMD) && obj->ack.hdr.cmd != id.cmd)
            std::abort();
        if (id.key_len != 0 && std::memcmp(&obj->ack.data[id.ack_off], id.key, id.key_len) != 0)
            std::abort();
    }
    obj->waiting = 0;
    obj->refused = 0;
    obj->n_orphans = 0;
    pthread_mutex_unlock(&obj->mtx);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = [] {
        // What the router prints is of no interest here.
        if (std::freopen("/dev/null", "w", stdout) == nullptr)
            std::abort();
        return true;
    }();
    (void)once;
    if (size < 4)
        return 0;

    hdlc_init(nullptr, hdlc_on_rx_frame);
    hdlc_set_frame_output(check_frame);
    comm_obj_t *rmt = comm_service(svc::comm_rmt_func);
    comm_obj_t *e2p_read = comm_service(svc::comm_e2p_read);
    make_waiting(rmt, data[0] & 7, 0, nullptr, 0, (data[0] >> 3) & 7);
    const uint8_t addr[2] = {data[2], data[3]};
    const uint8_t read_cmd = comm_service_cmd(svc::comm_e2p_read);
    make_waiting(e2p_read, read_cmd, 0, addr, 2, read_cmd);

    for (size_t i = 4; i < size; ++i)
        hdlc_on_rx_byte(data[i]);

    check_arrival(rmt);
    check_arrival(e2p_read);
    return 0;
}
