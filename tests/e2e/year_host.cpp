// The year run's archive host and the processes it starts: the archive
// host set up from its package's users and folders in the run's own mount
// namespace, a stand-in for ssh that runs what sshd would, and the shipped
// timers' calendars as systemd computes them.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "e2e/year.h"

namespace fs = std::filesystem;

[[noreturn]] void die(const char* what) {
    fprintf(stderr, "year_run: %s: %s\n", what, strerror(errno));
    exit(1);
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int in, int out,
            int err, const std::string& cwd) {
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string& e : env) putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int run_command(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& out, const std::string& cwd) {
    int fd = out.empty() ? dup(1) : open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) die(out.c_str());
    pid_t pid = spawn(argv, env, 0, fd, out.empty() ? 2 : fd, cwd);
    close(fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int sh(const std::string& command) { return run_command({"sh", "-c", command}); }

std::string self_exe() { return fs::read_symlink("/proc/self/exe").string(); }

// --- ssh to the archive host ------------------------------------------------------

// Stands in for ssh: what sshd would run for the site's key, its forced
// command (the gate) as the site's user, then the sealer as the sealer's
// service runs it, as its path unit would within seconds of the push. While
// the archive is away, it fails as ssh does.
int ssh_stand_in(int argc, char** argv) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        std::string a = argv[i];
        if (a == "-i" || a == "-p" || a == "-O" || a == "-l") i++;
        if (a.rfind("-oSetEnv=", 0) == 0) putenv(strdup(a.c_str() + 9));
    }
    std::string host = i < argc ? argv[i++] : "";
    std::string command;
    for (; i < argc; i++) command += (command.empty() ? "" : " ") + std::string(argv[i]);
    const char* away = getenv("KESTTEST_YEAR_AWAY");
    if (away && access(away, F_OK) == 0) {
        fprintf(stderr, "ssh: connect to host %s port 22: No route to host\n", host.c_str());
        return 255;
    }
    setenv("SSH_ORIGINAL_COMMAND", command.c_str(), 1);
    const char* copies = getenv("KESTTEST_YEAR_HOST");
    std::string build = copies ? copies : fs::path(self_exe()).parent_path().string();
    std::string gate = build + "/kestlog-archive-gate",
                site_dir = std::string("/srv/kestarchive/") + YEAR_SITE;
    pid_t pid = fork();
    if (pid == 0) {
        struct passwd* pw = getpwnam(YEAR_SITE);
        if (!pw || initgroups(YEAR_SITE, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0 ||
            setuid(pw->pw_uid) != 0)
            _exit(126);
        execl(gate.c_str(), gate.c_str(), site_dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // What came for the record is sealed before the site asks after it; a
    // live copy needs no seal.
    if (command.find(" incoming") != std::string::npos &&
        access((std::string("/run/kestarchive/queue/") + YEAR_SITE).c_str(), F_OK) == 0)
        run_command({"setpriv", "--reuid=kestvault", "--regid=kestvault", "--init-groups",
                     "--inh-caps=+dac_read_search", "--ambient-caps=+dac_read_search", build + "/kestarchive",
                     "seal"},
                    {}, getenv("KESTTEST_YEAR_SEAL_LOG") ? getenv("KESTTEST_YEAR_SEAL_LOG") : "/dev/null");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// --- the calendar -----------------------------------------------------------------

std::string time_text(long long t, bool local) {
    char text[40];
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    local ? localtime_r(&tt, &tm) : gmtime_r(&tt, &tm);
    strftime(text, sizeof text, local ? "%Y-%m-%d %H:%M:%S %Z" : "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

// The OnCalendar= of a shipped timer.
std::string on_calendar(const std::string& unit) {
    std::ifstream in(unit);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("OnCalendar=", 0) == 0) return line.substr(11);
    fprintf(stderr, "year_run: %s: no OnCalendar=\n", unit.c_str());
    exit(1);
}

// When systemd starts the timer's service from `from` on: its elapses, as
// systemd-analyze computes them in the run's zone, in UTC seconds.
std::vector<long long> elapses(const std::string& calendar, long long from, int count) {
    std::string cmd =
        "systemd-analyze calendar --iterations=" + std::to_string(count) + " --base-time='" +
        time_text(from, false) + " UTC' '" + calendar +
        "' | sed -n -e 's/.*(in UTC): ... //p' -e 's/.*\\(elapse\\|#[0-9]*\\): ... \\(.* UTC\\)$/\\2/p'";
    FILE* p = popen(cmd.c_str(), "r");
    std::vector<long long> out;
    char line[128];
    while (p && fgets(line, sizeof line, p)) {
        struct tm tm = {};
        if (strptime(line, "%Y-%m-%d %H:%M:%S", &tm)) out.push_back(timegm(&tm));
    }
    if (p) pclose(p);
    if (out.empty()) {
        fprintf(stderr, "year_run: systemd-analyze gave no elapses of %s\n", calendar.c_str());
        exit(1);
    }
    return out;
}

// The moments the zone's clocks change between from and to.
std::vector<long long> zone_changes(long long from, long long to) {
    std::vector<long long> out;
    auto offset = [](long long t) {
        time_t tt = static_cast<time_t>(t);
        struct tm tm;
        localtime_r(&tt, &tm);
        return tm.tm_gmtoff;
    };
    for (long long t = from; t + 3600 <= to; t += 3600)
        if (offset(t) != offset(t + 3600)) out.push_back(t + 3600);
    return out;
}

// A timer as systemd keeps it: due at the first elapse after the wall clock
// it last saw; a clock set back brings earlier elapses back, a clock set
// forward over several runs them once.
std::string setup_archive_host(const std::string& work, const std::string& source, const std::string& build) {
    for (const char* d : {"etc", "srv", "varlib", "run"}) fs::create_directories(work + "/" + d);
    if (sh("cp -a /etc/. " + work + "/etc/") != 0) die("copy of /etc");
    struct Mount {
        std::string from;
        const char* to;
        const char* type;
        unsigned long flags;
    } mounts[] = {{work + "/etc", "/etc", nullptr, MS_BIND},
                  {"tmpfs", "/srv", "tmpfs", 0},
                  {"tmpfs", "/var/lib", "tmpfs", 0},
                  {"tmpfs", "/run", "tmpfs", 0}};
    for (const Mount& m : mounts)
        if (mount(m.from.c_str(), m.to, m.type, m.flags, nullptr) != 0) die(m.to);
    std::string deb = source + "/debian/kestlog-archive-host";
    if (run_command({"systemd-sysusers", deb + ".sysusers"}, {}, work + "/setup.log") != 0 ||
        run_command({"systemd-tmpfiles", "--create", "--exclude-prefix=/var/www", deb + ".tmpfiles"}, {},
                    work + "/setup.log") != 0)
        die("the archive host's users and folders (setup.log)");
    fs::create_directories("/etc/kestarchive/keys");
    if (run_command({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", work + "/site-key"}) != 0 ||
        run_command({build + "/kestarchive", "add-site", YEAR_SITE, work + "/site-key.pub"}, {},
                    work + "/setup.log") != 0)
        die("kestarchive add-site (setup.log)");
    return std::string("/srv/kestarchive/") + YEAR_SITE;
}
