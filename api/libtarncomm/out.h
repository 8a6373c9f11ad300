// Where a command's results go. In text mode they are the lines people read
// on standard output; in JSON mode each command fills one document with its
// facts, and the document is written as one line (JSON Lines) when the
// command ends. Messages for people go to standard error in both modes; in
// JSON mode they are also kept in the document of the command that wrote
// them, so a script sees why a command failed.
#ifndef TARNCOMM_OUT_H
#define TARNCOMM_OUT_H

#include <cstdint>
#include <cstdio>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

// A JSON value: null, boolean, integer, string, array or object (the keys
// of an object keep the order in which they were set).
class jvalue {
public:
    enum class kind { null, boolean, integer, uinteger, string, array, object };

    jvalue() = default;
    jvalue(std::nullptr_t) {}
    jvalue(bool b) : k_(kind::boolean), i_(b) {}
    jvalue(int v) : k_(kind::integer), i_(v) {}
    jvalue(long v) : k_(kind::integer), i_(v) {}
    jvalue(long long v) : k_(kind::integer), i_(v) {}
    jvalue(unsigned v) : k_(kind::uinteger), u_(v) {}
    jvalue(unsigned long v) : k_(kind::uinteger), u_(v) {}
    jvalue(unsigned long long v) : k_(kind::uinteger), u_(v) {}
    jvalue(unsigned char v) : k_(kind::uinteger), u_(v) {}
    jvalue(unsigned short v) : k_(kind::uinteger), u_(v) {}
    jvalue(const char *s) : k_(s ? kind::string : kind::null), s_(s ? s : "") {}
    jvalue(std::string s) : k_(kind::string), s_(std::move(s)) {}

    static jvalue array() { jvalue v; v.k_ = kind::array; return v; }
    static jvalue object() { jvalue v; v.k_ = kind::object; return v; }
    // An array of numbers from bytes.
    static jvalue bytes(const uint8_t *data, size_t n);

    kind type() const { return k_; }
    // Sets (or replaces) a member of an object; a null value turns into an
    // object first.
    jvalue &set(const std::string &key, jvalue v);
    // The member of an object, made null when it is not there yet.
    jvalue &operator[](const std::string &key);
    const jvalue *find(const std::string &key) const;
    // Appends to an array; a null value turns into an array first.
    jvalue &push(jvalue v);
    size_t size() const { return k_ == kind::array ? items_.size() : k_ == kind::object ? members_.size() : 0; }
    const std::string &str() const { return s_; }
    const std::deque<std::pair<std::string, jvalue>> &members() const { return members_; }

    // Compact text on one line, or indented by two blanks a level.
    std::string dump(bool pretty = false) const;

private:
    void write(std::string &out, bool pretty, int depth) const;

    kind k_ = kind::null;
    long long i_ = 0;
    unsigned long long u_ = 0;
    std::string s_;
    // Deques: a reference to a member or item stays valid while others are
    // added beside it, so a handler may fill a list it holds while it sets
    // further facts.
    std::deque<jvalue> items_;
    std::deque<std::pair<std::string, jvalue>> members_;
};

// JSON string literal of text (quotes included), control characters and
// bytes that are no UTF-8 escaped.
std::string json_quote(const std::string &text);

// ---- output mode ------------------------------------------------------------
void out_set_json(bool json, bool pretty);
bool out_json(void);

// ---- one command's document (main thread) ---------------------------------
// Starts the document of a command; its "command" member is name.
void out_begin(const char *name);
// The document being filled, or a scratch value when no command runs on
// this thread (so a handler called without out_begin still works).
jvalue &out_doc(void);
// Ends the command with its status: in JSON mode writes its document with
// "ok" and, on failure, "message" (the messages the command wrote for
// people). Returns status unchanged.
int out_end(int status);
// Writes a document that belongs to no command (a CAN trace record, text
// the box sent) at once, as one line. Any thread.
void out_emit(const jvalue &doc);

// ---- text ---------------------------------------------------------------------
// A result line for people: standard output in text mode, nothing in JSON
// mode (the document carries the facts).
void out_text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A failure that text mode reports on standard output: there in text mode;
// in JSON mode on standard error and in the document.
void out_fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A message for people on standard error, in both modes; in JSON mode also
// in the current command's document.
void out_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
