// Numbers that the commands write to the box or use as an address. A typo
// must never turn into a value: the whole token is one number of its base,
// within the range of the field it goes to, or it is refused with a message
// that names the word, before anything is sent.
#ifndef TARNFUNC_ARGS_H
#define TARNFUNC_ARGS_H

#include <atomic>
#include <cstdint>

// Reads token as one number: base 0 takes 0x.. (hexadecimal), a leading 0
// (octal) or decimal digits; base 2 takes binary digits. No sign, no blanks,
// no text after the digits. With end given, text after the number is left
// to the caller (*end points at it: the "-10" of an entry range).
// Result: 0 with *value set; EINVAL for a null or empty token, no number or
// trailing text; ERANGE for a number outside [min, max] or beyond 64 bits.
// *value is left alone on a refusal.
int field_num(const char *token, int base, uint64_t min, uint64_t max, uint64_t *value,
              const char **end = nullptr);

// field_num, reporting a refusal on standard error as one line:
//   <what> <token>: not a number
//   <what> <token>: out of range (<min> to <max>)
// (a missing token: "<what>: missing"). True when the value was accepted.
bool field_arg(const char *what, const char *token, int base, uint64_t min, uint64_t max, uint64_t *value,
               const char **end = nullptr);

// Typed form: the range defaults to what the destination holds.
template <class T>
bool field_arg(const char *what, const char *token, T *out, uint64_t min = 0, uint64_t max = UINT64_MAX, int base = 0)
{
    constexpr uint64_t full = sizeof(T) >= 8 ? UINT64_MAX : (uint64_t{1} << (8 * sizeof(T))) - 1;
    uint64_t v = 0;
    if (!field_arg(what, token, base, min, max < full ? max : full, &v))
        return false;
    *out = static_cast<T>(v);
    return true;
}

// ---- stopping a command --------------------------------------------------
// Ctrl-C while a command runs on a terminal: the console's signal handler
// sets cmd_interrupted when cmd_interruptible says the command can stop
// between two requests without leaving the box half-written (listings and
// reads); otherwise the console ends as it always did. The handler may run
// on any thread, so both are lock-free atomics.
extern std::atomic<int> cmd_interruptible;
extern std::atomic<int> cmd_interrupted;
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

// Marks the stretch of a command that may stop.
struct cmd_interruptible_scope {
    cmd_interruptible_scope() : outer_(cmd_interruptible.exchange(1)) {}
    ~cmd_interruptible_scope() { cmd_interruptible = outer_; }
    cmd_interruptible_scope(const cmd_interruptible_scope &) = delete;
    cmd_interruptible_scope &operator=(const cmd_interruptible_scope &) = delete;

private:
    int outer_;
};

// Checked before each request of a stretch that may stop: true (with the
// line "interrupted" on standard error) when the command is asked to stop;
// it then returns -1. A request already sent has been answered or has timed
// out by then, so no exchange is left half-way.
bool cmd_stop_requested();

#endif
