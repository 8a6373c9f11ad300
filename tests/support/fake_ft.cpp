// The stand-in driver. One global state under one mutex; the caller's event
// is signalled after that mutex is released, as the real driver does, so a
// receiver that holds its event lock around queue query and read cannot
// deadlock with us.
#include "fake_ft.h"

#include "frame_codec.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>

namespace fake_ft {
namespace {

struct Reply {
    std::vector<uint8_t> prefix;
    std::vector<uint8_t> ack;
    bool echo; // answer with the request itself, its type replaced by ack[0]
};

struct State {
    std::vector<Device> devices;
    std::map<std::string, FT_STATUS> failures;
    std::vector<std::string> calls;
    std::vector<uint32_t> reads;
    size_t queries = 0;
    std::deque<uint8_t> rx;
    std::vector<uint8_t> tx;
    size_t tx_calls = 0;
    EVENT_HANDLE *event = nullptr;
    bool open = false;
    uint8_t pins = 0;
    std::string log_path;
    std::vector<Reply> replies;
    std::vector<std::vector<uint8_t>> hello;
    // Decoder of the written bytes, for the canned replies.
    testframe::decoder tx_decoder;
};

std::mutex state_mtx;
State state;
int handle_token;
std::once_flag env_once;

std::vector<uint8_t> from_hex(const std::string &hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> parts;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, sep))
        if (!item.empty())
            parts.push_back(item);
    return parts;
}

void load_env()
{
    if (const char *v = getenv("FAKE_FT_DEVICES")) {
        for (const std::string &d : split(v, ',')) {
            size_t colon = d.find(':');
            if (colon == std::string::npos)
                state.devices.push_back({corvane_id, d});
            else
                state.devices.push_back({static_cast<uint32_t>(std::stoul(d.substr(0, colon), nullptr, 16)),
                                         d.substr(colon + 1)});
        }
    }
    if (const char *v = getenv("FAKE_FT_FAIL"))
        for (const std::string &f : split(v, ','))
            state.failures[f] = FT_IO_ERROR;
    if (const char *v = getenv("FAKE_FT_LOG"))
        state.log_path = v;
    if (const char *v = getenv("FAKE_FT_PINS"))
        state.pins = static_cast<uint8_t>(std::stoul(v, nullptr, 16) & 0x0F);
    if (const char *v = getenv("FAKE_FT_REPLIES")) {
        for (const std::string &r : split(v, ';')) {
            size_t eq = r.find('=');
            if (eq == std::string::npos)
                continue;
            bool echo = r.size() > eq + 1 && r[eq + 1] == '@';
            state.replies.push_back({from_hex(r.substr(0, eq)), from_hex(r.substr(eq + (echo ? 2 : 1))), echo});
        }
    }
    if (const char *v = getenv("FAKE_FT_HELLO"))
        for (const std::string &h : split(v, ';'))
            state.hello.push_back(from_hex(h));
}

void ensure_env()
{
    std::call_once(env_once, load_env);
}

// Under state_mtx.
void log_call(const std::string &text)
{
    state.calls.push_back(text);
    if (!state.log_path.empty()) {
        if (FILE *f = fopen(state.log_path.c_str(), "a")) {
            fprintf(f, "%s\n", text.c_str());
            fclose(f);
        }
    }
}

// Under state_mtx: the status configured for a function, FT_OK by default.
FT_STATUS configured(const char *function)
{
    auto it = state.failures.find(function);
    return it == state.failures.end() ? static_cast<FT_STATUS>(FT_OK) : it->second;
}

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

void signal_event(EVENT_HANDLE *ev)
{
    if (ev == nullptr)
        return;
    pthread_mutex_lock(&ev->eMutex);
    pthread_cond_broadcast(&ev->eCondVar);
    pthread_mutex_unlock(&ev->eMutex);
}

// Under state_mtx: queues bytes; returns the event to signal after unlocking.
EVENT_HANDLE *queue_rx(const std::vector<uint8_t> &bytes)
{
    state.rx.insert(state.rx.end(), bytes.begin(), bytes.end());
    return state.event;
}

// Under state_mtx: one written byte through the frame decoder; a complete
// good frame that matches a canned request queues its answer.
EVENT_HANDLE *decode_tx_byte(uint8_t b)
{
    testframe::frame f;
    if (!state.tx_decoder.push(b, &f) || !f.good)
        return nullptr;
    const std::vector<uint8_t> &content = f.content;
    std::string hex = "TX ";
    for (uint8_t c : content)
        hex += fmt("%02x", c);
    log_call(hex);
    for (const Reply &r : state.replies) {
        if (content.size() < r.prefix.size() || !std::equal(r.prefix.begin(), r.prefix.end(), content.begin()))
            continue;
        if (!r.echo)
            return queue_rx(testframe::encode(r.ack));
        std::vector<uint8_t> answer = content;
        answer[0] = r.ack.empty() ? content[0] : r.ack[0];
        return queue_rx(testframe::encode(answer));
    }
    return nullptr;
}

bool valid(FT_HANDLE h)
{
    return h == &handle_token && state.open;
}

} // namespace

void reset()
{
    ensure_env();
    std::lock_guard lock(state_mtx);
    state = State{};
}

void set_devices(const std::vector<Device> &devices)
{
    ensure_env();
    std::lock_guard lock(state_mtx);
    state.devices = devices;
}

void add_reply(const std::vector<uint8_t> &request_prefix, const std::vector<uint8_t> &ack)
{
    ensure_env();
    std::lock_guard lock(state_mtx);
    state.replies.insert(state.replies.begin(), Reply{request_prefix, ack, false});
}

void add_echo_reply(const std::vector<uint8_t> &request_prefix, uint8_t ack_type)
{
    ensure_env();
    std::lock_guard lock(state_mtx);
    state.replies.insert(state.replies.begin(), Reply{request_prefix, {ack_type}, true});
}

void set_failure(const std::string &function, FT_STATUS status)
{
    ensure_env();
    std::lock_guard lock(state_mtx);
    if (status == FT_OK)
        state.failures.erase(function);
    else
        state.failures[function] = status;
}

void push_rx(const std::vector<uint8_t> &bytes)
{
    EVENT_HANDLE *ev;
    {
        std::lock_guard lock(state_mtx);
        ev = queue_rx(bytes);
    }
    signal_event(ev);
}

void push_frame(const std::vector<uint8_t> &content)
{
    push_rx(testframe::encode(content));
}

size_t rx_pending()
{
    std::lock_guard lock(state_mtx);
    return state.rx.size();
}

std::vector<uint8_t> tx_bytes()
{
    std::lock_guard lock(state_mtx);
    return state.tx;
}

size_t tx_calls()
{
    std::lock_guard lock(state_mtx);
    return state.tx_calls;
}

std::vector<std::vector<uint8_t>> tx_frames()
{
    return testframe::decode(tx_bytes());
}

std::vector<std::string> calls()
{
    std::lock_guard lock(state_mtx);
    return state.calls;
}

std::vector<uint32_t> read_requests()
{
    std::lock_guard lock(state_mtx);
    return state.reads;
}

size_t queue_queries()
{
    std::lock_guard lock(state_mtx);
    return state.queries;
}

void set_pins(uint8_t levels)
{
    std::lock_guard lock(state_mtx);
    state.pins = levels;
}

uint8_t pins()
{
    std::lock_guard lock(state_mtx);
    return state.pins;
}

} // namespace fake_ft

using namespace fake_ft;

extern "C" {

FT_STATUS FT_GetLibraryVersion(LPDWORD version)
{
    if (version == nullptr)
        return FT_INVALID_PARAMETER;
    *version = 0x000900; // a version of its own, told apart from the real driver's
    return FT_OK;
}

FT_STATUS FT_SetVIDPID(DWORD vid, DWORD pid)
{
    ensure_env();
    std::lock_guard lock(state_mtx);
    log_call(fmt("FT_SetVIDPID(0x%x,0x%x)", vid, pid));
    return configured("FT_SetVIDPID");
}

FT_STATUS FT_CreateDeviceInfoList(LPDWORD n)
{
    ensure_env();
    std::lock_guard lock(state_mtx);
    log_call("FT_CreateDeviceInfoList");
    if (FT_STATUS st = configured("FT_CreateDeviceInfoList"))
        return st;
    *n = static_cast<DWORD>(state.devices.size());
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, LPDWORD n)
{
    ensure_env();
    std::lock_guard lock(state_mtx);
    log_call(fmt("FT_GetDeviceInfoList(%u)", *n));
    if (FT_STATUS st = configured("FT_GetDeviceInfoList"))
        return st;
    DWORD count = std::min<DWORD>(*n, static_cast<DWORD>(state.devices.size()));
    for (DWORD i = 0; i < count; ++i) {
        FT_DEVICE_LIST_INFO_NODE node{};
        node.ID = state.devices[i].id;
        // A 16-character serial fills the field without a terminator, as a
        // driver may deliver it.
        memcpy(node.SerialNumber, state.devices[i].serial.c_str(),
               std::min(state.devices[i].serial.size(), sizeof node.SerialNumber));
        dest[i] = node;
    }
    *n = count;
    return FT_OK;
}

FT_STATUS FT_Open(int number, FT_HANDLE *h)
{
    ensure_env();
    std::lock_guard lock(state_mtx);
    log_call(fmt("FT_Open(%d)", number));
    if (FT_STATUS st = configured("FT_Open"))
        return st;
    if (number < 0 || static_cast<size_t>(number) >= state.devices.size())
        return FT_DEVICE_NOT_FOUND;
    state.open = true;
    *h = &handle_token;
    return FT_OK;
}

FT_STATUS FT_Close(FT_HANDLE h)
{
    std::lock_guard lock(state_mtx);
    log_call("FT_Close");
    if (!valid(h))
        return FT_INVALID_HANDLE;
    if (FT_STATUS st = configured("FT_Close"))
        return st;
    state.open = false;
    state.event = nullptr;
    return FT_OK;
}

#define FAKE_SIMPLE(name, params, text)          \
    FT_STATUS name params                        \
    {                                            \
        std::lock_guard lock(state_mtx);         \
        log_call(text);                          \
        if (!valid(h))                           \
            return FT_INVALID_HANDLE;            \
        return configured(#name);                \
    }

FAKE_SIMPLE(FT_ResetDevice, (FT_HANDLE h), "FT_ResetDevice")
FAKE_SIMPLE(FT_Purge, (FT_HANDLE h, ULONG m), fmt("FT_Purge(%u)", m))
FAKE_SIMPLE(FT_SetBaudRate, (FT_HANDLE h, ULONG b), fmt("FT_SetBaudRate(%u)", b))
FAKE_SIMPLE(FT_SetDataCharacteristics, (FT_HANDLE h, UCHAR w, UCHAR s, UCHAR p),
            fmt("FT_SetDataCharacteristics(%u,%u,%u)", w, s, p))
FAKE_SIMPLE(FT_SetFlowControl, (FT_HANDLE h, USHORT f, UCHAR on, UCHAR off),
            fmt("FT_SetFlowControl(%u,%u,%u)", f, on, off))
FAKE_SIMPLE(FT_SetChars, (FT_HANDLE h, UCHAR ev, UCHAR eve, UCHAR er, UCHAR ere),
            fmt("FT_SetChars(0x%x,%u,%u,%u)", ev, eve, er, ere))
FAKE_SIMPLE(FT_SetTimeouts, (FT_HANDLE h, ULONG r, ULONG w), fmt("FT_SetTimeouts(%u,%u)", r, w))
FAKE_SIMPLE(FT_SetLatencyTimer, (FT_HANDLE h, UCHAR l), fmt("FT_SetLatencyTimer(%u)", l))

FT_STATUS FT_SetEventNotification(FT_HANDLE h, DWORD mask, PVOID param)
{
    EVENT_HANDLE *ev = nullptr;
    {
        std::lock_guard lock(state_mtx);
        log_call(fmt("FT_SetEventNotification(%u)", mask));
        if (!valid(h))
            return FT_INVALID_HANDLE;
        if (FT_STATUS st = configured("FT_SetEventNotification"))
            return st;
        state.event = static_cast<EVENT_HANDLE *>(param);
        for (const auto &frame : state.hello)
            ev = queue_rx(testframe::encode(frame));
    }
    signal_event(ev);
    return FT_OK;
}

FT_STATUS FT_SetBitMode(FT_HANDLE h, UCHAR mask, UCHAR mode)
{
    std::lock_guard lock(state_mtx);
    log_call(fmt("FT_SetBitMode(0x%02x,0x%02x)", mask, mode));
    if (!valid(h))
        return FT_INVALID_HANDLE;
    if (FT_STATUS st = configured("FT_SetBitMode"))
        return st;
    // Pins set as outputs take the written level; inputs keep theirs.
    if (mode == 0x20) {
        uint8_t out = (mask >> 4) & 0x0F;
        state.pins = static_cast<uint8_t>((state.pins & ~out) | (mask & out));
    }
    return FT_OK;
}

FT_STATUS FT_GetBitMode(FT_HANDLE h, PUCHAR mode)
{
    std::lock_guard lock(state_mtx);
    log_call("FT_GetBitMode");
    if (!valid(h))
        return FT_INVALID_HANDLE;
    if (FT_STATUS st = configured("FT_GetBitMode"))
        return st;
    // The upper half carries something other than pin levels, so callers
    // must mask it off.
    *mode = static_cast<UCHAR>(0xA0 | state.pins);
    return FT_OK;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE h, DWORD *n)
{
    std::lock_guard lock(state_mtx);
    ++state.queries;
    if (!valid(h))
        return FT_INVALID_HANDLE;
    if (FT_STATUS st = configured("FT_GetQueueStatus"))
        return st;
    *n = static_cast<DWORD>(std::min<size_t>(state.rx.size(), 65536));
    return FT_OK;
}

FT_STATUS FT_Read(FT_HANDLE h, LPVOID buf, DWORD n, LPDWORD got)
{
    std::lock_guard lock(state_mtx);
    state.reads.push_back(n);
    *got = 0;
    if (!valid(h))
        return FT_INVALID_HANDLE;
    if (FT_STATUS st = configured("FT_Read"))
        return st;
    DWORD count = std::min<DWORD>(n, static_cast<DWORD>(state.rx.size()));
    auto *out = static_cast<uint8_t *>(buf);
    for (DWORD i = 0; i < count; ++i) {
        out[i] = state.rx.front();
        state.rx.pop_front();
    }
    *got = count;
    return FT_OK;
}

FT_STATUS FT_Write(FT_HANDLE h, LPVOID buf, DWORD n, LPDWORD written)
{
    EVENT_HANDLE *ev = nullptr;
    FT_STATUS st;
    {
        std::lock_guard lock(state_mtx);
        ++state.tx_calls;
        *written = 0;
        if (!valid(h))
            return FT_INVALID_HANDLE;
        st = configured("FT_Write");
        if (st == FT_OK) {
            const auto *in = static_cast<const uint8_t *>(buf);
            for (DWORD i = 0; i < n; ++i) {
                state.tx.push_back(in[i]);
                if (EVENT_HANDLE *e = decode_tx_byte(in[i]))
                    ev = e;
            }
            *written = n;
        }
    }
    signal_event(ev);
    return st;
}

} // extern "C"
