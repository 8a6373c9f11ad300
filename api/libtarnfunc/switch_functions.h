// Console command handlers of the switch: port mirroring, MIB counters, raw
// indirect table entries, port VLAN membership, static MAC and VLAN table
// entries, and the dynamic MAC listing. Same form as the other handlers: the
// argument text (or null), split in place; 0 for success, -1 for a refused
// argument or a failure reported here, or the service's own code.
#ifndef TARNFUNC_SWITCH_FUNCTIONS_H
#define TARNFUNC_SWITCH_FUNCTIONS_H

#include "ksz8864.h"
#include "out.h"

// "<port> [rx|tx|rxtx|mirror|off]": shows or sets a port's sniff mode.
int process_cmd_sniff(char *param);
// "[<port>]": MIB counters of one port or of all four.
int process_cmd_mib(char *param);
// "<smac|vlan|dmac|mib> [all|<entry>[-<end>]] [<byte> ...]": lists raw
// entries, or writes one entry (not to dmac or mib, the switch's own).
int process_cmd_ind_tab(char *param);
// "[show] | <port> [<binary membership mask>]".
int process_cmd_pvlan(char *param);
// "[<entry>[-<end>] [<fid> <use_fid> <st_override> <valid> <ports> <mac>]]".
int process_cmd_smac(char *param);
// "[<vid>[-<end>] [<fid> <valid> <ports>]]".
int process_cmd_vlan(char *param);
// Lists the dynamic MAC table; the argument is not looked at.
int process_cmd_mac(char *param);
// Bound to nothing: there is no port command; always -1.
int process_cmd_port(char *param);

void smac_entry_show(statmac_tab_entry_t *entry);
void vlan_entry_show(vlan_entry_t *entry);
// The same entries as facts of a document.
jvalue smac_entry_json(const statmac_tab_entry_t *entry, long long index);
jvalue vlan_entry_json(const vlan_entry_t *entry);

#endif
