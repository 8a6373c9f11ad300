// Request/acknowledge exchange: send_req sends a service's request and waits on
// the object's condition for the arrival flag, with a wall-clock deadline;
// process_ack stores an acknowledgement and sets the flag.
#include "commands.h"
#include "catalogue.h"

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

comm_obj_t *comm_obj_once(comm_obj_t *&cobj, comm_obj_t &obj, uint8_t req_type, uint8_t req_cmd, uint8_t ack_type,
                          uint8_t ack_cmd)
{
    if (cobj == nullptr) {
        comm_catalogue_init();
        cobj = &obj;
        if (!is_ready(cobj))
            init_comm_obj(cobj, req_type, req_cmd, ack_type, ack_cmd);
    }
    return cobj;
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
    id.len = cobj->expect_len;
    id.len_hint = cobj->expect_len != 0 ? cobj->expect_len : cobj->len_hint;
    id.count = cobj->req.data[2];
    id.key_len = static_cast<uint8_t>(std::min<unsigned>({m.len, COMM_KEY_MAX, HDLC_MSG_DATA_SIZE - m.req_off}));
    std::memcpy(id.key, &cobj->req.data[m.req_off], id.key_len);
    return id;
}

// Whether an answer of size content bytes could be the answer to id.
bool fits(const comm_ident_t &id, const hdlc_msg_t *msg, int size)
{
    if ((id.flags & COMM_MATCH_CMD) && msg->hdr.cmd != id.cmd)
        return false;
    if (id.len != 0 && size != id.len)
        return false;
    if (id.key_len != 0 &&
        (size < 2 + id.ack_off + id.key_len || std::memcmp(&msg->data[id.ack_off], id.key, id.key_len) != 0))
        return false;
    if ((id.flags & COMM_MATCH_E2P_COUNT) && (size < 5 || msg->data[2] > id.count))
        return false;
    return true;
}

// The length an answer to id will have, 0 when not known.
uint8_t answer_len(const comm_ident_t &id)
{
    return id.len != 0 ? id.len : id.len_hint;
}

// Whether one answer could fit both a and b: then they cannot be told apart.
bool collide(const comm_ident_t &a, const comm_ident_t &b)
{
    if (((a.flags | b.flags) & COMM_MATCH_CMD) && a.cmd != b.cmd)
        return false;
    const uint8_t n = std::min(a.key_len, b.key_len);
    if (a.ack_off == b.ack_off && std::memcmp(a.key, b.key, n) != 0)
        return false;
    const uint8_t la = answer_len(a), lb = answer_len(b);
    if ((a.len != 0 || b.len != 0) && la != 0 && lb != 0 && la != lb)
        return false;
    return true;
}

void add_orphan(comm_obj_t *cobj, const comm_ident_t &id)
{
    if (cobj->n_orphans == COMM_ORPHANS_MAX) {
        // The oldest has waited longest; its answer is the least likely to come.
        std::memmove(&cobj->orphans[0], &cobj->orphans[1], sizeof cobj->orphans[0] * (COMM_ORPHANS_MAX - 1));
        --cobj->n_orphans;
    }
    cobj->orphans[cobj->n_orphans++] = id;
}

void remove_orphan(comm_obj_t *cobj, unsigned i)
{
    std::memmove(&cobj->orphans[i], &cobj->orphans[i + 1], sizeof cobj->orphans[0] * (cobj->n_orphans - i - 1));
    --cobj->n_orphans;
}

// Index of an outstanding request the answer could belong to, or -1.
int orphan_for(const comm_obj_t *cobj, const hdlc_msg_t *msg, int size)
{
    for (unsigned i = 0; i < cobj->n_orphans; ++i)
        if (fits(cobj->orphans[i], msg, size))
            return static_cast<int>(i);
    return -1;
}

bool has_colliding_orphan(comm_obj_t *cobj, const comm_ident_t &id)
{
    pthread_mutex_lock(&cobj->mtx);
    bool found = false;
    for (unsigned i = 0; i < cobj->n_orphans && !found; ++i)
        found = collide(cobj->orphans[i], id);
    pthread_mutex_unlock(&cobj->mtx);
    return found;
}

void forget_colliding_orphans(comm_obj_t *cobj, const comm_ident_t &id)
{
    pthread_mutex_lock(&cobj->mtx);
    for (unsigned i = cobj->n_orphans; i-- > 0;)
        if (collide(cobj->orphans[i], id))
            remove_orphan(cobj, i);
    pthread_mutex_unlock(&cobj->mtx);
}

thread_local bool in_resync = false;

} // namespace

uint8_t comm_distinct_len(comm_obj_t *cobj, uint8_t min_len, uint8_t max_len)
{
    if (cobj == nullptr)
        return 0;
    comm_ident_t id = ident_of(cobj);
    id.len = min_len;
    pthread_mutex_lock(&cobj->mtx);
    bool any = false;
    bool taken[256] = {};
    for (unsigned i = 0; i < cobj->n_orphans; ++i) {
        comm_ident_t o = cobj->orphans[i];
        // Lengths aside, could one answer fit both?
        const uint8_t o_len = answer_len(o);
        o.len = 0;
        o.len_hint = 0;
        comm_ident_t probe = id;
        probe.len = 0;
        probe.len_hint = 0;
        if (!collide(o, probe))
            continue;
        any = true;
        taken[o_len] = true;
    }
    pthread_mutex_unlock(&cobj->mtx);
    if (!any)
        return 0;
    for (unsigned len = min_len + 1u; len <= max_len; ++len)
        if (!taken[len])
            return static_cast<uint8_t>(len);
    return 0xFF;
}

void comm_forget_orphans(comm_obj_t *cobj)
{
    if (cobj == nullptr)
        return;
    pthread_mutex_lock(&cobj->mtx);
    cobj->n_orphans = 0;
    pthread_mutex_unlock(&cobj->mtx);
}

void comm_refused(comm_obj_t *cobj, uint8_t cmd)
{
    if (cobj == nullptr || !is_ready(cobj))
        return;
    pthread_mutex_lock(&cobj->mtx);
    bool older = false;
    for (unsigned i = 0; i < cobj->n_orphans; ++i)
        older = older || !(cobj->orphans[i].flags & COMM_MATCH_CMD) || cobj->orphans[i].cmd == cmd;
    if (cobj->waiting && (cobj->ident.flags & COMM_MATCH_CMD) && cobj->ident.cmd == cmd && !older) {
        cobj->refused = 1;
        pthread_cond_signal(&cobj->cond);
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

    comm_ident_t id = ident_of(cobj);
    cobj->expect_len = 0;
    cobj->len_hint = 0;
    if (!in_resync && has_colliding_orphan(cobj, id)) {
        // An answer to this request could not be told from the late answer
        // of one that timed out: first make sure no such answer is on its
        // way. The resync may use this very object, so keep the request.
        const hdlc_msg_t req = cobj->req;
        const size_t req_sz = cobj->req_data_sz;
        const time_t timeout = cobj->timeout;
        const comm_match_t match = cobj->match;
        in_resync = true;
        const int rc = comm_resync();
        in_resync = false;
        cobj->req = req;
        cobj->req_data_sz = req_sz;
        cobj->timeout = timeout;
        cobj->match = match;
        if (rc != 0)
            return rc;
        forget_colliding_orphans(cobj, id);
    }

    pthread_mutex_lock(&cobj->mtx);
    // An acknowledgement that came while nobody waited must not answer this
    // request.
    cobj->ack_arrived = 0;
    cobj->refused = 0;
    cobj->ident = id;

    size_t payload = cobj->req_data_sz;
    if (payload > HDLC_MSG_DATA_SIZE)
        payload = HDLC_MSG_DATA_SIZE;
    tx_failed = false;
    hdlc_tx_frame(reinterpret_cast<const uint8_t *>(&cobj->req), static_cast<uint8_t>(payload + 2));
    if (tx_failed || comm_link_down()) {
        pthread_mutex_unlock(&cobj->mtx);
        return tx_failed && !comm_link_down() ? EIO : ENODEV;
    }
    cobj->waiting = 1;
    set_waiter(cobj);

    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timespec deadline;
    deadline.tv_sec = now.tv_sec + cobj->timeout;
    deadline.tv_nsec = static_cast<long>(now.tv_usec) * 1000L;

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
    } else if (rc == ETIMEDOUT) {
        // Its answer may still come: it must not complete a later request.
        add_orphan(cobj, id);
        std::fputs("send_rq timed out\n", stderr);
        std::fflush(stderr);
        result = ETIMEDOUT;
    } else {
        add_orphan(cobj, id);
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
    int orphan;
    if (cobj->waiting && fits(cobj->ident, msg, size)) {
        // The answer to the waiting request.
    } else if ((orphan = orphan_for(cobj, msg, size)) >= 0) {
        // The late answer of a request that timed out: it has now arrived,
        // and goes nowhere.
        remove_orphan(cobj, static_cast<unsigned>(orphan));
        pthread_mutex_unlock(&cobj->mtx);
        return;
    } else if (cobj->waiting) {
        // Not what the waiting request asked for.
        pthread_mutex_unlock(&cobj->mtx);
        return;
    }
    std::memcpy(&cobj->ack, msg, static_cast<size_t>(size));
    cobj->ack_len = static_cast<uint8_t>(size);
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
