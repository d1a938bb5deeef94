// kestlog-archive-gate: the forced command of a site's key on the archive
// host, in its authorized keys:
//   command="/usr/libexec/kestlog/kestlog-archive-gate /srv/kestarchive/SITE",restrict ssh-ed25519 AAAA...
//   SITE
// It runs rsync --server for exactly the commands kestlog-archive sends
// (gate_decide), in the site's folder, and refuses anything else with a
// one-line reason. It binds the folder to the first site that pushes into
// it, keeps the folder within its bounds, ends a connection held too long,
// and asks the sealer to look at what arrived.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kestarchive.h"

namespace {

constexpr int CONNECTION_LIMIT_S = 60 * 60;  // a run's own limit is 50 minutes
constexpr int WATCH_INTERVAL_MS = 500;       // how often a push's growth is measured

[[noreturn]] void refused(const std::string& why) {
    fprintf(stderr, "kestlog-archive-gate: refused: %s\n", why.c_str());
    exit(1);
}

// The folder is the first site's that pushed into it: a second site given
// the same folder (and key) is refused, and told why.
void check_binding(const std::string& site, const std::string& site_dir) {
    const char* id = getenv(SITE_ID_VARIABLE);
    if (!id || !*id) return;  // a site of a version that does not say
    if (strlen(id) > 512 || strchr(id, '\n')) refused("a site identity that makes no sense");
    std::string path = std::string(ARCHIVE_LIVE) + "/" + SITE_BINDING;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd >= 0) {
        std::string line = std::string(id) + "\n";
        bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        close(fd);
        if (!ok) unlink(path.c_str());
        return;
    }
    char held[600] = "";
    fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, held, sizeof held - 1) : -1;
    if (fd >= 0) close(fd);
    if (n <= 0) return;  // being written by a push at this moment
    held[n] = '\0';
    if (char* nl = strchr(held, '\n')) *nl = '\0';
    if (strcmp(held, id) != 0)
        refused("folder " + site + " belongs to site " + held + ", and this is site " + id +
                ": give each site a folder and key of its own (kestarchive add-site); if that site moved, "
                "remove " +
                site_dir + "/" + path + " on the archive host");
}

std::string describe(const Usage& u, const Bounds& b) {
    char text[160];
    snprintf(text, sizeof text, "%lld of %lld MB, %lld of %lld files", u.bytes >> 20, b.max_bytes >> 20,
             u.files, b.max_files);
    return text;
}

time_t monotonic_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

void queue_seal(const std::string& site) {
    int fd = open((std::string(SEAL_QUEUE) + "/" + site).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                  0660);
    if (fd >= 0) close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] != '/') {
        fputs("usage: kestlog-archive-gate /srv/kestarchive/SITE (the forced command of the site's key)\n",
              stderr);
        return 2;
    }
    const std::string site_dir = argv[1];
    const std::string site = site_dir.substr(site_dir.rfind('/') + 1);
    const char* command = getenv("SSH_ORIGINAL_COMMAND");
    if (!command) refused("this key runs kestlog-archive's rsync commands only, and no shell");
    GateDecision d = gate_decide(command);
    if (!d.allowed) refused(d.reason);
    if (chdir(site_dir.c_str()) != 0) {
        fprintf(stderr, "kestlog-archive-gate: %s: %s\n", site_dir.c_str(), strerror(errno));
        return 1;
    }
    const bool receives = d.kind != GateKind::Verify;
    const Bounds bounds = read_bounds(".");
    Usage held;
    if (receives) {
        check_binding(site, site_dir);
        held = usage_of(".", bounds.max_files);
        if (held.bytes >= bounds.max_bytes || held.files >= bounds.max_files)
            refused("the folder of site " + site + " is over its bound (" + describe(held, bounds) + ")");
    }
    // What the site sends is readable by the sealer alone besides it.
    umask(027);
    // Waited for below, the child's end waking the wait at once.
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGCHLD, SIGHUP, SIGTERM}) sigaddset(&signals, sig);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    pid_t child = fork();
    if (child < 0) refused(std::string("fork: ") + strerror(errno));
    if (child == 0) {
        sigprocmask(SIG_UNBLOCK, &signals, nullptr);
        if (receives) {
            // No file of one push grows past what the bound leaves: a write
            // past it fails (EFBIG, "File too large"), and rsync says so.
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit r;
            r.rlim_cur = r.rlim_max = static_cast<rlim_t>(bounds.max_bytes - held.bytes);
            setrlimit(RLIMIT_FSIZE, &r);
        }
        std::vector<char*> args;
        for (std::string& a : d.argv) args.push_back(a.data());
        args.push_back(nullptr);
        execv("/usr/bin/rsync", args.data());
        fprintf(stderr, "kestlog-archive-gate: /usr/bin/rsync: %s\n", strerror(errno));
        _exit(127);
    }
    const std::string live = ARCHIVE_LIVE, incoming = ARCHIVE_INCOMING;
    const Usage before = usage_of(live), before_in = usage_of(incoming);
    int status = 0;
    std::string why;
    const struct timespec tick = {0, WATCH_INTERVAL_MS * 1000000L};
    const time_t started = monotonic_s();
    for (int ticks = 0;; ticks++) {
        pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child || (r < 0 && errno != EINTR)) break;
        siginfo_t info;
        int sig = sigtimedwait(&signals, &info, &tick);
        if (sig == SIGCHLD) continue;
        // sshd's hang-up (the link gone) ends the transfer here too, so
        // that no orphan holds anything.
        if (sig == SIGHUP || sig == SIGTERM) why = "the connection ended";
        if (monotonic_s() - started >= CONNECTION_LIMIT_S) why = "held longer than the connection's limit";
        if (receives && why.empty() && ticks % 4 == 0) {
            Usage now = held, l = usage_of(live, bounds.max_files), in = usage_of(incoming, bounds.max_files);
            now.bytes += l.bytes + in.bytes - before.bytes - before_in.bytes;
            now.files += l.files + in.files - before.files - before_in.files;
            if (now.bytes > bounds.max_bytes || now.files > bounds.max_files)
                why = "the folder of site " + site + " went over its bound (" + describe(now, bounds) + ")";
        }
        if (!why.empty()) {
            kill(child, SIGTERM);
            waitpid(child, &status, 0);
            break;
        }
    }
    if (receives) queue_seal(site);
    if (!why.empty()) refused(why);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
