// The command table shared by the command line and the interactive loop,
// the front end's state, and the second pass over the options.
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <strings.h>

#include "can_functions.h"
#include "console_functions.h"
#include "out.h"
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

int run_command(const cmd_entry *e, char *param)
{
    out_begin(e->word);
    return out_end(e->handler(param));
}

void refuse_command(const char *word, const char *fmt, ...)
{
    fflush(stdout);
    out_begin(word);
    va_list ap;
    va_start(ap, fmt);
    char text[256];
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    out_err("%s", text);
    fflush(stderr);
    out_end(-1);
}

namespace {

const char *const can_words[] = {"show", "speed", "dump", "reset", "reinit", "calc", "mode", "log", "bridge", nullptr};
const char *const on_off[] = {"on", "off", nullptr};
const char *const can_modes[] = {"show", "normal", "listen", nullptr};
const char *const off_only[] = {"off", nullptr};
const char *const wup_words[] = {"trigger", "on", "off", "get", nullptr};
const char *const sniff_words[] = {"rx", "tx", "rxtx", "mirror", "off", nullptr};
const char *const cfg_words[] = {"read", "write", nullptr};
const char *const eep_words[] = {"read", "write", "clear", nullptr};
const char *const tab_words[] = {"smac", "vlan", "dmac", "mib", nullptr};
const char *const test_words[] = {"mdio", nullptr};
const char *const cbus_words[] = {"all", nullptr};
const char *const pvlan_words[] = {"show", nullptr};
const char *const reset_words[] = {"cpu", nullptr};

const cmd_sub_words can_subs[] = {
    {1, nullptr, can_words}, {2, "dump", on_off},     {2, "mode", can_modes},
    {2, "log", off_only},    {2, "bridge", off_only}, {0, nullptr, nullptr}};
const cmd_sub_words wup_subs[] = {{1, nullptr, wup_words}, {0, nullptr, nullptr}};
const cmd_sub_words power_subs[] = {{1, nullptr, on_off}, {0, nullptr, nullptr}};
const cmd_sub_words sniff_subs[] = {{2, nullptr, sniff_words}, {0, nullptr, nullptr}};
const cmd_sub_words cfg_subs[] = {{1, nullptr, cfg_words}, {0, nullptr, nullptr}};
const cmd_sub_words eep_subs[] = {{1, nullptr, eep_words}, {0, nullptr, nullptr}};
const cmd_sub_words tab_subs[] = {{1, nullptr, tab_words}, {0, nullptr, nullptr}};
const cmd_sub_words test_subs[] = {{1, nullptr, test_words}, {0, nullptr, nullptr}};
const cmd_sub_words cbus_subs[] = {{1, nullptr, cbus_words}, {0, nullptr, nullptr}};
const cmd_sub_words pvlan_subs[] = {{1, nullptr, pvlan_words}, {0, nullptr, nullptr}};
const cmd_sub_words reset_subs[] = {{1, nullptr, reset_words}, {0, nullptr, nullptr}};

} // namespace

// One row per command. The interactive words are tested in this order; their
// prefixes all differ, so at most one row matches a typed word. A row whose
// handler is null stands for a command that this build does not offer: its
// option is treated like any option without a command. C, e and H reach the
// same handlers as their interactive words, under the same unlock; there is
// no -b: the line rate is fixed by the box.
const cmd_entry cmd_table[] = {
    // opt arg   word        n  alt word  n  handler               access        sub-words
    {0, false, "exit", 2, nullptr, 0, process_cmd_exit, CMD_ANY, nullptr},
    {'p', false, "ping", 2, nullptr, 0, process_cmd_ping, CMD_ANY, nullptr},
    {'V', false, "version", 2, nullptr, 0, process_cmd_version, CMD_ANY, nullptr},
    {0, false, "date", 3, nullptr, 0, process_cmd_date, CMD_ANY, nullptr},
    {0, false, "blversion", 3, nullptr, 0, process_cmd_blversion, CMD_ANY, nullptr},
    {0, false, "blstring", 3, nullptr, 0, process_cmd_blstring, CMD_ANY, nullptr},
    {'s', true, "sreg", 2, nullptr, 0, process_cmd_smi_reg, CMD_UNLOCKED, nullptr},
    {'m', true, "mreg", 2, nullptr, 0, process_cmd_mdio_reg, CMD_UNLOCKED, nullptr},
    {'P', true, "power", 2, nullptr, 0, process_cmd_power, CMD_UNLOCKED, power_subs},
    {'r', false, "reset", 2, nullptr, 0, process_cmd_reset, CMD_ANY, reset_subs},
    {'c', true, "cbus", 2, nullptr, 0, process_cmd_cbus, CMD_UNLOCKED, cbus_subs},
    {'e', true, "eep", 2, "e2p", 2, process_cmd_e2p, CMD_UNLOCKED, eep_subs},
    {'S', true, "sniff", 2, nullptr, 0, process_cmd_sniff, CMD_UNLOCKED, sniff_subs},
    {'M', true, "mib", 3, nullptr, 0, process_cmd_mib, CMD_UNLOCKED, nullptr},
    {'w', true, "wup", 2, nullptr, 0, process_cmd_wup, CMD_ANY, wup_subs},
    {'C', true, "cfg", 2, nullptr, 0, process_cmd_cfg, CMD_UNLOCKED, cfg_subs},
    {0, false, "echo", 2, nullptr, 0, process_cmd_echo, CMD_UNLOCKED, nullptr},
    {0, false, "mac", 2, nullptr, 0, process_cmd_mac, CMD_UNLOCKED, nullptr},
    {'H', true, "hdlc", 2, "raw", 2, process_cmd_hdlc, CMD_UNLOCKED, nullptr},
    {'T', true, "tab", 2, nullptr, 0, process_cmd_ind_tab, CMD_UNLOCKED, tab_subs},
    {'G', true, "pvlan", 2, nullptr, 0, process_cmd_pvlan, CMD_UNLOCKED, pvlan_subs},
    {'A', true, "smac", 2, nullptr, 0, process_cmd_smac, CMD_UNLOCKED, nullptr},
    {0, false, "vlan", 2, nullptr, 0, process_cmd_vlan, CMD_UNLOCKED, nullptr},
    {0, false, "test", 2, nullptr, 0, process_cmd_test, CMD_UNLOCKED, test_subs},
    {'X', true, "can", 3, nullptr, 0, process_cmd_can, CMD_UNLOCKED, can_subs},
    {0, false, "help", 2, nullptr, 0, process_cmd_help, CMD_UNLOCKED, nullptr},
    {0, false, nullptr, 0, nullptr, 0, nullptr, CMD_ANY, nullptr},
};

// -h and -l end the run in the first pass; -d, -D, -U, -i, -N and -j set
// it up.
const front_option front_options[] = {
    {'h', false}, {'l', false}, {'d', true}, {'D', true}, {'U', true}, {'i', false}, {'N', false}, {'j', false},
    {0, false},
};

const struct option long_options[] = {
    {"help", no_argument, nullptr, long_opt_help},
    {"version", no_argument, nullptr, long_opt_version},
    {"json", no_argument, nullptr, 'j'},
    {"pretty", no_argument, nullptr, long_opt_pretty},
    {nullptr, 0, nullptr, 0},
};

const char *option_string(void)
{
    // "+" is not used: options and other words may be mixed, as always.
    static const std::string text = [] {
        std::string t;
        for (const front_option *f = front_options; f->option != 0; ++f)
            t += std::string(1, f->option) + (f->option_arg ? ":" : "");
        for (const cmd_entry *e = cmd_table; e->word != nullptr; ++e)
            if (e->option != 0 && e->handler != nullptr)
                t += std::string(1, e->option) + (e->option_arg ? ":" : "");
        return t;
    }();
    return text.c_str();
}

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
    bool any_command = false;
    bool failed = false;
    bool keeps_running = false;
    int opt;

    // The first pass has reported every bad option already.
    const int saved_opterr = opterr;
    opterr = 0;
    optind = 1;
    while ((opt = getopt_long(argc, argv, options, long_options, nullptr)) != -1) {
        // Nothing more can reach a box that has gone.
        if (comm_link_down()) {
            failed = true;
            break;
        }
        if (opt == '?') {
            failed = true;
            continue;
        }
        if (opt == 'N')
            keeps_running = true;
        const cmd_entry *e = cmd_find_option(opt);
        if (e == nullptr || e->handler == nullptr)
            continue; // an option of the front end, taken by the first pass
        any_command = true;
        if (e->access == CMD_UNLOCKED && unlocked != 1) {
            refuse_command(e->word, "-%c needs the access code: give -U <code> before it\n", e->option);
            failed = true;
            continue;
        }
        if (run_command(e, optarg) != 0)
            failed = true;
    }
    opterr = saved_opterr;
    // -N alone is a run that only shows what the box sends.
    if (!any_command && !failed && !keeps_running) {
        fprintf(stderr, "no command given (-h lists them)\n");
        fflush(stderr);
    }
    return failed || !any_command ? -1 : 0;
}
