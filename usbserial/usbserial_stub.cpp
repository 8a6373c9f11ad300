// Placeholder driver: answers as a USB bus with no converter on it. That is
// exactly what the console sees on a host without a box: an empty device
// list, FT_DEVICE_NOT_FOUND for every open, FT_INVALID_HANDLE for every
// handle. The real driver replaces this file.
#include "usbserial.h"

extern "C" {

FT_STATUS FT_SetVIDPID(DWORD, DWORD) { return FT_OK; }
FT_STATUS FT_CreateDeviceInfoList(LPDWORD n)
{
    if (!n)
        return FT_INVALID_PARAMETER;
    *n = 0;
    return FT_OK;
}
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *, LPDWORD n)
{
    if (!n)
        return FT_INVALID_PARAMETER;
    *n = 0;
    return FT_OK;
}
FT_STATUS FT_Open(int, FT_HANDLE *h)
{
    if (!h)
        return FT_INVALID_PARAMETER;
    *h = nullptr;
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_Close(FT_HANDLE) { return FT_INVALID_HANDLE; }
FT_STATUS FT_ResetDevice(FT_HANDLE) { return FT_INVALID_HANDLE; }
FT_STATUS FT_Purge(FT_HANDLE, ULONG) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetBaudRate(FT_HANDLE, ULONG) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetFlowControl(FT_HANDLE, USHORT, UCHAR, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetChars(FT_HANDLE, UCHAR, UCHAR, UCHAR, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetTimeouts(FT_HANDLE, ULONG, ULONG) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetLatencyTimer(FT_HANDLE, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetEventNotification(FT_HANDLE, DWORD, PVOID) { return FT_INVALID_HANDLE; }
FT_STATUS FT_SetBitMode(FT_HANDLE, UCHAR, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_GetBitMode(FT_HANDLE, PUCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_GetQueueStatus(FT_HANDLE, DWORD *) { return FT_INVALID_HANDLE; }
FT_STATUS FT_Read(FT_HANDLE, LPVOID, DWORD, LPDWORD) { return FT_INVALID_HANDLE; }
FT_STATUS FT_Write(FT_HANDLE, LPVOID, DWORD, LPDWORD) { return FT_INVALID_HANDLE; }

} // extern "C"
