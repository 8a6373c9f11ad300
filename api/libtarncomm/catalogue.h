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

// The service an answer of this type and cmd belongs to, or null.
const comm_service_t *comm_service_for_ack(uint8_t type, uint8_t cmd);

#endif
