// The driver's bulk-in packet processor fed arbitrary transfers, with reads,
// purged transfers and event-character changes in between, on a handle
// record of its own (no device behind it) whose ring is small enough to
// wrap and overflow often.
//
// Input: byte 0 picks the packet size (8 to 512), byte 1 the ring size;
// then operations: 0 a transfer (two length bytes, then its bytes), 1 a
// read of up to N bytes, 2 a transfer that a purge has marked, 3 the event
// character on or off.
//
// Checked on every input: the queue always equals an independent model of
// it (each packet of at least two bytes gives its payload when the ring has
// room for all of it, none otherwise; a purged transfer gives nothing), and
// every read returns exactly the model's next bytes, never more than asked.
#include "usbserial-private.h"

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

namespace {

struct Input {
    const uint8_t *p;
    size_t n;
    bool take(uint8_t *b)
    {
        if (!n)
            return false;
        *b = *p++;
        --n;
        return true;
    }
};

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in{data, size};
    uint8_t a = 0, b = 0;
    if (!in.take(&a) || !in.take(&b))
        return 0;
    DeviceExtension *d = AddDevice();
    if (!d)
        return 0;
    static const uint32_t packets[] = {8, 16, 64, 512};
    d->maxPacketSize = packets[a % 4];
    d->ringSize = 64 + b * 4;
    d->ringFree = d->ringSize;
    d->ring.reset(new uint8_t[d->ringSize]);
    d->alive = 1;
    InSlot slot;
    std::deque<uint8_t> model;
    std::vector<uint8_t> buf;
    uint8_t op;
    while (in.take(&op)) {
        switch (op % 4) {
        case 0:
        case 2: {
            uint8_t hi = 0, lo = 0;
            in.take(&hi);
            in.take(&lo);
            size_t len = std::min<size_t>((hi << 8 | lo) % 2048, in.n);
            const bool purged = op % 4 == 2;
            {
                std::lock_guard lock(d->rxMutex);
                slot.discard = purged;
            }
            ProcessBulkInData(d, in.p, static_cast<int32_t>(len), &slot);
            if (!purged) {
                for (size_t off = 0; off + 2 <= len; off += d->maxPacketSize) {
                    const size_t chunk = std::min<size_t>(d->maxPacketSize, len - off);
                    const size_t payload = chunk - 2;
                    if (payload && model.size() + payload <= static_cast<size_t>(d->ringSize))
                        model.insert(model.end(), in.p + off + 2, in.p + off + chunk);
                }
            }
            in.p += len;
            in.n -= len;
            break;
        }
        case 1: {
            uint8_t want = 0;
            in.take(&want);
            // Mostly what is there; now and then more, which waits out the
            // (short) read time-out.
            if (!(op & 8) && want > model.size())
                want = static_cast<uint8_t>(model.size());
            DWORD got = 12345;
            buf.assign(want + 16u, 0xA5);
            d->readTimeout = 1; // never wait long for bytes that will not come
            check(FT_Read(d, buf.data(), want, &got) == FT_OK);
            check(got <= want && got <= model.size());
            for (DWORD i = 0; i < got; ++i) {
                check(buf[i] == model.front());
                model.pop_front();
            }
            for (size_t i = want; i < buf.size(); ++i)
                check(buf[i] == 0xA5);
            break;
        }
        case 3: {
            uint8_t c = 0;
            in.take(&c);
            d->eventChar = c;
            d->eventCharEnabled = op & 4 ? 1 : 0;
            break;
        }
        }
        DWORD q = 0;
        check(FT_GetQueueStatusEx(d, &q) == FT_OK);
        check(q == model.size());
    }
    BeginClose(d);
    ReleaseDevice(d);
    RemoveDevice(d);
    return 0;
}
