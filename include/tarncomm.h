// Umbrella header of the communication library: the link layer, the exchange
// and its message catalogue, the device services and the text helpers.
#ifndef TARNCOMM_TARNCOMM_H
#define TARNCOMM_TARNCOMM_H

#include "common.h"
#include "crc16_ccitt.h"
#include "hdlc.h"
#include "commands.h"
#include "periphery.h"
#include "remote_func.h"
#include "e2p.h"
#include "eepromcfg.h"
#include "can.h"
#include "ksz8864.h"
#include "debug.h"
#include "util.h"

#endif
