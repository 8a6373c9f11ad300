// The CAN trace on a SocketCAN interface: every trace record the box sends
// goes out as it arrives, through a raw CAN socket, as the classic CAN frame
// (or CAN error frame) it stands for, so that candump, Wireshark and the
// other SocketCAN tools read the box's bus like any other CAN source.
#ifndef TARNFUNC_CAN_BRIDGE_H
#define TARNFUNC_CAN_BRIDGE_H

#include <linux/can.h>
#include <net/if.h>

#include <cstdint>

// One trace record (the payload of a 0x6F/0x4D frame) as the kernel's
// classic CAN frame: the identifier with the extended flag, at most eight
// data bytes (a length code of 9 to 15 keeps 8 and is kept whole in
// len8_dlc); the two error kinds as error frames. False for a record of a
// kind that is neither.
bool can_record_to_frame(const uint8_t *record, struct can_frame *frame);

// The bridge's state: its interface and what it did there.
struct can_bridge_status_t {
    bool on;
    char iface[IFNAMSIZ];
    uint64_t written;
    uint64_t dropped;
};

// Bridges the trace to the interface: 0, or -1 with a message on stderr and
// the bridge as it was (an interface that is missing, down or not CAN).
int can_bridge_open(const char *iface);
// Ends the bridge; its state just before (on, and its counts, when it was).
can_bridge_status_t can_bridge_close(void);
// Receiver thread: writes one record without ever blocking. A full socket
// buffer drops the frame and counts it; an interface that went away or down
// ends the bridge with one line on stderr.
void can_bridge_record(const uint8_t *record);
can_bridge_status_t can_bridge_status(void);

#endif
