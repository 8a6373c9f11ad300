// Text or JSON Lines: the one place that decides where a command's results
// and messages go.
#include "out.h"

#include <cstdarg>
#include <cstring>
#include <mutex>

namespace {

bool json_mode = false;
bool json_pretty = false;
// One document line at a time on standard output: the receiver's trace
// records and the main thread's command documents never interleave.
std::mutex emit_mutex;

struct command_doc {
    jvalue doc = jvalue::object();
    std::string messages;
};
thread_local command_doc *current = nullptr;
thread_local jvalue scratch;

std::string vformat(const char *fmt, va_list ap)
{
    va_list again;
    va_copy(again, ap);
    char small[256];
    const int n = vsnprintf(small, sizeof small, fmt, ap);
    std::string s;
    if (n < 0) {
        va_end(again);
        return s;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        s.assign(small, static_cast<size_t>(n));
    } else {
        s.resize(static_cast<size_t>(n) + 1);
        vsnprintf(s.data(), s.size(), fmt, again);
        s.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return s;
}

void keep_message(const std::string &text)
{
    if (current != nullptr)
        current->messages += text;
}

void write_line(const jvalue &doc)
{
    const std::string line = doc.dump(json_pretty) + "\n";
    std::lock_guard<std::mutex> lock(emit_mutex);
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

// Length of the UTF-8 sequence at p (at most n bytes), 0 when it is none.
size_t utf8_len(const unsigned char *p, size_t n)
{
    size_t len;
    if (p[0] >= 0xC2 && p[0] <= 0xDF)
        len = 2;
    else if (p[0] >= 0xE0 && p[0] <= 0xEF)
        len = 3;
    else if (p[0] >= 0xF0 && p[0] <= 0xF4)
        len = 4;
    else
        return 0;
    if (len > n)
        return 0;
    for (size_t i = 1; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    return len;
}

} // namespace

std::string json_quote(const std::string &text)
{
    std::string out = "\"";
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else if (c >= 0x80) {
            // A byte the box sent that is no UTF-8 stands for the character
            // of its value, so the document stays valid JSON.
            const size_t len = utf8_len(p + i, n - i);
            if (len == 0) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out.append(text, i, len);
                i += len;
                continue;
            }
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
    return out;
}

jvalue jvalue::bytes(const uint8_t *data, size_t n)
{
    jvalue v = array();
    for (size_t i = 0; i < n; ++i)
        v.items_.emplace_back(static_cast<unsigned>(data[i]));
    return v;
}

jvalue &jvalue::set(const std::string &key, jvalue v)
{
    jvalue &slot = (*this)[key];
    slot = std::move(v);
    return slot;
}

jvalue &jvalue::operator[](const std::string &key)
{
    if (k_ != kind::object)
        *this = object();
    for (auto &m : members_)
        if (m.first == key)
            return m.second;
    members_.emplace_back(key, jvalue());
    return members_.back().second;
}

const jvalue *jvalue::find(const std::string &key) const
{
    for (const auto &m : members_)
        if (m.first == key)
            return &m.second;
    return nullptr;
}

jvalue &jvalue::push(jvalue v)
{
    if (k_ != kind::array)
        *this = array();
    items_.push_back(std::move(v));
    return items_.back();
}

std::string jvalue::dump(bool pretty) const
{
    std::string out;
    write(out, pretty, 0);
    return out;
}

void jvalue::write(std::string &out, bool pretty, int depth) const
{
    const auto newline = [&](int d) {
        if (pretty) {
            out += '\n';
            out.append(static_cast<size_t>(2 * d), ' ');
        }
    };
    switch (k_) {
    case kind::null:
        out += "null";
        break;
    case kind::boolean:
        out += i_ ? "true" : "false";
        break;
    case kind::integer:
        out += std::to_string(i_);
        break;
    case kind::uinteger:
        out += std::to_string(u_);
        break;
    case kind::string:
        out += json_quote(s_);
        break;
    case kind::array:
        out += '[';
        for (size_t i = 0; i < items_.size(); ++i) {
            if (i > 0)
                out += pretty ? "," : ",";
            newline(depth + 1);
            items_[i].write(out, pretty, depth + 1);
        }
        if (!items_.empty())
            newline(depth);
        out += ']';
        break;
    case kind::object:
        out += '{';
        for (size_t i = 0; i < members_.size(); ++i) {
            if (i > 0)
                out += ',';
            newline(depth + 1);
            out += json_quote(members_[i].first);
            out += pretty ? ": " : ":";
            members_[i].second.write(out, pretty, depth + 1);
        }
        if (!members_.empty())
            newline(depth);
        out += '}';
        break;
    }
}

void out_set_json(bool json, bool pretty)
{
    json_mode = json;
    json_pretty = json && pretty;
}

bool out_json(void)
{
    return json_mode;
}

void out_begin(const char *name)
{
    delete current;
    scratch = jvalue::object();
    current = new command_doc;
    current->doc.set("command", name);
}

jvalue &out_doc(void)
{
    // Without a command (a handler called on its own) the facts go to a
    // scratch value that is kept until the next command begins, so that a
    // list a handler holds stays valid while it fills it.
    if (current != nullptr)
        return current->doc;
    return scratch;
}

int out_end(int status)
{
    command_doc *c = current;
    current = nullptr;
    if (c == nullptr)
        return status;
    if (json_mode) {
        std::string msg = c->messages;
        while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' '))
            msg.pop_back();
        if (status != 0 && msg.empty())
            msg = c->doc.find("command")->str() + " failed";
        // "command", "ok" and "message" lead; the facts follow in the order
        // the command set them.
        jvalue doc = jvalue::object();
        doc.set("command", *c->doc.find("command"));
        doc.set("ok", status == 0);
        if (!msg.empty())
            doc.set("message", msg);
        for (const auto &m : c->doc.members())
            if (m.first != "command" && m.first != "ok" && m.first != "message")
                doc.set(m.first, m.second);
        write_line(doc);
    }
    delete c;
    return status;
}

void out_emit(const jvalue &doc)
{
    write_line(doc);
}

void out_text(const char *fmt, ...)
{
    if (json_mode)
        return;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

void out_fail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (!json_mode) {
        vprintf(fmt, ap);
        va_end(ap);
        return;
    }
    const std::string text = vformat(fmt, ap);
    va_end(ap);
    keep_message(text);
    fputs(text.c_str(), stderr);
    fflush(stderr);
}

void out_err(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (!json_mode) {
        vfprintf(stderr, fmt, ap);
        va_end(ap);
        return;
    }
    const std::string text = vformat(fmt, ap);
    va_end(ap);
    keep_message(text);
    fputs(text.c_str(), stderr);
}
