/* A C program against the driver's public header and shared library: the
 * header must be plain C and every symbol reachable without C++ name
 * mangling. */
#include <stdio.h>

#include "usbserial.h"

int main(void)
{
    FT_HANDLE h = NULL;
    UCHAR mode = 0;
    if (FT_Close(NULL) != FT_INVALID_HANDLE) {
        fprintf(stderr, "FT_Close(NULL) is not FT_INVALID_HANDLE\n");
        return 1;
    }
    if (FT_GetBitMode(h, &mode) != FT_INVALID_HANDLE) {
        fprintf(stderr, "FT_GetBitMode on no handle is not FT_INVALID_HANDLE\n");
        return 1;
    }
    if (sizeof(FT_DEVICE_LIST_INFO_NODE) < 4 * 4 + 16 + 64 + sizeof(FT_HANDLE)) {
        fprintf(stderr, "device-list record too small\n");
        return 1;
    }
    puts("ok");
    return 0;
}
