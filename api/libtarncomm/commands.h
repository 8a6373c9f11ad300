// Request/acknowledge exchange with the box: the message record, the exchange
// object of one firmware service, send_req (caller's thread) and process_ack
// (receiver thread). The services' codes are in the catalogue.
#ifndef TARNCOMM_COMMANDS_H
#define TARNCOMM_COMMANDS_H

#include <pthread.h>
#include <time.h>

#include "common.h"
#include "hdlc.h"

constexpr unsigned HDLC_MSG_DATA_SIZE = 60;
constexpr unsigned HDLC_MSG_SIZE = 62;

struct hdlc_msg_hdr {
    uint8_t type;
    uint8_t cmd;
} TARN_PACKED;
static_assert(sizeof(hdlc_msg_hdr_t) == 2, "hdlc_msg_hdr is 2 bytes");

// Exactly the content of one frame: header and 60 payload bytes.
typedef struct hdlc_msg {
    hdlc_msg_hdr_t hdr;
    uint8_t data[HDLC_MSG_DATA_SIZE];
} TARN_PACKED hdlc_msg_t;
static_assert(sizeof(hdlc_msg_t) == 62, "hdlc_msg is 62 bytes");

// How an answer is tied to its request beyond its type and cmd: only what
// the box promises to echo. An answer that does not echo it is not this
// request's.
enum comm_match_flags : uint8_t {
    COMM_MATCH_CMD = 1, // the answer's cmd repeats the request cmd (power on and off share an object)
};
typedef struct comm_match {
    uint8_t ack_off; // first echoed byte in the answer payload
    uint8_t req_off; // the request payload byte it echoes
    uint8_t len;     // echoed bytes (0: the answer carries nothing of the request)
    uint8_t flags;   // comm_match_flags
} comm_match_t;

// What tells one request's answer from another's: the cmd (when echoed) and
// the echoed bytes. For a request that timed out, also how long its late
// answer is waited for.
constexpr unsigned COMM_KEY_MAX = 16;
typedef struct comm_ident {
    uint8_t cmd;
    uint8_t flags;   // comm_match_flags of the request
    uint8_t ack_off; // where the key sits in the answer payload
    uint8_t key_len;
    uint8_t key[COMM_KEY_MAX];
    struct timespec until; // end of the late-answer horizon (wall clock)
    unsigned line;         // the line it was sent on (comm_set_link_up counts them)
} comm_ident_t;

// Requests that timed out and whose answer has not been seen, within their
// horizon: a later request that an answer of theirs could be taken for waits
// (quarantine) until that answer has come and been dropped, or the horizon
// has passed.
constexpr unsigned COMM_ORPHANS_MAX = 8;

// Beyond its own time-out, a request's answer is waited for at least this
// long, and never less than the time-out again.
constexpr time_t COMM_HORIZON_MIN_S = 4;

// The exchange object of one service. Fields up to ack are the classic layout,
// in order; the fields after it were added for safe waiting and delivery.
typedef struct comm_obj {
    pthread_t thread;      // thread that initialised the object; recorded only
    pthread_mutex_t mtx;   // held by the sender from before the request goes out until its wait begins
    pthread_cond_t cond;   // signalled when an acknowledgement has been stored or a late one dropped
    time_t timeout;        // wait limit in whole seconds (1 after init)
    size_t req_data_sz;    // request payload bytes after the header, 0..60
    hdlc_msg_t req;        // the request
    size_t ack_data_sz;    // always 0: the exchange does not record the ack length
    hdlc_msg_t ack;        // last acknowledgement delivered, header included
    // Arrival flag, under mtx: cleared by send_req before the request goes
    // out, set by process_ack. A wake-up without it is not an answer.
    int ack_arrived;
    // Set (atomically, last) by init_comm_obj. process_ack drops deliveries to
    // an object that was never initialised.
    int ready;
    // How answers echo requests (from the service catalogue). Main thread.
    comm_match_t match;
    // Under mtx: whether a request waits and what its answer must echo, a
    // refusal of the waiting request, and the requests that timed out
    // without their answer seen yet.
    int waiting;
    comm_ident_t ident;
    int refused;
    unsigned n_orphans;
    comm_ident_t orphans[COMM_ORPHANS_MAX];
} comm_obj_t;

// Sets the object to zero, records the calling thread, initialises mtx and
// cond with default attributes, timeout 1 s, req.hdr = (req_type, req_cmd),
// ack.hdr = (ack_type, ack_cmd), and marks the object ready for deliveries.
// Once per object, before deliveries to it can race with it (the catalogue
// sets up the services' objects).
void init_comm_obj(comm_obj_t *cobj, uint8_t req_type, uint8_t req_cmd, uint8_t ack_type, uint8_t ack_cmd);

// Sends cobj->req (header and req_data_sz payload bytes) as one frame and waits
// until process_ack delivers an acknowledgement or timeout seconds of wall
// clock have passed. 0: arrived (cobj->ack holds it); 110 (ETIMEDOUT) with
// "send_rq timed out\n" on stderr; 22 (EINVAL) with "send_rq failed\n" on stderr
// when the wait failed otherwise (also for a null or uninitialised object);
// 19 (ENODEV) when the link is down; 5 (EIO) when the frame could not be
// written (the frame output said so). A request whose answer could be taken
// for the late answer of one that timed out on the same object is held back
// first, until that answer has come or its horizon has passed; nothing is
// printed for that wait.
int send_req(comm_obj_t *cobj);

// As send_req, and on success copies the acknowledgement that completed the
// request to *ack while still holding the object's lock, so a later delivery
// cannot change it under the caller. The services decode from this copy.
int send_req_get_ack(comm_obj_t *cobj, hdlc_msg_t *ack);

// ---- Link state ------------------------------------------------------------
// The converter has gone (unplugged, or the driver reports it lost): every
// send_req returns ENODEV (19) at once, without a message, and a request
// waiting for its answer ends with ENODEV. Loops over many exchanges test
// comm_link_down() and stop; the front end prints one line for the event.
bool comm_link_down(void);
// Marks the link as gone and wakes the request waiting, if any (taking its
// object's lock: never call it holding the transmit lock while a request
// may be waiting, e.g. from the receiver thread's ping echo). True only
// for the call that changed the state; that call first prints message (if
// not null) on stderr, so the event is one line, ahead of anything the
// ended request prints.
bool comm_set_link_down(const char *message = nullptr);
// A fresh line (reconnected): requests go out again, and nothing sent on
// the old line is waited for any more (every outstanding record is void).
void comm_set_link_up(void);

// The box refused a call with this cmd (it said so in a debug text naming
// it). If a call with that cmd timed out and is still within its horizon,
// this is that call's refusal, which now counts as its answer; otherwise it
// ends the request waiting on cobj with that cmd with EREMOTEIO (121).
// Receiver thread.
void comm_refused(comm_obj_t *cobj, uint8_t cmd);

// Called by the frame output, on the thread that sends, when a frame could
// not be written whole (it has printed why). send_req then returns EIO (5)
// without waiting for an answer that cannot come.
void comm_tx_failed(void);

// Stores size bytes of msg (clamped to 0..62) over the start of cobj->ack,
// sets the arrival flag and wakes the sender. Bytes beyond size keep what
// earlier acknowledgements left. Receiver thread only; dropped for a null or
// never initialised object. An answer that does not echo what the waiting
// request sent, or that belongs to a request that timed out, is dropped:
// it never completes another request.
void process_ack(comm_obj_t *cobj, hdlc_msg_t *msg, int size);

// Sets the request cmd and the expected acknowledgement cmd under the object's
// lock (for services whose cmd is chosen per call).
void comm_obj_set_cmd(comm_obj_t *cobj, uint8_t req_cmd, uint8_t ack_cmd);

// Request payload sizes (req_data_sz) of the fixed services.
constexpr size_t MSG_SZ_WUP_CTL = 1;
constexpr size_t MSG_SZ_MDIO = 4;
constexpr size_t MSG_SZ_PING = 16;
constexpr size_t MSG_SZ_SMI = 2;
constexpr size_t MSG_SZ_E2P_HDR = 3;
constexpr size_t MSG_SZ_CAN_SPEED = 11;
constexpr size_t MSG_SZ_CAN_MODE = 1;
constexpr size_t MSG_SZ_CAN_WAKEUP = 5;
constexpr size_t MSG_SZ_ETH_WAKEUP = 8;
constexpr size_t MSG_SZ_CAN_LCMODE = 1;
constexpr size_t MSG_SZ_RMT_HDR = 4;

#endif
