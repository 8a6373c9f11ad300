// Console commands of the CAN controller (bit timing, trace, reset, re-init,
// operating mode), the printing of the CAN trace records the box sends, and
// the built-in test of the MDIO path to the PHYs and the switch.
#ifndef TARNFUNC_CAN_FUNCTIONS_H
#define TARNFUNC_CAN_FUNCTIONS_H

#include "can.h"
#include "commands.h"

// Oscillator of the box's CAN controller.
constexpr unsigned long CAN_FOSC = 16000000UL;

// Preset timings for "can speed 0" .. "can speed 6"; their CNF bytes are 0
// here and computed when a preset is used.
extern const can_speed_cfg default_can_cfg[];
extern const int default_can_cfg_length;

// Bit timing for the bit rate Fbus from the oscillator Fosc: the smallest
// prescaler giving at most 25 quanta, segments around a 68 % sample point.
// Prints the NTQ line and fills *can_speedcfg (CAN_SAM = 1 when triple is 1),
// CNF bytes included; 0. -1 when no timing of 6 to 25 quanta fits (then
// nothing is printed and the record is untouched).
int can_calc_params(unsigned long Fosc, unsigned long Fbus, int triple, can_speed_cfg *can_speedcfg);
// CNF1..CNF3 from the other fields, as they stand.
void can_calc_config(can_speed_cfg *can_speedcfg);
// The nine display lines of a record on stdout.
void can_config_show(const can_speed_cfg *cfg);

// One CAN trace record (frame 0x6F/0x4D) on stdout; receiver thread. size is
// not needed: the message is a whole hdlc_msg.
void process_can_msg(hdlc_msg_t *msg, uint16_t size);

// can [show | speed [<preset>|<bit rate>] | dump [on|off] | reset | reinit |
//      calc [<bit rate>] | mode [show|normal|listen] | log <file> [<iface>] | log off |
//      bridge [<interface>|off]]
// "log" appends every trace record to the file in the candump log format
// (interface tarn0 unless given) until "log off"; "bridge" writes them to a
// SocketCAN interface until "bridge off"; neither sends anything to the box.
int process_cmd_can(char *param);
// Not bound to any word or option; kept for callers of the library.
int process_cmd_can_reset(char *param);
int process_cmd_can_mode(char *param);

// test mdio: runs the MDIO test; always 0.
int process_cmd_test(char *param);
// The six cases; the number that failed (0..6).
int mdio_test(void);
// count reads of one register that must give value; 0 or -1.
int mdio_reg_read_test(uint8_t phyad, uint8_t regad, uint16_t value, unsigned int count);
// count writes, alternately v2 and v1 (v1 last), each read back; 0 or -1.
int mdio_reg_write_test(uint8_t phyad, uint8_t regad, uint16_t v1, uint16_t v2, unsigned int count);

#endif
