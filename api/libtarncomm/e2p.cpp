// Raw EEPROM access: read and write pieces of at most 57 bytes through
// comm_e2p_read / comm_e2p_write, erase through remote functions 6 and 7.
#include "e2p.h"
#include "catalogue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "remote_func.h"

int e2p_read(uint16_t addr, void *data, uint16_t *size)
{
    comm_obj_t *cobj = comm_service(svc::comm_e2p_read);
    const uint16_t want = size != nullptr ? *size : 0;
    put_le16(&cobj->req.data[0], addr);
    cobj->req.data[2] = static_cast<uint8_t>(want);
    cobj->req_data_sz = MSG_SZ_E2P_HDR;

    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc != 0)
        return rc;
    const uint8_t n = ack.data[2];
    // Never more than the 57 data bytes a payload can hold.
    const size_t copy = std::min<size_t>({n, want, E2P_MAX_PAYLOAD});
    if (data != nullptr && copy > 0)
        std::memcpy(data, &ack.data[MSG_SZ_E2P_HDR], copy);
    if (size != nullptr)
        *size = n;
    return 0;
}

int e2p_write(uint16_t addr, const void *data, uint16_t *size)
{
    comm_obj_t *cobj = comm_service(svc::comm_e2p_write);
    const uint16_t n = size != nullptr ? *size : 0;
    if (n > E2P_MAX_PAYLOAD) {
        std::fprintf(stderr, "size > max_payload (%d)\n", n);
        std::fflush(stderr);
        return -1;
    }
    put_le16(&cobj->req.data[0], addr);
    cobj->req.data[2] = static_cast<uint8_t>(n);
    if (n > 0 && data != nullptr)
        std::memcpy(&cobj->req.data[MSG_SZ_E2P_HDR], data, n);
    cobj->req_data_sz = MSG_SZ_E2P_HDR + n;

    hdlc_msg_t ack;
    int rc = send_req_get_ack(cobj, &ack);
    if (rc != 0)
        return rc;
    if (size != nullptr)
        *size = ack.data[2];
    return 0;
}

int e2p_erase_byte(uint16_t addr)
{
    rmt_func_param_eeprom_erase_byte_t param = {addr};
    rmt_func_rtn_eeprom_erase_byte_t rtn = {0};
    return rmt_eeprom_erase_byte(&param, &rtn) ? 0 : 1;
}

int e2p_erase_block(uint16_t addr, uint16_t size)
{
    rmt_func_param_eeprom_erase_block_t param = {addr, size};
    rmt_func_rtn_eeprom_erase_block_t rtn = {0};
    return rmt_eeprom_erase_block(&param, &rtn) ? 0 : 1;
}
