// Keyboard commands typed at the console.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "core/core.h"
#include "logs/logs.h"

constexpr unsigned char CTRL_C = 3;
constexpr int KB_CLEARED = 80;  // positions cleared after each line

static void restore_console() { tcsetattr(STDIN_FILENO, TCSANOW, &mon.initial_settings); }

void init_keyboard() {
    if (tcgetattr(STDIN_FILENO, &mon.initial_settings) == 0) {
        // Registered once, however often the console is set up.
        if (!mon.console_saved) at_end(restore_console);
        mon.console_saved = true;
        mon.new_settings = mon.initial_settings;
        mon.new_settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ISIG);
        mon.new_settings.c_cc[VMIN] = 0;
        mon.new_settings.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &mon.new_settings);
    }
    mon.kbptr = 0;
    memset(mon.kbword, 0, KB_CLEARED);
}

static void print_help() {
    say("\n");
    say("help    - list keyboard commands\n");
    say("kesdon    - print all kest status lines\n");
    say("kesrawdon - print all kest raw characters\n");
    say("comment   - add an operator comment to %s\n", mon.meskes_basefile);
    say("quit    - exit program\n");
    say("status    - show the logger's state\n");
}

// What the logger knows of how the logging goes.
static void print_status() {
    if (mon.last_good_stamp[0])
        say("last good packet: %s\n", mon.last_good_stamp);
    else
        say("last good packet: none since start\n");
    say("packets today: %d status, %d message\n", mon.today_status, mon.today_message);
    if (mon.today_lost > 0) say("not stored today: %d packets, last at %s\n", mon.today_lost, mon.today_lost_last);
    say("failures this hour: %d\n", mon.hour_failures + mon.kesfm);
    if (mon.fhR2 >= 0)
        say("serial line: up\n");
    else
        say("serial line: lost since %s\n", mon.line_lost_since);
    say("system clock: %s\n", mon.clock_sync == ClockSync::Synchronised     ? "synchronised"
                               : mon.clock_sync == ClockSync::Unsynchronised ? "not synchronised"
                                                                              : "unknown");
    if (mon.kessendmail != 'Y') {
        say("e-mail: off\n");
    } else if (mon.last_alert[0] == '\0') {
        say("e-mail: on, last alert none this run\n");
    } else if (mon.last_alert_status == 0) {
        say("e-mail: on, last alert %s sent\n", mon.last_alert);
    } else if (mon.last_alert_status == ALERT_TIMED_OUT) {
        say("e-mail: on, last alert %s timed out\n", mon.last_alert);
    } else if (mon.last_alert_status == ALERT_NOT_STARTED) {
        say("e-mail: on, last alert %s failed (not started)\n", mon.last_alert);
    } else {
        say("e-mail: on, last alert %s failed (status %d)\n", mon.last_alert, mon.last_alert_status);
    }
}

// The comment is the line after the word "comment", its newline included,
// cut to COMMENT_MAX characters.
static void add_comment() {
    constexpr size_t WORD_LEN = 7;
    append_record("comment: <%.*s>\n", COMMENT_MAX, mon.kbword + WORD_LEN);
}

static bool begins_with(const char* word) { return strncmp(mon.kbword, word, strlen(word)) == 0; }

// Runs the command the finished line begins with.
static KbAction run_command_line() {
    if (begins_with("help")) {
        print_help();
    } else if (begins_with("kesdon")) {
        mon.kesd = 1;
    } else if (begins_with("kesdoff")) {
        mon.kesd = 0;
    } else if (begins_with("kesrawdon")) {
        mon.kesrawd = 1;
    } else if (begins_with("kesrawdoff")) {
        mon.kesrawd = 0;
    } else if (begins_with("comment")) {
        add_comment();
    } else if (begins_with("quit")) {
        return KbAction::Quit;
    } else if (begins_with("status")) {
        print_status();
    } else {
        say("Not a valid command word.\n");
    }
    return KbAction::None;
}

KbAction kbinput(unsigned char b) {
    if (b == CTRL_C) return KbAction::Interrupt;
    if (mon.kbptr > KB_LINE_MAX - 1) {
        // An over-long line runs nothing: what follows its 81st character is
        // dropped, and its newline lands at the front, an empty line.
        if (b != '\n') return KbAction::None;
        mon.kbptr = 0;
    }
    mon.kbchar = static_cast<char>(b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
    mon.kbword[mon.kbptr++] = mon.kbchar;
    if (mon.kbchar != '\n') return KbAction::None;

    mon.kbword[mon.kbptr] = '\0';
    say("\ngot word %s\n", mon.kbword);
    KbAction action = run_command_line();
    memset(mon.kbword, 0, KB_CLEARED);
    mon.kbptr = 0;
    return action;
}

// Reads what standard input holds, up to KB_READ_MAX bytes, without waiting
// even when it is a pipe that stays silent. Input that never ends (a
// /dev/zero, a `yes`) is taken a piece a pass, so the loop goes on.
static ssize_t read_typed(unsigned char* buf) {
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return 0;
    return read(STDIN_FILENO, buf, KB_READ_MAX);
}

static void quit_program() {
    record_lost_packets();
    record_failure(Shown::Nothing, "keyboard quit command\n");
    exit(EXIT_QUIT);
}

void checkkybd() {
    unsigned char typed[KB_READ_MAX];
    ssize_t n = read_typed(typed);
    for (ssize_t i = 0; i < n; i++) {
        switch (kbinput(typed[i])) {
            case KbAction::Quit:
                quit_program();
                break;
            case KbAction::Interrupt:
                exit(EXIT_QUIT);
            case KbAction::None:
                break;
        }
    }
}
