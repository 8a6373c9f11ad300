// Line editing on a terminal, with libedit: the editing keys and history
// come from the library, this module adds the console's completion, the
// history file, and the hand-over of the terminal between the line being
// edited and what the receiver thread prints meanwhile.
//
// Who writes to the terminal: the editor (its own stream on a copy of the
// output descriptor), only on the main thread inside el_gets; standard
// output (a stream of this module while editing is on) from the command
// handlers between lines and from the receiver at any time. term_mtx is
// held by the main thread for as long as el_gets runs, except while it
// waits for a key; the receiver takes it around each frame it handles. So
// a frame's output never meets the editor half-way, and the editor redraws
// the line once the frame is done.
#include "lineedit.h"

#include <fcntl.h>
#include <signal.h>
#include <histedit.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <mutex>
#include <thread>
#include <strings.h>

#include "args.h"
#include "tarnctl.h"

namespace {

constexpr int history_entries = 1000;
const char prompt_text[] = "# ";

// ---- completion --------------------------------------------------------------

bool starts_with_nocase(const std::string &word, const std::string &prefix)
{
    return word.size() >= prefix.size() && strncasecmp(word.c_str(), prefix.c_str(), prefix.size()) == 0;
}

void add_candidate(std::vector<std::string> &out, const char *word, const std::string &partial)
{
    if (word == nullptr || !starts_with_nocase(word, partial))
        return;
    for (const auto &w : out)
        if (w == word)
            return;
    out.emplace_back(word);
}

// The typed argument selects the keyword the way the handlers read it: at
// least two letters, all of them the keyword's.
bool typed_selects(const std::string &typed, const char *keyword)
{
    return typed.size() >= 2 && starts_with_nocase(keyword, typed.substr(0, std::min(typed.size(), strlen(keyword))));
}

// ---- terminal state ----------------------------------------------------------

std::mutex term_mtx;            // guards everything down to out_mtx
bool active = false;            // a session has the terminal
EditLine *editor = nullptr;     // the editor; main thread, and the receiver under term_mtx
History *hist = nullptr;
FILE *edit_out = nullptr;       // the editor's stream on the terminal
FILE *saved_stdout = nullptr;   // standard output as it was before the session
FILE *saved_stderr = nullptr;   // standard error as it was before the session
std::thread::id main_thread;    // the thread that reads the lines
// Depth of lineedit_async_output brackets held by this thread.
thread_local int bracket_depth = 0;
bool prompt_shown = false;      // written by the main thread under term_mtx: inside el_gets
bool redraw_pending = false;    // the receiver printed over the line
int wake_pipe[2] = {-1, -1};    // the receiver wakes the key wait through it
std::unique_lock<std::mutex> *reader_lock = nullptr; // main thread: its hold of term_mtx in el_gets
std::string history_file;       // main thread

// Standard output while a session is on. Writes come from the main thread
// and from the receiver; out_mtx orders them with the erase request.
std::mutex out_mtx;
std::string erase_seq;  // out_mtx: written ahead of the next byte when not empty
bool erased = false;    // out_mtx: the line went off the screen for this output
char last_byte = '\n';  // out_mtx: last byte written

bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

ssize_t terminal_write(int fd, const char *buf, size_t n)
{
    std::lock_guard<std::mutex> lock(out_mtx);
    if (!erase_seq.empty()) {
        write_all(STDOUT_FILENO, erase_seq.data(), erase_seq.size());
        erase_seq.clear();
        erased = true;
    }
    if (n == 0)
        return 0;
    if (!write_all(fd, buf, n))
        return -1;
    last_byte = buf[n - 1];
    return static_cast<ssize_t>(n);
}

// Output of another thread than the reader's that is not bracketed already
// (a message of the receiver's own, such as a lost converter) is bracketed
// here: it goes above the prompt like the box's frames, never into the line
// being typed.
ssize_t bracketed_write(int fd, const char *buf, size_t n)
{
    if (bracket_depth == 0 && std::this_thread::get_id() != main_thread) {
        lineedit_async_output above_the_line;
        return terminal_write(fd, buf, n);
    }
    return terminal_write(fd, buf, n);
}

ssize_t stdout_write(void *, const char *buf, size_t n)
{
    return bracketed_write(STDOUT_FILENO, buf, n);
}

ssize_t stderr_write(void *, const char *buf, size_t n)
{
    return bracketed_write(STDERR_FILENO, buf, n);
}

char *prompt_fn(EditLine *)
{
    return const_cast<char *>(prompt_text);
}

// The editor's key source: waits for a key or for the receiver's word that
// it printed over the line, with term_mtx let go for the wait.
int read_key(EditLine *e, wchar_t *wc)
{
    static mbstate_t mb{};
    for (;;) {
        if (redraw_pending) {
            redraw_pending = false;
            el_set(e, EL_REFRESH);
        }
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        reader_lock->unlock();
        int n = poll(fds, 2, -1);
        reader_lock->lock();
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (read(wake_pipe[0], drain, sizeof drain) > 0) {
            }
            continue;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        char c;
        ssize_t r = read(STDIN_FILENO, &c, 1);
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return -1;
        }
        if (r == 0)
            return 0;
        size_t k = mbrtowc(wc, &c, 1, &mb);
        if (k == static_cast<size_t>(-2))
            continue; // more bytes of one character to come
        if (k == static_cast<size_t>(-1)) {
            mb = mbstate_t{};
            *wc = static_cast<unsigned char>(c);
        }
        return 1;
    }
}

// Tab: completes the word before the cursor as far as the candidates agree;
// when they agree no further, lists them.
unsigned char complete(EditLine *e, int)
{
    const LineInfo *li = el_line(e);
    std::string before(li->buffer, li->cursor);
    size_t start = before.find_last_of(" \t");
    start = start == std::string::npos ? 0 : start + 1;
    const std::string partial = before.substr(start);
    std::vector<std::string> words;
    for (size_t at = 0; at < start;) {
        size_t from = before.find_first_not_of(" \t", at);
        if (from == std::string::npos || from >= start)
            break;
        size_t to = before.find_first_of(" \t", from);
        words.push_back(before.substr(from, to - from));
        at = to;
    }
    const std::vector<std::string> cands = lineedit_candidates(words, partial);
    if (cands.empty())
        return CC_ERROR;
    if (cands.size() == 1) {
        el_insertstr(e, (cands[0].substr(partial.size()) + " ").c_str());
        return CC_REFRESH;
    }
    size_t common = cands[0].size();
    for (const auto &c : cands) {
        size_t i = 0;
        while (i < common && i < c.size() && tolower(c[i]) == tolower(cands[0][i]))
            ++i;
        common = i;
    }
    if (common > partial.size()) {
        el_insertstr(e, cands[0].substr(partial.size(), common - partial.size()).c_str());
        return CC_REFRESH;
    }
    int cols = 0;
    el_get(e, EL_GETTC, "co", &cols);
    fputc('\n', edit_out);
    fputs(lineedit_layout(cands, cols > 0 ? static_cast<size_t>(cols) : 80).c_str(), edit_out);
    return CC_REDISPLAY;
}

// The escape sequence that takes the cursor from where it is in the line
// being edited back to the prompt's first row and clears from there down.
std::string erase_line_seq(EditLine *e)
{
    const LineInfo *li = el_line(e);
    int cols = 0;
    el_get(e, EL_GETTC, "co", &cols);
    const size_t col = strlen(prompt_text) + static_cast<size_t>(li->cursor - li->buffer);
    std::string seq = "\r";
    if (cols > 0 && col / static_cast<size_t>(cols) > 0)
        seq += "\033[" + std::to_string(col / static_cast<size_t>(cols)) + "A";
    return seq + "\033[J";
}

// Ctrl-C, at the prompt (a key to the editor) or while a command runs (the
// terminal's signal). A second one within a second of the last ends the
// console, wherever each came. Written from the signal handler too, on any
// thread: a lock-free atomic, milliseconds of the monotonic clock, 0 none.
std::atomic<int64_t> last_ctrl_c_ms{0};
static_assert(std::atomic<int64_t>::is_always_lock_free, "set from a signal handler");

// Notes this Ctrl-C; true when the one before came less than a second ago.
// Async-signal-safe.
bool ctrl_c_again()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + 1;
    const int64_t before = last_ctrl_c_ms.exchange(ms);
    return before != 0 && ms - before < 1000;
}

// Ctrl-C at the prompt: the line typed so far stays on the screen, marked,
// but is not run, and a fresh prompt comes, as in a shell. A second Ctrl-C
// within a second ends the session like the end of the input.
unsigned char cancel_line(EditLine *e, int)
{
    const bool again = ctrl_c_again();
    const LineInfo *li = el_line(e);
    const std::string text(li->buffer, li->lastchar);
    fprintf(edit_out, "%s%s%s^C\n", erase_line_seq(e).c_str(), prompt_text, text.c_str());
    fflush(edit_out);
    // One character at a time from the end: the count form of the delete
    // does not take more than one here.
    el_cursor(e, static_cast<int>(li->lastchar - li->cursor));
    for (size_t left = text.size(); left > 0 && el_line(e)->cursor > el_line(e)->buffer; --left)
        el_deletestr(e, 1);
    if (again)
        return CC_EOF;
    // A line of its own end only: blank, so nothing runs; an empty one
    // would read as the end of the input.
    el_insertstr(e, "\n");
    return CC_NEWLINE;
}

// Ctrl-C while a command runs: a command in a stretch that can stop is asked
// to (it stops before its next request, and the prompt comes back); during
// any other, or as a second Ctrl-C within a second, the signal does what it
// did before the session: it ends the console.
struct sigaction saved_sigint; // the disposition before the session
void on_sigint(int signo)
{
    const int saved_errno = errno;
    const bool again = ctrl_c_again();
    if (cmd_interruptible.load() != 0 && !again) {
        cmd_interrupted = 1;
        errno = saved_errno;
        return;
    }
    sigaction(signo, &saved_sigint, nullptr);
    raise(signo);
}

void make_dirs(const std::string &path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0700);
}

// Written to a file of its own and renamed over the history, so a console
// ended half-way never leaves a cut history behind.
void save_history()
{
    if (history_file.empty())
        return;
    const std::string tmp = history_file + ".tmp" + std::to_string(getpid());
    HistEvent ev;
    if (history(hist, &ev, H_SAVE, tmp.c_str()) < 0 || rename(tmp.c_str(), history_file.c_str()) != 0) {
        unlink(tmp.c_str());
        static bool told = false;
        if (!told) {
            fprintf(stderr, "history not saved to %s: %s\n", history_file.c_str(), strerror(errno));
            fflush(stderr);
            told = true;
        }
    }
}

} // namespace

std::string lineedit_layout(std::vector<std::string> words, size_t cols)
{
    std::sort(words.begin(), words.end());
    size_t widest = 0;
    for (const auto &w : words)
        widest = std::max(widest, w.size());
    const size_t column = widest + 2;
    const size_t per_row = std::max<size_t>(1, (cols + 2) / column);
    std::string out;
    for (size_t i = 0; i < words.size(); ++i) {
        const bool row_end = (i + 1) % per_row == 0 || i + 1 == words.size();
        out += words[i];
        out += row_end ? std::string("\n") : std::string(column - words[i].size(), ' ');
    }
    return out;
}

std::string lineedit_history_path()
{
    const char *state = getenv("XDG_STATE_HOME");
    std::string dir;
    if (state != nullptr && state[0] == '/') {
        dir = state;
    } else {
        const char *home = getenv("HOME");
        if (home == nullptr || home[0] != '/')
            return "";
        dir = std::string(home) + "/.local/state";
    }
    return dir + "/tarnctl/history";
}

std::vector<std::string> lineedit_candidates(const std::vector<std::string> &before, const std::string &partial)
{
    std::vector<std::string> out;
    if (before.empty()) {
        for (const cmd_entry *e = cmd_table; e->word != nullptr; ++e) {
            if (e->handler == nullptr)
                continue;
            add_candidate(out, e->word, partial);
            add_candidate(out, e->alt_word, partial);
        }
        return out;
    }
    const cmd_entry *e = cmd_find_word(before[0].c_str());
    if (e == nullptr)
        return out;
    const unsigned pos = static_cast<unsigned>(before.size());
    for (const cmd_sub_words *s = e->subs; s != nullptr && s->words != nullptr; ++s) {
        if (s->pos != pos)
            continue;
        if (s->after != nullptr && !typed_selects(before[pos - 1], s->after))
            continue;
        for (const char *const *w = s->words; *w != nullptr; ++w)
            add_candidate(out, *w, partial);
    }
    return out;
}

lineedit_session::lineedit_session()
{
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO))
        return;
    int out_fd = dup(STDOUT_FILENO);
    if (out_fd < 0)
        return;
    FILE *out = fdopen(out_fd, "w");
    if (out == nullptr) {
        close(out_fd);
        return;
    }
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fclose(out);
        return;
    }
    // Multi-byte characters are typed and shown in the user's encoding.
    setlocale(LC_CTYPE, "");

    std::lock_guard<std::mutex> lock(term_mtx);
    edit_out = out;
    editor = el_init("tarnctl", stdin, edit_out, stderr);
    el_set(editor, EL_EDITOR, "emacs");
    el_set(editor, EL_PROMPT, prompt_fn);
    el_set(editor, EL_SIGNAL, 1);
    el_set(editor, EL_GETCFN, read_key);
    hist = history_init();
    HistEvent ev;
    history(hist, &ev, H_SETSIZE, history_entries);
    history(hist, &ev, H_SETUNIQUE, 1);
    el_set(editor, EL_HIST, history, hist);
    // The wide form keeps the names as given; the narrow one copies them
    // and never frees the copies.
    el_wset(editor, EL_ADDFN, L"tarnctl-complete", L"complete a command word", complete);
    el_wset(editor, EL_BIND, L"^I", L"tarnctl-complete", nullptr);
    // Ctrl-C reaches the editor as a key while a line is edited (outside
    // of it, the terminal turns it into the signal as always).
    el_set(editor, EL_SETTY, "-d", "-isig", nullptr);
    el_wset(editor, EL_ADDFN, L"tarnctl-cancel", L"drop the line being typed", cancel_line);
    el_wset(editor, EL_BIND, L"^C", L"tarnctl-cancel", nullptr);
    // The user's own key bindings (~/.editrc), as other libedit programs.
    el_source(editor, nullptr);

    history_file = lineedit_history_path();
    if (!history_file.empty()) {
        make_dirs(history_file);
        history(hist, &ev, H_LOAD, history_file.c_str());
    }

    main_thread = std::this_thread::get_id();
    static const cookie_io_functions_t out_fns = {nullptr, stdout_write, nullptr, nullptr};
    FILE *cookie = fopencookie(nullptr, "w", out_fns);
    if (cookie != nullptr) {
        setvbuf(cookie, nullptr, _IOLBF, BUFSIZ);
        fflush(stdout);
        saved_stdout = stdout;
        stdout = cookie;
    }
    // Standard error only when it shows on the same terminal.
    static const cookie_io_functions_t err_fns = {nullptr, stderr_write, nullptr, nullptr};
    FILE *err_cookie = isatty(STDERR_FILENO) ? fopencookie(nullptr, "w", err_fns) : nullptr;
    if (err_cookie != nullptr) {
        setvbuf(err_cookie, nullptr, _IONBF, 0);
        saved_stderr = stderr;
        stderr = err_cookie;
    }
    // A console started with the signal ignored (in the background of a
    // script) keeps it ignored. SA_RESTART: the other threads' reads and
    // waits go on as if no signal had come.
    sigaction(SIGINT, nullptr, &saved_sigint);
    if (saved_sigint.sa_handler != SIG_IGN) {
        struct sigaction sa = {};
        sa.sa_handler = on_sigint;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
    }
    active = true;
}

lineedit_session::~lineedit_session()
{
    std::lock_guard<std::mutex> lock(term_mtx);
    if (!active)
        return;
    active = false;
    sigaction(SIGINT, &saved_sigint, nullptr);
    if (saved_stdout != nullptr) {
        FILE *cookie = stdout;
        stdout = saved_stdout;
        saved_stdout = nullptr;
        fclose(cookie);
    }
    if (saved_stderr != nullptr) {
        FILE *cookie = stderr;
        stderr = saved_stderr;
        saved_stderr = nullptr;
        fclose(cookie);
    }
    el_end(editor);
    editor = nullptr;
    history_end(hist);
    hist = nullptr;
    fclose(edit_out);
    edit_out = nullptr;
    close(wake_pipe[0]);
    close(wake_pipe[1]);
    wake_pipe[0] = wake_pipe[1] = -1;
}

bool lineedit_active()
{
    std::lock_guard<std::mutex> lock(term_mtx);
    return active;
}

lineedit_result lineedit_read(char *buf, size_t size)
{
    std::unique_lock<std::mutex> lock(term_mtx);
    if (!active)
        return lineedit_result::end;
    // What the commands printed is on the screen before the prompt.
    fflush(stdout);
    reader_lock = &lock;
    prompt_shown = true;
    int count = 0;
    const char *line = el_gets(editor, &count);
    prompt_shown = false;
    reader_lock = nullptr;
    if (line == nullptr || count <= 0) {
        // End of input (^D): leave the cursor on a line of its own.
        fputc('\n', edit_out);
        fflush(edit_out);
        return lineedit_result::end;
    }
    // The count, not the string: a line ended by the Ctrl-C key is not
    // terminated in the editor's buffer, where the previous line's tail
    // still follows it.
    size_t len = std::min(strlen(line), static_cast<size_t>(count));
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        --len;
    // The rule of the plain input: at most size - 1 bytes a line.
    if (len > size - 1) {
        lock.unlock();
        fprintf(stderr, "line too long (at most %zu characters)\n", size - 1);
        fflush(stderr);
        return lineedit_result::skip;
    }
    std::string text(line, len);
    if (text.find_first_not_of(" \t") != std::string::npos) {
        HistEvent ev;
        history(hist, &ev, H_ENTER, text.c_str());
        save_history();
    }
    memcpy(buf, text.data(), len);
    if (len + 1 < size)
        buf[len++] = '\n';
    buf[len] = '\0';
    return lineedit_result::line;
}

lineedit_async_output::lineedit_async_output() : held_(true)
{
    // Taken even without a session: the session's start and end swap the
    // standard output stream, which must not happen under a frame's output.
    term_mtx.lock();
    ++bracket_depth;
    if (!active || !prompt_shown)
        return;
    // Back to the prompt's first row and clear from there down, so a line
    // longer than the terminal is wide goes too.
    std::string seq = erase_line_seq(editor);
    std::lock_guard<std::mutex> out_lock(out_mtx);
    erase_seq = seq;
}

lineedit_async_output::~lineedit_async_output()
{
    if (!held_)
        return;
    if (active && prompt_shown) {
        fflush(stdout);
        bool redraw;
        {
            std::lock_guard<std::mutex> out_lock(out_mtx);
            redraw = erased;
            if (erased && last_byte != '\n')
                write_all(STDOUT_FILENO, "\n", 1);
            erased = false;
            erase_seq.clear();
        }
        if (redraw) {
            redraw_pending = true;
            const char c = 1;
            (void)!write(wake_pipe[1], &c, 1);
        }
    }
    --bracket_depth;
    term_mtx.unlock();
}
