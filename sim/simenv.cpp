// Environment of tarnctl-sim and the trace writer.
#include "simenv.h"

#include "box/box.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>

#include <libusb.h>

namespace sim {

namespace {

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        out.push_back(trim(s.substr(start, p == std::string::npos ? std::string::npos : p - start)));
        if (p == std::string::npos)
            break;
        start = p + 1;
    }
    return out;
}

// Decimal digits only, within [lo, hi].
bool parse_uint(const std::string &s, int64_t lo, int64_t hi, int64_t *out)
{
    if (s.empty() || s.size() > 12)
        return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

constexpr size_t kMaxBoxes = 16;
constexpr size_t kMaxSerial = 16; // what the driver keeps of a serial number

} // namespace

bool parse_libusb_error(const std::string &text, int *code)
{
    static const std::pair<const char *, int> names[] = {
        {"IO", LIBUSB_ERROR_IO},
        {"INVALID_PARAM", LIBUSB_ERROR_INVALID_PARAM},
        {"ACCESS", LIBUSB_ERROR_ACCESS},
        {"NO_DEVICE", LIBUSB_ERROR_NO_DEVICE},
        {"NOT_FOUND", LIBUSB_ERROR_NOT_FOUND},
        {"BUSY", LIBUSB_ERROR_BUSY},
        {"TIMEOUT", LIBUSB_ERROR_TIMEOUT},
        {"OVERFLOW", LIBUSB_ERROR_OVERFLOW},
        {"PIPE", LIBUSB_ERROR_PIPE},
        {"INTERRUPTED", LIBUSB_ERROR_INTERRUPTED},
        {"NO_MEM", LIBUSB_ERROR_NO_MEM},
        {"NOT_SUPPORTED", LIBUSB_ERROR_NOT_SUPPORTED},
        {"OTHER", LIBUSB_ERROR_OTHER},
    };
    std::string t = text;
    for (auto &c : t)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (t.rfind("LIBUSB_ERROR_", 0) == 0)
        t = t.substr(13);
    for (auto &[name, value] : names) {
        if (t == name) {
            *code = value;
            return true;
        }
    }
    if (t.size() > 1 && t[0] == '-') {
        int64_t v;
        if (parse_uint(t.substr(1), 1, 99, &v)) {
            for (auto &[name, value] : names) {
                if (value == -v) {
                    *code = value;
                    return true;
                }
            }
        }
    }
    return false;
}

bool parse_env(EnvConfig *cfg, std::string *err,
               const std::function<const char *(const char *)> &getenv_fn)
{
    auto get = [&](const char *name) -> std::string {
        const char *v = getenv_fn(name);
        return v ? std::string(v) : std::string();
    };

    // Boxes: a count or a list of serial numbers.
    std::string boxes = trim(get("TARNCTL_SIM_BOXES"));
    cfg->serials.clear();
    if (boxes.empty()) {
        cfg->serials.push_back("CV000001");
    } else if (boxes.find_first_not_of("0123456789") == std::string::npos) {
        int64_t n;
        if (!parse_uint(boxes, 0, kMaxBoxes, &n)) {
            *err = "TARNCTL_SIM_BOXES: '" + boxes + "' is not a box count from 0 to " +
                   std::to_string(kMaxBoxes);
            return false;
        }
        for (int64_t i = 1; i <= n; i++) {
            char s[16];
            snprintf(s, sizeof s, "CV%06d", static_cast<int>(i));
            cfg->serials.push_back(s);
        }
    } else {
        std::set<std::string> seen;
        for (const std::string &s : split(boxes, ',')) {
            if (s.empty()) {
                *err = "TARNCTL_SIM_BOXES: empty serial number in '" + boxes + "'";
                return false;
            }
            if (s.size() > kMaxSerial) {
                *err = "TARNCTL_SIM_BOXES: serial number '" + s + "' is longer than " +
                       std::to_string(kMaxSerial) + " characters";
                return false;
            }
            std::string upper;
            for (char c : s) {
                if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
                    *err = "TARNCTL_SIM_BOXES: serial number '" + s +
                           "' may hold only letters, digits, '-' and '_'";
                    return false;
                }
                upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            // The console picks boxes by serial number ignoring case.
            if (!seen.insert(upper).second) {
                *err = "TARNCTL_SIM_BOXES: serial number '" + s + "' appears twice";
                return false;
            }
            cfg->serials.push_back(s);
        }
        if (cfg->serials.size() > kMaxBoxes) {
            *err = "TARNCTL_SIM_BOXES: more than " + std::to_string(kMaxBoxes) + " boxes";
            return false;
        }
    }

    // EEPROM folder.
    cfg->state_dir = get("TARNCTL_SIM_STATE");
    if (cfg->state_dir.empty()) {
        std::string xdg = get("XDG_STATE_HOME");
        std::string home = get("HOME");
        if (!xdg.empty())
            cfg->state_dir = xdg + "/tarnctl-sim";
        else if (!home.empty())
            cfg->state_dir = home + "/.local/state/tarnctl-sim";
    }

    std::string timing = trim(get("TARNCTL_SIM_TIMING"));
    if (timing.empty() || timing == "real") {
        cfg->timing = Timing::real;
    } else if (timing == "fast") {
        cfg->timing = Timing::fast;
    } else {
        *err = "TARNCTL_SIM_TIMING: '" + timing + "' is neither real nor fast";
        return false;
    }

    cfg->trace_path = get("TARNCTL_SIM_TRACE");

    // A box personality for a whole run of scripts or tests comes first, so
    // that the faults a run names itself can override it.
    std::string faults = trim(get("TARNCTL_SIM_PERSONALITY"));
    const std::string own = trim(get("TARNCTL_SIM_FAULTS"));
    if (!own.empty())
        faults = faults.empty() ? own : faults + "," + own;
    cfg->faults = BusFaults{};
    cfg->box_faults.clear();
    if (!faults.empty()) {
        for (const std::string &item : split(faults, ',')) {
            size_t eq = item.find('=');
            if (item.empty() || eq == std::string::npos || eq == 0) {
                *err = "TARNCTL_SIM_FAULTS: '" + item + "' is not key=value";
                return false;
            }
            std::string key = trim(item.substr(0, eq));
            std::string value = trim(item.substr(eq + 1));
            auto bad = [&](const std::string &what) {
                *err = "TARNCTL_SIM_FAULTS: " + key + "='" + value + "': " + what;
                return false;
            };
            int64_t n;
            BusFaults &f = cfg->faults;
            if (key == "unplug-after-ms") {
                if (!parse_uint(value, 0, 86400000, &n))
                    return bad("expected milliseconds");
                f.unplug_after_ms = n;
            } else if (key == "replug-after-ms") {
                if (!parse_uint(value, 0, 86400000, &n))
                    return bad("expected milliseconds");
                f.replug_after_ms = n;
            } else if (key == "unplug-after-bulk-out") {
                if (!parse_uint(value, 1, 1000000, &n))
                    return bad("expected a transfer count from 1");
                f.unplug_after_bulk_out = static_cast<int>(n);
            } else if (key == "stall-control") {
                if (!parse_uint(value, 1, 1000000, &n))
                    return bad("expected a request count from 1");
                f.stall_control = static_cast<int>(n);
            } else if (key == "stall-bulk-in") {
                if (!parse_uint(value, 1, 1000000, &n))
                    return bad("expected a transfer count from 1");
                f.stall_bulk_in = static_cast<int>(n);
            } else if (key == "stall-bulk-out") {
                if (!parse_uint(value, 1, 1000000, &n))
                    return bad("expected a transfer count from 1");
                f.stall_bulk_out = static_cast<int>(n);
            } else if (key == "fail-submit") {
                int code;
                if (!parse_libusb_error(value, &code))
                    return bad("expected a libusb error code such as LIBUSB_ERROR_IO or -1");
                f.fail_submit = code;
            } else if (key == "out-accepts-nothing") {
                if (value != "0" && value != "1")
                    return bad("expected 0 or 1");
                f.out_accepts_nothing = value == "1";
            } else if (key == "kernel-driver") {
                if (!parse_uint(value, 0, 3, &n))
                    return bad("expected an interface number from 0 to 3");
                f.kernel_driver = static_cast<int>(n);
            } else if (Box::is_box_fault(key)) {
                cfg->box_faults.emplace_back(key, value);
            } else {
                *err = "TARNCTL_SIM_FAULTS: unknown fault '" + key + "'";
                return false;
            }
        }
        if (cfg->faults.replug_after_ms >= 0 &&
            (cfg->faults.unplug_after_ms < 0 ||
             cfg->faults.replug_after_ms <= cfg->faults.unplug_after_ms)) {
            *err = "TARNCTL_SIM_FAULTS: replug-after-ms needs an earlier unplug-after-ms";
            return false;
        }
    }
    return true;
}

std::string hex(const uint8_t *data, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(len * 2);
    for (size_t i = 0; i < len; i++) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

Trace::~Trace() { close(); }

bool Trace::open(const std::string &path, std::string *err)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (f_) {
        fclose(f_);
        f_ = nullptr;
    }
    if (path.empty())
        return true;
    f_ = fopen(path.c_str(), "a");
    if (!f_) {
        *err = "cannot open '" + path + "' for appending: " + strerror(errno);
        return false;
    }
    return true;
}

void Trace::close()
{
    std::lock_guard<std::mutex> lk(mu_);
    if (f_)
        fclose(f_);
    f_ = nullptr;
}

void Trace::line(uint64_t us, const std::string &serial, const std::string &text)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (!f_)
        return;
    // One write per line, flushed, so that a script reading along (or a run
    // that is killed) sees whole lines.
    fprintf(f_, "%llu %s %s\n", static_cast<unsigned long long>(us),
            serial.empty() ? "-" : serial.c_str(), text.c_str());
    fflush(f_);
}

} // namespace sim
