/* Scalar and handle types of the USB serial driver's programming interface.
 * Plain C so that a C program can include it; the widths are fixed here and
 * do not depend on the host's long. */
#ifndef TARNCTL_WINTYPES_H
#define TARNCTL_WINTYPES_H

#include <stdint.h>
#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef uint8_t UCHAR;
typedef uint8_t BYTE;
typedef int32_t LONG;
typedef int BOOL;
typedef char CHAR;
typedef unsigned char *PUCHAR;
typedef char *PCHAR;
typedef const char *LPCSTR;
typedef void *PVOID;
typedef void *HANDLE;
typedef DWORD *LPDWORD;
typedef ULONG *PULONG;
typedef LONG *LPLONG;
typedef WORD *LPWORD;
typedef void *LPVOID;
typedef BYTE *LPBYTE;

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

/* The caller's event object. The caller allocates and initialises it; the
 * driver only locks eMutex, signals eCondVar once and unlocks. iVar is the
 * caller's and the driver never touches it. */
typedef struct _EVENT_HANDLE {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int32_t iVar;
} EVENT_HANDLE;

#ifdef __cplusplus
}
#endif

#endif /* TARNCTL_WINTYPES_H */
