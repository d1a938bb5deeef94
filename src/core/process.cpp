// Process helpers: signals, shell commands and who the logger runs as.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"

// Signals that would end an unattended logger for no good reason: a closed
// output pipe, a file-size limit, a console that hangs up. Ignored, each
// shows as a failed call instead.
static const int ignored_signals[] = {SIGPIPE, SIGXFSZ, SIGHUP};

// Signals that stop the logger in good order.
static const struct {
    int sig;
    const char* name;
} stop_signals[] = {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGQUIT, "SIGQUIT"}};

void harden_process() {
    // Fill closed standard descriptors first, so that no file or device the
    // logger opens later can land on 0, 1 or 2 and receive console output.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int nfd = open("/dev/null", O_RDWR);
            if (nfd >= 0 && nfd != fd) {
                dup2(nfd, fd);
                close(nfd);
            }
        }
    }
    for (int sig : ignored_signals) signal(sig, SIG_IGN);
}

// Blocked in every thread and read by the main loop from a descriptor: a
// signal delivered to a writer thread would never wake the loop.
int stop_signal_fd() {
    sigset_t set;
    sigemptyset(&set);
    for (const auto& s : stop_signals) sigaddset(&set, s.sig);
    sigaddset(&set, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) report("signalfd: %s\n", strerror(errno));
    return fd;
}

int read_signals(int fd, bool* child_ended) {
    int stop = 0;
    struct signalfd_siginfo si;
    while (read(fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGCHLD)
            *child_ended = true;
        else
            stop = static_cast<int>(si.ssi_signo);
    }
    return stop;
}

const char* signal_name(int sig) {
    for (const auto& s : stop_signals) {
        if (s.sig == sig) return s.name;
    }
    return "unknown signal";
}

void end_by_signal(int sig) {
    run_end_hooks();
    if (sig == SIGQUIT) exit(EXIT_SIGQUIT);
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);  // not reached
}

// --- what runs at the end --------------------------------------------------------

constexpr int END_HOOKS_MAX = 8;
static void (*end_hooks[END_HOOKS_MAX])() = {};
static int end_hook_count = 0;
static bool end_hooks_ran = false;

void run_end_hooks() {
    if (end_hooks_ran) return;
    end_hooks_ran = true;
    for (int i = end_hook_count - 1; i >= 0; i--) end_hooks[i]();
}

void at_end(void (*fn)()) {
    if (end_hook_count == 0) atexit(run_end_hooks);
    if (end_hook_count < END_HOOKS_MAX) end_hooks[end_hook_count++] = fn;
}

// --- the service manager ------------------------------------------------------------

// sd_notify waits while the manager's queue is full (ten messages unless
// the system raised it): a manager slow to read would stop the loop, and the
// line with it. This never waits; a message that finds no room is dropped,
// and the next pass says the same again.
bool notify_service(const char* state) {
    const char* path = getenv("NOTIFY_SOCKET");
    static int fd = -1;
    if (!path || (path[0] != '/' && path[0] != '@')) return false;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof addr.sun_path) return false;
    memcpy(addr.sun_path, path, len);
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // the abstract namespace
    if (fd < 0) fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
    return fd >= 0 && sendto(fd, state, strlen(state), MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<struct sockaddr*>(&addr), size) >= 0;
}

bool service_manager_listens() {
    static const bool listens = getenv("NOTIFY_SOCKET") != nullptr;
    return listens;
}

// --- shell commands ----------------------------------------------------------------

extern char** environ;

pid_t spawn_shell(const char* cmdline, bool own_group, int stdin_fd) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : ignored_signals) sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (own_group) {
        posix_spawnattr_setpgroup(&attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdin_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdin_fd, STDIN_FILENO);

    char sh[] = "sh", dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(cmdline), nullptr};
    pid_t pid;
    int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        report("/bin/sh: %s\n", strerror(rc));
        return -1;
    }
    return pid;
}

std::string find_program(const char* name) {
    const char* path = getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
    for (size_t at = 0; at <= dirs.size();) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return "";
}

// What the process itself wrote (not its children, whose counts the kernel
// adds to a parent's own once it reaps them), read before it is reaped.
static long long bytes_written_by(pid_t pid) {
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0) {
        if (errno != EINTR) return -1;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task/%d/io", static_cast<int>(pid), static_cast<int>(pid));
    FILE* f = fopen(path, "re");
    if (!f) return -1;
    long long wrote = -1;
    char line[128];
    while (fgets(line, sizeof line, f)) {
        if (sscanf(line, "wchar: %lld", &wrote) == 1) break;
    }
    fclose(f);
    return wrote;
}

int run_capture(const char* const argv[], std::string* out, int timeout_ms, bool with_stderr,
                long long* wrote) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], STDOUT_FILENO);
    if (with_stderr)
        posix_spawn_file_actions_adddup2(&actions, pipefd[1], STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipefd[1]);
    if (rc != 0) {
        close(pipefd[0]);
        errno = rc;
        return -1;
    }
    long long deadline = monotonic_ms() + timeout_ms;
    bool timed_out = false;
    for (;;) {
        long long left = deadline - monotonic_ms();
        struct pollfd p = {pipefd[0], POLLIN, 0};
        if (left <= 0 || (poll(&p, 1, static_cast<int>(left)) == 0)) {
            timed_out = true;
            break;
        }
        char buf[4096];
        ssize_t n = read(pipefd[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (out->size() < CAPTURE_MAX) out->append(buf, static_cast<size_t>(n));
    }
    close(pipefd[0]);
    if (timed_out) kill(pid, SIGKILL);
    if (wrote) *wrote = bytes_written_by(pid);
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (timed_out) {
        errno = ETIMEDOUT;
        return -1;
    }
    return status;
}

int run_shell(const char* cmdline) {
    pid_t pid = spawn_shell(cmdline, false);
    if (pid < 0) return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// --- who the logger runs as --------------------------------------------------------

void user_name(uid_t uid, char* out, size_t size) {
    struct passwd* pw = getpwuid(uid);
    if (pw) {
        snprintf(out, size, "%s", pw->pw_name);
    } else {
        snprintf(out, size, "%u", static_cast<unsigned>(uid));
    }
}

void group_name(gid_t gid, char* out, size_t size) {
    struct group* gr = getgrgid(gid);
    if (gr) {
        snprintf(out, size, "%s", gr->gr_name);
    } else {
        snprintf(out, size, "%u", static_cast<unsigned>(gid));
    }
}

void mode_text(mode_t mode, char out[11]) {
    out[0] = S_ISCHR(mode) ? 'c' : S_ISLNK(mode) ? 'l' : S_ISDIR(mode) ? 'd' : S_ISREG(mode) ? '-' : '?';
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; i++) out[1 + i] = (mode & (0400 >> i)) ? rwx[i] : '-';
    out[10] = '\0';
}

bool examine_owner(const char* path, Ownership* o) {
    user_name(geteuid(), o->user, sizeof o->user);
    if (stat(path, &o->st) != 0) {
        report("kestlog runs as user %s; %s cannot be examined: %s\n", o->user, path, strerror(errno));
        return false;
    }
    user_name(o->st.st_uid, o->owner, sizeof o->owner);
    group_name(o->st.st_gid, o->group, sizeof o->group);
    mode_text(o->st.st_mode, o->mode);
    return true;
}

void explain_owner(const char* path) {
    Ownership o;
    if (!examine_owner(path, &o)) return;
    report("kestlog runs as user %s; %s is owned by %s, group %s, mode %s\n", o.user, path, o.owner, o.group,
           o.mode);
}
