// The control socket: the keyboard's commands from a shell, through kestctl.
// The file system guards it: it is made only in a working directory that
// the logger (or root) owns and neither its group nor others may write, under a umask that
// leaves it mode 0660. Clients never hold the loop up: their sockets are
// non-blocking, their replies and watched output are held and sent as they
// can take them, and a watcher that does not read loses output, not data.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "alert/alert.h"
#include "console/console.h"
#include "core/core.h"
#include "formats/formats.h"

namespace {

constexpr int LISTEN_BACKLOG = 16;
constexpr size_t CLIENT_READ_MAX = 4096;  // bytes taken from a client at a time

// Why the socket must not be made in the working directory, or "" when it
// may: anyone else able to replace it could take the logger's commands.
void refusal(char* why, size_t size) {
    why[0] = '\0';
    struct stat st;
    char cwd[TEXT_MAX + 1] = ".";
    if (!getcwd(cwd, sizeof cwd)) snprintf(cwd, sizeof cwd, ".");
    if (stat(".", &st) != 0) {
        snprintf(why, size, "%s cannot be examined: %s", cwd, strerror(errno));
    } else if (st.st_mode & (S_IWOTH | S_IWGRP)) {
        snprintf(why, size, "the working directory %s is writable by %s", cwd,
                 (st.st_mode & S_IWOTH) ? "others" : "its group");
    } else if (st.st_uid != geteuid() && st.st_uid != 0) {
        char owner[USER_NAME_MAX], self[USER_NAME_MAX];
        user_name(st.st_uid, owner, sizeof owner);
        user_name(geteuid(), self, sizeof self);
        snprintf(why, size, "the working directory %s is owned by %s, not by %s or root", cwd, owner, self);
    }
}

// A socket left by a run that ended without stopping is removed; anything
// else of that name is left alone.
bool clear_stale(char* why, size_t size) {
    struct stat st;
    if (lstat(CONTROL_SOCKET, &st) != 0) return true;
    if (!S_ISSOCK(st.st_mode)) {
        snprintf(why, size, "a file of that name is in the way");
        return false;
    }
    if (unlink(CONTROL_SOCKET) != 0) {
        snprintf(why, size, "%s", strerror(errno));
        return false;
    }
    return true;
}

int make_socket(char* why, size_t size) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        snprintf(why, size, "%s", strerror(errno));
        return -1;
    }
    // The relative name: a path may hold at most 108 bytes.
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", CONTROL_SOCKET);
    // Born 0660, never more open, not a chmod afterwards.
    mode_t old = umask(0117);
    int bound = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    int err = errno;
    umask(old);
    // A setgid directory would hand its own group the commands.
    struct stat dir;
    if (bound == 0 && stat(".", &dir) == 0 && (dir.st_mode & S_ISGID) &&
        fchownat(AT_FDCWD, CONTROL_SOCKET, static_cast<uid_t>(-1), getegid(), AT_SYMLINK_NOFOLLOW) != 0) {
        bound = -1;
        err = errno;
        unlink(CONTROL_SOCKET);
    }
    if (bound != 0 || listen(fd, LISTEN_BACKLOG) != 0) {
        snprintf(why, size, "%s", strerror(bound != 0 ? err : errno));
        close(fd);
        return -1;
    }
    return fd;
}

void close_client(ControlClient& c) {
    close(c.fd);
    c = ControlClient{};
}

// Sends what the client has yet to get, as much as it takes now. A client
// that went away is closed, at no cost to the logger.
void send_out(ControlClient& c) {
    while (!c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            close_client(c);
            return;
        }
    }
    if (c.closing) close_client(c);
}

// The console's output, copied to every watcher; one that does not keep up
// loses it, and learns how much at the place it was lost.
void watch_tee(const char* data, size_t len) {
    for (ControlClient& c : mon.clients) {
        if (c.fd < 0 || !c.watcher) continue;
        if (c.out.size() + len > WATCH_HOLD_MAX) {
            c.dropped += len;
            continue;
        }
        if (c.dropped > 0) {
            char marker[64];
            snprintf(marker, sizeof marker, "[console: %zu bytes not shown]\n", c.dropped);
            c.out += marker;
            c.dropped = 0;
        }
        c.out.append(data, len);
    }
}

// The client that asked for the test mail hears how it ended, and is closed.
void tell_test_mail(const char* outcome) {
    for (ControlClient& c : mon.clients) {
        if (c.fd < 0 || !c.waiting_mail) continue;
        c.out += outcome;
        c.waiting_mail = false;
        c.closing = true;
        send_out(c);
    }
}

void wait_for_test_mail(ControlClient& c) {
    char who[USER_NAME_MAX + 16];
    snprintf(who, sizeof who, "%s (kestctl)", c.user);
    if (const char* why = start_test_mail(who, tell_test_mail)) {
        c.out += why;
        c.closing = true;
        return;
    }
    c.waiting_mail = true;
}

void become_watcher(ControlClient& c) {
    c.watcher = true;
    console_tee(watch_tee);
}

void accept_clients() {
    for (;;) {
        int fd = accept4(mon.control_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        ControlClient* free_slot = nullptr;
        for (ControlClient& c : mon.clients) {
            if (c.fd < 0) {
                free_slot = &c;
                break;
            }
        }
        if (!free_slot) {
            (void)send(fd, TOO_MANY_CONNECTIONS, strlen(TOO_MANY_CONNECTIONS), MSG_NOSIGNAL | MSG_DONTWAIT);
            close(fd);
            continue;
        }
        struct ucred cred = {};
        socklen_t len = sizeof cred;
        uid_t uid =
            getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.uid : static_cast<uid_t>(-1);
        char user[USER_NAME_MAX];
        if (uid != static_cast<uid_t>(-1))
            user_name(uid, user, sizeof user);
        else
            snprintf(user, sizeof user, "unknown");
        // One user holds at most half of the places, so that watchers that
        // never read cannot shut every other operator out.
        int held = 0;
        for (const ControlClient& other : mon.clients) held += other.fd >= 0 && other.uid == uid;
        if (held >= CONTROL_CLIENTS_MAX / 2) {
            char refusal[USER_NAME_MAX + 96];
            int n = snprintf(refusal, sizeof refusal, "%s from %s (at most %d at once)\n", TURNED_AWAY,
                             shown_as_text(user).c_str(), CONTROL_CLIENTS_MAX / 2);
            (void)send(fd, refusal, static_cast<size_t>(std::min<int>(n, sizeof refusal - 1)),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
            close(fd);
            continue;
        }
        ControlClient& c = *free_slot;
        c.fd = fd;
        c.uid = uid;
        c.since_ms = monotonic_ms();
        snprintf(c.user, sizeof c.user, "%s", user);
    }
}

// The bytes a client sent: each newline runs its line as a command typed
// at the keyboard; its reply closes the connection, unless it asked to
// watch. A client that ends its side ends a line left unfinished too.
void take_from(ControlClient& c) {
    char buf[CLIENT_READ_MAX];
    ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        if (c.watcher || c.ptr == 0) {
            close_client(c);
            return;
        }
        n = 1;
        buf[0] = '\n';
    }
    for (ssize_t i = 0; i < n && !c.closing && !c.watcher && !c.waiting_mail; i++) {
        switch (line_input(c.line, &c.ptr, static_cast<unsigned char>(buf[i]), c.user, &c.out)) {
            case KbAction::Quit: {
                char peer[USER_NAME_MAX];
                snprintf(peer, sizeof peer, "%s", c.user);
                close_client(c);
                quit_program(peer);
            }
            case KbAction::Watch:
                become_watcher(c);
                break;
            case KbAction::TestMail:
                wait_for_test_mail(c);
                break;
            case KbAction::None:
            case KbAction::Interrupt:
                c.closing = c.ptr == 0;  // a line ran
                break;
        }
    }
    send_out(c);
}

}  // namespace

void open_control_socket() {
    char why[2 * TEXT_MAX + 64];
    refusal(why, sizeof why);
    if (why[0] == '\0' && clear_stale(why, sizeof why)) mon.control_fd = make_socket(why, sizeof why);
    if (mon.control_fd < 0) report("%s: not made: %s\n", CONTROL_SOCKET, why);
}

void close_control_socket() {
    if (mon.control_fd < 0) return;
    close(mon.control_fd);
    mon.control_fd = -1;
    unlink(CONTROL_SOCKET);
}

int control_pollfds(struct pollfd* fds) {
    if (mon.control_fd < 0) return 0;
    int n = 0;
    fds[n++] = {mon.control_fd, POLLIN, 0};
    for (const ControlClient& c : mon.clients) {
        if (c.fd < 0) continue;
        short events = static_cast<short>((c.closing ? 0 : POLLIN) | (c.out.empty() ? 0 : POLLOUT));
        fds[n++] = {c.fd, events, 0};
    }
    return n;
}

void control_events(const struct pollfd* fds, int n) {
    long long now = monotonic_ms();
    for (int i = 1; i < n; i++) {
        for (ControlClient& c : mon.clients) {
            if (c.fd != fds[i].fd || !fds[i].revents) continue;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) take_from(c);
            if (c.fd >= 0 && (fds[i].revents & POLLOUT)) send_out(c);
        }
    }
    if (n > 0 && (fds[0].revents & POLLIN)) accept_clients();
    bool watching = false;
    for (ControlClient& c : mon.clients) {
        if (c.fd < 0) continue;
        // One that sends no command in time is closed; a watcher stays.
        if (!c.watcher && !c.closing && !c.waiting_mail && now - c.since_ms > CONTROL_IDLE_MS)
            close_client(c);
        if (c.fd >= 0 && c.watcher) {
            watching = true;
            if (!c.out.empty()) send_out(c);
        }
    }
    if (!watching) console_tee(nullptr);
}
