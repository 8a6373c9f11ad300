// Host side of the peer test: boots the guest under QEMU with two emulated
// converters on an xHCI controller and loops the first one's line back
// through a socket echo that never blocks QEMU (a blocking echo can stall it
// on large transfers). The second one's line ends in a pseudo-terminal of
// ours; each time the guest announces a setting there, the rate, format or
// flow control QEMU reports decoding (its trace events) is compared with
// what our request meant, and the terminal's settings with what QEMU gives a
// host serial port.
// Usage: peer_host QEMU KERNEL INITRD SECONDS [can]
// Exit 0 only when the guest reported PASS, every setting matched and QEMU
// ended by itself. With "can" the guest is the CAN one: no converters, and
// its result is all there is to check.
#include "baud.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int failures = 0;

void fail(const std::string &what) {
    ++failures;
    std::printf("peer: FAIL %s\n", what.c_str());
}

// The rate the divisor word and extension we send for `baud` stand for on a
// 3 MHz chip, in exact eighths. (calcBaudRate rounds the eighths to whole
// hundredths, so it may be a few baud off; that is good enough for the 3 %
// acceptance, not for comparing with another decoder.)
uint32_t intended_rate(uint32_t baud) {
    uint16_t word = 0, ext = 0;
    if (!Baud_standard(baud, &word) && Baud_getDivisor(baud, &word, &ext) != 1) return 0;
    if (word == 0) return 3000000;
    static const unsigned eighths[2][4] = {{0, 4, 2, 1}, {3, 5, 6, 7}};
    const unsigned n = word & 0x3FFF, f = word >> 14, e = ext & 1;
    return (uint32_t)(24000000ull / (8ull * n + eighths[e][f]));
}

struct termios2 line_settings(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) std::perror("peer: TCGETS2");
    return t;
}

// The speed of the host port: exact when given as a number, else the fixed
// rate its speed code names.
uint32_t line_rate(const struct termios2 &t) {
    speed_t code = t.c_cflag & CBAUD;
    if (code == BOTHER) return t.c_ospeed;
    struct {
        speed_t code;
        uint32_t rate;
    } const table[] = {{B0, 0},           {B50, 50},           {B75, 75},           {B110, 110},
                       {B134, 134},       {B150, 150},         {B200, 200},         {B300, 300},
                       {B600, 600},       {B1200, 1200},       {B1800, 1800},       {B2400, 2400},
                       {B4800, 4800},     {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
                       {B57600, 57600},   {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
                       {B500000, 500000}, {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000},
                       {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000},
                       {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000}};
    for (const auto &e : table)
        if (e.code == code) return e.rate;
    return 0;
}

// The classic speed within 3 % of `rate`, or 0. QEMU gives a host serial
// port one of the classic speeds; for a rate near one of them it must be that
// one. Rates between them go to a neighbour by a rule of QEMU's own (seen:
// 250000 to 230400 but 275862 to 460800), which is not checked.
uint32_t classic_speed(uint32_t rate) {
    const uint32_t speeds[] = {50,   75,    110,   134,   150,   200,    300,    600,    1200,   1800,   2400,
                               4800, 9600,  19200, 38400, 57600, 115200, 230400, 460800, 921600, 2000000, 3000000};
    for (uint32_t v : speeds)
        if (rate * 100ull <= v * 103ull && v * 100ull <= rate * 103ull) return v;
    return 0;
}

int listen_unix(const std::string &path) {
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (s < 0 || bind(s, (sockaddr *)&a, sizeof a) != 0 || listen(s, 1) != 0) {
        std::perror("peer: echo socket");
        std::exit(2);
    }
    return s;
}


struct Run {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    int out = -1;       // QEMU's console and messages
    int listener = -1;  // echo socket, until QEMU connects
    int echo = -1;
    int pty = -1;
    std::string pending;  // echo bytes QEMU has not taken yet
    std::string line;
    bool guest_pass = false;
    bool guest_done = false;
    size_t echoed = 0;
    unsigned long decoded_rate = 0;  // last rate QEMU reported, 0 after use
    std::string decoded_format;
    unsigned decoded_flow = 99, decoded_xon = 0, decoded_xoff = 0;
    int flows_checked = 0;
    int trace_lines = 0;
    int rates_checked = 0;
    int formats_checked = 0;
};

void answer(Run &r) {
    if (r.pty >= 0 && write(r.pty, "k", 1) != 1) fail("cannot answer on the pseudo-terminal");
}

void on_line(Run &r, const std::string &l) {
    std::printf("[%5.1f s] %s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - r.start).count(), l.c_str());
    std::fflush(stdout);
    unsigned long baud = 0, traced = 0;
    unsigned bits = 0, stop = 0, parity = 0;
    char traced_parity = 0;
    unsigned traced_bits = 0, traced_stop = 0;
    // QEMU's own account of each line setting it decoded (its trace events).
    if (l.find("usb_serial_set_") != std::string::npos) ++r.trace_lines;
    if (auto p = l.find("usb_serial_set_baud "); p != std::string::npos) {
        auto q = l.find("baud rate ", p);
        if (q != std::string::npos && std::sscanf(l.c_str() + q, "baud rate %lu", &traced) == 1) r.decoded_rate = traced;
    } else if (auto p = l.find("usb_serial_set_data "); p != std::string::npos) {
        auto q = l.find("parity ", p);
        if (q != std::string::npos &&
            std::sscanf(l.c_str() + q, "parity %c, data bits %u, stop bits %u", &traced_parity, &traced_bits,
                        &traced_stop) == 3)
            r.decoded_format = std::string(1, traced_parity) + "/" + std::to_string(traced_bits) + "/" +
                               std::to_string(traced_stop);
    } else if (auto p = l.find("usb_serial_set_flow_control "); p != std::string::npos) {
        auto q = l.find("flow control ", p);
        if (q != std::string::npos) std::sscanf(l.c_str() + q, "flow control %u", &r.decoded_flow);
    } else if (auto p = l.find("usb_serial_set_xonxoff "); p != std::string::npos) {
        auto q = l.find("xon ", p);
        if (q != std::string::npos) std::sscanf(l.c_str() + q, "xon %x xoff %x", &r.decoded_xon, &r.decoded_xoff);
    } else if (unsigned mode = 0, xon = 0, xoff = 0;
               std::sscanf(l.c_str(), "PEER FLOW %x %x %x", &mode, &xon, &xoff) == 3) {
        // QEMU reports the mode byte of the request, and the two characters
        // of an XON/XOFF request.
        std::printf("peer: flow 0x%04x: QEMU decodes mode %u, xon 0x%02x, xoff 0x%02x\n", mode, r.decoded_flow,
                    r.decoded_xon, r.decoded_xoff);
        if (r.decoded_flow != mode >> 8) fail("flow control mode " + std::to_string(mode));
        if (mode == 0x0400 && (r.decoded_xon != xon || r.decoded_xoff != xoff)) fail("XON/XOFF characters");
        r.decoded_flow = 99;
        r.decoded_xon = r.decoded_xoff = 0;
        ++r.flows_checked;
        answer(r);
    } else if (std::sscanf(l.c_str(), "PEER BAUD %lu", &baud) == 1) {
        // Our divisor for the requested rate, as QEMU decodes it, must
        // be exactly the rate our arithmetic meant.
        const uint32_t ours = intended_rate((uint32_t)baud);
        const uint32_t port = line_rate(line_settings(r.pty));
        std::printf("peer: baud %lu: our divisor means %u, QEMU decodes %lu, the host port runs at %u\n", baud,
                    ours, r.decoded_rate, port);
        // And whatever our tables say, the line must run within 3 % of the
        // rate asked for.
        if (r.decoded_rate * 100 > baud * 103 || r.decoded_rate * 103 < baud * 100)
            fail("baud " + std::to_string(baud) + ": QEMU decodes " + std::to_string(r.decoded_rate) +
                 ", more than 3 % off");
        if (r.decoded_rate + 1 < ours || r.decoded_rate > ours + 1)
            fail("baud " + std::to_string(baud) + ": QEMU decodes " + std::to_string(r.decoded_rate) +
                 ", our divisor means " + std::to_string(ours));
        if (const uint32_t classic = classic_speed(ours); classic != 0 && port != classic)
            fail("baud " + std::to_string(baud) + ": host port at " + std::to_string(port) + ", expected " +
                 std::to_string(classic));
        r.decoded_rate = 0;
        ++r.rates_checked;
        answer(r);
    } else if (std::sscanf(l.c_str(), "PEER FORMAT %u %u %u", &bits, &stop, &parity) == 3) {
        const char *names = "NOEMS";
        const std::string want =
            std::string(1, parity < 5 ? names[parity] : '?') + "/" + std::to_string(bits) + "/" + (stop ? "2" : "1");
        const struct termios2 t = line_settings(r.pty);
        const unsigned port_stop = (t.c_cflag & CSTOPB) ? 2 : 0;
        std::printf("peer: format %u/%u/%u: QEMU decodes %s (parity/bits/stop), the host port has %s stop bits\n",
                    bits, stop, parity, r.decoded_format.c_str(), port_stop ? "2" : "1");
        if (r.decoded_format != want) fail("format: QEMU decodes " + r.decoded_format + ", we meant " + want);
        // The host port takes the stop bits only: QEMU leaves its word length
        // and parity alone (observed), so those are checked on the trace.
        if (port_stop != stop) fail("format: host port stop bits differ");
        r.decoded_format.clear();
        ++r.formats_checked;
        answer(r);
    } else if (l.find("PEER RESULT PASS") == 0) {
        r.guest_pass = true;
        r.guest_done = true;
    } else if (l.find("PEER RESULT") == 0) {
        r.guest_done = true;
    }
}

}  // namespace

int main(int argc, char **argv) {
    const bool can_guest = argc == 6 && std::strcmp(argv[5], "can") == 0;
    if (argc != 5 && !can_guest) {
        std::fprintf(stderr, "usage: peer_host QEMU KERNEL INITRD SECONDS [can]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    char dir[] = "/tmp/peer-XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("peer: mkdtemp");
        return 2;
    }
    const std::string sock = std::string(dir) + "/echo.sock";
    Run r;
    r.listener = listen_unix(sock);
    // The second converter's line ends in a pseudo-terminal of ours that
    // QEMU drives as a host serial port, so the line settings it applies
    // land in the terminal's settings, which the master side reads.
    r.pty = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (r.pty < 0 || grantpt(r.pty) != 0 || unlockpt(r.pty) != 0) {
        std::perror("peer: pseudo-terminal");
        return 2;
    }
    const std::string pts = ptsname(r.pty);

    // PEER_VERBOSE=1 and LIBUSB_DEBUG=N reach the guest program, for digging.
    std::string cmdline = "console=ttyS0 quiet loglevel=3 panic=-1 mitigations=off nokaslr lpj=5000000 tsc=reliable";
    for (const char *var : {"PEER_VERBOSE", "LIBUSB_DEBUG"})
        if (const char *v = std::getenv(var)) cmdline += std::string(" ") + var + "=" + v;
    std::vector<std::string> args = {"timeout", "-k", "5", argv[4], argv[1],
                                     "-nographic", "-no-reboot", "-m", "256", "-accel", "tcg", "-nic", "none",
                                     "-kernel", argv[2], "-initrd", argv[3],
                                     "-append", cmdline};
    const std::vector<std::string> converters = {"-trace", "usb_serial_set_*",
                                                 "-device", "qemu-xhci,id=xhci",
                                                 "-chardev", "socket,id=echo,path=" + sock,
                                                 "-device", "usb-serial,bus=xhci.0,chardev=echo,serial=PEERECHO",
                                                 "-chardev", "serial,id=baud,path=" + pts,
                                                 "-device", "usb-serial,bus=xhci.0,chardev=baud,serial=PEERBAUD"};
    if (can_guest) {
        close(r.listener);
        r.listener = -1;
        close(r.pty);
        r.pty = -1;
    } else {
        args.insert(args.end(), converters.begin(), converters.end());
    }
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return 2;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        dup2(pipefd[1], 2);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        std::vector<char *> av;
        for (auto &a : args) av.push_back(a.data());
        av.push_back(nullptr);
        execvp("timeout", av.data());
        _exit(127);
    }
    close(pipefd[1]);
    r.out = pipefd[0];

    char buf[65536];
    bool out_open = true;
    while (out_open) {
        std::vector<pollfd> p;
        p.push_back({r.out, POLLIN, 0});
        if (r.listener >= 0) p.push_back({r.listener, POLLIN, 0});
        if (r.echo >= 0) p.push_back({r.echo, (short)(r.pending.size() < (1u << 20) ? POLLIN : 0), 0});
        if (r.echo >= 0 && !r.pending.empty()) p.back().events |= POLLOUT;
        if (r.pty >= 0) p.push_back({r.pty, POLLIN, 0});
        if (poll(p.data(), p.size(), 1000) < 0) continue;
        for (auto &e : p) {
            if (!e.revents) continue;
            if (e.fd == r.out) {
                ssize_t n = read(r.out, buf, sizeof buf);
                if (n <= 0) {
                    out_open = false;
                    break;
                }
                for (ssize_t i = 0; i < n; ++i) {
                    if (buf[i] == '\n') {
                        if (!r.line.empty() && r.line.back() == '\r') r.line.pop_back();
                        on_line(r, r.line);
                        r.line.clear();
                    } else {
                        r.line += buf[i];
                    }
                }
            } else if (e.fd == r.listener) {
                r.echo = accept4(r.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                close(r.listener);
                r.listener = -1;
            } else if (e.fd == r.echo) {
                // Never block on QEMU: what it does not take now waits here.
                if (e.revents & (POLLIN | POLLHUP)) {
                    ssize_t n = read(r.echo, buf, sizeof buf);
                    if (n > 0) {
                        r.pending.append(buf, (size_t)n);
                        r.echoed += (size_t)n;
                    } else if (n == 0) {
                        close(r.echo);
                        r.echo = -1;
                        continue;
                    }
                }
                if (!r.pending.empty()) {
                    ssize_t n = write(r.echo, r.pending.data(), r.pending.size());
                    if (n > 0) r.pending.erase(0, (size_t)n);
                }
            } else if (e.fd == r.pty) {
                // The guest sends nothing on this line; drain whatever comes.
                if (read(r.pty, buf, sizeof buf) < 0 && errno != EAGAIN) {
                    close(r.pty);
                    r.pty = -1;
                }
            }
        }
    }
    int st = 0;
    waitpid(pid, &st, 0);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    unlink(sock.c_str());
    rmdir(dir);

    if (WIFEXITED(st) && WEXITSTATUS(st) == 124) fail("QEMU did not finish within " + std::string(argv[4]) + " s");
    else if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) fail("QEMU ended with status " + std::to_string(st));
    if (!r.guest_done) fail("the guest printed no result line");
    else if (!r.guest_pass) fail("the guest reported failures");
    if (can_guest) {
        std::printf("peer: CAN guest %s, %.1f s\n", r.guest_pass ? "passed" : "failed", secs);
    } else {
        if (r.trace_lines == 0) fail("QEMU printed no trace of the converter's settings (option -trace usb_serial_set_*)");
        if (r.rates_checked < 10) fail("only " + std::to_string(r.rates_checked) + " baud rates were compared");
        if (r.flows_checked < 4) fail("only " + std::to_string(r.flows_checked) + " flow controls were compared");
        if (r.formats_checked < 3) fail("only " + std::to_string(r.formats_checked) + " formats were compared");
        std::printf("peer: %zu bytes echoed, %d rates, %d formats and %d flow controls compared, %.1f s\n", r.echoed,
                    r.rates_checked, r.formats_checked, r.flows_checked, secs);
    }
    std::printf("peer: %s\n", failures == 0 ? "PASS" : "FAIL");
    return failures == 0 ? 0 : 1;
}
