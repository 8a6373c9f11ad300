// The interactive command line and the commands' argument parsers: each
// input line is split into command word and argument as the interactive
// loop does, looked up in the command table (abbreviations included) and
// handed to its handler. Requests that the handlers build fail at once (the
// link is down, a raw frame's write fails), so only the console's own
// parsing, checking and request building run, each input in microseconds.
//
// Input: lines separated by '\n'; like the interactive loop, a line longer
// than 511 bytes is refused and a NUL byte ends the text of a line.
// Not run: the reset pulse (it sleeps 50 ms and parses nothing worth the
// time) and "can log" (it opens the file named in the input).
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "can_functions.h"
#include "commands.h"
#include "hdlc.h"
#include "tarnctl.h"

namespace {

constexpr size_t line_max = 511;

// Every frame "could not be written": send_req returns at once.
void failing_frame_output(const uint8_t *, size_t)
{
    comm_tx_failed();
}

bool excluded(const cmd_entry *e, const char *param)
{
    if (e->handler == process_cmd_reset)
        return true;
    if (param != nullptr && e->handler == process_cmd_can) {
        const char *word = param + std::strspn(param, " \t");
        const size_t len = std::strcspn(word, " \t");
        return len >= 3 && strncasecmp(word, "log", 3) == 0;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Results of the handlers are not what is checked here (scripts/fuzz.sh
    // also drops their complaints on stderr, keeping the fuzzer's own).
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    hdlc_set_frame_output(failing_frame_output);
    // No converter: every request ends at once, and loops over many of them
    // (listings, the MDIO test) stop at their first, as they do when the
    // converter has gone.
    comm_set_link_down();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t at = 0;
    while (at < size) {
        const uint8_t *nl = static_cast<const uint8_t *>(std::memchr(data + at, '\n', size - at));
        const size_t end = nl != nullptr ? static_cast<size_t>(nl - data) + 1 : size;
        const size_t len = end - at;
        if (len <= line_max) {
            char line[line_max + 1];
            std::memcpy(line, data + at, len);
            line[len] = '\0';
            char *param = nullptr;
            char *word = split_command_line(line, &param);
            const cmd_entry *e = word != nullptr ? cmd_find_word(word) : nullptr;
            if (e != nullptr && e->handler != nullptr && !excluded(e, param))
                e->handler(param);
        }
        at = end;
    }
    return 0;
}
