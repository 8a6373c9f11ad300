// Request/acknowledge exchange: send_req sends a service's request and waits on
// the object's condition for the arrival flag, with a wall-clock deadline;
// process_ack stores an acknowledgement and sets the flag.
#include "commands.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <cstddef>
#include <sys/time.h>

namespace {

bool is_ready(const comm_obj_t *cobj)
{
    return __atomic_load_n(&cobj->ready, __ATOMIC_ACQUIRE) != 0;
}

std::atomic<bool> link_down{false};

// The object whose request is waiting for its answer (null when none), so
// that the link going down can wake it. Lock order: an object's mtx, then
// waiter_mtx; comm_set_link_down takes them one after the other, never
// nested. Objects are static, so the pointer stays valid.
std::mutex waiter_mtx;
comm_obj_t *waiter = nullptr;

// Set by the frame output on the sending thread when a frame did not go out
// whole.
thread_local bool tx_failed = false;

void set_waiter(comm_obj_t *cobj)
{
    std::lock_guard<std::mutex> lock(waiter_mtx);
    waiter = cobj;
}

} // namespace

bool comm_link_down(void)
{
    return link_down.load();
}

bool comm_set_link_down(void)
{
    if (link_down.exchange(true))
        return false;
    comm_obj_t *w;
    {
        std::lock_guard<std::mutex> lock(waiter_mtx);
        w = waiter;
    }
    if (w != nullptr) {
        // Taking the object's lock waits until its sender sleeps in the wait
        // (or has left), so the broadcast cannot be missed.
        pthread_mutex_lock(&w->mtx);
        pthread_cond_broadcast(&w->cond);
        pthread_mutex_unlock(&w->mtx);
    }
    return true;
}

void comm_set_link_up(void)
{
    link_down.store(false);
}

void comm_tx_failed(void)
{
    tx_failed = true;
}

void init_comm_obj(comm_obj_t *cobj, uint8_t req_type, uint8_t req_cmd, uint8_t ack_type, uint8_t ack_cmd)
{
    if (cobj == nullptr)
        return;
    // Everything but the ready flag, which a concurrent delivery may be
    // reading atomically; it is published last.
    std::memset(static_cast<void *>(cobj), 0, offsetof(comm_obj_t, ready));
    cobj->thread = pthread_self();
    pthread_mutex_init(&cobj->mtx, nullptr);
    pthread_cond_init(&cobj->cond, nullptr);
    cobj->timeout = 1;
    cobj->req.hdr.type = req_type;
    cobj->req.hdr.cmd = req_cmd;
    cobj->ack.hdr.type = ack_type;
    cobj->ack.hdr.cmd = ack_cmd;
    __atomic_store_n(&cobj->ready, 1, __ATOMIC_RELEASE);
}

comm_obj_t *comm_obj_once(comm_obj_t *&cobj, comm_obj_t &obj, uint8_t req_type, uint8_t req_cmd, uint8_t ack_type,
                          uint8_t ack_cmd)
{
    if (cobj == nullptr) {
        cobj = &obj;
        init_comm_obj(cobj, req_type, req_cmd, ack_type, ack_cmd);
    }
    return cobj;
}

int send_req_get_ack(comm_obj_t *cobj, hdlc_msg_t *ack)
{
    if (cobj == nullptr || !is_ready(cobj)) {
        std::fputs("send_rq failed\n", stderr);
        std::fflush(stderr);
        return EINVAL;
    }

    if (comm_link_down())
        return ENODEV;

    pthread_mutex_lock(&cobj->mtx);
    // An acknowledgement that came while nobody waited must not answer this
    // request.
    cobj->ack_arrived = 0;

    size_t payload = cobj->req_data_sz;
    if (payload > HDLC_MSG_DATA_SIZE)
        payload = HDLC_MSG_DATA_SIZE;
    tx_failed = false;
    hdlc_tx_frame(reinterpret_cast<const uint8_t *>(&cobj->req), static_cast<uint8_t>(payload + 2));
    if (tx_failed || comm_link_down()) {
        pthread_mutex_unlock(&cobj->mtx);
        return tx_failed && !comm_link_down() ? EIO : ENODEV;
    }
    set_waiter(cobj);

    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timespec deadline;
    deadline.tv_sec = now.tv_sec + cobj->timeout;
    deadline.tv_nsec = static_cast<long>(now.tv_usec) * 1000L;

    int rc = 0;
    while (!cobj->ack_arrived && !comm_link_down()) {
        rc = pthread_cond_timedwait(&cobj->cond, &cobj->mtx, &deadline);
        if (rc != 0)
            break;
    }
    set_waiter(nullptr);
    // A delivery that raced with the deadline still counts.
    if (cobj->ack_arrived)
        rc = 0;

    int result = 0;
    if (rc == 0 && !cobj->ack_arrived) {
        result = ENODEV; // the link went down while waiting
    } else if (rc == 0) {
        if (ack != nullptr)
            *ack = cobj->ack;
    } else if (rc == ETIMEDOUT) {
        std::fputs("send_rq timed out\n", stderr);
        std::fflush(stderr);
        result = ETIMEDOUT;
    } else {
        std::fputs("send_rq failed\n", stderr);
        std::fflush(stderr);
        result = EINVAL;
    }
    pthread_mutex_unlock(&cobj->mtx);
    return result;
}

int send_req(comm_obj_t *cobj)
{
    return send_req_get_ack(cobj, nullptr);
}

void process_ack(comm_obj_t *cobj, hdlc_msg_t *msg, int size)
{
    if (cobj == nullptr || msg == nullptr || !is_ready(cobj))
        return;
    if (size < 0)
        size = 0;
    if (size > static_cast<int>(sizeof(hdlc_msg_t)))
        size = static_cast<int>(sizeof(hdlc_msg_t));
    pthread_mutex_lock(&cobj->mtx);
    std::memcpy(&cobj->ack, msg, static_cast<size_t>(size));
    cobj->ack_arrived = 1;
    pthread_cond_signal(&cobj->cond);
    pthread_mutex_unlock(&cobj->mtx);
}

void comm_obj_set_cmd(comm_obj_t *cobj, uint8_t req_cmd, uint8_t ack_cmd)
{
    if (cobj == nullptr)
        return;
    pthread_mutex_lock(&cobj->mtx);
    cobj->req.hdr.cmd = req_cmd;
    cobj->ack.hdr.cmd = ack_cmd;
    pthread_mutex_unlock(&cobj->mtx);
}
