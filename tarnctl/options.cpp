// The command table shared by the command line and the interactive loop,
// the front end's state, and the second pass over the options.
#include <unistd.h>

#include <cstring>
#include <strings.h>

#include "can_functions.h"
#include "console_functions.h"
#include "switch_functions.h"
#include "tarnctl.h"

FT_HANDLE ft_handle = nullptr;
EVENT_HANDLE sEvent;
RX_EVENT_HANDLE hEvent = &sEvent;
char *tarn_sn = nullptr;
unsigned long tarn_inst = 0;
unsigned int unlocked = 0;
int cancel_rcv_thread = 0;
rcv_start_gate_t rcv_started_mtx{1};

const char *const tarn_access_code = "kvrl.Pembrix-Ubo42";

int process_cmd_exit(char *)
{
    return 0;
}

// One row per command. The interactive words are tested in this order; their
// prefixes all differ, so at most one row matches a typed word. A row whose
// handler is null stands for a command that this build does not offer: its
// option is treated like any option without a command. -h is taken by the
// first pass and counts as no command in the second.
const cmd_entry cmd_table[] = {
    // opt  word         n  alt word  n  handler              access
    {0, "exit", 2, nullptr, 0, process_cmd_exit, CMD_ANY},
    {'p', "ping", 2, nullptr, 0, process_cmd_ping, CMD_ANY},
    {'V', "version", 2, nullptr, 0, process_cmd_version, CMD_ANY},
    {0, "date", 3, nullptr, 0, process_cmd_date, CMD_ANY},
    {0, "blversion", 3, nullptr, 0, process_cmd_blversion, CMD_ANY},
    {0, "blstring", 3, nullptr, 0, process_cmd_blstring, CMD_ANY},
    {'s', "sreg", 2, nullptr, 0, process_cmd_smi_reg, CMD_UNLOCKED},
    {'m', "mreg", 2, nullptr, 0, process_cmd_mdio_reg, CMD_UNLOCKED},
    {'P', "power", 2, nullptr, 0, process_cmd_power, CMD_UNLOCKED},
    {'r', "reset", 2, nullptr, 0, process_cmd_reset, CMD_ANY},
    {'c', "cbus", 2, nullptr, 0, process_cmd_cbus, CMD_UNLOCKED},
    {'e', "eep", 2, "e2p", 2, process_cmd_e2p, CMD_UNLOCKED},
    {'S', "sniff", 2, nullptr, 0, process_cmd_sniff, CMD_UNLOCKED},
    {'M', "mib", 3, nullptr, 0, process_cmd_mib, CMD_UNLOCKED},
    {'w', "wup", 2, nullptr, 0, process_cmd_wup, CMD_ANY},
    {'C', "cfg", 2, nullptr, 0, process_cmd_cfg, CMD_UNLOCKED},
    {0, "echo", 2, nullptr, 0, process_cmd_echo, CMD_UNLOCKED},
    {0, "mac", 2, nullptr, 0, process_cmd_mac, CMD_UNLOCKED},
    {'H', "hdlc", 2, "raw", 2, process_cmd_hdlc, CMD_UNLOCKED},
    {'T', "tab", 2, nullptr, 0, process_cmd_ind_tab, CMD_UNLOCKED},
    {'G', "pvlan", 2, nullptr, 0, process_cmd_pvlan, CMD_UNLOCKED},
    {'A', "smac", 2, nullptr, 0, process_cmd_smac, CMD_UNLOCKED},
    {0, "vlan", 2, nullptr, 0, process_cmd_vlan, CMD_UNLOCKED},
    {0, "test", 2, nullptr, 0, process_cmd_test, CMD_UNLOCKED},
    {'X', "can", 3, nullptr, 0, process_cmd_can, CMD_UNLOCKED},
    {0, "help", 2, nullptr, 0, process_cmd_help, CMD_UNLOCKED},
    {0, nullptr, 0, nullptr, 0, nullptr, CMD_ANY},
};

const cmd_entry *cmd_find_option(int opt)
{
    if (opt <= 0)
        return nullptr;
    for (const cmd_entry *e = cmd_table; e->word != nullptr; ++e)
        if (e->option == opt)
            return e;
    return nullptr;
}

static bool word_selects(const char *typed, const char *word, unsigned n)
{
    return word != nullptr && strlen(typed) >= n && strncasecmp(typed, word, n) == 0;
}

const cmd_entry *cmd_find_word(const char *typed)
{
    for (const cmd_entry *e = cmd_table; e->word != nullptr; ++e)
        if (word_selects(typed, e->word, e->word_len) || word_selects(typed, e->alt_word, e->alt_word_len))
            return e;
    return nullptr;
}

int parse_command_line(int argc, char **argv, char *options)
{
    int status = -1;
    int opt;

    optind = 1;
    while ((opt = getopt(argc, argv, options)) != -1) {
        // Nothing more can reach a box that has gone.
        if (comm_link_down())
            return -1;
        const cmd_entry *e = cmd_find_option(opt);
        if (e != nullptr && e->handler != nullptr && e->access == CMD_ANY) {
            status = e->handler(optarg);
        } else if (unlocked == 1) {
            if (e != nullptr && e->handler != nullptr)
                status = e->handler(optarg);
            else
                status = -1;
        }
    }
    return status;
}
