// The service catalogue: every firmware service the console exchanges with
// the box, in one table: its request and answer codes, its exchange object,
// its time-out and how its answer is tied to its request. The front end's
// frame router finds the object of an answer here; the services' objects are
// set up from here, all at once.
#ifndef TARNCOMM_CATALOGUE_H
#define TARNCOMM_CATALOGUE_H

#include <cstddef>

#include "commands.h"

typedef struct comm_service {
    const char *name;  // the exchange object's name
    comm_obj_t *obj;   // its exchange object
    uint8_t req_type;  // request type and cmd (the cmd of the first call for
    uint8_t req_cmd;   //   services that choose it per call)
    uint8_t ack_type;  // answer type and cmd
    uint8_t ack_cmd;
    uint8_t ack_type2; // a second answer type the box may use (0: none)
    bool any_cmd;      // every cmd of ack_type is this service's answer
    uint8_t timeout;   // seconds (remote functions set theirs per call)
    comm_match_t match;
} comm_service_t;

extern const comm_service_t comm_services[];
extern const size_t comm_services_count;

// Sets up every exchange object of the catalogue, once; later calls do
// nothing. Main thread (the first service call), before the router delivers.
void comm_catalogue_init(void);

// A service's one-time initialisation: the service keeps a pointer, null
// until its first call, which points it at obj after every object of the
// catalogue has been set up from its row (codes, time-out, what its answer
// echoes). Returns the pointer. Services run on the main thread only.
comm_obj_t *comm_obj_once(comm_obj_t *&cobj, comm_obj_t &obj);

// The service an answer of this type and cmd belongs to, or null.
const comm_service_t *comm_service_for_ack(uint8_t type, uint8_t cmd);

// What a received frame is, by its type and cmd: the answer of a service
// (obj is its exchange object), one of the box's own frames, a frame of a
// known type with a cmd no one takes (dropped without a word), or a frame of
// a type the console does not know. The console's router and the tests'
// fake box both decide with this; each keeps only its actions.
enum comm_route_kind {
    COMM_ROUTE_DROP,
    COMM_ROUTE_ACK,       // deliver to obj with process_ack
    COMM_ROUTE_DEBUG_RQ,  // the box's debug text, 0xF0/0x03
    COMM_ROUTE_DEBUG_RSP, // debug text as a response, 0xF1/0x03
    COMM_ROUTE_PING,      // the box's ping, 0xF0/0x04: echoed as 0xF1
    COMM_ROUTE_CAN,       // a CAN trace record, 0x6F/0x4D
    COMM_ROUTE_UNKNOWN,   // a type the console does not know
};
typedef struct comm_route {
    comm_route_kind kind;
    comm_obj_t *obj; // COMM_ROUTE_ACK only
} comm_route_t;
comm_route_t comm_route_frame(uint8_t type, uint8_t cmd);

#endif
