// CAN controller services. Each call takes its exchange object from the
// catalogue; payloads are encoded and decoded field by field, little-endian.
#include "can.h"
#include "catalogue.h"

#include <cstdio>
#include <cstring>

#include "crc16_ccitt.h"
#include "eepromcfg.h"

namespace {

// The services without payload whose acknowledgement carries nothing.
int plain(comm_obj_t *cobj)
{
    cobj->req_data_sz = 0;
    return send_req(cobj);
}

void speed_to_bytes(const can_speed_cfg &cfg, uint8_t *d)
{
    const uint8_t b[11] = {cfg.CAN_SJW,    cfg.CAN_BPR,  cfg.CAN_BTLMODE, cfg.CAN_SAM,
                           cfg.CAN_PS1,    cfg.CAN_PRSEG, cfg.CAN_WAKFIL, cfg.CAN_PS2,
                           cfg.CAN_CNF1,   cfg.CAN_CNF2, cfg.CAN_CNF3};
    std::memcpy(d, b, sizeof b);
}

void speed_from_bytes(can_speed_cfg *cfg, const uint8_t *d)
{
    cfg->CAN_SJW = d[0];
    cfg->CAN_BPR = d[1];
    cfg->CAN_BTLMODE = d[2];
    cfg->CAN_SAM = d[3];
    cfg->CAN_PS1 = d[4];
    cfg->CAN_PRSEG = d[5];
    cfg->CAN_WAKFIL = d[6];
    cfg->CAN_PS2 = d[7];
    cfg->CAN_CNF1 = d[8];
    cfg->CAN_CNF2 = d[9];
    cfg->CAN_CNF3 = d[10];
}

} // namespace

void serializeMaskFilter(const MaskFilterBufferStruct *mf, char *d, int *size)
{
    if (mf == nullptr || d == nullptr)
        return;
    uint8_t *p = reinterpret_cast<uint8_t *>(d);
    p[0] = mf->uiRxB0ExtId;
    put_le32(p + 1, mf->RxB0Mask);
    put_le32(p + 5, mf->RxB0Filter0Id);
    put_le32(p + 9, mf->RxB0Filter1Id);
    p[13] = mf->uiRxB1ExtId;
    put_le32(p + 14, mf->RxB1Mask);
    put_le32(p + 18, mf->RxB1Filter2Id);
    put_le32(p + 22, mf->RxB1Filter3Id);
    put_le32(p + 26, mf->RxB1Filter4Id);
    put_le32(p + 30, mf->RxB1Filter5Id);
    if (size != nullptr)
        *size = CAN_MASK_FILTER_SIZE;
}

void unserializeMaskFilter(MaskFilterBufferStruct *mf, const char *data, int /*size*/)
{
    if (mf == nullptr || data == nullptr)
        return;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(data);
    mf->uiRxB0ExtId = p[0];
    mf->RxB0Mask = get_le32(p + 1);
    mf->RxB0Filter0Id = get_le32(p + 5);
    mf->RxB0Filter1Id = get_le32(p + 9);
    mf->uiRxB1ExtId = p[13];
    mf->RxB1Mask = get_le32(p + 14);
    mf->RxB1Filter2Id = get_le32(p + 18);
    mf->RxB1Filter3Id = get_le32(p + 22);
    mf->RxB1Filter4Id = get_le32(p + 26);
    mf->RxB1Filter5Id = get_le32(p + 30);
}

void serializeWakeupConfig(const WakeupConfiguration *cfg, uint8_t *d)
{
    if (cfg == nullptr || d == nullptr)
        return;
    d[0] = cfg->lcmode;
    put_le32(d + 1, cfg->milliseconds);
    d[5] = cfg->selective;
    put_le32(d + 6, cfg->pulse_width_time);
    put_le32(d + 10, cfg->threshold_time);
    d[14] = cfg->opmode;
    d[15] = cfg->can_mode;
}

int can_trace_enable(void)
{
    return plain(comm_service(svc::can_trace_enable_ctl));
}

int can_trace_disable(void)
{
    return plain(comm_service(svc::can_trace_disable_ctl));
}

int can_reset(void)
{
    return plain(comm_service(svc::can_reset_ctl));
}

int can_reinit(void)
{
    return plain(comm_service(svc::can_reinit_ctl));
}

int can_set_speed(can_speed_cfg cfg)
{
    comm_obj_t *cobj = comm_service(svc::can_set_speed_ctl);
    speed_to_bytes(cfg, cobj->req.data);
    cobj->req_data_sz = MSG_SZ_CAN_SPEED;
    return send_req(cobj);
}

int can_get_speed(can_speed_cfg *cfg)
{
    comm_obj_t *cobj = comm_service(svc::can_get_speed_ctl);
    cobj->req_data_sz = 0;
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && cfg != nullptr)
        speed_from_bytes(cfg, ack.data);
    return rc;
}

int can_set_filter_mask(MaskFilterBufferStruct fm)
{
    comm_obj_t *cobj = comm_service(svc::can_set_filter_mask_ctl);
    int size = 0;
    serializeMaskFilter(&fm, reinterpret_cast<char *>(cobj->req.data), &size);
    cobj->req_data_sz = static_cast<size_t>(size);
    return send_req(cobj);
}

int can_get_filter_mask(MaskFilterBufferStruct *fm)
{
    comm_obj_t *cobj = comm_service(svc::can_get_filter_mask_ctl);
    cobj->req_data_sz = 0;
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && fm != nullptr)
        unserializeMaskFilter(fm, reinterpret_cast<const char *>(ack.data), CAN_MASK_FILTER_SIZE);
    return rc;
}

int can_get_wakeup(int *ms, uint8_t *selective, uint8_t * /*opmode*/)
{
    comm_obj_t *cobj = comm_service(svc::can_wakeup_read);
    cobj->req_data_sz = 0;
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0) {
        if (ms != nullptr)
            *ms = static_cast<int32_t>(get_le32(ack.data));
        if (selective != nullptr)
            *selective = ack.data[4];
    }
    return rc;
}

int can_set_wakeup(int ms, uint8_t selective)
{
    comm_obj_t *cobj = comm_service(svc::can_wakeup_write);
    put_le32(cobj->req.data, static_cast<uint32_t>(ms));
    cobj->req.data[4] = selective;
    cobj->req_data_sz = MSG_SZ_CAN_WAKEUP;
    return send_req(cobj);
}

int can_set_lcmode(uint8_t mode)
{
    comm_obj_t *cobj = comm_service(svc::can_set_lcmode_ctl);
    cobj->req.data[0] = mode;
    cobj->req_data_sz = MSG_SZ_CAN_LCMODE;
    return send_req(cobj);
}

// After a failed exchange the caller's byte is left alone: the object's
// acknowledgement then holds nothing that belongs to this request.
int can_get_lcmode(uint8_t *mode)
{
    comm_obj_t *cobj = comm_service(svc::can_get_lcmode_ctl);
    cobj->req_data_sz = 0;
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && mode != nullptr)
        *mode = ack.data[0];
    return rc;
}

int can_set_mode(uint8_t mode)
{
    comm_obj_t *cobj = comm_service(svc::can_set_mode_ctl);
    cobj->req.data[0] = mode;
    cobj->req_data_sz = MSG_SZ_CAN_MODE;
    return send_req(cobj);
}

int can_get_mode(uint8_t *mode)
{
    comm_obj_t *cobj = comm_service(svc::can_get_mode_ctl);
    cobj->req_data_sz = 0;
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && mode != nullptr)
        *mode = ack.data[0];
    return rc;
}

int can_save_cfg_to_e2p(const can_speed_cfg *speedConfig, const MaskFilterBufferStruct *filterMask,
                        const WakeupConfiguration *wakeupConfig)
{
    if (speedConfig == nullptr || filterMask == nullptr || wakeupConfig == nullptr)
        return -1;

    // The stored bytes are exactly the wire layouts, whatever the host.
    uint8_t speed[sizeof(can_speed_cfg)];
    uint8_t mf[CAN_MASK_FILTER_SIZE];
    uint8_t wakeup[CAN_WAKEUP_CFG_SIZE];
    int mf_size = 0;
    speed_to_bytes(*speedConfig, speed);
    serializeMaskFilter(filterMask, reinterpret_cast<char *>(mf), &mf_size);
    serializeWakeupConfig(wakeupConfig, wakeup);

    // The firmware checks the block with the bare register, not the
    // complemented value the frame check uses.
    uint16_t crc = CRC16_CCITT_INIT;
    crc = crc16_ccitt_calc_data(crc, speed, sizeof speed);
    crc = crc16_ccitt_calc_data(crc, mf, sizeof mf);
    crc = crc16_ccitt_calc_data(crc, wakeup, sizeof wakeup);
    uint8_t crc_bytes[2];
    put_le16(crc_bytes, crc);

    // A piece not stored whole leaves a block the firmware rejects (or, worse,
    // one whose check word still matches older records): say which.
    const struct {
        const uint8_t *data;
        uint16_t addr, len;
    } pieces[] = {{speed, CAN_E2P_SPEED_ADDR, sizeof speed},
                  {mf, CAN_E2P_FILTER_ADDR, sizeof mf},
                  {wakeup, CAN_E2P_WAKEUP_ADDR, sizeof wakeup},
                  {crc_bytes, CAN_E2P_CRC_ADDR, sizeof crc_bytes}};
    for (const auto &p : pieces) {
        if (e2p_write_config_array(p.data, p.addr, p.len) != 0) {
            std::fprintf(stderr, "can_save_cfg_to_e2p: EEPROM write of %u bytes at 0x%03X failed\n",
                         static_cast<unsigned>(p.len), static_cast<unsigned>(p.addr));
            std::fflush(stderr);
            return -1;
        }
    }
    return 0;
}
