// The service catalogue, and the link's re-synchronisation through the remote
// echo, whose answer repeats a payload no other request ever had.
#include "catalogue.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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

// What each answer echoes: MDIO its PHY and register, an SMI read its
// register, the EEPROM its address, the ping its time
// stamp, a remote function its number (and the echo its text, set per
// call). Power on and off share one object and differ by cmd.
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
    {"comm_e2p_read", &comm_e2p_read, GEN_RQ, MSG_CMD_E2P_READ, GEN_ACK, MSG_CMD_E2P_READ, 0, false, 1,
     {0, 0, 2, COMM_MATCH_TAGGABLE}},
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
    {"comm_rmt_func", &comm_rmt_func, MSG_TYPE_RMT_RQ, func_rmt_echo, MSG_TYPE_RMT_ACK, func_rmt_echo, 0, true, 1,
     {0, MSG_SZ_RMT_HDR, 0, COMM_MATCH_CMD | COMM_MATCH_TAGGABLE}},
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

const comm_service_t *comm_service_for_ack(uint8_t type, uint8_t cmd)
{
    for (size_t i = 0; i < comm_services_count; ++i) {
        const comm_service_t &s = comm_services[i];
        if ((type == s.ack_type || (s.ack_type2 != 0 && type == s.ack_type2)) && (s.any_cmd || cmd == s.ack_cmd))
            return &s;
    }
    return nullptr;
}

int comm_resync(void)
{
    // A payload no other request had: process, time and a counter.
    static std::atomic<uint32_t> counter{0};
    constexpr int attempts = 2;
    int rc = ETIMEDOUT;
    for (int i = 0; i < attempts && !comm_link_down(); ++i) {
        rmt_func_param_echo_t param{};
        rmt_func_rtn_echo_t rtn{};
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        std::snprintf(param.echo, sizeof param.echo, "sync %d %ld.%09ld %u", static_cast<int>(getpid()),
                      static_cast<long>(now.tv_sec), now.tv_nsec, counter.fetch_add(1));
        if (rmt_echo(&param, &rtn)) {
            // The box answers in order: whatever it still had to send for
            // the requests that timed out has arrived before this answer.
            for (size_t k = 0; k < comm_services_count; ++k)
                if (!(comm_services[k].match.flags & COMM_MATCH_TAGGABLE))
                    comm_forget_orphans(comm_services[k].obj);
            return 0;
        }
        rc = comm_link_down() ? ENODEV : ETIMEDOUT;
    }
    return rc;
}
