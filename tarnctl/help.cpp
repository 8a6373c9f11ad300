// The two help texts: the short one for a locked console, the full one for
// an unlocked console and the interactive "help" command. Each is written
// with one puts, which adds the final line end.
#include <cstdio>

#include "out.h"
#include "tarnctl.h"

static const char help_cmd_text[] =
    "Corvane control (tarnctl)\n"
    "\n"
    "Command Line Parameters:\n"
    "-h : print this help text\n"
    "-l : shows a list of attached switches with instance and serial number\n"
    "-d <instance> : selects the switch to connected to using its instance ID\n"
    "-D <serial number> : selects the switch to connected to using its serial number\n"
    "-r : performs a hard reset on the Corvane\n"
    "-w <trigger|on|off|get> : set or get Ethernet-Wakeup-Line; trigger creates a 400ms pulse\n"
    "-V : prints the firmware version\n"
    "-p : tests the serial connection";

static const char help_text[] =
    "Corvane Management Console (tarn)\n"
    "\n"
    "tarn can be executed in CLI mode or interactive mode\n"
    "tarn -i -> interactive mode\n"
    "both CLI mode and interactive mode support the same parameter syntax\n"
    "Below is a list of options and commands in the form <cmd>/<option> [options]\n"
    "<cmd> is for interactive mode\n"
    "<option> is for CLI mode\n"
    "\n"
    "The Corvane has 4 ports:\n"
    "port 1 : USB-Ethernet\n"
    "port 2 : 100BaseTX (RJ45)\n"
    "port 3 : BroadR-Reach 1\n"
    "port 4 : BroadR-Reach 2\n"
    "\n"
    "Options & Commands:\n"
    "help / -h : prints this help screen\n"
    "sniff / -S <port> [rx|tx|rxtx|mirror] : enables RX or TX sniffing or both on a port or makes a port the mirror port\n"
    "reset / -r : performs a hard reset on the Corvane\n"
    "mreg / -m <phy address><register address>[=<register value>] : reads or writes an MDIO register of the integrated PHYs\n"
    "   0x02 : 100BaseTX PHY of port 1\n"
    "   0x03 : 100BaseTX PHY of port 2\n"
    "   0x18 : BroadR-Reach PHY on port 3\n"
    "   0x19 : BroadR-Reach PHY on port4\n"
    "   mreg 0x1801 reads register 0x01 on PHY 0x18\n"
    "   mreg 0x1800=0x0208 writes 0x0208 into register 0x00 of PHY 0x18\n"
    "sreg / -s <switch register address>[=<register value>] : reads or writes a register of the integrated switch using SMI protocol\n"
    "   Using SMI all switch registers may be accessed\n"
    "power / -P <on|off> : turns the Ethernet part on or off\n"
    "cbus / -c <pin number>[=<H|L>] : sets or gets the level of one of the 4 CBUS pins of the USB serial converter\n"
    "   CBUS0 : uC reset\n"
    "   CBUS1 : indicates that a controlling terminal is attached\n"
    "   CBUS2 : not used\n"
    "   CBUS3 : not used\n"
    "mib / -M [<port>] : prints the MIB counters of either all ports or of the specified port\n"
    "wup / -w <trigger|on|off|get> : set or get Ethernet-Wakeup-Line\n"
    "version / -V : prints the firmware version\n"
    "ping / -p : tests the serial connection\n"
    "cfg / -C <read|write> : read active E2P config or write default E2P config\n"
    "eep / -e <read=<addr>,<length> | write=<v1,v2,...,vn> | clear=<addr>,<length>> : read, write, or clear raw E2P content\n"
    "hdlc / -H <v1,v2,...,vn> : send a raw HDLC frame with payload v1..vn\n"
    "exit : terminates the interactive mode\n"
    "-i : enter the interactive mode\n"
    "-d <instance> : if more than one Corvane is connected via the USB serial line this selects the instance to use\n"
    "-b <baudrate> : set the baudrate for the USB serial line\n"
    "-G / pvlan [<port> [<membership>]]: set or get port based VLAN configuration\n"
    "   pvlan : list port based VLAN membership for all ports\n"
    "   pvlan 3 : list port based VLAN membership for port 3\n"
    "   pvlan 4 1001 : assign port based VLAN membership for port 4\n"
    "      port 4 is now in an PVLAN with port 1 and can send to/receive from port 1\n"
    "      for setting up bidirectional communication between port 4 and port 1, assign port 4 to the membership of of port 1 using \"pvlan 1 1001\"\n"
    "-T / tab <smac|vlan|dmac|mib> [<entry number>[-<end entry number>] [<entry data_0>..<entry_data_n>]]: set or get entries of indirectly addressable tables\n"
    "   tab smac : lists all 32 entries of the Static MAC Table\n"
    "   tab dmac 3 : lists the fourth entry of the Dynamic MAC table\n"
    "   tab mib 25-36 : lists the 26th to 37th entry of the MIB Counter table\n"
    "   tab smac 4 1 2 3 4 5 6 7 0 : sets the 4th entry of the Static MAC Table to 1 2 3 4 5 6 7 0\n"
    "-A / smac [<entry number>[-<end entry number>] [<fid> <use_fid> <st_override> <valid> <forward ports> <mac address>] : get/set Static MAC Table entry\n"
    "   smac : lists all 32 Static MAC Table entries\n"
    "   smac 1 : lists the second Static MAC Table entry\n"
    "   smac 7-10 : lists the 8th to 11th Static MAC Table entry\n"
    "   smac 5 0x0A yes no yes 1001 80:01:02:03:04 : sets the 6th Static MAC Table entry";

void print_help_cmd(void)
{
    out_doc().set("full", false);
    out_doc().set("text", help_cmd_text);
    if (!out_json())
        puts(help_cmd_text);
}

void print_help(void)
{
    out_doc().set("full", true);
    out_doc().set("text", help_text);
    if (!out_json())
        puts(help_text);
}

int process_cmd_help(char *)
{
    print_help();
    return 0;
}
