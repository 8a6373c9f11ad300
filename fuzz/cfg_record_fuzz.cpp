// Stored configuration records as read back from the EEPROM: the record and
// sequence readers, the listing and the record text, on an EEPROM image and
// EEPROM answers chosen by the input. The EEPROM service is replaced by a
// model here, so only the record layer runs and each input is one cheap run.
//
// Input: byte 0 chooses the area (one of the three, or the offset and limit
// taken from bytes 1-4) and the work area size; byte 5 is a seed for read
// answers that fail, come back short or claim more bytes than asked; the rest
// is stored at the area's start over an erased EEPROM.
//
// Checked on every input: records stay inside the area and the work area,
// each has a size of 1 to 13, a successful read starts with a begin marker,
// the text of a record always fits and ends, and a sequence that reads back
// whole is written and read back the same.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "commands.h"
#include "e2p.h"
#include "eepromcfg.h"

namespace {

std::vector<uint8_t> eeprom(4096, 0xFF);
uint8_t seed = 0;
unsigned reads = 0;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "cfg_record_fuzz: %s\n", what);
        std::abort();
    }
}

} // namespace

// The EEPROM service, answered from the image. The seed picks, per read,
// a plain answer, a failure, one byte short or up to three bytes more than
// asked (a box may claim a count it did not send; e2p_read copies at most
// what was asked).
int e2p_read(uint16_t addr, void *data, uint16_t *size)
{
    const unsigned kind = seed == 0 ? 0 : ((seed >> (reads++ % 4) * 2) & 3);
    if (kind == 1)
        return 110;
    uint16_t n = *size;
    if (n > 57)
        n = 57;
    for (uint16_t i = 0; i < n; ++i)
        static_cast<uint8_t *>(data)[i] = eeprom[(addr + i) & 0xFFF];
    if (kind == 2 && n > 0)
        *size = static_cast<uint16_t>(n - 1);
    else if (kind == 3)
        *size = static_cast<uint16_t>(n + 1 + (reads & 1));
    else
        *size = n;
    return 0;
}

// Writes: the box stores what it acknowledges. With write_seed set, per
// write: all, one byte less, nothing, or a count larger than asked (of
// which it stores what was sent).
uint8_t write_seed = 0;
unsigned writes = 0;

int e2p_write(uint16_t addr, const void *data, uint16_t *size)
{
    if (*size > 57)
        return -1;
    const unsigned kind = write_seed == 0 ? 0 : ((write_seed >> (writes++ % 4) * 2) & 3);
    uint16_t stored = *size;
    if (kind == 1 && stored > 0)
        stored = static_cast<uint16_t>(stored - 1);
    else if (kind == 2)
        stored = 0;
    for (uint16_t i = 0; i < stored; ++i)
        eeprom[(addr + i) & 0xFFF] = static_cast<const uint8_t *>(data)[i];
    *size = kind == 3 ? static_cast<uint16_t>(*size + 1) : stored;
    return 0;
}

// The link never goes away here.
bool comm_link_down(void)
{
    return false;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The listing prints to stdout; keep the fuzzer's output readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6)
        return 0;
    static const uint16_t areas[3][2] = {{E2P_CFG_SWITCH_START, E2P_CFG_SWITCH_LIMIT},
                                         {E2P_CFG_PHY1_START, E2P_CFG_PHY1_LIMIT},
                                         {E2P_CFG_PHY2_START, E2P_CFG_PHY2_LIMIT}};
    uint16_t offset, limit;
    if ((data[0] & 3) < 3) {
        offset = areas[data[0] & 3][0];
        limit = areas[data[0] & 3][1];
    } else {
        offset = static_cast<uint16_t>((data[1] | data[2] << 8) & 0xFFF);
        limit = static_cast<uint16_t>((data[3] | data[4] << 8) & 0x1FFF);
    }
    const size_t capacity = (data[0] >> 2) == 0 ? E2P_CFG_WORK_AREA : (data[0] >> 2);
    seed = data[5];
    reads = 0;
    write_seed = 0;
    writes = 0;
    std::fill(eeprom.begin(), eeprom.end(), 0xFF);
    for (size_t i = 6; i < size && i - 6 < 4096; ++i)
        eeprom[(offset + i - 6) & 0xFFF] = data[i];

    std::vector<e2p_cfg_cmd_t> recs(capacity);
    size_t count = 0;
    const int rc = e2p_read_config(recs.data(), offset, limit, capacity, &count);
    check(count <= capacity, "more records than the work area holds");
    unsigned off = offset;
    for (size_t i = 0; i < count; ++i) {
        const unsigned s = recs[i].hdr.size;
        check(s >= 1 && s <= E2P_CFG_MAX_SIZE, "record size outside 1..13");
        check(off + s <= limit, "record beyond the area's limit");
        char text[160];
        const size_t room = 1 + (data[(i + 6) % size] % sizeof text);
        const int n = e2p_format_cfg_cmd(&recs[i], static_cast<uint16_t>(off), text, room);
        check(n > 0 && std::memchr(text, '\0', room) != nullptr, "record text not ended");
        off += s;
    }
    if (rc == 0)
        check(count > 0 && e2p_check_cfg_begin(&recs[0]), "read succeeded without a begin marker");

    // A whole sequence, read without faults, is written back and read again
    // (a header-only record is not written, by design, so such sequences are
    // left out).
    bool writable = rc == 0 && seed == 0 && count > 0 && e2p_check_cfg_end(&recs[count - 1]);
    for (size_t i = 0; writable && i < count; ++i)
        writable = recs[i].hdr.size >= 2;
    if (writable) {
        std::fill(eeprom.begin(), eeprom.end(), 0xFF);
        e2p_write_config(recs.data(), offset, limit, count);
        std::vector<e2p_cfg_cmd_t> again(capacity);
        size_t count2 = 0;
        check(e2p_load_config(again.data(), offset, limit, capacity, &count2) == 0, "written sequence does not read");
        check(count2 == count, "written sequence reads back with another count");
        for (size_t i = 0; i < count; ++i) {
            const unsigned s = recs[i].hdr.size;
            check(again[i].hdr.size == s && again[i].hdr.cmd == recs[i].hdr.cmd &&
                      std::memcmp(again[i].param.raw, recs[i].param.raw, s - 1) == 0,
                  "written record reads back different");
        }
    }

    // The chunked raw array (the CAN block's writer): success means every
    // byte is stored where it belongs, whatever the box acknowledged.
    const size_t n = std::min<size_t>(size - 6, 200);
    std::fill(eeprom.begin(), eeprom.end(), 0xFF);
    write_seed = data[1] ^ data[2];
    writes = 0;
    const uint16_t at = static_cast<uint16_t>(0x800 + (data[3] & 0x3F));
    if (e2p_write_config_array(data + 6, at, static_cast<uint16_t>(n)) == 0) {
        for (size_t i = 0; i < n; ++i)
            check(eeprom[(at + i) & 0xFFF] == data[6 + i], "raw array reported stored but differs");
    }
    check(writes <= n + 1, "raw array write does not end");
    return 0;
}
