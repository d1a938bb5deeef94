// Alerting: the failure e-mail, at most one per clock hour. The body file
// holds the minute's failure count and the last lines of the message log;
// the host's tail and mail commands run as child processes, and the main
// loop waits for them at most a minute while the serial line is read into
// memory.
#pragma once

#include <cstddef>

#include "core/core.h"

// Room for the mail command line: each recipient character takes at most
// four when quoted, plus two quotes around each recipient.
constexpr size_t MAIL_COMMAND_MAX = 16 + 6 * TEXT_MAX + 4 + TEXT_MAX;

// Sends the alert e-mail unless one went out this hour, one waits to be
// tried again, or e-mail is off. The body holds the failure count, the
// storage failures of the minute and the tail of the message log. Only a
// mail command that ends with status 0 spends the hour; a failed try (an
// error status, a time-out, a command that cannot start) is reported on
// standard error and tried again by retry_kesemail. A stop signal ends the
// commands at once.
void kesemail();
// Called at every change of minute: at the ALERT_RETRY_MINUTES-th since a
// failed try, sends the same body again with the same mail command line.
void retry_kesemail();
// A new hour: the alert may go out again, and a retry still pending is dropped.
void rearm_kesemail();

// Builds the mail command line "mail -skesfail <recipients> < lastmailmsg"
// (without the redirection when not body_file) into out, quoting for the
// shell every recipient that holds a character other than letters, digits
// and @ . _ + -. Never writes past size; returns the length the whole line
// needs.
size_t build_mail_command(char* out, size_t size, bool body_file = true);
