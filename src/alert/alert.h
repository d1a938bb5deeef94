// Alerting: the failure e-mail, at most one per clock hour. The body file
// holds the minute's failure count, the site, what failed and the last lines
// of the message log (taken in the logger, as tail gives them); the host's
// mail command reads it from a descriptor the logger opened, and runs as a
// child process that the main loop watches, never waits for: its end, and
// its deadline (a minute).
#pragma once

#include <cstddef>

#include "core/core.h"

// Room for the mail command line: each recipient character takes at most
// four when quoted, plus two quotes around each recipient.
constexpr size_t MAIL_COMMAND_MAX = 16 + 6 * TEXT_MAX + 4 + TEXT_MAX;

// Starts the alert e-mail unless one went out this hour, one runs or waits
// to be tried again, or e-mail is off. The body holds the failure count, the
// site and host, the storage failures of the minute and the tail of the
// message log. Only a mail command that ends with status 0 spends the hour
// the try started in; a failed try (an error status, a time-out, a command
// that cannot start) is reported on standard error and tried again by
// retry_kesemail.
void kesemail();
// A child process ended (SIGCHLD): when it is the alert's command, the
// alert goes on to its next step.
void alert_child_ended();
// Ends the alert's command with its whole process group once its deadline
// has passed ("mail command timed out after S s").
void check_alert_deadline();
// Ends the alert's command, if one runs, with its whole process group (the
// logger stops).
void end_alert_command();
// Whether one of the alert's commands runs.
bool alert_running();
// Sends a test mail by the alert's own way (the mail command, its
// recipients and subject), its body saying who asked (asked_by) and that
// it is a test; nothing of the alert's hour or retries changes. Returns
// nullptr once it runs, done being called with the outcome ("test mail
// handed to the mail agent for ..." or "test mail failed: ...", a line); or
// why it cannot run now (e-mail off, an alert's mail running).
constexpr const char* TEST_MAIL_HANDED = "test mail handed to the mail agent";
const char* start_test_mail(const char* asked_by, void (*done)(const char* outcome));
// Called at every change of minute: at the ALERT_RETRY_MINUTES-th since a
// failed try, sends the same body again with the same mail command line.
void retry_kesemail();
// A new hour: the alert may go out again, and a retry still pending is dropped.
void rearm_kesemail();

// For a check of the settings: asks the local mail agent (exim's address
// test, exim -bt) whether it would deliver to each recipient, while e-mail
// is on. A recipient it would refuse or bounce is named with the agent's
// reason on standard error ("FILE: mail recipient R: the mail agent ... would
// not deliver it: REASON"); a route it takes is shown on standard output;
// where it cannot tell (no exim, no answer) a warning says so. Returns the
// number of recipients refused.
int check_mail_route(const char* file);

// Builds the mail command line "mail -skesfail <recipients> < lastmailmsg"
// (without the redirection when not body_file) into out, quoting for the
// shell every recipient that holds a character other than letters, digits
// and @ . _ + -. Never writes past size; returns the length the whole line
// needs.
size_t build_mail_command(char* out, size_t size, bool body_file = true);
