// Remote function calls: rmt_function frames the numbered call on the shared
// object comm_rmt_func; the wrappers fix number, time-out and block sizes and
// encode/decode their blocks little-endian explicitly.
#include "remote_func.h"
#include "catalogue.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "out.h"

bool rmt_function(uint8_t func_idx, int32_t timeout, const void *param, uint16_t param_size, void *rtn,
                  uint16_t rtn_size)
{
    comm_obj_t *cobj = comm_service(svc::comm_rmt_func);
    cobj->timeout = timeout > 0 ? timeout : 1;
    // The router delivers all of 0xF3 here, whatever its cmd; req is touched
    // by this thread alone.
    cobj->req.hdr.cmd = func_idx;

    if (MSG_SZ_RMT_HDR + param_size > HDLC_MSG_DATA_SIZE || MSG_SZ_RMT_HDR + rtn_size > HDLC_MSG_DATA_SIZE)
        return false;

    put_le16(&cobj->req.data[0], param_size);
    put_le16(&cobj->req.data[2], rtn_size);
    if (param_size > 0 && param != nullptr)
        std::memcpy(&cobj->req.data[MSG_SZ_RMT_HDR], param, param_size);
    cobj->req_data_sz = MSG_SZ_RMT_HDR + param_size;

    hdlc_msg_t ack;
    const int rc = send_req_get_ack(cobj, &ack);
    if (rc == ENODEV || rc == EREMOTEIO)
        return false; // the lost link is reported once, by the front end; a refusal by the box itself
    if (rc != 0) {
        out_fail("** send_req failed\n");
        std::fflush(stdout);
        return false;
    }
    if (rtn_size > 0 && rtn != nullptr)
        std::memcpy(rtn, ack.data, rtn_size);
    return true;
}

bool rmt_echo(rmt_func_param_echo_t *param, rmt_func_rtn_echo_t *rtn)
{
    return rmt_function(func_rmt_echo, 0, param, sizeof(rmt_func_param_echo_t), rtn, sizeof(rmt_func_rtn_echo_t));
}

bool rmt_mib_tab_entry_read(rmt_func_param_mibtab_t *param, rmt_func_rtn_mibtab_t *rtn)
{
    uint8_t p[3] = {};
    if (param != nullptr) {
        p[0] = param->port;
        put_le16(&p[1], param->offset);
    }
    uint8_t r[4];
    if (!rmt_function(func_rmt_mib_tab_entry_read, 3, p, sizeof p, r, sizeof r))
        return false;
    if (rtn != nullptr)
        rtn->value = get_le32(r);
    return true;
}

bool rmt_dynmac_tab_entry_read(rmt_func_param_dynmactab_t *param, rmt_func_rtn_dynmactab_t *rtn)
{
    uint8_t p[2] = {};
    if (param != nullptr)
        put_le16(p, param->index);
    // The entry is a byte record: copied as it travels.
    return rmt_function(func_rmt_dynmac_tab_entry_read, 3, p, sizeof p, rtn, sizeof(rmt_func_rtn_dynmactab_t));
}

bool rmt_ind_tab_entry_read(rmt_func_param_ind_tab_t *param, rmt_func_rtn_ind_tab_t *rtn)
{
    uint8_t p[4] = {};
    if (param != nullptr) {
        p[0] = param->table;
        put_le16(&p[1], param->entry_idx);
        p[3] = param->entry_size;
    }
    return rmt_function(func_rmt_ind_tab_entry_read, 3, p, sizeof p, rtn, sizeof(rmt_func_rtn_ind_tab_t));
}

bool rmt_ind_tab_entry_write(rmt_func_param_ind_tab_write_t *param, rmt_func_rtn_ind_tab_write_t *rtn)
{
    uint8_t p[13] = {};
    if (param != nullptr) {
        p[0] = param->table;
        put_le16(&p[1], param->entry_idx);
        p[3] = param->entry_size;
        std::memcpy(&p[4], param->data, sizeof param->data);
    }
    return rmt_function(func_rmt_ind_tab_entry_write, 3, p, sizeof p, rtn, sizeof(rmt_func_rtn_ind_tab_write_t));
}

bool rmt_eeprom_erase_byte(rmt_func_param_eeprom_erase_byte_t *param, rmt_func_rtn_eeprom_erase_byte_t *rtn)
{
    uint8_t p[2] = {};
    if (param != nullptr)
        put_le16(p, param->addr);
    return rmt_function(func_rmt_eeprom_erase_byte, 0, p, sizeof p, rtn, sizeof(rmt_func_rtn_eeprom_erase_byte_t));
}

bool rmt_eeprom_erase_block(rmt_func_param_eeprom_erase_block_t *param, rmt_func_rtn_eeprom_erase_block_t *rtn)
{
    uint8_t p[4] = {};
    if (param != nullptr) {
        put_le16(&p[0], param->addr);
        put_le16(&p[2], param->size);
    }
    return rmt_function(func_rmt_eeprom_erase_block, 10, p, sizeof p, rtn,
                        sizeof(rmt_func_rtn_eeprom_erase_block_t));
}
