// Operator console: the console's terminal mode and the keyboard command
// line. Typed bytes are collected into a line without editing; a newline
// runs the command the line begins with. Ctrl-C arrives as a byte, not a
// signal, and ends the program at once.
#pragma once

#include "core/core.h"

// Puts the console into command mode (no line editing, no keyboard signals,
// reads that return at once) and clears the keyboard line. The settings as
// found are put back whenever the process exits. Where standard input is
// not a terminal nothing is changed.
void init_keyboard();

#include <poll.h>

#include <string>

// Collects what has been typed and acts on each complete line: at most
// KB_READ_MAX bytes a second (kb_taken, which the pass sets back to 0).
// Never waits: standard input is polled before each read; at its end it is
// no longer watched. Ends the process on "quit" (after its record) and on
// Ctrl-C.
void checkkybd();
// Whether the main loop is to watch standard input now.
bool keyboard_wanted();

// What the caller of kbinput must do after the byte.
enum class KbAction { None, Quit, Interrupt, Watch, TestMail };

// Takes one typed byte: stores it in the line and, at a newline, prints the
// line and runs its command. Never ends the process itself.
KbAction kbinput(unsigned char b);
// The same for any line being typed: the keyboard's (peer null), or a
// control client's, whose "got word" line names the peer, whose Ctrl-C is
// an ordinary byte, and whose command's output goes to *reply alone.
KbAction line_input(char* line, int* ptr, unsigned char b, const char* peer, std::string* reply);
// Records the quit command, tells standard error who gave it (peer, null
// for the console) and ends the process (status 0).
[[noreturn]] void quit_program(const char* peer);

// --- the control socket: commands from a shell (kestctl) ----------------------
// kestlog.sock in the working directory, mode 0660, made only where the
// directory is the logger's (or root's) and not writable by others. One
// command per connection, replied to and closed; "watch" streams what the
// console shows. At most CONTROL_CLIENTS_MAX clients at once.

constexpr const char* CONTROL_SOCKET = "kestlog.sock";
// Replies a client may get: a line that makes no command, and no room.
constexpr const char* NOT_A_COMMAND = "Not a valid command word.\n";
constexpr const char* TOO_MANY_CONNECTIONS = "kestlog: too many connections\n";
// How a client is turned away, whole or from one user: "... from alice".
constexpr const char* TURNED_AWAY = "kestlog: too many connections";
// How a refused command's reply begins.
constexpr const char* COMMAND_REFUSED = "kestlog: refused: ";
// Commands that change what the logger does or records, each recorded with
// who gave it: at most this many a minute from each user through the socket.
constexpr int RECORDED_COMMANDS_A_MINUTE = 10;
constexpr int CONTROL_FDS_MAX = CONTROL_CLIENTS_MAX + 1;  // the socket and its clients

// Makes the socket (removing a stale one: the caller holds kestlog.lock).
// When it cannot or must not be made, says why on standard error, and the
// logger goes on without it.
void open_control_socket();
// Removes the socket at the end of the run.
void close_control_socket();
// At the change of minute: the commands each user gave over the limit in the
// minute ended, recorded as one for each ("N commands from USER (kestctl)
// refused in the minute to hh:mm: more than 10 a minute", kesfd raised).
void record_refused_commands();
// Fills fds with what the socket and its clients wait for; returns how many.
int control_pollfds(struct pollfd* fds);
// Acts on what poll said of them (n as control_pollfds returned), and closes
// clients that sent no command in time.
void control_events(const struct pollfd* fds, int n);
