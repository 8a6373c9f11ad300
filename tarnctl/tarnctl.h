// The console front end: start-up state, the command table, the interactive
// loop and help texts, the serial line and CBUS pins, and the receiver thread
// with its frame router. main() itself lives in tarnctl.cpp; everything else
// is in the tarnctl_core library so that it can be tested without a box.
#ifndef TARNCTL_TARNCTL_H
#define TARNCTL_TARNCTL_H

#include <getopt.h>
#include <pthread.h>
#include <cstdint>
#include <semaphore>

#include "commands.h"
#include "usbserial.h"

// The receive event as the connect functions and the receiver see it.
typedef EVENT_HANDLE *RX_EVENT_HANDLE;

// One-shot start signal from a new receiver thread to the thread that
// started it (opened by another thread than the one waiting: a semaphore).
typedef std::binary_semaphore rcv_start_gate_t;

// ---- front-end state, shared by start-up, commands and receiver ----------
extern FT_HANDLE ft_handle;          // the open serial line, null while closed
extern EVENT_HANDLE sEvent;          // receive event signalled by the driver
extern RX_EVENT_HANDLE hEvent;       // &sEvent
extern char *tarn_sn;                // -D serial number (points into argv)
extern char tarn_link_sn[17];        // serial number of the box last connected ("" before)
extern unsigned long tarn_inst;      // -d instance, 0 = none given
extern unsigned int unlocked;        // 1 after -U with the right access code
extern int cancel_rcv_thread;        // stop request, guarded by hEvent->eMutex
extern rcv_start_gate_t rcv_started_mtx;

// The access code that unlocks the full command set (-U).
extern const char *const tarn_access_code;

// ---- the console's vocabulary ---------------------------------------------
// One table holds every command: its option letter, whether the option takes
// an argument, its interactive words and the fixed words its argument may
// hold. The option string of both passes, the completion at the prompt, the
// bash completion and the man page all follow it (a test holds the last two
// to it).
typedef int (*cmd_handler_t)(char *param);

enum cmd_access { CMD_ANY, CMD_UNLOCKED };

// Fixed words at argument position pos (1: the first word after the
// command), offered where the word before them selects after (null: any).
// A list ends with an entry whose words are null.
struct cmd_sub_words {
    unsigned pos;
    const char *after;
    const char *const *words;
};

// One command: its option letter for the command line (0: none) and whether
// it takes an argument, up to two interactive words with the number of
// leading characters that must match, its handler (null while the command is
// not available in this build), whether the option runs on a locked console,
// and its fixed sub-words (null: none).
struct cmd_entry {
    char option;
    bool option_arg;
    const char *word;
    unsigned word_len;
    const char *alt_word;
    unsigned alt_word_len;
    cmd_handler_t handler;
    cmd_access access;
    const cmd_sub_words *subs;
};

// The table, in the order the interactive words are tested; terminated by an
// entry with a null word.
extern const cmd_entry cmd_table[];

// The options of the front end itself (box, access level, mode, help, list),
// taken by the first pass; ends with option 0.
struct front_option {
    char option;
    bool option_arg;
};
extern const front_option front_options[];

// Long options, for getopt_long: --help, --version, --json (the same as -j)
// and --pretty; any other --word is refused as unknown, never read as short
// options.
enum { long_opt_help = 0x100, long_opt_version = 0x101, long_opt_pretty = 0x102 };
extern const struct option long_options[];

// The option string of both passes, made from the two tables.
const char *option_string(void);

// Entry for an option letter, or null.
const cmd_entry *cmd_find_option(int opt);
// Entry whose interactive word the typed word selects, or null.
const cmd_entry *cmd_find_word(const char *typed);
// Sentinel handler of the interactive word "exit".
int process_cmd_exit(char *param);
// Runs a command's handler as one result: in JSON mode its document is
// written when it ends. Returns the handler's status.
int run_command(const cmd_entry *e, char *param);
// A command refused before its handler ran (locked, unknown word): the
// message on standard error and, in JSON mode, a failed document for word.
void refuse_command(const char *word, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Second pass over the options: runs the command options in order. The
// result is -1 when any command failed, when a command needed the access
// code, or when there was no command; else 0.
int parse_command_line(int argc, char **argv, char *options);

// ---- interactive mode and help ---------------------------------------------
int parse_interactive(void);
// Splits one input line in place into the command word (returned; null for a
// blank line) and its argument (*param; null when nothing follows the word).
char *split_command_line(char *line, char **param);
int process_cmd_help(char *param);
void print_help(void);
void print_help_cmd(void);

// ---- serial line and CBUS pins ------------------------------------------
int serial_connect(FT_HANDLE *handle, RX_EVENT_HANDLE *event, unsigned int tarn_inst, unsigned int baudrate);
// announce_absence false: a box that is not there is the caller's to report.
int serial_connect_sn(FT_HANDLE *handle, RX_EVENT_HANDLE *event, char *tarn_sn, unsigned int baudrate,
                      bool announce_absence = true);
void list_devices(void);
int serial_disconnect(FT_HANDLE ft_handle);
int serial_cbus_set(FT_HANDLE ft_handle, uint8_t pin, uint8_t level);
int serial_cbus_get(FT_HANDLE ft_handle, uint8_t pin, uint8_t *level);
int serial_device_reset(FT_HANDLE ft_handle);
int process_cmd_reset(char *param);
int process_cmd_cbus(char *param);

// ---- receiver thread and frame router ---------------------------------------
int start_receiver(FT_HANDLE ft_handle, void *(*rx_handler)(void *), pthread_t *rcv_thread,
                   rcv_start_gate_t *rcv_started_mtx);
void *rx_handler(void *thread_arg);
// Asks the receiver to end and wakes it; the caller then joins the thread.
void stop_receiver(void);
// The console's receiver thread, and whether it runs (main thread only).
extern pthread_t rcv_thread;
extern bool rcv_thread_running;
// After the converter was lost: ends the receiver, closes the old handle,
// opens the box with the same serial number again and restarts the
// receiver. 0 when the link is back; -1 (with a line on stderr) when not.
int link_reconnect(void);
// Output callback of the HDLC layer: one wire byte, one driver write.
void hdlc_put_char(char data);
// Frame output of the HDLC layer: one encoded frame, one driver write. A
// failed or short write is reported once for the frame; when the converter
// has gone it reports that instead (report_link_gone).
void hdlc_put_frame(const uint8_t *bytes, size_t len);
// Marks the link as down; the first caller for the event prints one line.
void report_link_gone(void);
// Frame callback of the HDLC layer: routes one good frame.
void hdlc_on_rx_frame(const u8_t *buffer, uint16_t bytes_received);
// What the router does with the box's own frames and with unknown types.
void hdlc_dbg_process_rq(hdlc_msg_t *msg, uint16_t len);
void hdlc_dbg_process_rsp(hdlc_msg_t *msg, uint16_t len);
void hdlc_ping_process_rq(hdlc_msg_t *msg, uint16_t len);
void hdlc_process_error(hdlc_msg_t *msg, uint16_t len);

#endif
