// The console as a user runs it, on the simulated box in real timing: for
// each scenario the time it took, set against the modelled limit of the line.
//
// The limit is what the converter model allows a host that wastes nothing:
// every wire byte both ways at 230400 baud (10 bit times, 43.4 us), the box
// answering as soon as a request's closing flag is in (the trace shows when
// it did), and the USB frame waits of the model's packet rules:
//   - a bulk OUT transfer goes out on the first 1 ms frame after it was
//     submitted, so a request written right after the previous answer came
//     in waits one whole frame;
//   - the answer's bulk IN packet leaves on the first frame after its closing
//     flag (the event character) has arrived at the chip;
//   - a control request takes one frame.
// One exchange on its own thus takes the wire time of request and answer
// rounded up to the next frame; a run of exchanges adds one frame before
// each request but the first.
//
// Measured times come from the simulator's trace (the time stamps of the
// wire bytes: from the first request byte on the wire to the frame on which
// the last answer reaches the host), except the ping, where the console's
// own printed turn-around is what the user sees, and the whole run, which is
// the wall time of the process.
//
// Usage: console_bench [--bin TARNCTL_SIM] [--runs N] [--only NAME] [--keep DIR]
// Not a test: it measures and prints, it asserts nothing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double kByteUs = 10e6 / 230400; // one serial byte, both directions
constexpr uint64_t kFrameUs = 1000;       // full-speed USB frame
constexpr int kSimByteUs = 43;            // the model's byte time, whole microseconds
const char *const kCode = "kvrl.Pembrix-Ubo42";

uint64_t frame_floor(uint64_t t) { return t / kFrameUs * kFrameUs; }
uint64_t frame_ceil(double t) { return static_cast<uint64_t>(std::ceil(t / kFrameUs - 1e-9)) * kFrameUs; }

// ---- running the console ------------------------------------------------------

struct Run {
    int status = -1;
    std::string out;
    double wall_ms = 0;
};

Run run_console(const std::string &bin, const std::vector<std::string> &args,
                const std::map<std::string, std::string> &env, const std::string &input, int limit_s)
{
    Run r;
    int in_pipe[2], out_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) {
        perror("pipe");
        return r;
    }
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(in_pipe[1]);
        close(out_pipe[0]);
        for (const auto &[k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(bin.c_str()));
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    if (!input.empty() && write(in_pipe[1], input.data(), input.size()) < 0)
        perror("write");
    close(in_pipe[1]);
    const auto deadline = t0 + std::chrono::seconds(limit_s);
    char buf[65536];
    for (;;) {
        pollfd p{out_pipe[0], POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            const ssize_t n = read(out_pipe[0], buf, sizeof buf);
            if (n <= 0)
                break;
            r.out.append(buf, static_cast<size_t>(n));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            fprintf(stderr, "console_bench: %s took over %d s, stopped\n", bin.c_str(), limit_s);
            kill(pid, SIGKILL);
            break;
        }
    }
    close(out_pipe[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    return r;
}

// ---- the trace ------------------------------------------------------------------

// One HDLC frame on the serial line, flags included.
struct WireFrame {
    uint64_t start = 0;  // first byte starts on the wire (TX) or leaves the box (RX)
    double end = 0;      // closing flag done: sent (TX), arrived at the chip (RX)
    size_t bytes = 0;
};

struct Trace {
    std::vector<WireFrame> tx, rx;
    size_t control = 0;
};

std::vector<uint8_t> unhex(const std::string &h)
{
    std::vector<uint8_t> v;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        v.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return v;
}

// Splits one direction's bytes (each with its start time) into frames.
class Framer {
public:
    explicit Framer(std::vector<WireFrame> &out) : out_(out) {}
    void byte(uint8_t b, double start, double end)
    {
        if (b == 0x7E) {
            if (content_ > 0) {
                cur_.end = end;
                cur_.bytes = content_ + 2;
                out_.push_back(cur_);
            }
            cur_ = WireFrame{};
            cur_.start = static_cast<uint64_t>(start);
            content_ = 0;
            return;
        }
        if (content_ == 0 && cur_.start == 0 && out_.empty())
            cur_.start = static_cast<uint64_t>(start);
        ++content_;
    }

private:
    std::vector<WireFrame> &out_;
    WireFrame cur_;
    size_t content_ = 0;
};

Trace read_trace(const std::string &path)
{
    Trace t;
    std::ifstream in(path);
    std::string line;
    Framer tx(t.tx), rx(t.rx);
    double rx_busy = 0;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        uint64_t us;
        std::string serial, kind, data;
        if (!(ls >> us >> serial >> kind))
            continue;
        if (kind == "CTRL") {
            ++t.control;
        } else if (kind == "WIRE_TX" && (ls >> data)) {
            // Stamped when the last byte of the batch was out.
            const auto b = unhex(data);
            for (size_t i = 0; i < b.size(); ++i) {
                const double end = static_cast<double>(us) - static_cast<double>(kSimByteUs) * (b.size() - 1 - i);
                tx.byte(b[i], end - kSimByteUs, end);
            }
        } else if (kind == "WIRE_RX" && (ls >> data)) {
            // Stamped when the box started sending; the bytes follow each
            // other on the line.
            const auto b = unhex(data);
            for (uint8_t x : b) {
                const double start = std::max(rx_busy, static_cast<double>(us));
                rx_busy = start + kSimByteUs;
                rx.byte(x, start, rx_busy);
            }
        }
    }
    return t;
}

// The requests (console frames) from the first one on, each with the box's
// frames that answer it (those that start after it and before the next).
struct Exchange {
    WireFrame req;
    size_t rx_bytes = 0;
    uint64_t rx_start = 0;
    double rx_end = 0; // closing flag of the last answer frame at the chip
};

std::vector<Exchange> exchanges_of(const Trace &t)
{
    std::vector<Exchange> ex;
    size_t r = 0;
    for (size_t i = 0; i < t.tx.size(); ++i) {
        Exchange e;
        e.req = t.tx[i];
        const double next = i + 1 < t.tx.size() ? static_cast<double>(t.tx[i + 1].start) : 1e300;
        while (r < t.rx.size() && static_cast<double>(t.rx[r].start) + 1 < e.req.end)
            ++r; // the box's own frames from before this request
        while (r < t.rx.size() && static_cast<double>(t.rx[r].start) < next) {
            if (e.rx_bytes == 0)
                e.rx_start = t.rx[r].start;
            e.rx_bytes += t.rx[r].bytes;
            e.rx_end = t.rx[r].end;
            ++r;
        }
        ex.push_back(e);
    }
    return ex;
}

// Modelled time of one exchange from its request's first byte on the wire to
// its answer at the host; the box's reaction time as the trace shows it.
double exchange_limit_us(const Exchange &e)
{
    const double wire = static_cast<double>(e.req.bytes + e.rx_bytes) * kByteUs;
    if (e.rx_bytes == 0)
        return static_cast<double>(e.req.bytes) * kByteUs;
    const double box = std::max(0.0, static_cast<double>(e.rx_start) - e.req.end);
    return static_cast<double>(frame_ceil(wire + box));
}

struct Window {
    size_t exchanges = 0;
    double measured_us = 0;
    double limit_us = 0;
};

Window window_of(const std::vector<Exchange> &ex)
{
    Window w;
    if (ex.empty())
        return w;
    w.exchanges = ex.size();
    double end = 0;
    for (size_t i = 0; i < ex.size(); ++i) {
        w.limit_us += exchange_limit_us(ex[i]);
        if (i > 0 && ex[i - 1].rx_bytes > 0)
            w.limit_us += kFrameUs; // the request's OUT packet waits for the next frame
        end = ex[i].rx_bytes > 0 ? static_cast<double>(frame_ceil(ex[i].rx_end)) : ex[i].req.end;
    }
    w.measured_us = end - static_cast<double>(frame_floor(ex.front().req.start));
    return w;
}

// ---- scenarios ----------------------------------------------------------------------

struct Sample {
    size_t exchanges = 0;
    double measured_ms = 0, limit_ms = 0;
    std::string note;
};

struct Row {
    std::string name;
    std::vector<Sample> samples;
};

std::string fresh_dir(const std::string &keep, const std::string &name, int run)
{
    std::string base = keep.empty() ? "/tmp/console_bench_XXXXXX" : keep + "/" + name + "_" + std::to_string(run) + "_XXXXXX";
    std::vector<char> b(base.begin(), base.end());
    b.push_back('\0');
    if (mkdtemp(b.data()) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    return b.data();
}

size_t count_lines_starting(const std::string &out, const std::string &head)
{
    size_t n = 0;
    std::istringstream in(out);
    std::string l;
    while (std::getline(in, l)) {
        // The interactive prompt leads the first line of each command.
        while (l.rfind("# ", 0) == 0)
            l.erase(0, 2);
        if (l.rfind(head, 0) == 0)
            ++n;
    }
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    std::string bin = TARNCTL_SIM_BIN;
    std::string only, keep;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--bin" && i + 1 < argc)
            bin = argv[++i];
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, atoi(argv[++i]));
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--keep" && i + 1 < argc)
            keep = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--bin TARNCTL_SIM] [--runs N] [--only NAME] [--keep DIR]\n"
                            "NAME: ping, version, vlan, mdio, cfg, run\n",
                    argv[0]);
            return 2;
        }
    }

    struct Scenario {
        std::string key, title;
        std::vector<std::string> args;
        std::string input;
        int limit_s;
    };
    const std::vector<Scenario> scenarios = {
        {"ping", "-p turn-around (printed)", {"-p", "-p", "-p", "-p", "-p"}, "", 60},
        {"version", "-V exchange (wire to answer)", {"-V"}, "", 60},
        {"vlan", "vlan (full listing)", {"-U", kCode, "-i"}, "vlan\nexit\n", 600},
        {"mdio", "test mdio", {"-U", kCode, "-i"}, "test mdio\nexit\n", 600},
        {"cfg", "cfg write", {"-U", kCode, "-i"}, "cfg write\nexit\n", 120},
        {"run", "tarnctl-sim -V (whole run)", {"-V"}, "", 60},
    };

    std::vector<Row> rows;
    for (const Scenario &s : scenarios) {
        if (!only.empty() && only != s.key)
            continue;
        Row row{s.title, {}};
        Row wire{"-p exchange (wire to answer)", {}}; // the pings from the trace
        for (int k = 0; k < runs; ++k) {
            const std::string dir = fresh_dir(keep, s.key, k);
            const std::string trace = dir + "/trace";
            const std::map<std::string, std::string> env = {
                {"TARNCTL_SIM_TIMING", "real"}, {"TARNCTL_SIM_STATE", dir}, {"TARNCTL_SIM_TRACE", trace}};
            const Run r = run_console(bin, s.args, env, s.input, s.limit_s);
            const Trace t = read_trace(trace);
            const std::vector<Exchange> ex = exchanges_of(t);
            const Window w = window_of(ex);
            Sample smp;
            smp.exchanges = w.exchanges;
            smp.measured_ms = w.measured_us / 1000;
            smp.limit_ms = w.limit_us / 1000;
            if (r.status != 0)
                smp.note = "exit status " + std::to_string(r.status);
            if (s.key == "ping") {
                // The console's own figure, one a ping; the limit adds the
                // frame the request may wait for its OUT packet.
                static const std::regex re("turn around ([0-9]+)(ms|us)");
                std::vector<double> v;
                for (std::sregex_iterator it(r.out.begin(), r.out.end(), re), e; it != e; ++it)
                    v.push_back(std::stod((*it)[1]) * ((*it)[2] == "ms" ? 1.0 : 0.001));
                std::vector<double> lim;
                for (const Exchange &e : ex)
                    lim.push_back((exchange_limit_us(e) + kFrameUs) / 1000);
                for (size_t i = 0; i < v.size(); ++i) {
                    Sample p;
                    p.exchanges = 1;
                    p.measured_ms = v[i];
                    p.limit_ms = lim.empty() ? 0 : *std::max_element(lim.begin(), lim.end());
                    p.note = "printed in whole ms, rounded down";
                    row.samples.push_back(p);
                }
                // The console's figure is coarse; the trace gives each ping's
                // exchange to the microsecond (without the OUT frame wait).
                for (const Exchange &e : ex) {
                    const Window one = window_of({e});
                    Sample p;
                    p.exchanges = 1;
                    p.measured_ms = one.measured_us / 1000;
                    p.limit_ms = one.limit_us / 1000;
                    wire.samples.push_back(p);
                }
                if (v.empty()) {
                    smp.note = "no turn-around printed";
                    row.samples.push_back(smp);
                }
            } else if (s.key == "run") {
                // Every control request takes a frame; the exchange as above,
                // after the frame its OUT packet waits for.
                smp.exchanges = t.control + ex.size();
                smp.measured_ms = r.wall_ms;
                smp.limit_ms = (static_cast<double>(t.control * kFrameUs) + w.limit_us + (ex.empty() ? 0 : kFrameUs)) / 1000;
                smp.note += (smp.note.empty() ? "" : "; ") + std::to_string(t.control) + " control requests";
                row.samples.push_back(smp);
            } else {
                if (s.key == "vlan") {
                    const size_t shown = count_lines_starting(r.out, "vid(");
                    if (shown != 4096)
                        smp.note += (smp.note.empty() ? "" : "; ") + std::to_string(shown) + " VLANs shown";
                }
                row.samples.push_back(smp);
            }
            if (keep.empty())
                std::system(("rm -rf '" + dir + "'").c_str());
        }
        rows.push_back(row);
        if (!wire.samples.empty())
            rows.push_back(wire);
    }

    printf("console_bench: %s\nreal timing, %d run(s) a scenario; line 230400 baud (%.1f us a byte), USB frame %llu us\n\n",
           bin.c_str(), runs, kByteUs, static_cast<unsigned long long>(kFrameUs));
    printf("%-32s %9s %12s %21s %10s %6s\n", "scenario", "exchanges", "measured", "(min - max)", "limit", "ratio");
    for (const Row &row : rows) {
        std::vector<double> m;
        for (const Sample &s : row.samples)
            m.push_back(s.measured_ms);
        std::sort(m.begin(), m.end());
        const double median = m.empty() ? 0 : m[m.size() / 2];
        const Sample &first = row.samples.front();
        char range[64];
        snprintf(range, sizeof range, "(%.1f - %.1f)", m.front(), m.back());
        char ex[32];
        snprintf(ex, sizeof ex, "%zu", first.exchanges);
        printf("%-32s %9s %9.1f ms %21s %7.1f ms %6.2f", row.name.c_str(), ex, median, range, first.limit_ms,
               first.limit_ms > 0 ? median / first.limit_ms : 0.0);
        std::string notes;
        for (const Sample &s : row.samples)
            if (!s.note.empty() && notes.find(s.note) == std::string::npos)
                notes += (notes.empty() ? "" : "; ") + s.note;
        printf("%s%s\n", notes.empty() ? "" : "  ", notes.c_str());
    }
    return 0;
}
