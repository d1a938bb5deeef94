// Operator console: the console's terminal mode and the keyboard command
// line. Typed bytes are collected into a line without editing; a newline
// runs the command the line begins with. Ctrl-C arrives as a byte, not a
// signal, and ends the program at once.
#pragma once

// Puts the console into command mode (no line editing, no keyboard signals,
// reads that return at once) and clears the keyboard line. The settings as
// found are put back whenever the process exits. Where standard input is
// not a terminal nothing is changed.
void init_keyboard();

// Collects what has been typed and acts on each complete line. Never waits:
// standard input is polled before each read. Ends the process on "quit"
// (after its record) and on Ctrl-C.
void checkkybd();

// What the caller of kbinput must do after the byte.
enum class KbAction { None, Quit, Interrupt };

// Takes one typed byte: stores it in the line and, at a newline, prints the
// line and runs its command. Never ends the process itself.
KbAction kbinput(unsigned char b);
