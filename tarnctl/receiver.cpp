// The receiver thread and the frame router. The receiver sleeps on the
// driver's receive event, takes the queued bytes in blocks of up to 128 and
// feeds them to the HDLC decoder; the router hands every good frame to the
// exchange object waiting for it, prints the box's debug texts, echoes the
// box's ping and reports frames of a type the console does not know.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <cctype>
#include <string>

#include "can_functions.h"
#include "catalogue.h"
#include "commands.h"
#include "hdlc.h"
#include "lineedit.h"
#include "out.h"
#include "tarnctl.h"

namespace {

constexpr DWORD rx_block = 128;

// A queue query or read that keeps failing (a box that was unplugged) must
// not turn the receiver into a busy loop; it retries after this pause, and a
// stop request still wakes it at once.
constexpr long rx_retry_pause_ns = 20 * 1000 * 1000;

void wait_retry_pause(EVENT_HANDLE *ev)
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += rx_retry_pause_ns;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        until.tv_sec += 1;
    }
    pthread_cond_timedwait(&ev->eCondVar, &ev->eMutex, &until);
}

// Length of the text in a frame's payload: up to its first zero byte, never
// beyond the payload.
int payload_text_len(const hdlc_msg_t *msg, uint16_t len)
{
    size_t payload = len > 2 ? len - 2u : 0u;
    const void *zero = memchr(msg->data, 0, payload);
    return static_cast<int>(zero ? static_cast<const uint8_t *>(zero) - msg->data : payload);
}

} // namespace

// Text the box sends on its own is a document of its own in JSON mode.
static bool box_text_document(hdlc_msg_t *msg, uint16_t len)
{
    if (!out_json())
        return false;
    jvalue doc = jvalue::object();
    doc.set("command", "debug");
    doc.set("ok", true);
    doc.set("text", std::string(reinterpret_cast<const char *>(msg->data),
                                static_cast<size_t>(payload_text_len(msg, len))));
    out_emit(doc);
    return true;
}

void hdlc_dbg_process_rq(hdlc_msg_t *msg, uint16_t len)
{
    if (!box_text_document(msg, len))
        printf("DBG RQ: %.*s\n", payload_text_len(msg, len), reinterpret_cast<const char *>(msg->data));
}

void hdlc_dbg_process_rsp(hdlc_msg_t *msg, uint16_t len)
{
    if (!box_text_document(msg, len))
        printf("%.*s", payload_text_len(msg, len), reinterpret_cast<const char *>(msg->data));
}

void hdlc_ping_process_rq(hdlc_msg_t *msg, uint16_t len)
{
    msg->hdr.type = MSG_TYPE_GEN_ACK;
    hdlc_tx_frame(reinterpret_cast<const uint8_t *>(msg), static_cast<uint8_t>(len));
}

void hdlc_process_error(hdlc_msg_t *msg, uint16_t)
{
    // A note for people, not a result: standard error in JSON mode.
    if (out_json())
        fprintf(stderr, "ERROR in type(%02X) cmd(%02X)\n", msg->hdr.type, msg->hdr.cmd);
    else
        printf("ERROR in type(%02X) cmd(%02X)\n", msg->hdr.type, msg->hdr.cmd);
}

void report_link_gone(void)
{
    comm_set_link_down("Corvane lost: the USB converter is gone\n");
}

namespace {

// After a write failed: a converter that has gone shows it in the queue
// query too, as soon as the driver's reader has seen its transfers end,
// which takes a few latency periods at most. Then the event is the link going
// down, reported once, and not a failure of this one write.
// True on the receiver thread, which writes only the ping echo.
thread_local bool on_receiver_thread = false;

bool line_gone(void)
{
    if (on_receiver_thread) {
        // It holds the transmit lock here, so it must not end the waiting
        // request itself (lock order); its own loop sees the converter gone
        // and reports it.
        DWORD queued = 0;
        return comm_link_down() || FT_GetQueueStatus(ft_handle, &queued) == FT_IO_ERROR;
    }
    constexpr int probes = 10;
    for (int i = 0; i < probes; ++i) {
        DWORD queued = 0;
        if (comm_link_down())
            return true;
        if (FT_GetQueueStatus(ft_handle, &queued) == FT_IO_ERROR) {
            report_link_gone();
            return true;
        }
        struct timespec pause = {0, rx_retry_pause_ns};
        nanosleep(&pause, nullptr);
    }
    return false;
}

} // namespace

void hdlc_put_char(char data)
{
    DWORD bytes_written = 0;
    // A write that moved nothing failed as much as one the driver refused.
    if (FT_Write(ft_handle, &data, 1, &bytes_written) != FT_OK || bytes_written != 1) {
        fprintf(stderr, "%s failed\n", __func__);
        fflush(stderr);
    }
}

void hdlc_put_frame(const uint8_t *bytes, size_t len)
{
    DWORD bytes_written = 0;
    const FT_STATUS st = FT_Write(ft_handle, const_cast<uint8_t *>(bytes), static_cast<DWORD>(len), &bytes_written);
    if (st == FT_OK && bytes_written == len)
        return;
    comm_tx_failed();
    if (line_gone())
        return;
    fprintf(stderr, "%s failed: %lu of %zu bytes written\n", __func__, static_cast<unsigned long>(bytes_written), len);
    fflush(stderr);
}

namespace {

// The box refuses a remote function in a debug text that names it
// ("remote function 7: address out of range"): the waiting call of that
// function, if no older call of it is outstanding, ends at once.
void note_refusal(const hdlc_msg_t *msg, uint16_t len)
{
    static const char prefix[] = "remote function ";
    const int n = payload_text_len(msg, len);
    const std::string text(reinterpret_cast<const char *>(msg->data), static_cast<size_t>(n));
    if (text.compare(0, sizeof prefix - 1, prefix) != 0)
        return;
    size_t at = sizeof prefix - 1;
    unsigned func = 0;
    size_t digits = 0;
    while (at < text.size() && isdigit(static_cast<unsigned char>(text[at])) && digits < 3) {
        func = func * 10 + static_cast<unsigned>(text[at++] - '0');
        ++digits;
    }
    if (digits == 0 || func > 0xFF || at >= text.size() || text[at] != ':')
        return;
    comm_refused(comm_service(svc::comm_rmt_func), static_cast<uint8_t>(func));
}

} // namespace

void hdlc_on_rx_frame(const u8_t *buffer, uint16_t bytes_received)
{
    // Without type and cmd there is nothing to route.
    if (buffer == nullptr || bytes_received < 2)
        return;
    // What the frame prints goes above a line being edited on a terminal.
    lineedit_async_output above_the_prompt;

    // Work on a copy: the decoder reuses its buffer, and the ping echo
    // rewrites the type before sending the frame back.
    hdlc_msg_t msg{};
    uint16_t len = std::min<uint16_t>(bytes_received, HDLC_MSG_SIZE);
    memcpy(&msg, buffer, len);

    const comm_route_t route = comm_route_frame(msg.hdr.type, msg.hdr.cmd);
    switch (route.kind) {
    case COMM_ROUTE_ACK:
        process_ack(route.obj, &msg, len);
        break;
    case COMM_ROUTE_DEBUG_RQ:
        hdlc_dbg_process_rq(&msg, len);
        break;
    case COMM_ROUTE_DEBUG_RSP:
        hdlc_dbg_process_rsp(&msg, len);
        note_refusal(&msg, len);
        break;
    case COMM_ROUTE_PING:
        hdlc_ping_process_rq(&msg, len);
        break;
    case COMM_ROUTE_CAN:
        process_can_msg(&msg, len);
        break;
    case COMM_ROUTE_UNKNOWN:
        hdlc_process_error(&msg, len);
        break;
    case COMM_ROUTE_DROP:
        break;
    }
    fflush(stdout);
}

pthread_t rcv_thread;
bool rcv_thread_running = false;

int link_reconnect(void)
{
    if (rcv_thread_running) {
        stop_receiver();
        pthread_join(rcv_thread, nullptr);
        rcv_thread_running = false;
    }
    if (ft_handle != nullptr) {
        serial_disconnect(ft_handle); // the handle of a gone converter: nothing to report
        ft_handle = nullptr;
    }
    if (tarn_link_sn[0] == '\0' || serial_connect_sn(&ft_handle, &hEvent, tarn_link_sn, 230400, false) != 0) {
        fprintf(stderr, "Corvane %s has not come back\n", tarn_link_sn);
        fflush(stderr);
        return -1;
    }
    pthread_mutex_lock(&hEvent->eMutex);
    cancel_rcv_thread = 0;
    pthread_mutex_unlock(&hEvent->eMutex);
    hdlc_init(hdlc_put_char, hdlc_on_rx_frame);
    hdlc_set_frame_output(hdlc_put_frame);
    comm_set_link_up();
    if (start_receiver(ft_handle, rx_handler, &rcv_thread, &rcv_started_mtx) != 0) {
        fprintf(stderr, "failed to start receiver thread\n");
        fflush(stderr);
        comm_set_link_down(nullptr);
        return -1;
    }
    rcv_thread_running = true;
    fprintf(stderr, "Corvane %s reconnected\n", tarn_link_sn);
    fflush(stderr);
    return 0;
}

int start_receiver(FT_HANDLE handle, void *(*handler)(void *), pthread_t *rcv_thread, rcv_start_gate_t *gate)
{
    gate->try_acquire();
    int rc = pthread_create(rcv_thread, nullptr, handler, handle);
    if (rc != 0)
        return rc;
    gate->acquire();
    return 0;
}

void stop_receiver(void)
{
    pthread_mutex_lock(&hEvent->eMutex);
    cancel_rcv_thread = 1;
    pthread_cond_broadcast(&hEvent->eCondVar);
    pthread_mutex_unlock(&hEvent->eMutex);
}

void *rx_handler(void *thread_arg)
{
    FT_HANDLE handle = thread_arg;
    unsigned char data[rx_block];

    on_receiver_thread = true;
    rcv_started_mtx.release();
    for (;;) {
        DWORD bytesRead = 0;
        DWORD rxBytes = 0;

        pthread_mutex_lock(&hEvent->eMutex);
        if (cancel_rcv_thread) {
            pthread_mutex_unlock(&hEvent->eMutex);
            break;
        }
        FT_STATUS ft_stat = FT_GetQueueStatus(handle, &rxBytes);
        if (ft_stat == FT_IO_ERROR) {
            // The converter has gone: say so once, end the waiting request,
            // and sleep until asked to stop (no more data can come).
            pthread_mutex_unlock(&hEvent->eMutex);
            report_link_gone();
            pthread_mutex_lock(&hEvent->eMutex);
            while (!cancel_rcv_thread)
                pthread_cond_wait(&hEvent->eCondVar, &hEvent->eMutex);
            pthread_mutex_unlock(&hEvent->eMutex);
            break;
        }
        if (ft_stat == FT_OK) {
            if (rxBytes > 0)
                ft_stat = FT_Read(handle, data, std::min(rxBytes, rx_block), &bytesRead);
            else
                pthread_cond_wait(&hEvent->eCondVar, &hEvent->eMutex);
        }
        if (ft_stat != FT_OK)
            wait_retry_pause(hEvent);
        pthread_mutex_unlock(&hEvent->eMutex);

        if (ft_stat == FT_OK && bytesRead > 0) {
            DWORD n = std::min(bytesRead, rx_block);
            for (DWORD i = 0; i < n; ++i)
                hdlc_on_rx_byte(data[i]);
        }
    }
    return nullptr;
}
