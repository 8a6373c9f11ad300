// Interactive mode: reads commands line by line after the prompt and runs
// them with the same handlers as the command-line options, until "exit" or
// the end of the input.
#include <cstdio>
#include <cstring>

#include "args.h"
#include "lineedit.h"
#include "out.h"
#include "tarnctl.h"

namespace {

constexpr size_t line_buf_size = 512;
const char word_delims[] = " \t\r\n";

// The argument of a command: everything after the delimiter that ended the
// command word, inner blanks kept; trailing line ends and blanks are cut,
// but never the first character. Null when nothing follows the word.
char *split_param(char *after_word)
{
    if (after_word == nullptr || *after_word == '\0')
        return nullptr;
    size_t len = strlen(after_word);
    while (len > 1 && strchr("\r\n ", after_word[len - 1]) != nullptr)
        after_word[--len] = '\0';
    return after_word;
}

// Skips the rest of a line that did not fit the buffer. False at end of
// input.
bool discard_rest_of_line()
{
    int c;
    while ((c = getchar()) != EOF)
        if (c == '\n')
            return true;
    return false;
}

enum class line_read { ok, too_long, too_long_at_end, end };

// Reads one line into buf (at most size - 1 bytes and a terminating zero),
// counting the bytes read, not the string's length: a NUL byte inside a line
// must not make a long line look short and let its tail run as a command.
// A line that does not fit is refused whole and the rest of it skipped; the
// line end right after a full buffer still belongs to that line.
line_read read_line(char *buf, size_t size)
{
    size_t n = 0;
    int c = EOF;
    while (n < size - 1 && (c = getchar()) != EOF) {
        buf[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buf[n] = '\0';
    if (n == 0 && c == EOF)
        return line_read::end;
    if (n == size - 1 && buf[n - 1] != '\n') {
        c = getchar();
        if (c != '\n' && c != EOF)
            return discard_rest_of_line() ? line_read::too_long : line_read::too_long_at_end;
    }
    return line_read::ok;
}

} // namespace

char *split_command_line(char *line, char **param)
{
    *param = nullptr;
    char *word = line + strspn(line, word_delims);
    if (*word == '\0')
        return nullptr;
    char *word_end = word + strcspn(word, word_delims);
    if (*word_end != '\0') {
        *word_end = '\0';
        *param = split_param(word_end + 1);
    }
    return word;
}

int parse_interactive(void)
{
    char line_buf[line_buf_size];
    int parser_active = 1;
    // A session in which any command failed ends with a failure, so that a
    // script fed through the prompt learns it.
    bool failed = false;

    // On a terminal (main() holds the editing session) the line comes from
    // the line editor; otherwise the input is read exactly as below.

    while (parser_active == 1) {
        if (lineedit_active()) {
            lineedit_result got = lineedit_read(line_buf, sizeof line_buf);
            if (got == lineedit_result::end)
                return failed ? -1 : 0;
            if (got == lineedit_result::skip) {
                failed = true;
                continue;
            }
        } else {
            // Standard output carries only documents in JSON mode.
            if (!out_json()) {
                printf("# ");
                fflush(stdout);
            }

            // End of input ends the session as "exit" does, so a script piped
            // into the console cannot leave it spinning on the prompt. A line
            // too long for the buffer is refused whole: running its pieces as
            // separate commands could start anything the cut happens to
            // produce.
            const line_read got = read_line(line_buf, sizeof line_buf);
            if (got == line_read::too_long || got == line_read::too_long_at_end) {
                fprintf(stderr, "line too long (at most %zu characters)\n", sizeof line_buf - 1);
                fflush(stderr);
                failed = true;
                if (got == line_read::too_long_at_end)
                    return -1;
                continue;
            }
            if (got == line_read::end)
                return failed ? -1 : 0;
        }

        char *param;
        char *word = split_command_line(line_buf, &param);
        if (word == nullptr)
            continue;
        const cmd_entry *e = cmd_find_word(word);
        if (e == nullptr) {
            refuse_command(word, "unknown command %s (help lists them)\n", word);
            failed = true;
            continue;
        }
        // The converter was lost: carry on only with the same box back.
        if (e->handler != process_cmd_exit && comm_link_down() && link_reconnect() != 0)
            return 1;
        if (e->handler == process_cmd_exit) {
            parser_active = 0;
        } else if (e->handler != nullptr) {
            cmd_interrupted = 0; // a Ctrl-C is for the command it came during
            if (run_command(e, param) != 0)
                failed = true;
        }
    }
    return failed ? -1 : 0;
}
