// Test support: the fake box and helpers around it.
#include "fake_box.h"

#include <algorithm>
#include <cstring>

#include "catalogue.h"
#include "hdlc.h"

bytes ack_of(uint8_t type, uint8_t cmd, const bytes &payload)
{
    // Sized up front: g++ 12 at -O2 warns falsely on insert() into a
    // two-byte vector.
    bytes b(payload.size() + 2);
    b[0] = type;
    b[1] = cmd;
    std::copy(payload.begin(), payload.end(), b.begin() + 2);
    return b;
}

void deliver(comm_obj_t *obj, const bytes &b)
{
    hdlc_msg_t m;
    std::memset(&m, 0, sizeof m);
    std::memcpy(&m, b.data(), b.size() > sizeof m ? sizeof m : b.size());
    process_ack(obj, &m, static_cast<int>(b.size()));
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

namespace {
fake_box *current = nullptr;
}

fake_box::fake_box(responder_t responder) : responder_(std::move(responder))
{
    current = this;
    hdlc_init(&fake_box::put_char, &fake_box::on_rx_frame);
    hdlc_set_frame_output(&fake_box::put_frame); // whole frames, as the console sends
    thread_ = std::thread([this] { run(); });
}

fake_box::~fake_box()
{
    {
        std::lock_guard<std::mutex> lock(mtx_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
    hdlc_set_frame_output(nullptr);
    hdlc_init(nullptr, nullptr);
    current = nullptr;
}

void fake_box::set_responder(responder_t r)
{
    std::lock_guard<std::mutex> lock(mtx_);
    responder_ = std::move(r);
}

std::vector<bytes> fake_box::requests()
{
    std::lock_guard<std::mutex> lock(mtx_);
    return requests_;
}

void fake_box::clear_requests()
{
    std::lock_guard<std::mutex> lock(mtx_);
    requests_.clear();
}

void fake_box::inject(const bytes &wire)
{
    std::unique_lock<std::mutex> lock(mtx_);
    injected_.push_back(wire);
    const size_t target = ++injected_total_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return injected_done_ >= target; });
}

void fake_box::send_later(const bytes &ack, std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> lock(mtx_);
    timed_.emplace_back(std::chrono::steady_clock::now() + delay, ack);
    cv_.notify_all();
}

void fake_box::put_frame(const uint8_t *bytes, size_t len)
{
    for (size_t i = 0; i < len; ++i)
        put_char(static_cast<char>(bytes[i]));
}

void fake_box::put_char(char c)
{
    fake_box *self = current;
    if (self == nullptr)
        return;
    std::lock_guard<std::mutex> lock(self->mtx_);
    const uint8_t b = static_cast<uint8_t>(c);
    self->partial_.push_back(b);
    if (b != 0x7E || self->partial_.size() < 2)
        return;
    // A closing flag: decode what is there and start over with this flag.
    for (auto &f : testframe::decode(self->partial_)) {
        self->requests_.push_back(f);
        self->pending_.push_back(f);
    }
    self->partial_.assign(1, 0x7E);
    self->cv_.notify_all();
}

comm_obj_t *fake_box::route(uint8_t type, uint8_t cmd)
{
    // The console's own routing decision.
    const comm_route_t r = comm_route_frame(type, cmd);
    return r.kind == COMM_ROUTE_ACK ? r.obj : nullptr;
}

void fake_box::on_rx_frame(const uint8_t *buffer, uint16_t n)
{
    if (n < 2)
        return;
    hdlc_msg_t msg;
    std::memset(&msg, 0, sizeof msg);
    std::memcpy(&msg, buffer, n > sizeof msg ? sizeof msg : n);
    if (comm_obj_t *obj = route(msg.hdr.type, msg.hdr.cmd))
        process_ack(obj, &msg, n);
}

void fake_box::run()
{
    std::unique_lock<std::mutex> lock(mtx_);
    for (;;) {
        if (stop_)
            return;
        if (!injected_.empty()) {
            bytes wire = std::move(injected_.front());
            injected_.pop_front();
            lock.unlock();
            for (uint8_t b : wire)
                hdlc_on_rx_byte(b);
            lock.lock();
            ++injected_done_;
            cv_.notify_all();
            continue;
        }
        if (!pending_.empty()) {
            bytes req = std::move(pending_.front());
            pending_.pop_front();
            responder_t r = responder_;
            lock.unlock();
            if (r)
                for (const bytes &ack : r(req))
                    for (uint8_t b : testframe::encode(ack))
                        hdlc_on_rx_byte(b);
            lock.lock();
            continue;
        }
        if (!timed_.empty() && timed_.front().first <= std::chrono::steady_clock::now()) {
            bytes ack = std::move(timed_.front().second);
            timed_.pop_front();
            lock.unlock();
            for (uint8_t b : testframe::encode(ack))
                hdlc_on_rx_byte(b);
            lock.lock();
            continue;
        }
        if (!timed_.empty())
            cv_.wait_until(lock, timed_.front().first);
        else
            cv_.wait(lock);
    }
}
