// Line editing for the interactive console when it runs on a terminal:
// editing keys, a history kept across runs, completion of the command words
// and their fixed sub-words, and output from the box that arrives while a
// line is being typed printed above the prompt with the line redrawn. On
// anything that is not a terminal none of this is switched on, and the
// console reads its input exactly as before.
#ifndef TARNCTL_LINEEDIT_H
#define TARNCTL_LINEEDIT_H

#include <cstddef>
#include <string>
#include <vector>

// Result of one terminal line read.
enum class lineedit_result { line, skip, end };

// Switches line editing on for its lifetime when standard input and output
// are both terminals; otherwise it does nothing and lineedit_active() stays
// false. One at a time, on the main thread, made before any other thread of
// the console writes to standard output or error and ended after the last
// one has ended: it replaces both streams.
class lineedit_session {
public:
    lineedit_session();
    ~lineedit_session();
    lineedit_session(const lineedit_session &) = delete;
    lineedit_session &operator=(const lineedit_session &) = delete;
};

// True while a lineedit_session has the terminal.
bool lineedit_active();

// Shows the prompt and reads one edited line into buf (line end included,
// as fgets leaves it). skip: the line was refused (too long, message
// printed); end: end of input.
lineedit_result lineedit_read(char *buf, size_t size);

// Brackets output that another thread (the receiver) writes to standard
// output at any time: while a line is being edited, the line is taken off
// the screen before the first byte and drawn again below the output.
class lineedit_async_output {
public:
    lineedit_async_output();
    ~lineedit_async_output();
    lineedit_async_output(const lineedit_async_output &) = delete;
    lineedit_async_output &operator=(const lineedit_async_output &) = delete;

private:
    bool held_;
};

// Completion candidates for the word being typed, given the words before it
// on the line (none: the command word). Exposed for tests.
std::vector<std::string> lineedit_candidates(const std::vector<std::string> &before, const std::string &partial);

// The candidates as Tab lists them: sorted, in columns of the widest word,
// as many to a row as fit in cols characters; never a word cut at the edge.
std::string lineedit_layout(std::vector<std::string> words, size_t cols);

// The history file: ${XDG_STATE_HOME:-$HOME/.local/state}/tarnctl/history;
// empty when neither variable is set.
std::string lineedit_history_path();

#endif
