/* Public programming interface of the USB serial driver: the FT_ function
 * set over libusb-1.0. Valid C; everything is extern "C" so a C program can
 * link against libusbserial. */
#ifndef TARNCTL_USBSERIAL_H
#define TARNCTL_USBSERIAL_H

#include "WinTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility; what this header declares
 * is its interface and the only thing it exports. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

typedef PVOID FT_HANDLE;
typedef ULONG FT_STATUS;

enum {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
    FT_DEVICE_LIST_NOT_READY = 19
};

#define FT_SUCCESS(status) ((status) == FT_OK)

/* FT_OpenEx / FT_ListDevices flags */
#define FT_OPEN_BY_SERIAL_NUMBER 1
#define FT_OPEN_BY_DESCRIPTION 2
#define FT_OPEN_BY_LOCATION 4
#define FT_LIST_NUMBER_ONLY 0x80000000
#define FT_LIST_BY_INDEX 0x40000000
#define FT_LIST_ALL 0x20000000
#define FT_LIST_MASK (FT_LIST_NUMBER_ONLY | FT_LIST_BY_INDEX | FT_LIST_ALL)

/* Word lengths, stop bits, parity */
#define FT_BITS_8 (UCHAR)8
#define FT_BITS_7 (UCHAR)7
#define FT_STOP_BITS_1 (UCHAR)0
#define FT_STOP_BITS_2 (UCHAR)2
#define FT_PARITY_NONE (UCHAR)0
#define FT_PARITY_ODD (UCHAR)1
#define FT_PARITY_EVEN (UCHAR)2
#define FT_PARITY_MARK (UCHAR)3
#define FT_PARITY_SPACE (UCHAR)4

/* Flow control */
#define FT_FLOW_NONE 0x0000
#define FT_FLOW_RTS_CTS 0x0100
#define FT_FLOW_DTR_DSR 0x0200
#define FT_FLOW_XON_XOFF 0x0400

/* Purge */
#define FT_PURGE_RX 1
#define FT_PURGE_TX 2

/* Events */
#define FT_EVENT_RXCHAR 1
#define FT_EVENT_MODEM_STATUS 2
#define FT_EVENT_LINE_STATUS 4

/* Bit modes */
#define FT_BITMODE_RESET 0x00
#define FT_BITMODE_ASYNC_BITBANG 0x01
#define FT_BITMODE_MPSSE 0x02
#define FT_BITMODE_SYNC_BITBANG 0x04
#define FT_BITMODE_MCU_HOST 0x08
#define FT_BITMODE_FAST_SERIAL 0x10
#define FT_BITMODE_CBUS_BITBANG 0x20
#define FT_BITMODE_SYNC_FIFO 0x40

/* One entry of the device-information list. */
typedef struct _ft_device_list_info_node {
    ULONG Flags;
    ULONG Type;
    ULONG ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
} FT_DEVICE_LIST_INFO_NODE;

/* Flags of FT_DEVICE_LIST_INFO_NODE */
#define FT_FLAGS_OPENED 1
#define FT_FLAGS_HISPEED 2

/* The nineteen functions the console relies on. */
FT_STATUS FT_SetVIDPID(DWORD dwVID, DWORD dwPID);
FT_STATUS FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs);
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *pDest, LPDWORD lpdwNumDevs);
FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle);
FT_STATUS FT_Close(FT_HANDLE ftHandle);
FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle);
FT_STATUS FT_Purge(FT_HANDLE ftHandle, ULONG Mask);
FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate);
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength, UCHAR StopBits, UCHAR Parity);
FT_STATUS FT_SetFlowControl(FT_HANDLE ftHandle, USHORT FlowControl, UCHAR XonChar, UCHAR XoffChar);
FT_STATUS FT_SetChars(FT_HANDLE ftHandle, UCHAR EventChar, UCHAR EventCharEnabled, UCHAR ErrorChar,
                      UCHAR ErrorCharEnabled);
FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout);
FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency);
FT_STATUS FT_SetEventNotification(FT_HANDLE ftHandle, DWORD Mask, PVOID Param);
FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable);
FT_STATUS FT_GetBitMode(FT_HANDLE ftHandle, PUCHAR pucMode);
FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD *dwRxBytes);
FT_STATUS FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead, LPDWORD lpBytesReturned);
FT_STATUS FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite, LPDWORD lpBytesWritten);

/* Library, identifiers and opening. */
FT_STATUS FT_GetVIDPID(DWORD *pdwVID, DWORD *pdwPID);
FT_STATUS FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE *pHandle);
FT_STATUS FT_ListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags);
FT_STATUS FT_GetDeviceInfoDetail(DWORD dwIndex, LPDWORD lpdwFlags, LPDWORD lpdwType, LPDWORD lpdwID,
                                 LPDWORD lpdwLocId, LPVOID lpSerialNumber, LPVOID lpDescription,
                                 FT_HANDLE *pftHandle);
FT_STATUS FT_GetDeviceInfo(FT_HANDLE ftHandle, DWORD *lpftDevice, LPDWORD lpdwID, PCHAR SerialNumber,
                           PCHAR Description, LPVOID Dummy);
FT_STATUS FT_GetDeviceLocId(FT_HANDLE ftHandle, LPDWORD lpdwLocId);
FT_STATUS FT_CyclePort(FT_HANDLE ftHandle);
FT_STATUS FT_GetLibraryVersion(LPDWORD lpdwVersion);
FT_STATUS FT_GetDriverVersion(FT_HANDLE ftHandle, LPDWORD lpdwVersion);

/* Receive side and time-outs. */
FT_STATUS FT_GetQueueStatusEx(FT_HANDLE ftHandle, DWORD *dwRxBytes);
FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, DWORD *dwRxBytes, DWORD *dwTxBytes, DWORD *dwEventDWord);
FT_STATUS FT_GetEventStatus(FT_HANDLE ftHandle, DWORD *dwEventDWord);
FT_STATUS FT_GetModemStatus(FT_HANDLE ftHandle, ULONG *pModemStatus);
FT_STATUS FT_SetDeadmanTimeout(FT_HANDLE ftHandle, ULONG ulDeadmanTimeout);
FT_STATUS FT_SetUSBParameters(FT_HANDLE ftHandle, ULONG ulInTransferSize, ULONG ulOutTransferSize);
FT_STATUS FT_StopInTask(FT_HANDLE ftHandle);
FT_STATUS FT_RestartInTask(FT_HANDLE ftHandle);

/* Line control. */
FT_STATUS FT_SetDivisor(FT_HANDLE ftHandle, USHORT Divisor);
FT_STATUS FT_SetDtr(FT_HANDLE ftHandle);
FT_STATUS FT_ClrDtr(FT_HANDLE ftHandle);
FT_STATUS FT_SetRts(FT_HANDLE ftHandle);
FT_STATUS FT_ClrRts(FT_HANDLE ftHandle);
FT_STATUS FT_SetBreakOn(FT_HANDLE ftHandle);
FT_STATUS FT_SetBreakOff(FT_HANDLE ftHandle);
FT_STATUS FT_GetLatencyTimer(FT_HANDLE ftHandle, PUCHAR pucLatency);
FT_STATUS FT_VendorCmdGet(FT_HANDLE ftHandle, UCHAR Request, UCHAR *Buf, USHORT Len);
FT_STATUS FT_VendorCmdSet(FT_HANDLE ftHandle, UCHAR Request, UCHAR *Buf, USHORT Len);
FT_STATUS FT_VendorCmdGetEx(FT_HANDLE ftHandle, USHORT wValue, UCHAR *Buf, USHORT Len);
FT_STATUS FT_VendorCmdSetEx(FT_HANDLE ftHandle, USHORT wValue, UCHAR *Buf, USHORT Len);

/* Offered for source compatibility; not available on this platform. */
FT_STATUS FT_IoCtl(FT_HANDLE ftHandle, DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                   DWORD nOutBufSize, LPDWORD lpBytesReturned, LPVOID lpOverlapped);
FT_STATUS FT_SetWaitMask(FT_HANDLE ftHandle, DWORD Mask);
FT_STATUS FT_WaitOnMask(FT_HANDLE ftHandle, DWORD *Mask);
FT_STATUS FT_SetResetPipeRetryCount(FT_HANDLE ftHandle, DWORD dwCount);
FT_STATUS FT_ResetPort(FT_HANDLE ftHandle);
FT_STATUS FT_Rescan(void);
FT_STATUS FT_Reload(WORD wVid, WORD wPid);
FT_STATUS FT_GetComPortNumber(FT_HANDLE ftHandle, LPLONG lpdwComPortNumber);
FT_STATUS FT_ComPortIdle(FT_HANDLE ftHandle);
FT_STATUS FT_ComPortCancelIdle(FT_HANDLE ftHandle);

/* Windows-compatibility layer: results are 1 for success and 0 for failure;
 * FT_W32_GetLastError tells the FT_STATUS of the failed call. */
typedef struct _FTCOMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} FTCOMSTAT, *LPFTCOMSTAT;

typedef struct _FTDCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} FTDCB, *LPFTDCB;

typedef struct _FTTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} FTTIMEOUTS, *LPFTTIMEOUTS;

/* FT_W32_CreateFile attributes */
#define FT_W32_OPEN_BY_SERIAL_NUMBER 1
#define FT_W32_OPEN_BY_DESCRIPTION 2
#define FT_W32_INVALID_HANDLE ((FT_HANDLE)(uintptr_t)0xFFFFFFFFu)

/* FT_W32_EscapeCommFunction */
#define FT_W32_SETRTS 3
#define FT_W32_CLRRTS 4
#define FT_W32_SETDTR 5
#define FT_W32_CLRDTR 6
#define FT_W32_SETBREAK 8
#define FT_W32_CLRBREAK 9

/* FT_W32_PurgeComm */
#define FT_W32_PURGE_TXABORT 0x0001
#define FT_W32_PURGE_RXABORT 0x0002
#define FT_W32_PURGE_TXCLEAR 0x0004
#define FT_W32_PURGE_RXCLEAR 0x0008

/* Comm events of FT_W32_SetCommMask / FT_W32_WaitCommEvent */
#define FT_W32_EV_RXCHAR 0x0001
#define FT_W32_EV_RXFLAG 0x0002
#define FT_W32_EV_TXEMPTY 0x0004
#define FT_W32_EV_CTS 0x0008
#define FT_W32_EV_DSR 0x0010
#define FT_W32_EV_RLSD 0x0020
#define FT_W32_EV_ERR 0x0080
#define FT_W32_EV_RING 0x0100

FT_HANDLE FT_W32_CreateFile(LPCSTR lpszName, DWORD dwAccess, DWORD dwShareMode, LPVOID lpSecurityAttributes,
                            DWORD dwCreate, DWORD dwAttrsAndFlags, HANDLE hTemplate);
FT_HANDLE FT_W32_OpenFile(int deviceNumber);
BOOL FT_W32_CloseHandle(FT_HANDLE ftHandle);
BOOL FT_W32_ReadFile(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesReturned,
                     LPVOID lpOverlapped);
BOOL FT_W32_WriteFile(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesWritten,
                      LPVOID lpOverlapped);
DWORD FT_W32_GetLastError(FT_HANDLE ftHandle);
BOOL FT_W32_GetOverlappedResult(FT_HANDLE ftHandle, LPVOID lpOverlapped, LPDWORD lpdwBytesTransferred,
                                BOOL bWait);
BOOL FT_W32_CancelIo(FT_HANDLE ftHandle);
BOOL FT_W32_ClearCommBreak(FT_HANDLE ftHandle);
BOOL FT_W32_SetCommBreak(FT_HANDLE ftHandle);
BOOL FT_W32_ClearCommError(FT_HANDLE ftHandle, LPDWORD lpdwErrors, LPFTCOMSTAT lpftComstat);
BOOL FT_W32_EscapeCommFunction(FT_HANDLE ftHandle, DWORD dwFunc);
BOOL FT_W32_GetCommModemStatus(FT_HANDLE ftHandle, LPDWORD lpdwModemStatus);
BOOL FT_W32_GetCommState(FT_HANDLE ftHandle, LPFTDCB lpftDcb);
BOOL FT_W32_SetCommState(FT_HANDLE ftHandle, LPFTDCB lpftDcb);
BOOL FT_W32_GetCommTimeouts(FT_HANDLE ftHandle, LPFTTIMEOUTS pTimeouts);
BOOL FT_W32_SetCommTimeouts(FT_HANDLE ftHandle, LPFTTIMEOUTS pTimeouts);
BOOL FT_W32_PurgeComm(FT_HANDLE ftHandle, DWORD dwMask);
BOOL FT_W32_SetCommMask(FT_HANDLE ftHandle, ULONG ulEventMask);
BOOL FT_W32_GetCommMask(FT_HANDLE ftHandle, LPDWORD lpdwEventMask);
BOOL FT_W32_SetupComm(FT_HANDLE ftHandle, DWORD dwReadBufferSize, DWORD dwWriteBufferSize);
BOOL FT_W32_WaitCommEvent(FT_HANDLE ftHandle, PULONG pulEvent, LPVOID lpOverlapped);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* TARNCTL_USBSERIAL_H */
