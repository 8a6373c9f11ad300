// Test support for the communication library: a fake box that answers the
// library's requests through the real receiver and a router like the
// console's, framing with the tests' own codec.
#ifndef TARNCOMM_TEST_FAKE_BOX_H
#define TARNCOMM_TEST_FAKE_BOX_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "commands.h"
#include "frame_codec.h"

using bytes = std::vector<uint8_t>;

// The acknowledgement frames the box sends for one request (content bytes).
using responder_t = std::function<std::vector<bytes>(const bytes &request)>;

// Installs itself in the HDLC layer. Requests written by the library are
// decoded independently, recorded, and answered on the fake box's own thread,
// which plays the console's receiver thread: the answer is framed, fed byte by
// byte into hdlc_on_rx_byte, and the frame callback routes it by type and cmd
// to the exchange objects with process_ack, as the console's router does.
class fake_box {
public:
    explicit fake_box(responder_t responder = {});
    ~fake_box();
    fake_box(const fake_box &) = delete;
    fake_box &operator=(const fake_box &) = delete;

    void set_responder(responder_t r);
    // Every request frame content seen so far, in order.
    std::vector<bytes> requests();
    void clear_requests();
    // Feed raw bytes into the receiver from the box thread and wait until
    // they are processed.
    void inject(const bytes &wire);
    // Delivers an acknowledgement content after delay, from the box thread.
    void send_later(const bytes &ack, std::chrono::milliseconds delay);

    static comm_obj_t *route(uint8_t type, uint8_t cmd);

private:
    static void put_char(char c);
    static void put_frame(const uint8_t *bytes, size_t len);
    static void on_rx_frame(const uint8_t *buffer, uint16_t n);
    void run();

    std::mutex mtx_;
    std::condition_variable cv_;
    bytes partial_;
    std::deque<bytes> pending_;
    std::deque<std::pair<std::chrono::steady_clock::time_point, bytes>> timed_;
    std::deque<bytes> injected_;
    size_t injected_done_ = 0, injected_total_ = 0;
    std::vector<bytes> requests_;
    responder_t responder_;
    bool stop_ = false;
    std::thread thread_;
};

// Acknowledgement with type/cmd and payload.
bytes ack_of(uint8_t type, uint8_t cmd, const bytes &payload = {});
// Stores the acknowledgement content b in obj as the router would.
void deliver(comm_obj_t *obj, const bytes &b);
double seconds_since(std::chrono::steady_clock::time_point t0);

#endif
