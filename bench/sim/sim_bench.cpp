// Bulk IN throughput of the simulated bus in fast timing: the 512-byte
// high-speed converter with a far side that never lets its receive buffer
// run dry, read through asynchronous transfers as the driver reads.
#include <benchmark/benchmark.h>
#include <libusb.h>

#include <vector>

#include "usb/simbus.h"

namespace {

struct Slot {
    libusb_transfer *t;
    std::vector<uint8_t> buf;
    uint64_t *bytes;
    bool *run;
};

void LIBUSB_CALL on_done(libusb_transfer *t)
{
    auto *s = static_cast<Slot *>(t->user_data);
    // Count data bytes only: every 512-byte packet carries two status bytes.
    int n = t->actual_length;
    *s->bytes += static_cast<uint64_t>(n - 2 * ((n + 511) / 512));
    if (*s->run)
        libusb_submit_transfer(t);
}

void BM_BulkInFast(benchmark::State &state)
{
    const int size = static_cast<int>(state.range(0));
    sim::DeviceSpec d;
    d.bcd_device = 0x0700;
    d.serial = "HS000001";
    d.box = false;
    sim::reset_bus({d});
    libusb_context *ctx;
    libusb_init(&ctx);
    libusb_device **list;
    libusb_get_device_list(ctx, &list);
    libusb_device_handle *h;
    libusb_open(list[0], &h);
    libusb_free_device_list(list, 1);
    libusb_claim_interface(h, 0);
    sim::set_stream_source(0, 0, true);

    uint64_t bytes = 0;
    bool run = true;
    std::vector<Slot> slots(4);
    for (auto &s : slots) {
        s.buf.resize(size);
        s.bytes = &bytes;
        s.run = &run;
        s.t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(s.t, h, 0x81, s.buf.data(), size, on_done, &s, 5000);
        libusb_submit_transfer(s.t);
    }
    for (auto _ : state) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout(ctx, &tv);
    }
    run = false;
    for (auto &s : slots)
        libusb_cancel_transfer(s.t);
    for (int i = 0; i < 10; i++) {
        timeval tv{0, 1000};
        libusb_handle_events_timeout(ctx, &tv);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    for (auto &s : slots)
        libusb_free_transfer(s.t);
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(ctx);
}

} // namespace

BENCHMARK(BM_BulkInFast)->Arg(4096)->Arg(16384)->Arg(65536)->UseRealTime();
BENCHMARK_MAIN();
