// Periphery services: each call takes its exchange object from the catalogue,
// fills the request payload explicitly little-endian, runs send_req and
// decodes the acknowledgement copy that send_req handed back.
#include "periphery.h"
#include "catalogue.h"

#include <cstring>
#include <sys/time.h>

namespace {

// Services on type 0x60 with no payload whose answer is four bytes.
int read_four(comm_obj_t *cobj, uint8_t out[4])
{
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && out != nullptr)
        std::memcpy(out, ack.data, 4);
    return rc;
}

int read_four_reversed(comm_obj_t *cobj, uint8_t *out)
{
    uint8_t b[4];
    int rc = read_four(cobj, b);
    if (rc == 0 && out != nullptr)
        for (int i = 0; i < 4; ++i)
            out[3 - i] = b[i];
    return rc;
}

} // namespace

int pwr_ctl(pwr_ctl_t mode)
{
    if (mode != pwr_on && mode != pwr_off)
        return -1;
    // One object for both: on is the service's first row, off its second.
    comm_obj_t *cobj = comm_service(svc::comm_pwr_ctl);
    const uint8_t cmd = comm_service_cmd(svc::comm_pwr_ctl, mode == pwr_on ? 0 : 1);
    comm_obj_set_cmd(cobj, cmd, cmd);
    return send_req(cobj);
}

int mdio_read(uint8_t phyad, uint8_t regad, uint16_t *regval)
{
    comm_obj_t *cobj = comm_service(svc::comm_mdio_read);
    // value (bytes 2-3) is not set: the box ignores it.
    cobj->req.data[0] = phyad;
    cobj->req.data[1] = regad;
    cobj->req_data_sz = MSG_SZ_MDIO;
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && regval != nullptr)
        *regval = get_le16(&ack.data[2]);
    return rc;
}

int mdio_write(uint8_t phyad, uint8_t regad, uint16_t regval)
{
    comm_obj_t *cobj = comm_service(svc::comm_mdio_write);
    cobj->req.data[0] = phyad;
    cobj->req.data[1] = regad;
    put_le16(&cobj->req.data[2], regval);
    cobj->req_data_sz = MSG_SZ_MDIO;
    return send_req(cobj);
}

int smi_read(uint8_t regad, uint8_t *regval)
{
    comm_obj_t *cobj = comm_service(svc::comm_smi_read);
    cobj->req.data[0] = regad;
    cobj->req_data_sz = MSG_SZ_SMI;
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && regval != nullptr)
        *regval = ack.data[1];
    return rc;
}

int smi_write(uint8_t regad, uint8_t regval)
{
    comm_obj_t *cobj = comm_service(svc::comm_smi_write);
    cobj->req.data[0] = regad;
    cobj->req.data[1] = regval;
    cobj->req_data_sz = MSG_SZ_SMI;
    return send_req(cobj);
}

int fwv_read(uint8_t *fwv)
{
    comm_obj_t *cobj = comm_service(svc::comm_fwv_read);
    return read_four(cobj, fwv);
}

int fwd_read(uint8_t *fwd)
{
    comm_obj_t *cobj = comm_service(svc::comm_fwd_read);
    return read_four_reversed(cobj, fwd);
}

int blv_read(uint8_t *blv)
{
    comm_obj_t *cobj = comm_service(svc::comm_blv_read);
    return read_four_reversed(cobj, blv);
}

int bls_read(char *bls)
{
    comm_obj_t *cobj = comm_service(svc::comm_bls_read);
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && bls != nullptr) {
        // strncpy semantics over 30 bytes: stop after the first NUL, pad with NUL.
        size_t i = 0;
        for (; i < 30 && ack.data[i] != 0; ++i)
            bls[i] = static_cast<char>(ack.data[i]);
        for (; i < 30; ++i)
            bls[i] = 0;
    }
    return rc;
}

int ping(uint32_t *turnaround)
{
    comm_obj_t *cobj = comm_service(svc::comm_ping);
    cobj->req_data_sz = MSG_SZ_PING;
    struct timeval start;
    gettimeofday(&start, nullptr);
    put_le64(&cobj->req.data[0], static_cast<uint64_t>(static_cast<int64_t>(start.tv_sec)));
    put_le64(&cobj->req.data[8], static_cast<uint64_t>(static_cast<int64_t>(start.tv_usec)));
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc != 0)
        return rc;
    struct timeval stop;
    gettimeofday(&stop, nullptr);
    // 32-bit arithmetic: a difference beyond about 4295 s wraps, as it always has.
    const uint32_t echo_sec = static_cast<uint32_t>(get_le64(&ack.data[0]));
    const uint32_t echo_usec = static_cast<uint32_t>(get_le64(&ack.data[8]));
    const uint32_t t = (static_cast<uint32_t>(stop.tv_sec) - echo_sec) * 1000000u +
                       static_cast<uint32_t>(stop.tv_usec) - echo_usec;
    if (turnaround != nullptr)
        *turnaround = t;
    return 0;
}

int bl_enable(int enable)
{
    return send_req(comm_service(enable ? svc::comm_bl_enable : svc::comm_bl_disable));
}

int wup_ctl(wup_ctl_t mode)
{
    comm_obj_t *cobj = comm_service(svc::comm_wup_ctl);
    cobj->req.data[0] = static_cast<uint8_t>(mode);
    cobj->req_data_sz = MSG_SZ_WUP_CTL;
    hdlc_msg_t ack;
    if (send_req_get_ack(cobj, &ack) != 0)
        return -1;
    return ack.data[0];
}

int hk_status(int *status)
{
    comm_obj_t *cobj = comm_service(svc::comm_hk_status);
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && status != nullptr)
        *status = static_cast<int32_t>(get_le32(&ack.data[0]));
    return rc;
}

int set_eth_wakeup(int ms, int threshold)
{
    comm_obj_t *cobj = comm_service(svc::comm_eth_wakeup_write);
    put_le32(&cobj->req.data[0], static_cast<uint32_t>(static_cast<int32_t>(ms)));
    put_le32(&cobj->req.data[4], static_cast<uint32_t>(static_cast<int32_t>(threshold)));
    cobj->req_data_sz = MSG_SZ_ETH_WAKEUP;
    return send_req(cobj);
}

int get_eth_wakeup(int *ms, int *threshold)
{
    comm_obj_t *cobj = comm_service(svc::comm_eth_wakeup_read);
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0) {
        if (ms != nullptr)
            *ms = static_cast<int32_t>(get_le32(&ack.data[0]));
        if (threshold != nullptr)
            *threshold = static_cast<int32_t>(get_le32(&ack.data[4]));
    }
    return rc;
}

int trigger_wup(void)
{
    const hdlc_msg_hdr_t hdr = comm_service(svc::comm_wup_ctl)->req.hdr;
    const uint8_t frame[3] = {hdr.type, hdr.cmd, static_cast<uint8_t>(wup_trig)};
    hdlc_tx_frame(frame, sizeof frame);
    return 0;
}
