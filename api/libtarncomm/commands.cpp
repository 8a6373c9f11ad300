// Request/acknowledge exchange: send_req sends a service's request and waits on
// the object's condition for the arrival flag, with a wall-clock deadline;
// process_ack stores an acknowledgement and sets the flag.
#include "commands.h"

#include <algorithm>
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

// Lines counted by comm_set_link_up: a record of a request sent on an
// earlier line is void.
std::atomic<unsigned> line_no{0};

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

namespace {
// The object whose frame this thread is writing, under that object's lock.
thread_local comm_obj_t *sending_obj = nullptr;
} // namespace

bool comm_set_link_down(const char *message)
{
    if (link_down.exchange(true))
        return false;
    if (message != nullptr) {
        std::fputs(message, stderr);
        std::fflush(stderr);
    }
    comm_obj_t *w;
    {
        std::lock_guard<std::mutex> lock(waiter_mtx);
        w = waiter;
    }
    // The sender itself may find the line gone while it writes its frame,
    // holding its object's lock: it sees the link down once the write
    // returns, and nobody else waits on its object.
    if (w != nullptr && w != sending_obj) {
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
    // Records of requests sent on the old line are void from now on.
    line_no.fetch_add(1);
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
    const size_t tail = offsetof(comm_obj_t, ready) + sizeof cobj->ready;
    std::memset(reinterpret_cast<char *>(cobj) + tail, 0, sizeof(comm_obj_t) - tail);
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

namespace {

// The identity of the request in cobj->req as its answer must show it.
comm_ident_t ident_of(const comm_obj_t *cobj)
{
    comm_ident_t id{};
    const comm_match_t &m = cobj->match;
    id.cmd = cobj->req.hdr.cmd;
    id.flags = m.flags;
    id.ack_off = m.ack_off;
    id.key_len = static_cast<uint8_t>(std::min<unsigned>({m.len, COMM_KEY_MAX, HDLC_MSG_DATA_SIZE - m.req_off}));
    std::memcpy(id.key, &cobj->req.data[m.req_off], id.key_len);
    id.line = line_no.load();
    return id;
}

// Whether an answer of size content bytes could be the answer to id.
bool fits(const comm_ident_t &id, const hdlc_msg_t *msg, int size)
{
    if ((id.flags & COMM_MATCH_CMD) && msg->hdr.cmd != id.cmd)
        return false;
    if (id.key_len != 0 &&
        (size < 2 + id.ack_off + id.key_len || std::memcmp(&msg->data[id.ack_off], id.key, id.key_len) != 0))
        return false;
    return true;
}

// Whether one answer could fit both a and b: then they cannot be told apart.
bool collide(const comm_ident_t &a, const comm_ident_t &b)
{
    if (((a.flags | b.flags) & COMM_MATCH_CMD) && a.cmd != b.cmd)
        return false;
    const uint8_t n = std::min(a.key_len, b.key_len);
    return a.ack_off != b.ack_off || std::memcmp(a.key, b.key, n) == 0;
}

bool before(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

struct timespec wall_now()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return {tv.tv_sec, static_cast<long>(tv.tv_usec) * 1000L};
}

void remove_orphan(comm_obj_t *cobj, unsigned i)
{
    std::memmove(&cobj->orphans[i], &cobj->orphans[i + 1], sizeof cobj->orphans[0] * (cobj->n_orphans - i - 1));
    --cobj->n_orphans;
}

// Forgets the records whose horizon has passed or whose line is gone. Under
// mtx.
void expire_orphans(comm_obj_t *cobj)
{
    const struct timespec now = wall_now();
    const unsigned line = line_no.load();
    for (unsigned i = cobj->n_orphans; i-- > 0;)
        if (cobj->orphans[i].line != line || !before(now, cobj->orphans[i].until))
            remove_orphan(cobj, i);
}

void add_orphan(comm_obj_t *cobj, comm_ident_t id, const struct timespec &timed_out_at)
{
    const time_t horizon = std::max<time_t>(cobj->timeout, COMM_HORIZON_MIN_S);
    id.until = timed_out_at;
    id.until.tv_sec += horizon;
    expire_orphans(cobj);
    if (cobj->n_orphans == COMM_ORPHANS_MAX)
        remove_orphan(cobj, 0); // not reached: a request waits for a free record before it is sent
    cobj->orphans[cobj->n_orphans++] = id;
}

// Index of the oldest live record the answer could belong to, or -1.
int orphan_for(const comm_obj_t *cobj, const hdlc_msg_t *msg, int size)
{
    const unsigned line = line_no.load();
    for (unsigned i = 0; i < cobj->n_orphans; ++i)
        if (cobj->orphans[i].line == line && fits(cobj->orphans[i], msg, size))
            return static_cast<int>(i);
    return -1;
}

// Whether record i holds back a request like id: its answer could be taken
// for id's, or the records are full and it is the oldest (no record is
// dropped before its horizon).
bool holds_back(const comm_obj_t *cobj, unsigned i, const comm_ident_t &id)
{
    return collide(cobj->orphans[i], id) || (i == 0 && cobj->n_orphans == COMM_ORPHANS_MAX);
}

// The latest horizon among the records an answer to id could be taken
// for; false when there is none. Under mtx.
bool quarantine_until(comm_obj_t *cobj, const comm_ident_t &id, struct timespec *until)
{
    expire_orphans(cobj);
    bool any = false;
    for (unsigned i = 0; i < cobj->n_orphans; ++i)
        if (holds_back(cobj, i, id) && (!any || before(*until, cobj->orphans[i].until))) {
            *until = cobj->orphans[i].until;
            any = true;
        }
    return any;
}

// Forgets the records an answer to id could be taken for whose horizon ends
// by until. Under mtx.
void forget_until(comm_obj_t *cobj, const comm_ident_t &id, const struct timespec &until)
{
    for (unsigned i = cobj->n_orphans; i-- > 0;)
        if (holds_back(cobj, i, id) && !before(until, cobj->orphans[i].until))
            remove_orphan(cobj, i);
}

} // namespace

void comm_refused(comm_obj_t *cobj, uint8_t cmd)
{
    if (cobj == nullptr || !is_ready(cobj))
        return;
    pthread_mutex_lock(&cobj->mtx);
    expire_orphans(cobj);
    int older = -1;
    for (unsigned i = 0; i < cobj->n_orphans && older < 0; ++i)
        if (cobj->orphans[i].cmd == cmd)
            older = static_cast<int>(i);
    if (older >= 0) {
        // The refusal of the oldest such call: its answer is now in.
        remove_orphan(cobj, static_cast<unsigned>(older));
        pthread_cond_broadcast(&cobj->cond);
    } else if (cobj->waiting && cobj->ident.cmd == cmd) {
        cobj->refused = 1;
        pthread_cond_broadcast(&cobj->cond);
    }
    pthread_mutex_unlock(&cobj->mtx);
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

    const comm_ident_t id = ident_of(cobj);
    pthread_mutex_lock(&cobj->mtx);
    set_waiter(cobj); // the link going down ends the quarantine too
    // Quarantine: an answer to this request could be taken for the late
    // answer of one that timed out. Wait until that answer has come (and
    // been dropped) or its horizon has passed; then only this request's
    // answer can fit.
    struct timespec until;
    while (!comm_link_down() && quarantine_until(cobj, id, &until))
        if (pthread_cond_timedwait(&cobj->cond, &cobj->mtx, &until) == ETIMEDOUT)
            forget_until(cobj, id, until); // by the wait's own clock, whatever the time of day says
    if (comm_link_down()) {
        set_waiter(nullptr);
        pthread_mutex_unlock(&cobj->mtx);
        return ENODEV;
    }
    // An acknowledgement that came while nobody waited must not answer this
    // request.
    cobj->ack_arrived = 0;
    cobj->refused = 0;
    cobj->ident = id;

    size_t payload = cobj->req_data_sz;
    if (payload > HDLC_MSG_DATA_SIZE)
        payload = HDLC_MSG_DATA_SIZE;
    tx_failed = false;
    sending_obj = cobj;
    hdlc_tx_frame(reinterpret_cast<const uint8_t *>(&cobj->req), static_cast<uint8_t>(payload + 2));
    sending_obj = nullptr;
    if (tx_failed || comm_link_down()) {
        set_waiter(nullptr);
        pthread_mutex_unlock(&cobj->mtx);
        return tx_failed && !comm_link_down() ? EIO : ENODEV;
    }
    cobj->waiting = 1;

    struct timespec deadline = wall_now();
    deadline.tv_sec += cobj->timeout;

    int rc = 0;
    while (!cobj->ack_arrived && !cobj->refused && !comm_link_down()) {
        rc = pthread_cond_timedwait(&cobj->cond, &cobj->mtx, &deadline);
        if (rc != 0)
            break;
    }
    set_waiter(nullptr);
    cobj->waiting = 0;
    // A delivery that raced with the deadline still counts.
    if (cobj->ack_arrived)
        rc = 0;

    int result = 0;
    if (rc == 0 && cobj->refused && !cobj->ack_arrived) {
        result = EREMOTEIO; // the box said why, in its own words
    } else if (rc == 0 && !cobj->ack_arrived) {
        result = ENODEV; // the link went down while waiting
    } else if (rc == 0) {
        if (ack != nullptr)
            *ack = cobj->ack;
    } else {
        // Its answer may still come: until its horizon it must not complete
        // a later request.
        add_orphan(cobj, id, deadline);
        std::fputs(rc == ETIMEDOUT ? "send_rq timed out\n" : "send_rq failed\n", stderr);
        std::fflush(stderr);
        result = rc == ETIMEDOUT ? ETIMEDOUT : EINVAL;
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
    int orphan;
    if (cobj->waiting && fits(cobj->ident, msg, size)) {
        // The answer to the waiting request.
    } else if ((orphan = orphan_for(cobj, msg, size)) >= 0) {
        // The late answer of a request that timed out: it has now arrived,
        // and goes nowhere. A request held back for it may go.
        remove_orphan(cobj, static_cast<unsigned>(orphan));
        pthread_cond_broadcast(&cobj->cond);
        pthread_mutex_unlock(&cobj->mtx);
        return;
    } else if (cobj->waiting) {
        // Not what the waiting request asked for.
        pthread_mutex_unlock(&cobj->mtx);
        return;
    }
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
