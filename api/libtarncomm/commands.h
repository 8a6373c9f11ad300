// Request/acknowledge exchange with the box: the message record, the exchange
// object of one firmware service, send_req (caller's thread) and process_ack
// (receiver thread), and the catalogue of message types and cmds.
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

// How an answer is tied to its request beyond its type and cmd: the request
// bytes it echoes. An answer that does not echo them is not this request's.
enum comm_match_flags : uint8_t {
    COMM_MATCH_CMD = 1,       // the answer's cmd repeats the request cmd (remote functions)
    COMM_MATCH_E2P_COUNT = 2, // payload byte 2 is a count of at most the one asked for
    COMM_MATCH_TAGGABLE = 4,  // the service can make a request distinct by the answer length
};
typedef struct comm_match {
    uint8_t ack_off; // first echoed byte in the answer payload
    uint8_t req_off; // the request payload byte it echoes
    uint8_t len;     // echoed bytes (0: the answer carries nothing of the request)
    uint8_t flags;   // comm_match_flags
} comm_match_t;

// What tells one request's answer from another's: the cmd, the echoed
// bytes, and (when the service asked for it) the exact answer length.
constexpr unsigned COMM_KEY_MAX = 32;
typedef struct comm_ident {
    uint8_t cmd;
    uint8_t flags;    // comm_match_flags of the request
    uint8_t ack_off;  // where the key sits in the answer payload
    uint8_t len;      // exact content length the answer must have; 0: any
    uint8_t len_hint; // content length the answer is expected to have; 0: unknown
    uint8_t count;    // COMM_MATCH_E2P_COUNT: the count asked for
    uint8_t key_len;
    uint8_t key[COMM_KEY_MAX];
} comm_ident_t;

// Requests that timed out and whose answer has not been seen: an answer that
// fits one of them is taken out of the way, never given to another request.
constexpr unsigned COMM_ORPHANS_MAX = 8;

// The exchange object of one service. Fields up to ack are the classic layout,
// in order; the fields after it were added for safe waiting and delivery.
typedef struct comm_obj {
    pthread_t thread;      // thread that initialised the object; recorded only
    pthread_mutex_t mtx;   // held by the sender from before the request goes out until its wait begins
    pthread_cond_t cond;   // signalled when an acknowledgement has been stored
    time_t timeout;        // wait limit in whole seconds (1 after init)
    size_t req_data_sz;    // request payload bytes after the header, 0..60
    hdlc_msg_t req;        // the request
    size_t ack_data_sz;    // always 0: the exchange does not record the ack length
    hdlc_msg_t ack;        // last acknowledgement delivered, header included
    // Arrival flag, under mtx: cleared by send_req before the request goes
    // out, set by process_ack. A wake-up without it is not an answer.
    int ack_arrived;
    // Set (atomically, last) by init_comm_obj. process_ack drops deliveries to
    // an object that was never initialised: the router knows every object,
    // but a service initialises its object only on its first call.
    int ready;
    // How answers echo requests (from the service catalogue; a service whose
    // echo depends on the call sets it before sending). Main thread.
    comm_match_t match;
    // Exact answer length the next request asks for (0: any) and the length
    // its answer is expected to have (0: unknown); set by the service before
    // sending, cleared by send_req. Main thread.
    uint8_t expect_len;
    uint8_t len_hint;
    // Under mtx: whether a request waits and what its answer must look like,
    // the length of the last answer stored, a refusal of the waiting request,
    // and the requests that timed out without their answer seen yet.
    int waiting;
    comm_ident_t ident;
    uint8_t ack_len;
    int refused;
    unsigned n_orphans;
    comm_ident_t orphans[COMM_ORPHANS_MAX];
} comm_obj_t;

// Static initialiser for the global exchange objects: a valid, unlocked mutex
// and condition before init_comm_obj, so a stray delivery finds sane locks.
#define COMM_OBJ_INITIALIZER                                                                                       \
    {                                                                                                              \
        {}, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, {}, 0, {}, 0, 0, {}, 0, 0, 0, {}, 0, 0, 0, {} \
    }

// Sets the object to zero, records the calling thread, initialises mtx and
// cond with default attributes, timeout 1 s, req.hdr = (req_type, req_cmd),
// ack.hdr = (ack_type, ack_cmd), and marks the object ready for deliveries.
// Once per object (services keep a static pointer), before deliveries to it
// can race with it.
void init_comm_obj(comm_obj_t *cobj, uint8_t req_type, uint8_t req_cmd, uint8_t ack_type, uint8_t ack_cmd);

// A service's one-time initialisation: the service keeps a pointer, null
// until its first call, which points it at obj. Every object of the service
// catalogue is initialised there, once, with its codes, time-out and answer
// matching; an object outside the catalogue is initialised here with the
// codes given. Returns the pointer. Services run on the main thread only.
comm_obj_t *comm_obj_once(comm_obj_t *&cobj, comm_obj_t &obj, uint8_t req_type, uint8_t req_cmd, uint8_t ack_type,
                          uint8_t ack_cmd);

// Sends cobj->req (header and req_data_sz payload bytes) as one frame and waits
// until process_ack delivers an acknowledgement or timeout seconds of wall
// clock have passed. 0: arrived (cobj->ack holds it); 110 (ETIMEDOUT) with
// "send_rq timed out\n" on stderr; 22 (EINVAL) with "send_rq failed\n" on stderr
// when the wait failed otherwise (also for a null or uninitialised object);
// 19 (ENODEV) when the link is down; 5 (EIO) when the frame could not be
// written (the frame output said so).
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
// Marks the link as gone and wakes the request waiting, if any. True only
// for the call that changed the state; that call first prints message (if
// not null) on stderr, so the event is one line, ahead of anything the
// ended request prints.
bool comm_set_link_down(const char *message = nullptr);
// A fresh line (reconnected): requests go out again, and nothing sent on
// the old line is waited for any more.
void comm_set_link_up(void);

// For the request in cobj->req, whose answer would have min_len content
// bytes: 0 when no request that timed out could have an answer like its;
// otherwise the smallest content length above min_len (up to max_len) that
// none of those answers will have, for a service that can ask for an answer
// of that length; 0xFF when every such length is taken. Main thread.
uint8_t comm_distinct_len(comm_obj_t *cobj, uint8_t min_len, uint8_t max_len);

// Re-synchronisation of the link, run by send_req before a request whose
// answer could not be told from that of a request that timed out: one
// exchange whose answer is unique, proving that all the box sent before it
// has arrived. 0 when done, else the failed exchange's code. Defined with
// the service catalogue.
int comm_resync(void);
// The box refused the request waiting on cobj with this cmd (it said so in a
// debug text naming it). Ends that request with EREMOTEIO (121) only when no
// older request with the same cmd is outstanding, so that the refusal cannot
// be an older one's; otherwise nothing happens. Receiver thread.
void comm_refused(comm_obj_t *cobj, uint8_t cmd);

// Forgets the outstanding requests of objects whose answers cannot be told
// apart by length (after a resync proved them lost).
void comm_forget_orphans(comm_obj_t *cobj);

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

// ---- Message catalogue ---------------------------------------------------
// Request types and their acknowledgement types.
constexpr uint8_t MSG_TYPE_CTL_RQ = 0x50;   // power, bootloader enable, wake-up line
constexpr uint8_t MSG_TYPE_CTL_ACK = 0x5F;
constexpr uint8_t MSG_TYPE_INFO_RQ = 0x60;  // identification and status reads
constexpr uint8_t MSG_TYPE_INFO_ACK = 0x6F; // also CAN speed/filter read acks and CAN trace records
constexpr uint8_t MSG_TYPE_GEN_RQ = 0xF0;   // registers, EEPROM, ping, CAN, eth wake-up; box's debug/ping
constexpr uint8_t MSG_TYPE_GEN_ACK = 0xF1;
constexpr uint8_t MSG_TYPE_RMT_RQ = 0xF2;   // remote function calls
constexpr uint8_t MSG_TYPE_RMT_ACK = 0xF3;

// cmds of type 0x50 / 0x5F
constexpr uint8_t MSG_CMD_PWR_ON = 0x10;
constexpr uint8_t MSG_CMD_PWR_OFF = 0x1F;
constexpr uint8_t MSG_CMD_BL_ENABLE = 0x20;
constexpr uint8_t MSG_CMD_BL_DISABLE = 0x2F;
constexpr uint8_t MSG_CMD_WUP_CTL = 0x30;
// cmds of type 0x60 / 0x6F
constexpr uint8_t MSG_CMD_CAN_GET_LCMODE = 0x62;
constexpr uint8_t MSG_CMD_HK_STATUS = 0x71;
constexpr uint8_t MSG_CMD_FWV_READ = 0x80;
constexpr uint8_t MSG_CMD_FWD_READ = 0x81;
constexpr uint8_t MSG_CMD_BLS_READ = 0x82;
constexpr uint8_t MSG_CMD_BLV_READ = 0x83;
constexpr uint8_t MSG_CMD_CAN_MSG = 0x4D;   // 0x6F / 0x4D: CAN trace record sent by the box
// cmds of type 0xF0 / 0xF1
constexpr uint8_t MSG_CMD_MDIO_WRITE = 0x01;
constexpr uint8_t MSG_CMD_MDIO_READ = 0x02;
constexpr uint8_t MSG_CMD_DBG = 0x03;       // box's debug text (0xF0 request, 0xF1 response)
constexpr uint8_t MSG_CMD_PING = 0x04;      // console's ping, and the box's ping to be echoed
constexpr uint8_t MSG_CMD_SMI_WRITE = 0x05;
constexpr uint8_t MSG_CMD_SMI_READ = 0x06;
constexpr uint8_t MSG_CMD_E2P_WRITE = 0x08;
constexpr uint8_t MSG_CMD_E2P_READ = 0x09;
constexpr uint8_t MSG_CMD_CAN_SET_SPEED = 0x41;
constexpr uint8_t MSG_CMD_CAN_GET_SPEED = 0x42;      // ack 0x6F/0x42 (0xF1/0x42 too)
constexpr uint8_t MSG_CMD_CAN_SET_FILTER_MASK = 0x47;
constexpr uint8_t MSG_CMD_CAN_GET_FILTER_MASK = 0x48; // ack 0x6F/0x48
constexpr uint8_t MSG_CMD_CAN_TRACE_ENABLE = 0x49;
constexpr uint8_t MSG_CMD_CAN_TRACE_DISABLE = 0x4A;
constexpr uint8_t MSG_CMD_CAN_SET_MODE = 0x4B;
constexpr uint8_t MSG_CMD_CAN_GET_MODE = 0x4C;
constexpr uint8_t MSG_CMD_CAN_RESET = 0x50;
constexpr uint8_t MSG_CMD_CAN_REINIT = 0x51;
constexpr uint8_t MSG_CMD_CAN_WAKEUP_READ = 0x52;
constexpr uint8_t MSG_CMD_CAN_WAKEUP_WRITE = 0x53;
constexpr uint8_t MSG_CMD_ETH_WAKEUP_READ = 0x60;
constexpr uint8_t MSG_CMD_ETH_WAKEUP_WRITE = 0x61;
constexpr uint8_t MSG_CMD_CAN_SET_LCMODE = 0x62;

// Request payload sizes (req_data_sz) of the fixed services.
constexpr size_t MSG_SZ_WUP_CTL = 1;
constexpr size_t MSG_SZ_MDIO = 4;
constexpr size_t MSG_SZ_PING = 16;
constexpr size_t MSG_SZ_SMI = 2;
constexpr size_t MSG_SZ_E2P_HDR = 3;
constexpr size_t MSG_SZ_E2P_MAX_DATA = 57;
constexpr size_t MSG_SZ_CAN_SPEED = 11;
constexpr size_t MSG_SZ_CAN_FILTER_MASK = 34;
constexpr size_t MSG_SZ_CAN_MODE = 1;
constexpr size_t MSG_SZ_CAN_WAKEUP = 5;
constexpr size_t MSG_SZ_ETH_WAKEUP = 8;
constexpr size_t MSG_SZ_CAN_LCMODE = 1;
constexpr size_t MSG_SZ_RMT_HDR = 4;

#endif
