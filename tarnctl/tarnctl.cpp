// Entry point of the console: the first pass over the options (box
// selection, access level, mode), then line, receiver, commands, and an
// orderly shutdown that turns the run's status into the exit code.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "hdlc.h"
#include "tarnctl.h"

namespace {

// Instance numbers reach the connect function as 32-bit values; anything
// wider would silently select another box, so it fails like an unconvertible
// value does.
bool convert_instance(const char *arg, unsigned long *out)
{
    errno = 0;
    unsigned long v = strtoul(arg, nullptr, 0);
    if (v == ULONG_MAX || v > UINT32_MAX) {
        errno = EINVAL;
        return false;
    }
    *out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // C, e and H reach the same handlers as their interactive words, under
    // the same unlock; b stays out: the line rate is fixed by the box.
    char options[] = "hd:D:c:irw:Vm:s:pP:S:w:T:G:A:X:NlU:M:C:e:H:";
    int interactive = 0;
    const char *pwd = tarn_access_code;
    int do_exit = 1;
    int ret_val;
    int opt;

    while ((opt = getopt(argc, argv, options)) != -1) {
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
            break;
        case 'N':
            do_exit = 0;
            break;
        case 'h':
            if (unlocked == 1)
                print_help();
            else
                print_help_cmd();
            return 0;
        case 'l':
            list_devices();
            return 0;
        default:
            break;
        }
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

    if (start_receiver(ft_handle, rx_handler, &rcv_thread, &rcv_started_mtx) != 0) {
        fprintf(stderr, "failed to start receiver thread\n");
        fflush(stderr);
        return 1;
    }
    rcv_thread_running = true;

    if (interactive == 1)
        ret_val = parse_interactive();
    else
        ret_val = parse_command_line(argc, argv, options);

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
