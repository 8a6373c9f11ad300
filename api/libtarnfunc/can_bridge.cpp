// The CAN trace bridged to a SocketCAN interface the user created (a vcan
// or a real CAN adapter): one raw CAN socket, written from the receiver
// thread without blocking, opened and closed by the main thread.
#include "can_bridge.h"
#include "out.h"

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <linux/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>


bool can_record_to_frame(const uint8_t *d, struct can_frame *f)
{
    *f = can_frame{};
    switch (d[0]) {
    case 0: {
        const uint8_t sidh = d[5], sidl = d[6], eid8 = d[7], eid0 = d[8];
        if (sidl & 0x08) {
            // The whole 29-bit identifier as it was on the bus: SIDH and
            // the top bits of SIDL carry its upper eleven bits.
            f->can_id = CAN_EFF_FLAG | (static_cast<canid_t>(sidh) << 21) |
                        (static_cast<canid_t>(sidl >> 5) << 18) | (static_cast<canid_t>(sidl & 0x03) << 16) |
                        (static_cast<canid_t>(eid8) << 8) | eid0;
        } else {
            f->can_id = (static_cast<canid_t>(sidh) << 3) | (sidl >> 5);
        }
        // A classic CAN frame carries at most eight bytes, whatever a
        // length code of 9 to 15 says; the kernel keeps such a code beside
        // the length.
        const uint8_t dlc = d[9] & 0x0F;
        f->len = dlc > CAN_MAX_DLEN ? CAN_MAX_DLEN : dlc;
        if (dlc > CAN_MAX_DLEN)
            f->len8_dlc = dlc;
        memcpy(f->data, d + 10, f->len);
        return true;
    }
    case 1:
        f->can_id = CAN_ERR_FLAG | CAN_ERR_PROT | CAN_ERR_BUSERROR;
        f->len = CAN_ERR_DLC;
        return true;
    case 2:
        // The firmware's error number goes where the kernel keeps controller
        // specific information.
        f->can_id = CAN_ERR_FLAG | CAN_ERR_CRTL | CAN_ERR_BUSERROR;
        f->len = CAN_ERR_DLC;
        f->data[5] = d[4];
        return true;
    default:
        return false;
    }
}

namespace {

// The socket and what it has done. Opened and closed by the main thread,
// written by the receiver thread; every syscall under the lock is one that
// does not block.
std::mutex bridge_mtx;
int bridge_fd = -1;                                   // guarded by bridge_mtx
can_bridge_status_t bridge_state{false, "", 0, 0};    // guarded by bridge_mtx

void say(const char *fmt, const char *a, const char *b = "")
{
    out_err(fmt, a, b);
    fflush(stderr);
}

} // namespace

int can_bridge_open(const char *iface)
{
    struct ifreq ifr {};
    if (iface == nullptr || iface[0] == '\0' || strlen(iface) >= sizeof ifr.ifr_name) {
        say("can bridge: invalid interface name %s\n", iface != nullptr ? iface : "");
        return -1;
    }
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        say("can bridge: no CAN sockets on this system (%s): the kernel needs the can and can-raw modules\n",
            strerror(errno));
        return -1;
    }
    auto refuse = [fd](const char *fmt, const char *a, const char *b = "") {
        say(fmt, a, b);
        close(fd);
        return -1;
    };
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", iface);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) != 0)
        return refuse("can bridge: no interface %s (%s)\n", iface, strerror(errno));
    const int index = ifr.ifr_ifindex;
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) != 0 || ifr.ifr_hwaddr.sa_family != ARPHRD_CAN)
        return refuse("can bridge: %s is not a CAN interface\n", iface);
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0 || !(ifr.ifr_flags & IFF_UP))
        return refuse("can bridge: %s is down\n", iface);
    // The socket only sends: no filter lets a frame of the bus queue up in it.
    if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) != 0)
        return refuse("can bridge: %s: %s\n", iface, strerror(errno));
    struct sockaddr_can addr {};
    addr.can_family = AF_CAN;
    addr.can_ifindex = index;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
        return refuse("can bridge: %s: %s\n", iface, strerror(errno));
    // An interface that went down between the test and the bind is
    // reported on the socket.
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) == 0 && pending != 0)
        return refuse("can bridge: %s: %s\n", iface, strerror(pending));

    std::lock_guard<std::mutex> lock(bridge_mtx);
    if (bridge_fd >= 0)
        close(bridge_fd);
    bridge_fd = fd;
    bridge_state = can_bridge_status_t{true, "", 0, 0};
    snprintf(bridge_state.iface, sizeof bridge_state.iface, "%s", iface);
    return 0;
}

can_bridge_status_t can_bridge_close(void)
{
    std::lock_guard<std::mutex> lock(bridge_mtx);
    const can_bridge_status_t was = bridge_state;
    if (bridge_fd >= 0)
        close(bridge_fd);
    bridge_fd = -1;
    bridge_state.on = false;
    return was;
}

void can_bridge_record(const uint8_t *record)
{
    std::lock_guard<std::mutex> lock(bridge_mtx);
    if (bridge_fd < 0)
        return;
    struct can_frame frame;
    if (!can_record_to_frame(record, &frame))
        return;
    if (send(bridge_fd, &frame, sizeof frame, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof frame)) {
        ++bridge_state.written;
        return;
    }
    // A full socket buffer or device queue: this frame is lost, the
    // bridge goes on.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
        ++bridge_state.dropped;
        return;
    }
    // Anything else (the interface deleted or set down) will not mend
    // itself: say so once and stop.
    fprintf(stderr, "can bridge: %s: %s; bridge off\n", bridge_state.iface, strerror(errno));
    fflush(stderr);
    close(bridge_fd);
    bridge_fd = -1;
    bridge_state.on = false;
}

can_bridge_status_t can_bridge_status(void)
{
    std::lock_guard<std::mutex> lock(bridge_mtx);
    return bridge_state;
}
