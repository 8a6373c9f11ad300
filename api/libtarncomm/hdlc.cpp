// HDLC framing: transmitter (stuffing and FCS into a frame buffer, handed to
// the frame output in one call or to the byte output one wire byte at a time,
// whole frames under the transmit lock) and the receiver
// state machine (unstuffing into a 64-byte buffer, FCS check at each flag).
#include "hdlc.h"

#include <mutex>

#include "commands.h"
#include "crc16_ccitt.h"

namespace {

// Receiver state: used by the receiver thread only (hdlc_init runs before it
// starts), so it needs no lock.
uint8_t hdlc_rx_frame[HDLC_RX_BUF_SIZE];
uint8_t hdlc_rx_frame_index = 0;
uint16_t hdlc_rx_frame_fcs = CRC16_CCITT_INIT;
int hdlc_rx_char_esc = 0;

// Guards the output callback pointer and the line: one frame at a time.
std::mutex hdlc_tx_mtx;
hdlc_put_char_t hdlc_put_char = nullptr;
hdlc_put_frame_t hdlc_put_frame = nullptr;
hdlc_on_rx_frame_t hdlc_on_rx_frame = nullptr;

// True while this thread is inside a transmit: a callback that re-enters
// hdlc_tx_* would otherwise deadlock on hdlc_tx_mtx.
thread_local bool hdlc_tx_active = false;

// Longest encoded frame: content of up to 255 bytes and the FCS, every byte
// stuffed, and the two flags.
constexpr size_t max_wire_frame = 2 * (255 + 2) + 2;

// Hands wire bytes to the installed output; the caller holds hdlc_tx_mtx.
void emit(const uint8_t *bytes, size_t len)
{
    if (hdlc_put_frame != nullptr) {
        hdlc_put_frame(bytes, len);
        return;
    }
    if (hdlc_put_char != nullptr)
        for (size_t i = 0; i < len; ++i)
            hdlc_put_char(static_cast<char>(bytes[i]));
}

// Builds the wire bytes of one frame, then emits them at once; the caller
// holds hdlc_tx_mtx.
class frame_writer {
public:
    frame_writer() { put_raw(HDLC_FLAG); }

    void content(uint8_t b)
    {
        // The register takes the byte before stuffing.
        fcs_ = crc16_ccitt_calc_byte(fcs_, b);
        put_stuffed(b);
    }

    void finish()
    {
        const uint16_t fcs = static_cast<uint16_t>(~fcs_);
        put_stuffed(static_cast<uint8_t>(fcs & 0xFF));
        put_stuffed(static_cast<uint8_t>(fcs >> 8));
        put_raw(HDLC_FLAG);
        emit(buf_, len_);
    }

private:
    void put_raw(uint8_t b) { buf_[len_++] = b; }
    void put_stuffed(uint8_t b)
    {
        if (b == HDLC_FLAG || b == HDLC_ESC) {
            put_raw(HDLC_ESC);
            put_raw(static_cast<uint8_t>(b ^ HDLC_ESC_XOR));
        } else {
            put_raw(b);
        }
    }

    uint16_t fcs_ = CRC16_CCITT_INIT;
    uint8_t buf_[max_wire_frame];
    size_t len_ = 0;
};

// Runs fn under the transmit lock unless this thread already transmits (a
// re-entering output callback): that nested output is dropped.
template <class Fn>
void with_tx_lock(Fn fn)
{
    if (hdlc_tx_active)
        return;
    std::lock_guard<std::mutex> lock(hdlc_tx_mtx);
    hdlc_tx_active = true;
    fn();
    hdlc_tx_active = false;
}

void rx_reset()
{
    hdlc_rx_frame_index = 0;
    hdlc_rx_frame_fcs = CRC16_CCITT_INIT;
}

} // namespace

void hdlc_init(hdlc_put_char_t put_char, hdlc_on_rx_frame_t on_rx_frame)
{
    rx_reset();
    hdlc_rx_char_esc = 0;
    {
        std::lock_guard<std::mutex> lock(hdlc_tx_mtx);
        hdlc_put_char = put_char;
        hdlc_put_frame = nullptr;
    }
    hdlc_on_rx_frame = on_rx_frame;
    crc16_ccitt_init();
}

void hdlc_set_frame_output(hdlc_put_frame_t put_frame)
{
    std::lock_guard<std::mutex> lock(hdlc_tx_mtx);
    hdlc_put_frame = put_frame;
}

void hdlc_tx_byte(uint8_t data)
{
    with_tx_lock([&] { emit(&data, 1); });
}

void hdlc_tx_frame(const uint8_t *buffer, uint8_t bytes_to_send)
{
    if (buffer == nullptr)
        bytes_to_send = 0;
    with_tx_lock([&] {
        frame_writer w;
        for (unsigned i = 0; i < bytes_to_send; ++i)
            w.content(buffer[i]);
        w.finish();
    });
}

void hdlc_on_rx_byte(uint8_t data)
{
    if (data == HDLC_FLAG) {
        if (hdlc_rx_char_esc) {
            // An escape right before a flag aborts the frame.
            hdlc_rx_char_esc = 0;
        } else if (hdlc_rx_frame_index >= 2 && hdlc_rx_frame_fcs == CRC16_CCITT_GOOD) {
            if (hdlc_on_rx_frame != nullptr)
                hdlc_on_rx_frame(hdlc_rx_frame, static_cast<uint16_t>(hdlc_rx_frame_index - 2));
        }
        // The flag closes this frame and opens the next one.
        rx_reset();
        return;
    }
    if (hdlc_rx_char_esc) {
        hdlc_rx_char_esc = 0;
        data = static_cast<uint8_t>(data ^ HDLC_ESC_XOR);
    } else if (data == HDLC_ESC) {
        hdlc_rx_char_esc = 1;
        return;
    }
    if (hdlc_rx_frame_index >= HDLC_RX_BUF_SIZE) {
        // Overlong: start over with the complemented register, so the check
        // at the closing flag fails in practice.
        hdlc_rx_frame_index = 0;
        hdlc_rx_frame_fcs = static_cast<uint16_t>(~hdlc_rx_frame_fcs);
        return;
    }
    hdlc_rx_frame[hdlc_rx_frame_index++] = data;
    hdlc_rx_frame_fcs = crc16_ccitt_calc_byte(hdlc_rx_frame_fcs, data);
}
