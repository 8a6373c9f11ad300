// CAN controller services. Each call initialises its exchange object once
// (static pointer); the objects whose cmd the firmware shares between
// requests get their cmd set again on every call. Payloads are encoded and
// decoded field by field, little-endian.
#include "can.h"
#include "catalogue.h"

#include <cstdio>
#include <cstring>

#include "crc16_ccitt.h"
#include "eepromcfg.h"

comm_obj_t can_set_speed_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_get_speed_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_set_filter_mask_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_get_filter_mask_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_trace_enable_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_trace_disable_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_set_mode_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_get_mode_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_reset_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_reinit_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_wakeup_read = COMM_OBJ_INITIALIZER;
comm_obj_t can_wakeup_write = COMM_OBJ_INITIALIZER;
comm_obj_t can_set_lcmode_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_get_lcmode_ctl = COMM_OBJ_INITIALIZER;

namespace {

// Objects whose cmd is chosen per call: initialised with cmd 0, then the
// request and expected acknowledgement cmd are set before every exchange.
comm_obj_t *per_call(comm_obj_t *&cobj, comm_obj_t &obj, uint8_t cmd)
{
    comm_obj_once(cobj, obj);
    comm_obj_set_cmd(cobj, cmd, cmd);
    return cobj;
}

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
    static comm_obj_t *cobj = nullptr;
    return plain(per_call(cobj, can_trace_enable_ctl, MSG_CMD_CAN_TRACE_ENABLE));
}

int can_trace_disable(void)
{
    static comm_obj_t *cobj = nullptr;
    return plain(per_call(cobj, can_trace_disable_ctl, MSG_CMD_CAN_TRACE_DISABLE));
}

int can_reset(void)
{
    static comm_obj_t *cobj = nullptr;
    return plain(per_call(cobj, can_reset_ctl, MSG_CMD_CAN_RESET));
}

int can_reinit(void)
{
    static comm_obj_t *cobj = nullptr;
    return plain(per_call(cobj, can_reinit_ctl, MSG_CMD_CAN_REINIT));
}

int can_set_speed(can_speed_cfg cfg)
{
    static comm_obj_t *cobj = nullptr;
    per_call(cobj, can_set_speed_ctl, MSG_CMD_CAN_SET_SPEED);
    speed_to_bytes(cfg, cobj->req.data);
    cobj->req_data_sz = MSG_SZ_CAN_SPEED;
    return send_req(cobj);
}

int can_get_speed(can_speed_cfg *cfg)
{
    static comm_obj_t *cobj = nullptr;
    per_call(cobj, can_get_speed_ctl, MSG_CMD_CAN_GET_SPEED);
    cobj->req_data_sz = 0;
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && cfg != nullptr)
        speed_from_bytes(cfg, ack.data);
    return rc;
}

int can_set_filter_mask(MaskFilterBufferStruct fm)
{
    static comm_obj_t *cobj = nullptr;
    per_call(cobj, can_set_filter_mask_ctl, MSG_CMD_CAN_SET_FILTER_MASK);
    int size = 0;
    serializeMaskFilter(&fm, reinterpret_cast<char *>(cobj->req.data), &size);
    cobj->req_data_sz = static_cast<size_t>(size);
    return send_req(cobj);
}

int can_get_filter_mask(MaskFilterBufferStruct *fm)
{
    static comm_obj_t *cobj = nullptr;
    per_call(cobj, can_get_filter_mask_ctl, MSG_CMD_CAN_GET_FILTER_MASK);
    cobj->req_data_sz = 0;
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && fm != nullptr)
        unserializeMaskFilter(fm, reinterpret_cast<const char *>(ack.data), CAN_MASK_FILTER_SIZE);
    return rc;
}

int can_get_wakeup(int *ms, uint8_t *selective, uint8_t * /*opmode*/)
{
    static comm_obj_t *cobj = nullptr;
    comm_obj_once(cobj, can_wakeup_read);
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
    static comm_obj_t *cobj = nullptr;
    comm_obj_once(cobj, can_wakeup_write);
    put_le32(cobj->req.data, static_cast<uint32_t>(ms));
    cobj->req.data[4] = selective;
    cobj->req_data_sz = MSG_SZ_CAN_WAKEUP;
    return send_req(cobj);
}

int can_set_lcmode(uint8_t mode)
{
    static comm_obj_t *cobj = nullptr;
    comm_obj_once(cobj, can_set_lcmode_ctl);
    cobj->req.data[0] = mode;
    cobj->req_data_sz = MSG_SZ_CAN_LCMODE;
    return send_req(cobj);
}

// After a failed exchange the caller's byte is left alone: the object's
// acknowledgement then holds nothing that belongs to this request.
int can_get_lcmode(uint8_t *mode)
{
    static comm_obj_t *cobj = nullptr;
    comm_obj_once(cobj, can_get_lcmode_ctl);
    cobj->req_data_sz = 0;
    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc == 0 && mode != nullptr)
        *mode = ack.data[0];
    return rc;
}

int can_set_mode(uint8_t mode)
{
    static comm_obj_t *cobj = nullptr;
    comm_obj_once(cobj, can_set_mode_ctl);
    cobj->req.data[0] = mode;
    cobj->req_data_sz = MSG_SZ_CAN_MODE;
    return send_req(cobj);
}

int can_get_mode(uint8_t *mode)
{
    static comm_obj_t *cobj = nullptr;
    comm_obj_once(cobj, can_get_mode_ctl);
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
