// Entry point of the console: the first pass over the options (box
// selection, access level, mode), then line, receiver, commands, and an
// orderly shutdown that turns the run's status into the exit code.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <strings.h>

#include "args.h"
#include "hdlc.h"
#include "lineedit.h"
#include "out.h"
#include "tarnctl.h"

namespace {

// Instance numbers reach the connect function as 32-bit values. A word
// that is no number, or a number too wide, would select some other box than
// the one meant: the run ends instead.
bool convert_instance(const char *arg, unsigned long *out)
{
    uint64_t v = 0;
    if (!field_arg("invalid instance", arg, 0, 0, UINT32_MAX, &v)) {
        errno = EINVAL;
        return false;
    }
    *out = static_cast<unsigned long>(v);
    return true;
}

// --version: the console's and the driver library's, without a box.
void print_version()
{
    DWORD v = 0;
    out_doc().set("console", TARNCTL_VERSION);
    out_text("tarnctl %s\n", TARNCTL_VERSION);
    if (FT_GetLibraryVersion(&v) == FT_OK) {
        char text[32];
        snprintf(text, sizeof text, "%x.%x.%x", static_cast<unsigned>((v >> 16) & 0xFF),
                 static_cast<unsigned>((v >> 8) & 0xFF), static_cast<unsigned>(v & 0xFF));
        out_doc().set("driver", text);
        out_text("driver %s\n", text);
    } else {
        out_doc().set("driver", nullptr);
        out_text("driver unknown\n");
    }
}

// -j and --pretty hold for the whole run, wherever they stand: the results
// of -l or -h before them are documents too. A bad option is left to the
// first pass to report.
void scan_output_mode(int argc, char **argv, const char *options)
{
    bool json = false, pretty = false;
    const int saved_opterr = opterr;
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, options, long_options, nullptr)) != -1) {
        if (opt == 'j')
            json = true;
        else if (opt == long_opt_pretty)
            pretty = true;
    }
    opterr = saved_opterr;
    optind = 0; // the first pass starts afresh
    out_set_json(json, pretty);
}

// Help texts as a document: the text itself.
void help_document()
{
    out_begin("help");
    if (unlocked == 1)
        print_help();
    else
        print_help_cmd();
    out_end(0);
}

} // namespace

int main(int argc, char **argv)
{
    const char *options = option_string();
    int interactive = 0;
    bool interactive_refused = false;
    bool usage_error = false;
    const char *pwd = tarn_access_code;
    int do_exit = 1;
    int ret_val;
    int opt;

    scan_output_mode(argc, argv, options);
    // The diagnostics of a bad option come from this pass alone.
    while ((opt = getopt_long(argc, argv, options, long_options, nullptr)) != -1) {
        switch (opt) {
        case 'D':
            if (tarn_inst != 0) {
                fprintf(stderr, "use either -D or -d\n");
                return 1;
            }
            tarn_sn = optarg;
            break;
        case 'd':
            if (tarn_sn != nullptr) {
                fprintf(stderr, "use either -d or -D\n");
                return 1;
            }
            if (!convert_instance(optarg, &tarn_inst))
                return 1;
            break;
        case 'U':
            if (strcasecmp(optarg, pwd) == 0)
                unlocked = 1;
            break;
        case 'i':
            if (unlocked == 1)
                interactive = 1;
            else
                interactive_refused = true;
            break;
        case 'N':
            do_exit = 0;
            break;
        case 'h':
        case long_opt_help:
            help_document();
            return usage_error ? 2 : 0;
        case long_opt_version:
            out_begin("--version");
            print_version();
            out_end(0);
            return usage_error ? 2 : 0;
        case 'l':
            out_begin("list");
            list_devices();
            out_end(0);
            return usage_error ? 2 : 0;
        case '?':
            usage_error = true;
            break;
        default:
            break;
        }
    }
    // A word that is no option would be dropped, and an option argument
    // with blanks split off its tail (-X speed 250000 would set the default
    // rate): the whole command line is refused instead.
    for (int i = optind; i < argc; ++i) {
        fprintf(stderr, "unexpected word %s (an argument with blanks needs quotes)\n", argv[i]);
        usage_error = true;
    }
    // A command line with a word the console does not know is not run in
    // part: nothing is sent, the status says why.
    if (usage_error)
        return 2;
    // Asked for the prompt without getting it: say why instead of running
    // the rest as a command line.
    if (interactive_refused && interactive == 0) {
        fprintf(stderr, "-i needs the access code: give -U <code> before -i\n");
        return 1;
    }

    if (tarn_inst == 0 && tarn_sn == nullptr)
        tarn_inst = 1;

    int rc = tarn_inst != 0 ? serial_connect(&ft_handle, &hEvent, static_cast<uint32_t>(tarn_inst), 230400)
                            : serial_connect_sn(&ft_handle, &hEvent, tarn_sn, 230400);
    if (rc != 0)
        return 1;

    hdlc_init(hdlc_put_char, hdlc_on_rx_frame);
    // Each frame goes to the driver in one write.
    hdlc_set_frame_output(hdlc_put_frame);

    // On a terminal the interactive session edits the lines. It takes over
    // the output streams before the receiver starts and gives them back
    // after the receiver has ended, so the two never race for them.
    std::optional<lineedit_session> terminal;
    if (interactive == 1)
        terminal.emplace();

    if (start_receiver(ft_handle, rx_handler, &rcv_thread, &rcv_started_mtx) != 0) {
        fprintf(stderr, "failed to start receiver thread\n");
        fflush(stderr);
        return 1;
    }
    rcv_thread_running = true;

    if (interactive == 1)
        ret_val = parse_interactive();
    else
        ret_val = parse_command_line(argc, argv, const_cast<char *>(options));

    // With -N the receiver is never asked to stop: the console keeps showing
    // what the box sends until it is ended from outside. Whatever the
    // commands printed must reach a pipe or file before that happens.
    fflush(stdout);
    if (rcv_thread_running) {
        if (do_exit == 1)
            stop_receiver();
        pthread_join(rcv_thread, nullptr);
    }

    // A box that went away and did not come back fails the run.
    if (comm_link_down())
        ret_val = -1;
    if (ft_handle != nullptr && serial_disconnect(ft_handle) != 0)
        ret_val = -1;

    return ret_val != 0 ? 1 : 0;
}
