// Child process runner: fork and exec with three pipes, poll until both
// output pipes close or the time limit passes, then reap the child.
#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace proc {
namespace {

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::vector<std::string> merged_env(const std::map<std::string, std::string> &extra)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        if (extra.find(name) == extra.end())
            env.push_back(entry);
    }
    for (const auto &[name, value] : extra)
        env.push_back(name + "=" + value);
    return env;
}

} // namespace

Result run(const std::vector<std::string> &argv, const Options &options)
{
    Result result;
    // A child that ends before reading all of its input must not take the
    // test down with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        result.err = std::string("pipe: ") + strerror(errno);
        return result;
    }

    std::vector<std::string> env = merged_env(options.env);
    std::vector<char *> argp, envp;
    for (const auto &a : argv)
        argp.push_back(const_cast<char *>(a.c_str()));
    argp.push_back(nullptr);
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        if (options.input) {
            dup2(in_pipe[0], STDIN_FILENO);
        } else {
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, STDIN_FILENO);
        }
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    int in_fd = in_pipe[1], out_fd = out_pipe[0], err_fd = err_pipe[0];
    if (pid < 0) {
        close_fd(in_fd);
        close_fd(out_fd);
        close_fd(err_fd);
        result.err = std::string("fork: ") + strerror(errno);
        return result;
    }

    std::string input = options.input.value_or("");
    size_t input_pos = 0;
    size_t step = 0; // the next of options.then
    if (!options.input)
        close_fd(in_fd);
    else
        fcntl(in_fd, F_SETFL, O_NONBLOCK);

    auto deadline = std::chrono::steady_clock::now() + options.limit;
    std::optional<std::chrono::steady_clock::time_point> signal_at;
    while (out_fd >= 0 || err_fd >= 0) {
        const auto now = std::chrono::steady_clock::now();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        // Input written so far, more to come once the program is ready for
        // it: look again every few milliseconds.
        const bool awaiting = in_fd >= 0 && input_pos >= input.size() && step < options.then.size();
        if (awaiting) {
            if (options.then[step].ready(result)) {
                input += options.then[step++].text;
                continue;
            }
            left = std::min(left, std::chrono::milliseconds(5));
        }
        if (signal_at && !result.signalled) {
            if (now >= *signal_at) {
                kill(pid, options.signal_number);
                result.signalled = true;
            } else {
                // Wake up in time for the signal, rounded up so the wait
                // does not spin on a sub-millisecond rest.
                auto until = std::chrono::ceil<std::chrono::milliseconds>(*signal_at - now);
                left = std::min(left, until);
            }
        }
        pollfd fds[3];
        nfds_t n = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (out_fd >= 0) {
            out_i = static_cast<int>(n);
            fds[n++] = {out_fd, POLLIN, 0};
        }
        if (err_fd >= 0) {
            err_i = static_cast<int>(n);
            fds[n++] = {err_fd, POLLIN, 0};
        }
        if (in_fd >= 0 && !awaiting) {
            in_i = static_cast<int>(n);
            fds[n++] = {in_fd, POLLOUT, 0};
        }
        if (poll(fds, n, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        char buf[4096];
        auto drain = [&buf](int &fd, std::string &to, short revents) {
            if (!(revents & (POLLIN | POLLHUP | POLLERR)))
                return;
            ssize_t got = read(fd, buf, sizeof buf);
            if (got > 0)
                to.append(buf, static_cast<size_t>(got));
            else if (got == 0 || errno != EINTR)
                close_fd(fd);
        };
        if (out_i >= 0)
            drain(out_fd, result.out, fds[out_i].revents);
        if (options.signal_after_output && !signal_at &&
            result.out.find(*options.signal_after_output) != std::string::npos)
            signal_at = std::chrono::steady_clock::now() + options.signal_delay;
        if (err_i >= 0)
            drain(err_fd, result.err, fds[err_i].revents);
        if (in_i >= 0 && (fds[in_i].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = write(in_fd, input.data() + input_pos, input.size() - input_pos);
            if (put > 0)
                input_pos += static_cast<size_t>(put);
            if (put < 0 && errno != EAGAIN && errno != EINTR)
                close_fd(in_fd);
            else if (input_pos >= input.size() && step >= options.then.size())
                close_fd(in_fd);
        }
    }
    close_fd(in_fd);
    close_fd(out_fd);
    close_fd(err_fd);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
    return result;
}

} // namespace proc
