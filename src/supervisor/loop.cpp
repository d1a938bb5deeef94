// The main loop: one poll over everything the logger waits on, woken by
// whatever is ready and at the turn of each second for the pass. Nothing
// below it waits.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "alert/alert.h"
#include "console/console.h"
#include "link/link.h"
#include "logs/logs.h"
#include "supervisor/supervisor.h"

namespace {

constexpr int PASS_MS = 1000;

time_t last_pass_second = -1;  // of the wall clock: the pass's own reading
long long last_pass_mono = 0;

// At each turn of the wall clock's second, or when a second has passed on
// the monotonic clock (a wall clock held still or set back).
bool pass_due() { return wall_ms() / 1000 != last_pass_second || monotonic_ms() - last_pass_mono >= PASS_MS; }

void run_pass() {
    last_pass_mono = monotonic_ms();
    mainpass();
    last_pass_second = mon.tstart;
}

// Bytes taken from the line but not yet assembled: a flood's wake ended in
// the middle of a read. They must not wait for the line to have more.
bool bytes_held() { return mon.rxpos < mon.rxbuf.size(); }

// How long the loop may wait: to the turn of the second, or to the alert
// command's deadline, and never more than a second (the test clock scales
// poll's time-outs, and a second of it is all the loop assumes).
int wait_ms() {
    if (bytes_held()) return 0;
    long long ms = PASS_MS - wall_ms() % PASS_MS;
    if (alert_running()) ms = std::min(ms, mon.alert_deadline_ms - monotonic_ms());
    return static_cast<int>(std::clamp(ms, 1LL, static_cast<long long>(PASS_MS)));
}

// A read took bytes from the line: a new day starts its file before their
// packets, which carry the day, are stored.
void taken_now() { testday(); }

// Takes what the line holds, a bounded amount at a time, so that a flood
// cannot keep the keyboard and the clients waiting.
void drain_serial(bool readable) {
    unsigned long long from = mon.rx_total;
    do {
        checkkest();
    } while (mon.nchar2 > 0 && mon.rx_total - from < RX_WAKE_MAX);
    store_packets();
    // Readable but nothing to read: hung up, or failed.
    if ((readable && mon.rx_total == from) || mon.read_errno != 0) check_serial_line();
}

}  // namespace

void mainloop(int signals) {
    on_serial_input(taken_now);
    // The first pass at once: it is what a clock step or the day is judged
    // against, and what the service manager's watchdog first hears.
    run_pass();
    for (;;) {
        struct pollfd fds[3 + CONTROL_FDS_MAX];
        int n = 0;
        fds[n++] = {signals, POLLIN, 0};
        int serial = mon.fhR2 >= 0 ? n : -1;
        if (serial >= 0) fds[n++] = {mon.fhR2, POLLIN, 0};
        int keyboard = keyboard_wanted() ? n : -1;
        if (keyboard >= 0) fds[n++] = {STDIN_FILENO, POLLIN, 0};
        int control = n;
        n += control_pollfds(fds + n);
        console_kick();
        if (poll(fds, static_cast<nfds_t>(n), wait_ms()) < 0 && errno != EINTR)
            report("poll: %s\n", strerror(errno));

        if (fds[0].revents & POLLIN) {
            bool child = false;
            if (int sig = read_signals(signals, &child)) mon.stop_signal = sig;
            if (child) alert_child_ended();
        }
        stop_if_signalled();
        if (pass_due()) run_pass();
        if (serial >= 0 && mon.fhR2 == fds[serial].fd && (fds[serial].revents || bytes_held()))
            drain_serial(fds[serial].revents != 0);
        if (keyboard >= 0 && fds[keyboard].revents) checkkybd();
        control_events(fds + control, n - control);
        check_alert_deadline();
    }
}
