// Console command handlers: each takes the argument text of its command (or
// null), splits and converts it in place, calls the device services, prints
// the result and returns 0 for success, -1 for a refused argument or a
// failure it reports itself, or the service's own non-zero code.
#ifndef TARNFUNC_CONSOLE_FUNCTIONS_H
#define TARNFUNC_CONSOLE_FUNCTIONS_H

// Link test and identification.
int process_cmd_ping(char *param);
int process_cmd_version(char *param);
int process_cmd_date(char *param);
int process_cmd_blversion(char *param);
int process_cmd_blstring(char *param);

// Switch registers over SMI ("<reg>[=<value>]") and PHY registers over MDIO
// ("<phy><reg>[=<value>]", PHY address in bits 15..8).
int process_cmd_smi_reg(char *param);
int process_cmd_mdio_reg(char *param);

// Ethernet power ("on"/"off") and the Ethernet wake-up line
// ("get"/"on"/"off"/"trigger").
int process_cmd_power(char *param);
int process_cmd_wup(char *param);

// Raw EEPROM access: "read <addr> [<size>]", "write <addr> <v1> ...",
// "clear <addr> [<size>]".
int process_cmd_e2p(char *param);

// Remote echo of a text, stored configuration ("read"/"write"), raw frame.
int process_cmd_echo(char *param);
int process_cmd_cfg(char *param);
int process_cmd_hdlc(char *param);

#endif
