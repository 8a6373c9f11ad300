// The service catalogue: every service's codes, time-out and what its answer
// echoes.
#include "catalogue.h"

#include <mutex>

#include "can.h"
#include "e2p.h"
#include "periphery.h"
#include "remote_func.h"

namespace {

// Answers that echo nothing of their request.
constexpr comm_match_t none{};
// Answers that repeat the first n request payload bytes.
constexpr comm_match_t echo(uint8_t n) { return {0, 0, n, 0}; }

constexpr uint8_t CTL_RQ = MSG_TYPE_CTL_RQ, CTL_ACK = MSG_TYPE_CTL_ACK;
constexpr uint8_t INFO_RQ = MSG_TYPE_INFO_RQ, INFO_ACK = MSG_TYPE_INFO_ACK;
constexpr uint8_t GEN_RQ = MSG_TYPE_GEN_RQ, GEN_ACK = MSG_TYPE_GEN_ACK;

} // namespace

// What each answer is promised to echo: MDIO its PHY and register, an SMI
// read its register, the EEPROM its address, the ping its time stamp, power
// on and off (one object) the cmd. Nothing else: a remote function's answer
// may carry any cmd and a return block of any length.
const comm_service_t comm_services[] = {
    // name                    object                    request               answer
    {"comm_pwr_ctl", &comm_pwr_ctl, CTL_RQ, MSG_CMD_PWR_ON, CTL_ACK, MSG_CMD_PWR_ON, 0, false, 1, {0, 0, 0, COMM_MATCH_CMD}},
    {"comm_pwr_ctl", &comm_pwr_ctl, CTL_RQ, MSG_CMD_PWR_OFF, CTL_ACK, MSG_CMD_PWR_OFF, 0, false, 1, {0, 0, 0, COMM_MATCH_CMD}},
    {"comm_bl_enable", &comm_bl_enable, CTL_RQ, MSG_CMD_BL_ENABLE, CTL_ACK, MSG_CMD_BL_ENABLE, 0, false, 1, none},
    {"comm_bl_disable", &comm_bl_disable, CTL_RQ, MSG_CMD_BL_DISABLE, CTL_ACK, MSG_CMD_BL_DISABLE, 0, false, 1, none},
    {"comm_wup_ctl", &comm_wup_ctl, CTL_RQ, MSG_CMD_WUP_CTL, CTL_ACK, MSG_CMD_WUP_CTL, 0, false, 1, none},
    {"comm_fwv_read", &comm_fwv_read, INFO_RQ, MSG_CMD_FWV_READ, INFO_ACK, MSG_CMD_FWV_READ, 0, false, 1, none},
    {"comm_fwd_read", &comm_fwd_read, INFO_RQ, MSG_CMD_FWD_READ, INFO_ACK, MSG_CMD_FWD_READ, 0, false, 1, none},
    {"comm_bls_read", &comm_bls_read, INFO_RQ, MSG_CMD_BLS_READ, INFO_ACK, MSG_CMD_BLS_READ, 0, false, 1, none},
    {"comm_blv_read", &comm_blv_read, INFO_RQ, MSG_CMD_BLV_READ, INFO_ACK, MSG_CMD_BLV_READ, 0, false, 1, none},
    {"comm_hk_status", &comm_hk_status, INFO_RQ, MSG_CMD_HK_STATUS, INFO_ACK, MSG_CMD_HK_STATUS, 0, false, 1, none},
    {"can_get_lcmode_ctl", &can_get_lcmode_ctl, INFO_RQ, MSG_CMD_CAN_GET_LCMODE, INFO_ACK, MSG_CMD_CAN_GET_LCMODE, 0, false, 1, none},
    {"comm_mdio_write", &comm_mdio_write, GEN_RQ, MSG_CMD_MDIO_WRITE, GEN_ACK, MSG_CMD_MDIO_WRITE, 0, false, 1, echo(2)},
    {"comm_mdio_read", &comm_mdio_read, GEN_RQ, MSG_CMD_MDIO_READ, GEN_ACK, MSG_CMD_MDIO_READ, 0, false, 1, echo(2)},
    {"comm_ping", &comm_ping, GEN_RQ, MSG_CMD_PING, GEN_ACK, MSG_CMD_PING, 0, false, 1, echo(MSG_SZ_PING)},
    {"comm_smi_write", &comm_smi_write, GEN_RQ, MSG_CMD_SMI_WRITE, GEN_ACK, MSG_CMD_SMI_WRITE, 0, false, 1, none},
    {"comm_smi_read", &comm_smi_read, GEN_RQ, MSG_CMD_SMI_READ, GEN_ACK, MSG_CMD_SMI_READ, 0, false, 1, echo(1)},
    {"comm_e2p_write", &comm_e2p_write, GEN_RQ, MSG_CMD_E2P_WRITE, GEN_ACK, MSG_CMD_E2P_WRITE, 0, false, 1, echo(2)},
    {"comm_e2p_read", &comm_e2p_read, GEN_RQ, MSG_CMD_E2P_READ, GEN_ACK, MSG_CMD_E2P_READ, 0, false, 1, echo(2)},
    {"can_set_speed_ctl", &can_set_speed_ctl, GEN_RQ, MSG_CMD_CAN_SET_SPEED, GEN_ACK, MSG_CMD_CAN_SET_SPEED, 0, false, 1, none},
    {"can_get_speed_ctl", &can_get_speed_ctl, GEN_RQ, MSG_CMD_CAN_GET_SPEED, INFO_ACK, MSG_CMD_CAN_GET_SPEED, GEN_ACK, false, 1, none},
    {"can_set_filter_mask_ctl", &can_set_filter_mask_ctl, GEN_RQ, MSG_CMD_CAN_SET_FILTER_MASK, GEN_ACK, MSG_CMD_CAN_SET_FILTER_MASK, 0, false, 1, none},
    {"can_get_filter_mask_ctl", &can_get_filter_mask_ctl, GEN_RQ, MSG_CMD_CAN_GET_FILTER_MASK, INFO_ACK, MSG_CMD_CAN_GET_FILTER_MASK, GEN_ACK, false, 1, none},
    {"can_trace_enable_ctl", &can_trace_enable_ctl, GEN_RQ, MSG_CMD_CAN_TRACE_ENABLE, GEN_ACK, MSG_CMD_CAN_TRACE_ENABLE, 0, false, 1, none},
    {"can_trace_disable_ctl", &can_trace_disable_ctl, GEN_RQ, MSG_CMD_CAN_TRACE_DISABLE, GEN_ACK, MSG_CMD_CAN_TRACE_DISABLE, 0, false, 1, none},
    {"can_set_mode_ctl", &can_set_mode_ctl, GEN_RQ, MSG_CMD_CAN_SET_MODE, GEN_ACK, MSG_CMD_CAN_SET_MODE, 0, false, 1, none},
    {"can_get_mode_ctl", &can_get_mode_ctl, GEN_RQ, MSG_CMD_CAN_GET_MODE, GEN_ACK, MSG_CMD_CAN_GET_MODE, 0, false, 1, none},
    {"can_reset_ctl", &can_reset_ctl, GEN_RQ, MSG_CMD_CAN_RESET, GEN_ACK, MSG_CMD_CAN_RESET, 0, false, 1, none},
    {"can_reinit_ctl", &can_reinit_ctl, GEN_RQ, MSG_CMD_CAN_REINIT, GEN_ACK, MSG_CMD_CAN_REINIT, 0, false, 1, none},
    {"can_wakeup_read", &can_wakeup_read, GEN_RQ, MSG_CMD_CAN_WAKEUP_READ, GEN_ACK, MSG_CMD_CAN_WAKEUP_READ, 0, false, 1, none},
    {"can_wakeup_write", &can_wakeup_write, GEN_RQ, MSG_CMD_CAN_WAKEUP_WRITE, GEN_ACK, MSG_CMD_CAN_WAKEUP_WRITE, 0, false, 1, none},
    {"comm_eth_wakeup_read", &comm_eth_wakeup_read, GEN_RQ, MSG_CMD_ETH_WAKEUP_READ, GEN_ACK, MSG_CMD_ETH_WAKEUP_READ, 0, false, 1, none},
    {"comm_eth_wakeup_write", &comm_eth_wakeup_write, GEN_RQ, MSG_CMD_ETH_WAKEUP_WRITE, GEN_ACK, MSG_CMD_ETH_WAKEUP_WRITE, 0, false, 1, none},
    {"can_set_lcmode_ctl", &can_set_lcmode_ctl, GEN_RQ, MSG_CMD_CAN_SET_LCMODE, GEN_ACK, MSG_CMD_CAN_SET_LCMODE, 0, false, 1, none},
    {"comm_rmt_func", &comm_rmt_func, MSG_TYPE_RMT_RQ, func_rmt_echo, MSG_TYPE_RMT_ACK, func_rmt_echo, 0, true, 1, none},
};
const size_t comm_services_count = sizeof comm_services / sizeof comm_services[0];

void comm_catalogue_init(void)
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (size_t i = 0; i < comm_services_count; ++i) {
            const comm_service_t &s = comm_services[i];
            bool seen = false;
            for (size_t j = 0; j < i; ++j)
                seen = seen || comm_services[j].obj == s.obj;
            if (seen)
                continue;
            init_comm_obj(s.obj, s.req_type, s.req_cmd, s.ack_type, s.ack_cmd);
            s.obj->timeout = s.timeout;
            s.obj->match = s.match;
        }
    });
}

comm_obj_t *comm_obj_once(comm_obj_t *&cobj, comm_obj_t &obj)
{
    if (cobj == nullptr) {
        comm_catalogue_init();
        cobj = &obj;
    }
    return cobj;
}

const comm_service_t *comm_service_for_ack(uint8_t type, uint8_t cmd)
{
    for (size_t i = 0; i < comm_services_count; ++i) {
        const comm_service_t &s = comm_services[i];
        if ((type == s.ack_type || (s.ack_type2 != 0 && type == s.ack_type2)) && (s.any_cmd || cmd == s.ack_cmd))
            return &s;
    }
    return nullptr;
}

comm_route_t comm_route_frame(uint8_t type, uint8_t cmd)
{
    auto ack = [&]() -> comm_route_t {
        const comm_service_t *svc = comm_service_for_ack(type, cmd);
        return svc != nullptr ? comm_route_t{COMM_ROUTE_ACK, svc->obj} : comm_route_t{COMM_ROUTE_DROP, nullptr};
    };
    switch (type) {
    case MSG_TYPE_INFO_ACK:
        return cmd == MSG_CMD_CAN_MSG ? comm_route_t{COMM_ROUTE_CAN, nullptr} : ack();
    case MSG_TYPE_RMT_ACK:
    case MSG_TYPE_CTL_ACK:
        return ack();
    case MSG_TYPE_GEN_RQ:
        if (cmd == MSG_CMD_DBG)
            return {COMM_ROUTE_DEBUG_RQ, nullptr};
        return {cmd == MSG_CMD_PING ? COMM_ROUTE_PING : COMM_ROUTE_DROP, nullptr};
    case MSG_TYPE_GEN_ACK:
        return cmd == MSG_CMD_DBG ? comm_route_t{COMM_ROUTE_DEBUG_RSP, nullptr} : ack();
    default:
        return {COMM_ROUTE_UNKNOWN, nullptr};
    }
}
