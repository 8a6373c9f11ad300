// Guest side of the CAN bridge test, the program of the CAN guest's init.
// It creates vcan0 with the kernel's own CAN modules, runs the console
// (tarnctl-sim at /peer/console) with the simulated box's trace on, bridged
// to vcan0 and logged to a file, reads vcan0 with a raw CAN socket of its
// own, and compares every frame with the record the console printed and the
// line it logged: identifier, flags, length, data, error frames, order, none
// lost. Then the refusals (no such interface, one that is down, one that is
// not CAN) and an interface that goes down, and then away, during the run.
// Prints PEER lines for the host, and last PEER RESULT PASS or FAIL.
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

const char *const code = "kvrl.Pembrix-Ubo42";
int failures = 0;

void fail(const std::string &what)
{
    ++failures;
    std::printf("PEER FAIL %s\n", what.c_str());
    std::fflush(stdout);
}

// busybox ip with the blank-separated arguments (the image has no shell
// at /bin/sh for system()).
void ip(const std::string &args)
{
    std::vector<std::string> words = {"ip"};
    for (size_t at = 0, sp; at < args.size(); at = sp + 1) {
        sp = args.find(' ', at);
        if (sp == std::string::npos)
            sp = args.size();
        words.push_back(args.substr(at, sp - at));
    }
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        execv("/bin/busybox", argv.data());
        _exit(127);
    }
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0)
        fail("ip " + args);
}

// A trace record as the console printed it.
struct Printed {
    int kind = 0; // 0 frame, 1 message error, 2 CAN error
    unsigned id = 0, dlc = 0, error = 0;
    std::string data; // upper-case hex
};

bool parse_record(const std::string &l, Printed *r)
{
    char rest[128] = "";
    int ts = 0, n = 0;
    if (std::sscanf(l.c_str(), "%d ERROR 0 CAN Error: %u%n", &ts, &r->error, &n) == 2 && l[n] == '\0') {
        r->kind = 2;
        return true;
    }
    if (std::sscanf(l.c_str(), "%d ERROR 0 Message Error%n", &ts, &n) == 1 && n > 0 && l[n] == '\0') {
        r->kind = 1;
        return true;
    }
    // "%07d %02X %02d %s": a timestamp of seven digits at least.
    if (l.size() < 8 || l.find_first_not_of("0123456789") < 7)
        return false;
    if (std::sscanf(l.c_str(), "%d %x %u %127s", &ts, &r->id, &r->dlc, rest) < 3)
        return false;
    r->kind = 0;
    r->data = rest;
    return true;
}

std::string hex(const uint8_t *p, unsigned n)
{
    std::string s;
    char b[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

// The console under test, its three pipes and what it has said.
struct Console {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
    std::string out_part, err_part;
    std::vector<Printed> records;
    std::vector<std::string> said, errors; // other stdout lines; stderr lines
};

// The frames read from vcan0.
int reader = -1;
std::vector<can_frame> frames;

void start(Console &c)
{
    int pin[2], pout[2], perr[2];
    if (pipe(pin) != 0 || pipe(pout) != 0 || pipe(perr) != 0) {
        fail("pipes");
        return;
    }
    c.pid = fork();
    if (c.pid == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        for (int fd : {pin[0], pin[1], pout[0], pout[1], perr[0], perr[1]})
            close(fd);
        setenv("TARNCTL_SIM_TIMING", "fast", 1);
        setenv("TARNCTL_SIM_STATE", "/tmp/state", 1);
        setenv("TARNCTL_SIM_FAULTS", "trace-ms=2", 1);
        execl("/peer/console", "tarnctl-sim", "-U", code, "-i", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    c.in = pin[1];
    c.out = pout[0];
    c.err = perr[0];
}

void send(Console &c, const std::string &lines)
{
    if (write(c.in, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()))
        fail("writing to the console");
}

void take_lines(int fd, std::string &part, const std::function<void(std::string)> &on_line)
{
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
        return;
    part.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = part.find('\n')) != std::string::npos;) {
        std::string l = part.substr(0, nl);
        part.erase(0, nl + 1);
        on_line(l);
    }
}

// Takes what is there from the console and vcan0, waiting up to ms.
void pump(Console &c, int ms)
{
    pollfd p[3] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}, {reader, POLLIN, 0}};
    if (poll(p, 3, ms) <= 0)
        return;
    if (p[0].revents)
        take_lines(c.out, c.out_part, [&c](std::string l) {
            while (l.compare(0, 2, "# ") == 0) // the prompts, without line ends
                l.erase(0, 2);
            Printed r;
            if (parse_record(l, &r))
                c.records.push_back(r);
            else if (!l.empty())
                c.said.push_back(l);
        });
    if (p[1].revents)
        take_lines(c.err, c.err_part, [&c](std::string l) {
            std::printf("PEER CONSOLE SAID %s\n", l.c_str());
            std::fflush(stdout);
            c.errors.push_back(l);
        });
    if (p[2].revents) {
        can_frame f;
        while (read(reader, &f, sizeof f) == static_cast<ssize_t>(sizeof f))
            frames.push_back(f);
    }
}

bool wait_for(Console &c, const std::string &what, const std::function<bool()> &done, int seconds = 60)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            fail("waited " + std::to_string(seconds) + " s for " + what);
            return false;
        }
        pump(c, 100);
    }
    return true;
}

bool said(const Console &c, const std::string &prefix)
{
    for (const auto &l : c.said)
        if (l.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

// What the kernel itself answers for an interface, without the console.
void probe(const char *name)
{
    std::string report = std::string("PEER KERNEL ") + name + ":";
    const unsigned index = if_nametoindex(name);
    if (index == 0) {
        std::printf("%s interface index: %s\n", report.c_str(), std::strerror(errno));
        return;
    }
    const int s = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK, CAN_RAW);
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = static_cast<int>(index);
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        report += std::string(" bind: ") + std::strerror(errno);
    } else {
        int pending = 0;
        socklen_t len = sizeof pending;
        getsockopt(s, SOL_SOCKET, SO_ERROR, &pending, &len);
        report += std::string(" bind: ok, socket error: ") + (pending ? std::strerror(pending) : "none");
        can_frame f{};
        f.can_id = 0x123;
        report += std::string(", send: ") + (send(s, &f, sizeof f, 0) == sizeof f ? "ok" : std::strerror(errno));
    }
    close(s);
    std::printf("%s\n", report.c_str());
}

// The frame the console's printed record and logged line stand for.
void compare(size_t i, const Printed &r, const std::string &logged, const can_frame &f, int *errors_seen)
{
    const std::string at = "frame " + std::to_string(i) + ": ";
    if (f.can_id & CAN_RTR_FLAG)
        fail(at + "remote request flag set");
    if (r.kind == 0) {
        const bool ext = f.can_id & CAN_EFF_FLAG;
        const unsigned id = f.can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK);
        // The screen shows the low 18 bits of an extended identifier.
        if ((f.can_id & CAN_ERR_FLAG) || (ext ? id & 0x3FFFF : id) != r.id)
            fail(at + "identifier " + std::to_string(f.can_id) + ", printed " + std::to_string(r.id));
        if (f.len != (r.dlc > 8 ? 8 : r.dlc) || hex(f.data, f.len) != r.data.substr(0, 2 * f.len))
            fail(at + "length or data " + hex(f.data, f.len) + ", printed " + r.data);
        char want[32];
        std::snprintf(want, sizeof want, "%0*X#", ext ? 8 : 3, id);
        if (logged != want + hex(f.data, f.len))
            fail(at + "logged " + logged + ", sent " + want + hex(f.data, f.len));
        return;
    }
    ++*errors_seen;
    uint8_t data[8] = {};
    canid_t id = CAN_ERR_FLAG | CAN_ERR_BUSERROR | (r.kind == 1 ? CAN_ERR_PROT : CAN_ERR_CRTL);
    if (r.kind == 2)
        data[5] = static_cast<uint8_t>(r.error);
    if (f.can_id != id || f.len != CAN_ERR_DLC || std::memcmp(f.data, data, 8) != 0)
        fail(at + "error frame " + std::to_string(f.can_id) + " " + hex(f.data, f.len));
    char want[32];
    std::snprintf(want, sizeof want, "%08X#", id);
    if (logged != want + hex(data, 8))
        fail(at + "logged " + logged);
}

std::vector<std::string> read_log(const char *path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);) {
        // (seconds.micros) interface ID#DATA: the frame part only.
        const size_t sp = l.rfind(' ');
        lines.push_back(sp == std::string::npos ? l : l.substr(sp + 1));
    }
    return lines;
}

} // namespace

int main()
{
    signal(SIGPIPE, SIG_IGN);
    ip("link add dev vcan0 type vcan");
    ip("link set dev vcan0 up");
    ip("link add dev vcan1 type vcan"); // left down
    for (const char *name : {"nosuch0", "vcan1", "lo"})
        probe(name);

    // Our reader: every frame, error frames too, with room for a burst.
    reader = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK, CAN_RAW);
    const can_err_mask_t all_errors = CAN_ERR_MASK;
    const int rcvbuf = 1 << 20;
    setsockopt(reader, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &all_errors, sizeof all_errors);
    setsockopt(reader, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = static_cast<int>(if_nametoindex("vcan0"));
    if (reader < 0 || bind(reader, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        fail(std::string("reader on vcan0: ") + std::strerror(errno));
        std::printf("PEER RESULT FAIL\n");
        return 1;
    }

    Console c;
    start(c);

    // Refusals: each a message, and the bridge stays off.
    send(c, "can bridge nosuch0\ncan bridge lo\ncan bridge vcan1\ncan bridge\n");
    wait_for(c, "the refusals", [&] { return c.errors.size() >= 3 && said(c, "bridge off"); });
    const char *refusals[] = {"can bridge: no interface nosuch0 (No such device)",
                              "can bridge: lo is not a CAN interface", "can bridge: vcan1 is down"};
    for (size_t i = 0; i < 3; ++i)
        if (i >= c.errors.size() || c.errors[i] != refusals[i])
            fail(std::string("refusal: wanted ") + refusals[i]);

    // The trace on the screen, in the log and on vcan0 at once.
    const size_t want = 1000;
    send(c, "can log /tmp/can.log\ncan bridge vcan0\ncan dump on\n");
    wait_for(c, std::to_string(want) + " frames", [&] { return frames.size() >= want; });
    send(c, "can dump off\ncan bridge\n");
    wait_for(c, "the bridge's state", [&] { return said(c, "bridge vcan0: "); });
    unsigned long long written = 0, dropped = 0;
    for (const auto &l : c.said)
        std::sscanf(l.c_str(), "bridge vcan0: %llu frames written, %llu dropped", &written, &dropped);
    // The kernel hands frames to its readers a moment after the send.
    wait_for(c, "every frame written", [&] { return frames.size() >= written; }, 10);
    const std::vector<std::string> logged = read_log("/tmp/can.log");
    std::printf("PEER BRIDGE %llu written, %llu dropped; %zu printed, %zu logged, %zu read\n", written, dropped,
                c.records.size(), logged.size(), frames.size());
    if (dropped != 0 || written < want || c.records.size() != written || logged.size() != written ||
        frames.size() != written)
        fail("frames lost or added");
    int errors_seen = 0;
    const size_t n = std::min({c.records.size(), logged.size(), frames.size()});
    for (size_t i = 0; i < n; ++i)
        compare(i, c.records[i], logged[i], frames[i], &errors_seen);
    std::printf("PEER COMPARED %zu frames, %d of them error frames\n", n, errors_seen);
    if (errors_seen == 0)
        fail("no error frame among them");

    // The interface set down during the run: one line, the bridge stops,
    // the trace goes on.
    auto stops_and_goes_on = [&](const std::string &how) {
        const size_t lines = c.errors.size(), read_before = frames.size();
        send(c, "can dump on\n");
        wait_for(c, "frames before " + how, [&] { return frames.size() >= read_before + 5; });
        ip(how);
        wait_for(c, "the line on " + how, [&] { return c.errors.size() > lines; });
        const size_t printed = c.records.size();
        wait_for(c, "the trace after " + how, [&] { return c.records.size() >= printed + 20; });
        send(c, "can dump off\n");
        if (c.errors.size() != lines + 1 || c.errors[lines].compare(0, 18, "can bridge: vcan0:") != 0 ||
            c.errors[lines].find("; bridge off") == std::string::npos)
            fail("not one line on " + how);
    };
    stops_and_goes_on("link set dev vcan0 down");
    ip("link set dev vcan0 up");
    c.said.clear();
    send(c, "can bridge vcan0\n");
    wait_for(c, "the bridge again", [&] { return said(c, "bridge vcan0"); });
    stops_and_goes_on("link del dev vcan0");

    c.said.clear();
    send(c, "can bridge\nexit\n");
    close(c.in);
    wait_for(c, "the end of the console", [&] { return said(c, "bridge off"); }, 20);
    int st = 0;
    waitpid(c.pid, &st, 0);
    // It ends by itself, with 1: the refused bridges above failed the session.
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 1)
        fail("console ended with status " + std::to_string(st));

    std::printf("PEER RESULT %s\n", failures == 0 ? "PASS" : "FAIL");
    return failures == 0 ? 0 : 1;
}
