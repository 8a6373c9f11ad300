// Runs a program as a child process for whole-program tests: argument
// vector, optional standard input text, extra environment, a time limit;
// returns its standard output, standard error and exit status.
#ifndef TARNCTL_TESTS_PROCESS_RUNNER_H
#define TARNCTL_TESTS_PROCESS_RUNNER_H

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace proc {

struct Result {
    int exit_code = -1;     // exit status, -1 when the process did not exit normally
    int term_signal = 0;    // signal that ended it, 0 when it exited
    bool timed_out = false; // the time limit was reached and the process killed
    bool signalled = false; // Options::signal_number was sent (after signal_after_output)
    std::string out;
    std::string err;
};

// More standard input, written once ready holds (it is asked again every few
// milliseconds, given what the program has printed so far).
struct InputStep {
    std::function<bool(const Result &)> ready;
    std::string text;
};

struct Options {
    std::optional<std::string> input;            // written to stdin, then closed; none: stdin is /dev/null
    std::vector<InputStep> then;                 // with input: written in turn before stdin is closed
    std::map<std::string, std::string> env;      // added to (or replacing in) the inherited environment
    std::chrono::milliseconds limit{10000};      // killed with SIGKILL after this
    // For a program that runs until it is stopped from outside: once its
    // standard output holds this text, it is sent signal_number signal_delay
    // later (unless it has ended by then on its own).
    std::optional<std::string> signal_after_output;
    int signal_number = SIGTERM;
    std::chrono::milliseconds signal_delay{0};
};

Result run(const std::vector<std::string> &argv, const Options &options = {});

} // namespace proc

#endif
