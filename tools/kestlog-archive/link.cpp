// The way to the archive host: rsync over one shared ssh connection, every
// step bounded, what crossed counted, and a failure told by its side.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "core/core.h"

namespace {

constexpr const char* SHARED_LINK = "archive/link";  // the ssh connection a run's rsyncs share
constexpr const char* WIRE_COUNT = "archive/sent";   // what the relay counted of one rsync
constexpr int IO_TIMEOUT_S = 60;                     // rsync gives up on a transfer that stalls this long
constexpr int CONNECT_TIMEOUT_S = 20;                // ssh gives up on a host that does not answer
constexpr int ALIVE_INTERVAL_S = 15;                 // and on one that stops answering, after
constexpr int ALIVE_COUNT = 4;                       //   this many unanswered probes
// Packets are text: zstd at this level (or zlib at its best, with an older
// rsync at the far end) takes a fifth off the default's bytes, at a third
// of a second of one core a day of packets.
constexpr int COMPRESS_LEVEL = 9;

std::vector<const char*> c_args(const std::vector<std::string>& args) {
    std::vector<const char*> c;
    for (const std::string& a : args) c.push_back(a.c_str());
    c.push_back(nullptr);
    return c;
}

// The line of rsync's or ssh's words that says what went wrong: the first
// that says something, shown as text (the far end's bytes never reach the
// journal raw).
std::string first_line(const std::string& out) {
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? out.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.find("connection unexpectedly closed") != std::string::npos ||
            line.find("@@@@@@@") != std::string::npos)
            continue;
        return shown_as_text(line, true);
    }
    return "";
}

// The fingerprint ssh says a host offered ("SHA256:..."), or "".
std::string offered_fingerprint(const std::string& out) {
    size_t at = out.find("SHA256:");
    if (at == std::string::npos) return "";
    size_t end = at + 7;
    while (end < out.size() && (isalnum(static_cast<unsigned char>(out[end])) || out[end] == '+' ||
                                out[end] == '/' || out[end] == '='))
        end++;
    return out.substr(at, end - at);
}

}  // namespace

// An identity of this site that a second site given the same folder (and
// key) cannot share, and a run by hand shares with the timer's: its host
// and the logger's working directory.
std::string site_identity() {
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    char cwd[4096] = "";
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
    auto plain = [](std::string s, const char* also) {
        for (char& c : s) {
            if (!isalnum(static_cast<unsigned char>(c)) && !strchr(also, c)) c = '_';
        }
        return s.empty() ? std::string("-") : s;
    };
    return plain(host, "._-") + ":" + plain(cwd, "._-/");
}

std::vector<std::string> Link::ssh_args() const {
    auto o = [](const char* name, const std::string& v) { return std::string("-o") + name + "=" + v; };
    std::vector<std::string> args = {find_program("ssh"),
                                     "-i",
                                     s_.key,
                                     "-p",
                                     std::to_string(s_.port),
                                     "-oBatchMode=yes",
                                     "-oIdentitiesOnly=yes",
                                     o("ConnectTimeout", std::to_string(CONNECT_TIMEOUT_S)),
                                     o("ServerAliveInterval", std::to_string(ALIVE_INTERVAL_S)),
                                     o("ServerAliveCountMax", std::to_string(ALIVE_COUNT)),
                                     "-oStrictHostKeyChecking=yes",
                                     o("UserKnownHostsFile", s_.known_hosts),
                                     o("GlobalKnownHostsFile", s_.known_hosts),
                                     "-oLogLevel=ERROR",
                                     "-oControlMaster=auto",
                                     o("ControlPath", SHARED_LINK),
                                     o("ControlPersist", std::to_string(IO_TIMEOUT_S))};
    if (!identity_.empty()) args.push_back(o("SetEnv", std::string(SITE_ID_VARIABLE) + "=" + identity_));
    return args;
}

void Link::end_shared() const {
    if (access(SHARED_LINK, F_OK) != 0) return;
    std::vector<std::string> args = ssh_args();
    args.insert(args.end(), {"-O", "exit", "--", s_.host});
    std::string out;
    run_capture(c_args(args).data(), &out, CONNECT_TIMEOUT_S * 1000);
    unlink(SHARED_LINK);
}

Result Link::rsync(const std::vector<std::string>& options, const std::vector<std::string>& paths) {
    // ssh through this program's relay, which counts what rsync hands it as
    // it goes: a transfer cut off still says what crossed.
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string ssh;  // paths of plain characters (the settings see to it): no quoting needed
    if (len > 0) ssh = std::string(self, static_cast<size_t>(len)) + " --relay " + WIRE_COUNT;
    for (const std::string& a : ssh_args()) ssh += (ssh.empty() ? "" : " ") + a;
    unlink(WIRE_COUNT);
    std::vector<std::string> argv = {find_program("rsync"),
                                     "-e",
                                     ssh,
                                     "--timeout=" + std::to_string(IO_TIMEOUT_S),
                                     "-z",
                                     "--compress-level=" + std::to_string(COMPRESS_LEVEL)};
    if (s_.bandwidth_kbps > 0) argv.push_back("--bwlimit=" + std::to_string(s_.bandwidth_kbps));
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--");  // no file or folder name is ever read as an option
    argv.insert(argv.end(), paths.begin(), paths.end());
    Result r;
    long long left = deadline_ms_ - monotonic_ms();
    r.status = left > 0 ? run_capture(c_args(argv).data(), &r.out, static_cast<int>(left), true) : -1;
    if (r.status < 0 && (errno == ETIMEDOUT || left <= 0)) r.out += "\nthe run's limit was reached";
    if (FILE* f = fopen(WIRE_COUNT, "re")) {
        long long n = 0;
        if (fscanf(f, "%lld", &n) == 1 && n > 0) sent_bytes += n;
        fclose(f);
    }
    return r;
}

std::string Link::target(const char* area) const {
    return s_.user + "@" + s_.host + ":" + (s_.path.empty() ? "" : s_.path + "/") + area + "/";
}

std::string why(const Result& r) {
    auto has = [&](const char* text) { return r.out.find(text) != std::string::npos; };
    const std::string first = first_line(r.out);
    // The local key first: ssh refuses one others may read, and then the
    // archive host is asked without it.
    if (has("UNPROTECTED PRIVATE KEY FILE") || has("bad permissions") || has("Load key") ||
        has("invalid format"))
        return "the local key cannot be used: " + first;
    if (has("REMOTE HOST IDENTIFICATION HAS CHANGED") || has("Host key verification failed")) {
        std::string offered = offered_fingerprint(r.out);
        return "the archive host's key is not the one known" +
               (offered.empty() ? "" : " (it offered " + shown_as_text(offered, true) + ")") + ": " + first;
    }
    // ssh's "Permission denied (publickey)." names methods; a file's "(13)" is an errno.
    size_t denied = r.out.find("Permission denied (");
    if (denied != std::string::npos && denied + 19 < r.out.size() &&
        isalpha(static_cast<unsigned char>(r.out[denied + 19])))
        return "the archive host refused the key: " + first;
    if (has("Could not resolve hostname") || has("Connection timed out") || has("No route to host") ||
        has("Connection refused") || has("Network is unreachable") || has("connect to host"))
        return "the archive host is unreachable: " + first;
    if (has("Broken pipe") || has("Connection reset") || has("Timeout, server") ||
        has("Connection closed by"))
        return "the link to the archive host broke: " + first;
    if (has("kestlog-archive-gate: refused")) return "the archive refused it: " + first;
    if (has("No space left on device") || has("Disk quota exceeded") || has("File too large"))
        return "the archive is full: " + first;
    if (has("Read-only file system") || has("chdir") ||
        (has("Permission denied") && (has("mkstemp") || has("mkdir"))))
        return "the destination is not writable: " + first;
    if (has("timeout") || has("timed out") || has("the run's limit was reached"))
        return "the transfer stalled: " + first;
    return "rsync failed (status " +
           std::to_string(r.status >= 0 && WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1) + "): " + first;
}

long long stat_of(const std::string& out, const std::string& label) {
    size_t at = out.find(label + ": ");
    if (at == std::string::npos) return 0;
    long long n = 0;
    for (at += label.size() + 2;
         at < out.size() && (isdigit(static_cast<unsigned char>(out[at])) || out[at] == ','); at++)
        if (out[at] != ',') n = n * 10 + (out[at] - '0');
    return n;
}

Verdict verdict_of(const std::string& itemized, const std::string& name) {
    // rsync -ii: ".f" and blanks for a file the archive holds alike,
    // "<f+++++++++" for one it does not hold, "<f" and the differences else.
    for (size_t at = itemized.find(" " + name + "\n"); at != std::string::npos;
         at = itemized.find(" " + name + "\n", at + 1)) {
        if (at < 11 || (at > 11 && itemized[at - 12] != '\n')) continue;
        std::string flags = itemized.substr(at - 11, 11);
        if (flags.compare(0, 2, ".f") == 0) return Verdict::Same;
        if (flags == "<f+++++++++") return Verdict::Missing;
        if (flags.compare(0, 2, "<f") == 0) return Verdict::Differs;
    }
    return Verdict::Unknown;
}

// --- the relay --------------------------------------------------------------------------

namespace {

// One direction of the relay: what was read and not yet written on.
struct Flow {
    int from, to;
    std::vector<char> buf = std::vector<char>(65536);
    size_t held = 0;
    bool open = true;
};

// Moves what it can without waiting: reads when it holds nothing, writes
// what it holds. Returns the bytes read.
long long flow(Flow* f, short revents_from, short revents_to) {
    long long got = 0;
    if (f->held == 0 && (revents_from & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t n = read(f->from, f->buf.data(), f->buf.size());
        if (n > 0) {
            f->held = static_cast<size_t>(n);
            got = n;
        } else if (n == 0 || errno != EINTR) {
            f->open = false;
        }
    }
    if (f->held > 0 && (revents_to & (POLLOUT | POLLERR | POLLHUP))) {
        ssize_t n = write(f->to, f->buf.data(), f->held);
        if (n > 0) {
            memmove(f->buf.data(), f->buf.data() + n, f->held - static_cast<size_t>(n));
            f->held -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            f->open = false;
            f->held = 0;
        }
    }
    return got;
}

}  // namespace

int relay(int argc, char** argv) {
    if (argc < 4) return 2;
    int count = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
    int to_ssh[2], from_ssh[2];
    if (pipe2(to_ssh, O_CLOEXEC) != 0 || pipe2(from_ssh, O_CLOEXEC) != 0) return 255;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_ssh[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_ssh[1], STDOUT_FILENO);
    pid_t pid;
    extern char** environ;
    int rc = posix_spawn(&pid, argv[3], &actions, nullptr, argv + 3, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(to_ssh[0]);
    close(from_ssh[1]);
    if (rc != 0) {
        fprintf(stderr, "kestlog-archive: %s: %s\n", argv[3], strerror(rc));
        return 255;
    }
    signal(SIGPIPE, SIG_IGN);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, to_ssh[1], from_ssh[0]})
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Flow out{STDIN_FILENO, to_ssh[1]}, in{from_ssh[0], STDOUT_FILENO};
    long long sent = 0;
    // Until ssh's output ends: the far end has said all it will.
    while (in.open || in.held > 0) {
        struct pollfd p[4] = {{out.open && out.held == 0 ? out.from : -1, POLLIN, 0},
                              {out.held > 0 ? out.to : -1, POLLOUT, 0},
                              {in.open && in.held == 0 ? in.from : -1, POLLIN, 0},
                              {in.held > 0 ? in.to : -1, POLLOUT, 0}};
        if (poll(p, 4, -1) < 0 && errno != EINTR) break;
        long long got = flow(&out, p[0].revents, p[1].revents);
        if (got > 0 && count >= 0) {
            sent += got;
            char line[32];
            int n = snprintf(line, sizeof line, "%20lld\n", sent);
            if (pwrite(count, line, static_cast<size_t>(n), 0) != n) close(count), count = -1;
        }
        if (!out.open && out.held == 0 && to_ssh[1] >= 0) {
            close(to_ssh[1]);  // rsync is done sending: ssh passes that on
            to_ssh[1] = out.to = -1;
        }
        flow(&in, p[2].revents, p[3].revents);
        if (!in.open && in.held == 0) break;
    }
    if (count >= 0) close(count);
    if (to_ssh[1] >= 0) close(to_ssh[1]);
    close(from_ssh[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}
