// A driver client for the real-libusb tests: opens the first converter,
// loops a counting pattern through FT_Write/FT_Read (the far side of the
// line loops it back) and then keeps the handle open doing nothing, and
// reports what it saw and the CPU time the idle handle cost.
//   loop_client BYTES IDLE_MS
// Prints "looped=N mismatches=M idle_cpu_permille=P"; exit 0 when every
// byte came back in order.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "usbserial.h"

namespace {

double cpu_seconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: loop_client BYTES IDLE_MS\n");
        return 2;
    }
    const long total = strtol(argv[1], nullptr, 0);
    const long idle_ms = strtol(argv[2], nullptr, 0);
    FT_SetVIDPID(0x0403, 0x7F80); // the box's converter
    FT_HANDLE h = nullptr;
    if (FT_Open(0, &h) != FT_OK) {
        fprintf(stderr, "FT_Open failed\n");
        return 1;
    }
    FT_SetBaudRate(h, 230400);
    FT_SetDataCharacteristics(h, 8, 0, 0);
    FT_SetTimeouts(h, 5000, 5000);
    // One chunk in flight at a time: the loop-back line hands the bytes back
    // at once, and the chip's receive buffer holds only so much. A chunk of
    // whole packets (62 data bytes each) goes to the host without waiting
    // for the latency timer; a short latency sends the rest quickly too.
    FT_SetLatencyTimer(h, 1);
    constexpr DWORD kChunk = 4 * 62;
    std::vector<uint8_t> out(kChunk), in(kChunk);
    long looped = 0, mismatches = 0;
    uint8_t next_out = 0, next_in = 0;
    while (looped < total) {
        const DWORD n = static_cast<DWORD>(std::min<long>(kChunk, total - looped));
        for (DWORD i = 0; i < n; i++)
            out[i] = next_out++;
        DWORD moved = 0;
        if (FT_Write(h, out.data(), n, &moved) != FT_OK || moved != n) {
            fprintf(stderr, "FT_Write moved %u of %u\n", moved, n);
            break;
        }
        DWORD got = 0;
        if (FT_Read(h, in.data(), n, &got) != FT_OK || got != n) {
            fprintf(stderr, "FT_Read got %u of %u\n", got, n);
            looped += got;
            break;
        }
        for (DWORD i = 0; i < got; i++)
            if (in[i] != next_in++)
                mismatches++;
        looped += got;
    }
    // Idle as the console leaves it.
    FT_SetLatencyTimer(h, 16);
    const double c0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(idle_ms));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpu_seconds() - c0;
    FT_Close(h);
    printf("looped=%ld mismatches=%ld idle_cpu_permille=%.2f\n", looped, mismatches, 1000.0 * cpu / wall);
    return looped == total && mismatches == 0 ? 0 : 1;
}
