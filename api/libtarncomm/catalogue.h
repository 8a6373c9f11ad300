// The service catalogue: every firmware service the console exchanges with
// the box is one row of one table, and that row is all there is to say about
// it: request and answer codes, and how its answer is tied to its request.
// The catalogue owns the services' exchange objects and sets them up from
// the rows; the services, the console's frame router and the tests all reach
// them through comm_service.
#ifndef TARNCOMM_CATALOGUE_H
#define TARNCOMM_CATALOGUE_H

#include "commands.h"

// One enumerator per exchange object, in the order of the table's rows.
enum class svc : uint8_t {
    comm_pwr_ctl, // power on and off: one object, two rows that differ in cmd
    comm_bl_enable,
    comm_bl_disable,
    comm_wup_ctl,
    comm_fwv_read,
    comm_fwd_read,
    comm_bls_read,
    comm_blv_read,
    comm_hk_status,
    can_get_lcmode_ctl,
    comm_mdio_write,
    comm_mdio_read,
    comm_ping,
    comm_smi_write,
    comm_smi_read,
    comm_e2p_write,
    comm_e2p_read,
    can_set_speed_ctl,
    can_get_speed_ctl,
    can_set_filter_mask_ctl,
    can_get_filter_mask_ctl,
    can_trace_enable_ctl,
    can_trace_disable_ctl,
    can_set_mode_ctl,
    can_get_mode_ctl,
    can_reset_ctl,
    can_reinit_ctl,
    can_wakeup_read,
    can_wakeup_write,
    comm_eth_wakeup_read,
    comm_eth_wakeup_write,
    can_set_lcmode_ctl,
    comm_rmt_func, // request cmd: the function number, chosen per call
    count          // not a service: how many there are
};

// The exchange object of a service, set up from its row on first use (by
// any thread): nobody can hold one that is not ready.
comm_obj_t *comm_service(svc id);

// The request cmd of the service's nth row (power: 0 on, 1 off).
uint8_t comm_service_cmd(svc id, unsigned nth = 0);

// Type of the console's echo of the box's ping.
constexpr uint8_t MSG_TYPE_GEN_ACK = 0xF1;

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
