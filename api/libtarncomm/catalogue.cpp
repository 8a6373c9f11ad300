// The service catalogue: one row per service (two for power), the exchange
// objects set up from them, and the routing of a received frame.
#include "catalogue.h"

#include <array>
#include <cstddef>
#include <iterator>

namespace {

// Request and answer types.
constexpr uint8_t CTL_RQ = 0x50, CTL_ACK = 0x5F;   // power, bootloader enable, wake-up line
constexpr uint8_t INFO_RQ = 0x60, INFO_ACK = 0x6F; // identification, status; CAN reads answer here too
constexpr uint8_t GEN_RQ = 0xF0, GEN_ACK = MSG_TYPE_GEN_ACK;
constexpr uint8_t RMT_RQ = 0xF2, RMT_ACK = 0xF3;   // remote functions

// The box's own frames.
constexpr uint8_t CMD_DBG = 0x03;     // debug text, 0xF0 request or 0xF1 response
constexpr uint8_t CMD_PING = 0x04;    // the box's ping, echoed as 0xF1
constexpr uint8_t CMD_CAN_MSG = 0x4D; // 0x6F: a CAN trace record

struct service_row {
    svc id;
    uint8_t req_type;
    uint8_t cmd;       // request and answer cmd (remote functions: the function, set per call)
    uint8_t ack_type;
    uint8_t ack_type2; // a second answer type the box may use (0: none)
    bool any_cmd;      // every cmd of ack_type is this service's answer
    comm_match_t match;
};

// Answers that echo nothing of their request.
constexpr comm_match_t none{};
// Answers that repeat the first n request payload bytes.
constexpr comm_match_t echo(uint8_t n) { return {0, 0, n, 0}; }
// Answers that repeat the request cmd.
constexpr comm_match_t same_cmd{0, 0, 0, COMM_MATCH_CMD};

// What each answer is promised to echo: MDIO its PHY and register, an SMI
// read its register, the EEPROM its address, the ping its time stamp, power
// on and off (one object) the cmd. Nothing else: a remote function's answer
// may carry any cmd and a return block of any length. Every object starts
// with a 1 s time-out; remote functions set theirs per call.
constexpr service_row rows[] = {
    // service, request type and cmd, answer type, a second answer type, any cmd, echo
    {svc::comm_pwr_ctl, CTL_RQ, 0x10, CTL_ACK, 0, false, same_cmd}, // on
    {svc::comm_pwr_ctl, CTL_RQ, 0x1F, CTL_ACK, 0, false, same_cmd}, // off
    {svc::comm_bl_enable, CTL_RQ, 0x20, CTL_ACK, 0, false, none},
    {svc::comm_bl_disable, CTL_RQ, 0x2F, CTL_ACK, 0, false, none},
    {svc::comm_wup_ctl, CTL_RQ, 0x30, CTL_ACK, 0, false, none},
    {svc::comm_fwv_read, INFO_RQ, 0x80, INFO_ACK, 0, false, none},
    {svc::comm_fwd_read, INFO_RQ, 0x81, INFO_ACK, 0, false, none},
    {svc::comm_bls_read, INFO_RQ, 0x82, INFO_ACK, 0, false, none},
    {svc::comm_blv_read, INFO_RQ, 0x83, INFO_ACK, 0, false, none},
    {svc::comm_hk_status, INFO_RQ, 0x71, INFO_ACK, 0, false, none},
    {svc::can_get_lcmode_ctl, INFO_RQ, 0x62, INFO_ACK, 0, false, none},
    {svc::comm_mdio_write, GEN_RQ, 0x01, GEN_ACK, 0, false, echo(2)},
    {svc::comm_mdio_read, GEN_RQ, 0x02, GEN_ACK, 0, false, echo(2)},
    {svc::comm_ping, GEN_RQ, 0x04, GEN_ACK, 0, false, echo(MSG_SZ_PING)},
    {svc::comm_smi_write, GEN_RQ, 0x05, GEN_ACK, 0, false, none},
    {svc::comm_smi_read, GEN_RQ, 0x06, GEN_ACK, 0, false, echo(1)},
    {svc::comm_e2p_write, GEN_RQ, 0x08, GEN_ACK, 0, false, echo(2)},
    {svc::comm_e2p_read, GEN_RQ, 0x09, GEN_ACK, 0, false, echo(2)},
    {svc::can_set_speed_ctl, GEN_RQ, 0x41, GEN_ACK, 0, false, none},
    {svc::can_get_speed_ctl, GEN_RQ, 0x42, INFO_ACK, GEN_ACK, false, none},
    {svc::can_set_filter_mask_ctl, GEN_RQ, 0x47, GEN_ACK, 0, false, none},
    {svc::can_get_filter_mask_ctl, GEN_RQ, 0x48, INFO_ACK, GEN_ACK, false, none},
    {svc::can_trace_enable_ctl, GEN_RQ, 0x49, GEN_ACK, 0, false, none},
    {svc::can_trace_disable_ctl, GEN_RQ, 0x4A, GEN_ACK, 0, false, none},
    {svc::can_set_mode_ctl, GEN_RQ, 0x4B, GEN_ACK, 0, false, none},
    {svc::can_get_mode_ctl, GEN_RQ, 0x4C, GEN_ACK, 0, false, none},
    {svc::can_reset_ctl, GEN_RQ, 0x50, GEN_ACK, 0, false, none},
    {svc::can_reinit_ctl, GEN_RQ, 0x51, GEN_ACK, 0, false, none},
    {svc::can_wakeup_read, GEN_RQ, 0x52, GEN_ACK, 0, false, none},
    {svc::can_wakeup_write, GEN_RQ, 0x53, GEN_ACK, 0, false, none},
    {svc::comm_eth_wakeup_read, GEN_RQ, 0x60, GEN_ACK, 0, false, none},
    {svc::comm_eth_wakeup_write, GEN_RQ, 0x61, GEN_ACK, 0, false, none},
    {svc::can_set_lcmode_ctl, GEN_RQ, 0x62, GEN_ACK, 0, false, none},
    {svc::comm_rmt_func, RMT_RQ, 0x00, RMT_ACK, 0, true, none},
};

constexpr size_t n_services = static_cast<size_t>(svc::count);

// Whether row i is the first of its service.
constexpr bool first_of_its_service(size_t i) { return i == 0 || rows[i - 1].id != rows[i].id; }

// Every service has its rows, next to each other and in the order of svc:
// the objects are indexed by svc, and a service without a row would have no
// codes.
constexpr bool rows_follow_svc()
{
    size_t services = 0;
    for (size_t i = 0; i < std::size(rows); ++i) {
        if (first_of_its_service(i) && static_cast<size_t>(rows[i].id) != services++)
            return false;
    }
    return services == n_services;
}
static_assert(rows_follow_svc(), "one row or more for every svc, in the order of svc");

struct service_objects {
    std::array<comm_obj_t, n_services> obj;
    service_objects()
    {
        for (size_t i = 0; i < std::size(rows); ++i) {
            if (!first_of_its_service(i))
                continue;
            const service_row &r = rows[i];
            comm_obj_t *o = &obj[static_cast<size_t>(r.id)];
            init_comm_obj(o, r.req_type, r.cmd, r.ack_type, r.cmd);
            o->match = r.match;
        }
    }
};

// The service an answer of this type and cmd belongs to, or null.
const service_row *row_for_ack(uint8_t type, uint8_t cmd)
{
    for (const service_row &r : rows)
        if ((type == r.ack_type || (r.ack_type2 != 0 && type == r.ack_type2)) && (r.any_cmd || cmd == r.cmd))
            return &r;
    return nullptr;
}

} // namespace

comm_obj_t *comm_service(svc id)
{
    // Built by the first caller, whichever thread that is (a service call or
    // the router); any other waits until every object is set up.
    static service_objects all;
    const size_t i = static_cast<size_t>(id);
    return i < n_services ? &all.obj[i] : nullptr;
}

uint8_t comm_service_cmd(svc id, unsigned nth)
{
    for (const service_row &r : rows)
        if (r.id == id && nth-- == 0)
            return r.cmd;
    return 0;
}

comm_route_t comm_route_frame(uint8_t type, uint8_t cmd)
{
    auto ack = [&]() -> comm_route_t {
        const service_row *r = row_for_ack(type, cmd);
        return r != nullptr ? comm_route_t{COMM_ROUTE_ACK, comm_service(r->id)} : comm_route_t{COMM_ROUTE_DROP, nullptr};
    };
    switch (type) {
    case INFO_ACK:
        return cmd == CMD_CAN_MSG ? comm_route_t{COMM_ROUTE_CAN, nullptr} : ack();
    case RMT_ACK:
    case CTL_ACK:
        return ack();
    case GEN_RQ:
        if (cmd == CMD_DBG)
            return {COMM_ROUTE_DEBUG_RQ, nullptr};
        return {cmd == CMD_PING ? COMM_ROUTE_PING : COMM_ROUTE_DROP, nullptr};
    case GEN_ACK:
        return cmd == CMD_DBG ? comm_route_t{COMM_ROUTE_DEBUG_RSP, nullptr} : ack();
    default:
        return {COMM_ROUTE_UNKNOWN, nullptr};
    }
}
