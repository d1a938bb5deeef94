// Keyboard commands typed at the console.
#include <errno.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "alert/alert.h"
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
    say("test-mail - mail a test alert to the recipients\n");
}

// What the logger knows of how the logging goes.
static void print_status() {
    say("site: %s\n", mon.site);
    if (mon.last_good_stamp[0])
        say("last good packet: %s\n", mon.last_good_stamp);
    else
        say("last good packet: none since start\n");
    say("packets today: %d status, %d message\n", mon.today_status, mon.today_message);
    if (mon.today_lost > 0)
        say("not stored today: %d packets, last at %s\n", mon.today_lost, mon.today_lost_last);
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
        say("e-mail: on, last alert %s handed to the mail agent\n", mon.last_alert);
    } else if (mon.last_alert_status == ALERT_TIMED_OUT) {
        say("e-mail: on, last alert %s timed out\n", mon.last_alert);
    } else if (mon.last_alert_status == ALERT_NOT_STARTED) {
        say("e-mail: on, last alert %s failed (not started)\n", mon.last_alert);
    } else {
        say("e-mail: on, last alert %s failed (status %d)\n", mon.last_alert, mon.last_alert_status);
    }
}

// Control bytes other than tab and newline in caret notation, as cat -v
// shows them ("^[" for ESC, "M-^[" for a C1 byte): typed text must not drive
// the terminals that show the message log or the console.
static std::string caret_notation(const char* text, size_t len) {
    return shown_as_text(std::string_view(text, len), true);
}

// The comment is the line after the word "comment", its newline included,
// cut to COMMENT_MAX characters.
static void add_comment(const char* line) {
    constexpr size_t WORD_LEN = 7;
    const char* text = line + WORD_LEN;
    std::string shown = caret_notation(text, strnlen(text, COMMENT_MAX));
    append_record(REC_COMMENT, static_cast<int>(shown.size()), shown.c_str());
}

// Runs the command the finished line begins with. `watch` is a command of
// the control socket's alone. A command that changes what the logger does
// or records, given through the socket, records who gave it (peer).
// A user's count of recorded commands this minute: their own, or, once
// many users gave commands, the one the rest share.
static CommandCount& count_of(const char* user) {
    for (CommandCount& c : mon.command_counts) {
        if (strcmp(c.user, user) == 0) return c;
    }
    if (mon.command_counts.size() >= COMMAND_USERS_MAX) return mon.command_counts.back();
    CommandCount& c = mon.command_counts.emplace_back();
    snprintf(c.user, sizeof c.user, "%s", mon.command_counts.size() == COMMAND_USERS_MAX ? "others" : user);
    return c;
}

// Whether a command that is recorded may run: a user of the socket who
// gave RECORDED_COMMANDS_A_MINUTE of them this minute is refused, with the
// reason, and neither it nor its record fills the disk.
static bool within_limit(const char* peer) {
    CommandCount& c = count_of(peer);
    if (c.recorded < RECORDED_COMMANDS_A_MINUTE) {
        c.recorded++;
        return true;
    }
    c.refused++;
    say("%smore than %d recorded commands a minute from %s; try again in the next minute\n", COMMAND_REFUSED,
        RECORDED_COMMANDS_A_MINUTE, peer);
    return false;
}

void record_refused_commands() {
    constexpr int HHMM_POS = 11, HHMM_LEN = 5;  // in DD/MM/YYYY,hh:mm:ss,
    for (const CommandCount& c : mon.command_counts) {
        if (c.refused == 0) continue;
        mon.kesfd++;
        say("%i,", mon.kesfd);
        say(REC_COMMANDS_REFUSED, c.refused, c.user, HHMM_LEN, mon.scurdatetim + HHMM_POS,
            RECORDED_COMMANDS_A_MINUTE);
        append_record(REC_COMMANDS_REFUSED, c.refused, c.user, HHMM_LEN, mon.scurdatetim + HHMM_POS,
                      RECORDED_COMMANDS_A_MINUTE);
    }
    mon.command_counts.clear();
}

static KbAction run_command_line(const char* line, const char* peer) {
    auto begins_with = [line](const char* word) { return strncmp(line, word, strlen(word)) == 0; };
    static const char* const recorded[] = {"kesdon",  "kesdoff", "kesrawdon", "kesrawdoff",
                                           "comment", "quit",    "test-mail"};
    for (const char* word : recorded) {
        if (!peer || !begins_with(word)) continue;
        if (!within_limit(peer)) return KbAction::None;
        append_record(REC_COMMAND_FROM, word, peer);
        break;
    }
    bool client = peer != nullptr;
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
        add_comment(line);
    } else if (begins_with("quit")) {
        return KbAction::Quit;
    } else if (begins_with("status")) {
        print_status();
    } else if (begins_with("test-mail")) {
        return KbAction::TestMail;
    } else if (client && begins_with("watch")) {
        return KbAction::Watch;
    } else {
        say("%s", NOT_A_COMMAND);
    }
    return KbAction::None;
}

KbAction line_input(char* line, int* ptr, unsigned char b, const char* peer, std::string* reply) {
    if (b == CTRL_C && !peer) return KbAction::Interrupt;
    if (*ptr > KB_LINE_MAX - 1) {
        // An over-long line runs nothing: what follows its 81st character is
        // dropped, and its newline lands at the front, an empty line.
        if (b != '\n') return KbAction::None;
        *ptr = 0;
    }
    char c = static_cast<char>(b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
    line[(*ptr)++] = c;
    if (c != '\n') return KbAction::None;

    line[*ptr] = '\0';
    std::string shown = caret_notation(line, static_cast<size_t>(*ptr));
    if (peer)
        say("\ngot word %.*s from %s (kestctl)\n\n", static_cast<int>(shown.size()) - 1, shown.c_str(), peer);
    else
        say("\ngot word %s\n", shown.c_str());
    // What the command prints goes to the client that sent it, and only there.
    console_capture(reply);
    KbAction action = run_command_line(line, peer);
    console_capture(nullptr);
    memset(line, 0, KB_CLEARED);
    *ptr = 0;
    return action;
}

KbAction kbinput(unsigned char b) {
    KbAction action = line_input(mon.kbword, &mon.kbptr, b, nullptr, nullptr);
    if (mon.kbptr > 0) mon.kbchar = mon.kbword[mon.kbptr - 1];
    return action;
}

bool keyboard_wanted() { return !mon.kb_ended && mon.kb_taken < KB_READ_MAX; }

// Reads what standard input holds, up to what is left of this second's
// KB_READ_MAX bytes, without waiting even when it is a pipe that stays
// silent. Input that never ends (a /dev/zero, a `yes`) is taken a piece a
// second, so the loop goes on; input that has ended is no longer watched.
static ssize_t read_typed(unsigned char* buf) {
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLIN | POLLHUP))) return 0;
    ssize_t n = read(STDIN_FILENO, buf, static_cast<size_t>(KB_READ_MAX - mon.kb_taken));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) mon.kb_ended = true;
    if (n > 0) mon.kb_taken += static_cast<int>(n);
    return n;
}

void quit_program(const char* peer) {
    record_lost_packets();
    record_failure(Shown::Nothing, REC_QUIT);
    if (peer)
        report("kestlog stopped: quit command from %s (kestctl)\n", peer);
    else
        report("kestlog stopped: quit typed at the console\n");
    exit(EXIT_QUIT);
}

static void say_outcome(const char* outcome) { say("%s", outcome); }

void checkkybd() {
    if (!keyboard_wanted()) return;
    unsigned char typed[KB_READ_MAX];
    ssize_t n = read_typed(typed);
    for (ssize_t i = 0; i < n; i++) {
        switch (kbinput(typed[i])) {
            case KbAction::Quit:
                quit_program(nullptr);
            case KbAction::Interrupt:
                report("kestlog stopped: Ctrl-C typed at the console\n");
                exit(EXIT_QUIT);
            case KbAction::TestMail:
                if (const char* why = start_test_mail("the operator at the console", say_outcome))
                    say("%s", why);
                break;
            case KbAction::None:
            case KbAction::Watch:
                break;
        }
    }
}
