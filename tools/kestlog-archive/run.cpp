// One run of the archive job, in the logger's working directory: what the
// rules decide, done with rsync over ssh and sha256sum.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "archive.h"
#include "core/core.h"
#include "settings/settings.h"

namespace {

constexpr const char* DATA = "data";
constexpr const char* OUTGOING = "archive/outgoing";  // what a push sends, under the archive's names
constexpr const char* FILE_LIST = "archive/files";    // their names, for rsync's --files-from
constexpr const char* LOCK = "archive/lock";
constexpr const char* SHARED_LINK = "archive/link";  // the ssh connection a run's rsyncs share
constexpr int IO_TIMEOUT_S = 60;                     // rsync gives up on a transfer that stalls this long
constexpr int CONNECT_TIMEOUT_S = 20;                // ssh gives up on a host that does not answer
constexpr int ALIVE_INTERVAL_S = 15;                 // and on one that stops answering, after
constexpr int ALIVE_COUNT = 4;                       //   this many unanswered probes
// Packets are text: zstd at this level (or zlib at its best, with an older
// rsync at the far end) takes a fifth off the default's bytes, at a third
// of a second of one core a day of packets.
constexpr int COMPRESS_LEVEL = 9;
constexpr int RUN_LIMIT_S = 50 * 60;  // a run's own limit, below the unit's
constexpr int HASH_LIMIT_MS = 10 * 60 * 1000;
constexpr long long NEARLY_FULL_PERCENT = 10;  // without a floor: less free than this is nearly full

long long now_s() { return static_cast<long long>(time(nullptr)); }

int today_date() {
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

// The logger's files in data/: regular files of its names only.
std::vector<SiteFile> inventory() {
    std::vector<SiteFile> files;
    DIR* d = opendir(DATA);
    if (!d) return files;
    while (struct dirent* e = readdir(d)) {
        SiteFile f;
        if (!parse_daily_file_name(e->d_name, &f.kind, &f.date, &f.compressed)) continue;
        f.name = e->d_name;
        struct stat st;
        if (lstat((std::string(DATA) + "/" + f.name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        f.size = st.st_size;
        f.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        files.push_back(f);
    }
    closedir(d);
    std::sort(files.begin(), files.end(),
              [](const SiteFile& a, const SiteFile& b) { return a.name < b.name; });
    mark_closed(&files);
    return files;
}

// The sha256 of a file, or with `inflate` of a .gz file's contents (what
// gunzip -c | sha256sum gives). False when it cannot be read whole.
bool sha256_of(const std::string& path, bool inflate, std::string* sha) {
    const std::string sum = find_program("sha256sum"), sh = "/bin/sh";
    const char* plain[] = {sum.c_str(), "--", path.c_str(), nullptr};
    // gzip -t first: a stream cut short must not pass as the sum of its start.
    const char* inflated[] = {sh.c_str(), "-c",         "gzip -t -- \"$1\" && gzip -dc -- \"$1\" | sha256sum",
                              "sh",       path.c_str(), nullptr};
    std::string out;
    int status = run_capture(inflate ? inflated : plain, &out, HASH_LIMIT_MS);
    if (status != 0 || out.size() < 64) return false;
    *sha = out.substr(0, 64);
    return true;
}

std::string human(long long bytes) {
    char text[32];
    if (bytes >= 1024 * 1024)
        snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    else if (bytes >= 1024)
        snprintf(text, sizeof text, "%.1f kB", static_cast<double>(bytes) / 1024.0);
    else
        snprintf(text, sizeof text, "%lld bytes", bytes);
    return text;
}

struct Result {
    int status = -1;
    std::string out;  // standard output and error together
};

class Run {
   public:
    explicit Run(const ArchiveSettings& s) : s_(s), deadline_ms_(monotonic_ms() + RUN_LIMIT_S * 1000LL) {}

    int go();

   private:
    // ssh, every step bounded: its connect and keep-alive. The run's rsyncs
    // share one connection, so that a handshake is paid once a run.
    std::vector<std::string> ssh_args() const {
        auto o = [](const char* name, const std::string& v) { return std::string("-o") + name + "=" + v; };
        return {find_program("ssh"),
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
    }

    // Ends the shared connection: a run's (or a killed run's) is never
    // the next run's, whose settings may name another key.
    void end_shared_link() const {
        if (access(SHARED_LINK, F_OK) != 0) return;
        std::vector<std::string> args = ssh_args();
        args.insert(args.end(), {"-O", "exit", s_.host});
        std::vector<const char*> c;
        for (const std::string& a : args) c.push_back(a.c_str());
        c.push_back(nullptr);
        std::string out;
        run_capture(c.data(), &out, CONNECT_TIMEOUT_S * 1000);
        unlink(SHARED_LINK);
    }

    // rsync over ssh, bounded too by rsync's I/O timeout and the run's own
    // limit, after which the command is ended.
    Result rsync(const std::vector<std::string>& args) {
        std::string ssh;  // paths of plain characters (the settings see to it): no quoting needed
        for (const std::string& a : ssh_args()) ssh += (ssh.empty() ? "" : " ") + a;
        std::vector<std::string> argv = {find_program("rsync"),
                                         "-e",
                                         ssh,
                                         "--timeout=" + std::to_string(IO_TIMEOUT_S),
                                         "-z",
                                         "--compress-level=" + std::to_string(COMPRESS_LEVEL)};
        if (s_.bandwidth_kbps > 0) argv.push_back("--bwlimit=" + std::to_string(s_.bandwidth_kbps));
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<const char*> c;
        for (const std::string& a : argv) c.push_back(a.c_str());
        c.push_back(nullptr);
        Result r;
        long long left = deadline_ms_ - monotonic_ms();
        r.status = left > 0 ? run_capture(c.data(), &r.out, static_cast<int>(left), true) : -1;
        if (r.status < 0 && errno == ETIMEDOUT) r.out += "\nthe run's limit was reached";
        return r;
    }

    std::string target(const char* area) const {
        return s_.user + "@" + s_.host + ":" + (s_.path.empty() ? "" : s_.path + "/") + area + "/";
    }

    void fail(const std::string& why) { failures_.push_back(why); }
    bool failed() const { return !failures_.empty(); }

    void record(std::vector<SiteFile>& files);
    std::vector<ArchivedFile*> pending();
    bool stage(const std::vector<ArchivedFile*>& which);
    void push_and_confirm();
    void send_live(const std::vector<SiteFile>& files);
    void delete_confirmed(const std::vector<SiteFile>& files);
    void account(const std::vector<SiteFile>& files);
    void write_manifest();
    void write_metrics();

    const ArchiveSettings& s_;
    long long deadline_ms_;
    ArchiveState st_;
    std::vector<std::string> failures_;
    long long sent_files_ = 0, sent_bytes_ = 0, confirmed_ = 0, deleted_ = 0;
    long long free_bytes_ = 0, short_bytes_ = 0, at_risk_bytes_ = 0;
};

// Why an rsync over ssh failed, in the words an operator acts on.
std::string why(const Result& r) {
    auto has = [&](const char* text) { return r.out.find(text) != std::string::npos; };
    std::string first;  // its first line that says something
    for (size_t at = 0; at < r.out.size() && first.empty();) {
        size_t end = r.out.find('\n', at);
        std::string line = r.out.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty() && line.find("connection unexpectedly closed") == std::string::npos) first = line;
        at = end == std::string::npos ? r.out.size() : end + 1;
    }
    first = shown_as_text(first);
    // ssh's "Permission denied (publickey)." names methods; a file's "(13)" is an errno.
    size_t denied = r.out.find("Permission denied (");
    if (denied != std::string::npos && denied + 19 < r.out.size() &&
        isalpha(static_cast<unsigned char>(r.out[denied + 19])))
        return "the archive host refused the key: " + first;
    if (has("Host key verification failed") || has("REMOTE HOST IDENTIFICATION"))
        return "the archive host's key is not the one known: " + first;
    if (has("Could not resolve hostname") || has("Connection timed out") || has("No route to host") ||
        has("Connection refused") || has("Network is unreachable") || has("Connection closed by") ||
        has("connect to host"))
        return "the archive host is unreachable: " + first;
    if (has("No space left on device") || has("Disk quota exceeded")) return "the archive is full: " + first;
    if (has("Read-only file system") || has("unable to chdir to restricted dir") ||
        (has("Permission denied") && (has("mkstemp") || has("mkdir"))))
        return "the destination is not writable: " + first;
    if (has("timeout") || has("timed out") || has("the run's limit was reached"))
        return "the transfer stalled: " + first;
    return "rsync failed (status " +
           std::to_string(r.status >= 0 && WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1) + "): " + first;
}

// A count of rsync's --stats: "Total bytes sent: 1,234", say.
long long stat_of(const std::string& out, const std::string& label) {
    size_t at = out.find(label + ": ");
    if (at == std::string::npos) return 0;
    long long n = 0;
    for (at += label.size() + 2;
         at < out.size() && (isdigit(static_cast<unsigned char>(out[at])) || out[at] == ','); at++)
        if (out[at] != ',') n = n * 10 + (out[at] - '0');
    return n;
}

long long bytes_sent(const std::string& out) { return stat_of(out, "Total bytes sent"); }

void Run::record(std::vector<SiteFile>& files) {
    for (SiteFile& f : files) {
        if (!f.closed || need_of(f, st_) != Need::Record) continue;
        ArchivedFile e;
        e.name = f.name;
        e.size = f.size;
        e.recorded = now_s();
        if (!sha256_of(std::string(DATA) + "/" + f.name, false, &e.sha256)) {
            fail(f.name + ": cannot be read to be recorded");
            continue;
        }
        // A name the archive holds for other contents (a clock set back made
        // the file again): stored beside the first, never over it.
        e.archive_name = f.name;
        for (const ArchivedFile& other : st_.files) {
            if (other.archive_name == e.archive_name && other.sha256 != e.sha256)
                e.archive_name = twin_name(f.name, e.sha256);
        }
        st_.files.push_back(e);
    }
}

// The files recorded and not yet confirmed that the site still has.
std::vector<ArchivedFile*> Run::pending() {
    std::vector<ArchivedFile*> out;
    for (ArchivedFile& e : st_.files) {
        struct stat st;
        if (e.confirmed > 0) continue;
        std::string path = std::string(DATA) + "/" + e.name;
        if (lstat(path.c_str(), &st) == 0 || lstat((path + COMPRESSED_SUFFIX).c_str(), &st) == 0)
            out.push_back(&e);
    }
    return out;
}

// The files to send, under the archive's names: links to data/, or, for one
// the daily job compressed before the archive confirmed it, its contents
// inflated again (what was recorded).
bool Run::stage(const std::vector<ArchivedFile*>& which) {
    if (DIR* d = opendir(OUTGOING)) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') unlink((std::string(OUTGOING) + "/" + e->d_name).c_str());
        }
        closedir(d);
    } else if (mkdir(OUTGOING, 0750) != 0) {
        fail(std::string(OUTGOING) + ": " + strerror(errno));
        return false;
    }
    std::string list;
    for (ArchivedFile* e : which) {
        std::string out = std::string(OUTGOING) + "/" + e->archive_name;
        std::string plain = std::string(DATA) + "/" + e->name;
        struct stat st;
        bool ok = lstat(plain.c_str(), &st) == 0
                      ? symlink(("../../" + plain).c_str(), out.c_str()) == 0
                      : run_shell(("gzip -dc -- '" + plain + ".gz' > '" + out + "'").c_str()) == 0;
        if (ok) list += e->archive_name + "\n";
    }
    int fd = open(FILE_LIST, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    bool ok = fd >= 0 && write(fd, list.data(), list.size()) == static_cast<ssize_t>(list.size());
    if (fd >= 0) close(fd);
    if (!ok) fail(std::string(FILE_LIST) + ": " + strerror(errno));
    return ok && !list.empty();
}

void Run::push_and_confirm() {
    // A second round stores beside the first what the archive holds under
    // its name for other contents.
    for (int round = 0; round < 2 && !failed(); round++) {
        std::vector<ArchivedFile*> todo = pending();
        if (todo.empty() || !stage(todo)) return;
        // Closed files are sent once: never over what the archive holds,
        // under rsync's temporary names until whole (no --partial). The live
        // copy the archive has of a file closed since is the basis: only
        // what it lacks crosses the link.
        const std::string area = "/" + (s_.path.empty() ? "" : s_.path + "/");
        Result push =
            rsync({"-t", "-L", "--ignore-existing", "--copy-dest=" + area + "live", "--stats",
                   "--files-from=" + std::string(FILE_LIST), std::string(OUTGOING) + "/", target("data")});
        if (push.status != 0) return fail(why(push));
        sent_bytes_ += bytes_sent(push.out);
        sent_files_ += stat_of(push.out, "Number of regular files transferred");
        // Arriving is not proof: the archive compares its copies' checksums
        // with the site's, in a dry run that writes nothing.
        std::string compare = "--compare-dest=" + area + "data";
        Result check = rsync({"-n", "-c", "-ii", "-L", compare, "--files-from=" + std::string(FILE_LIST),
                              std::string(OUTGOING) + "/", target("verify")});
        if (check.status != 0) return fail(why(check));
        for (ArchivedFile* e : todo) {
            const std::string line = e->archive_name;
            size_t at = check.out.find(" " + line + "\n");
            bool same = at != std::string::npos && at >= 11 && check.out.compare(at - 11, 2, ".f") == 0;
            bool missing =
                at != std::string::npos && at >= 11 && check.out.compare(at - 11, 11, "<f+++++++++") == 0;
            if (same) {
                e->confirmed = now_s();
                st_.confirmed_total++;
                confirmed_++;
                if (e->archive_name != e->name) {
                    st_.stored_twice_total++;
                    fprintf(
                        stderr,
                        "kestlog-archive: %s: the archive holds another file of that name; stored as %s\n",
                        e->name.c_str(), e->archive_name.c_str());
                }
            } else if (missing) {
                fail(e->name + ": not in the archive after it was sent");
            } else if (e->archive_name == e->name) {
                e->archive_name = twin_name(e->name, e->sha256);  // sent again beside the first, next round
            } else {
                st_.mismatches_total++;
                fail("checksum mismatch: " + e->name + " as " + e->archive_name);
            }
        }
    }
}

// Today's growing files, appended to what the archive has of them (the
// bytes it holds verified first), and the manifest and the logger's metrics,
// after the files the manifest lists.
void Run::send_live(const std::vector<SiteFile>& files) {
    std::vector<std::string> args = {"-t", "--append-verify", "--stats"};
    size_t growing = 0;
    for (const SiteFile& f : files) {
        if (f.closed || f.compressed) continue;
        args.push_back(std::string(DATA) + "/" + f.name);
        growing++;
    }
    args.push_back(target("live"));
    if (s_.live && growing > 0) {
        Result r = rsync(args);
        if (r.status != 0) return fail(why(r));
        sent_bytes_ += bytes_sent(r.out);
    }
    std::vector<std::string> small = {"-t", "--stats", ARCHIVE_MANIFEST};
    // The logger's own metrics, as its settings name them.
    if (mon.metrics_file[0] && access(mon.metrics_file, R_OK) == 0) small.push_back(mon.metrics_file);
    small.push_back(target("live"));
    Result r = rsync(small);
    if (r.status != 0) return fail(why(r));
    sent_bytes_ += bytes_sent(r.out);
}

void Run::delete_confirmed(const std::vector<SiteFile>& files) {
    struct statvfs vfs;
    if (statvfs(DATA, &vfs) == 0)
        free_bytes_ = static_cast<long long>(vfs.f_bavail) * static_cast<long long>(vfs.f_frsize);
    if (s_.keep_days <= 0 && s_.keep_free_mb <= 0) return;
    std::vector<bool> assumed(files.size(), true);
    long long short_bytes = 0;
    std::vector<Deletion> chosen =
        deletable(files, st_, assumed, s_, now_s(), today_date(), free_bytes_, &short_bytes);
    long long freed = 0;
    for (const Deletion& d : chosen) {
        const SiteFile& f = files[d.file];
        const ArchivedFile* e = entry_of(st_, f);
        std::string path = std::string(DATA) + "/" + f.name, sha;
        // Its contents, compressed since or not, must still be what the archive confirmed.
        bool inflate = f.compressed && e->name != f.name;
        if (!sha256_of(path, inflate, &sha) || sha != e->sha256) {
            fail(f.name + ": not what the archive confirmed; kept");
            continue;
        }
        if (unlink(path.c_str()) != 0) {
            fail(path + ": " + strerror(errno));
            continue;
        }
        freed += f.size;
        deleted_++;
        (d.for_space ? st_.deleted_free_space_total : st_.deleted_keep_days_total)++;
    }
    free_bytes_ += freed;
    short_bytes_ = s_.keep_free_mb > 0 && free_bytes_ < s_.keep_free_mb * 1024 * 1024
                       ? s_.keep_free_mb * 1024 * 1024 - free_bytes_
                       : 0;
    if (short_bytes_ > 0)
        fprintf(
            stderr,
            "kestlog-archive: space short: %s below the floor, and no more files are confirmed to delete\n",
            human(short_bytes_).c_str());
}

// What is still to be confirmed, and what it risks on a disk nearly full.
void Run::account(const std::vector<SiteFile>& files) {
    st_.pending_files = st_.pending_bytes = 0;
    st_.oldest_pending_day = 0;
    for (const SiteFile& f : files) {
        Need n = f.closed ? need_of(f, st_) : Need::Nothing;
        if (n != Need::Record && n != Need::Confirm) continue;
        st_.pending_files++;
        st_.pending_bytes += f.size;
        if (st_.oldest_pending_day == 0 || f.date < st_.oldest_pending_day) st_.oldest_pending_day = f.date;
    }
    struct statvfs vfs;
    bool nearly_full = short_bytes_ > 0;
    if (s_.keep_free_mb <= 0 && statvfs(DATA, &vfs) == 0 && vfs.f_blocks > 0)
        nearly_full = static_cast<long long>(vfs.f_bavail) * 100 <
                      static_cast<long long>(vfs.f_blocks) * NEARLY_FULL_PERCENT;
    at_risk_bytes_ = nearly_full ? st_.pending_bytes : 0;
}

// The manifest, in the format of sha256sum -c, from the archive's folder:
// every file recorded, under its name there.
void Run::write_manifest() {
    std::string text;
    for (const ArchivedFile& e : st_.files) text += e.sha256 + "  data/" + e.archive_name + "\n";
    char tmp[256];
    int fd = make_temporary(ARCHIVE_MANIFEST, tmp, sizeof tmp);
    bool ok = fd >= 0 && fchmod(fd, 0640) == 0 &&
              write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!ok || rename(tmp, ARCHIVE_MANIFEST) != 0) {
        fail(std::string(ARCHIVE_MANIFEST) + ": " + strerror(errno));
        unlink(tmp);
    }
}

void Run::write_metrics() {
    if (s_.metrics_file.empty()) return;
    std::string text, site = "site=\"" + label_value(mon.site) + "\"";
    auto metric = [&](const char* name, const char* type, const char* help, long long v) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        text += std::string(name) + "{" + site + "} " + std::to_string(v) + "\n";
    };
    long long oldest = 0;
    if (st_.oldest_pending_day > 0) {
        struct tm tm = {};
        tm.tm_year = st_.oldest_pending_day / 10000 - 1900;
        tm.tm_mon = st_.oldest_pending_day / 100 % 100 - 1;
        tm.tm_mday = st_.oldest_pending_day % 100;
        oldest = static_cast<long long>(timegm(&tm));
    }
    metric("kestlog_archive_last_success_timestamp_seconds", "gauge", "When a run last had nothing fail.",
           st_.last_success);
    metric("kestlog_archive_last_attempt_timestamp_seconds", "gauge", "When a run last began.",
           st_.last_attempt);
    metric("kestlog_archive_pending_files", "gauge", "Closed files the archive has not confirmed.",
           st_.pending_files);
    metric("kestlog_archive_pending_bytes", "gauge", "Their bytes.", st_.pending_bytes);
    metric("kestlog_archive_oldest_pending_day_timestamp_seconds", "gauge",
           "Midnight (UTC) of the oldest pending file's day, 0 for none.", oldest);
    metric("kestlog_archive_files_confirmed_total", "counter", "Files the archive confirmed by checksum.",
           st_.confirmed_total);
    metric("kestlog_archive_checksum_mismatches_total", "counter", "Files whose archive copy differed.",
           st_.mismatches_total);
    metric("kestlog_archive_names_stored_twice_total", "counter",
           "Files stored beside another of their name (a clock set back).", st_.stored_twice_total);
    text +=
        "# HELP kestlog_archive_files_deleted_total Confirmed files deleted at the site, by why.\n"
        "# TYPE kestlog_archive_files_deleted_total counter\n";
    text += "kestlog_archive_files_deleted_total{" + site + ",reason=\"keep_days\"} " +
            std::to_string(st_.deleted_keep_days_total) + "\n";
    text += "kestlog_archive_files_deleted_total{" + site + ",reason=\"free_space\"} " +
            std::to_string(st_.deleted_free_space_total) + "\n";
    metric("kestlog_archive_bytes_at_risk", "gauge", "Unconfirmed bytes on a disk nearly full.",
           at_risk_bytes_);
    metric("kestlog_archive_space_short_bytes", "gauge",
           "What the free-space floor lacks, with nothing more to delete.", short_bytes_);
    char tmp[4096];
    int fd = make_temporary(s_.metrics_file.c_str(), tmp, sizeof tmp);
    bool ok = fd >= 0 && fchmod(fd, 0644) == 0 &&
              write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!ok || rename(tmp, s_.metrics_file.c_str()) != 0) {
        fprintf(stderr, "kestlog-archive: %s: %s\n", s_.metrics_file.c_str(), strerror(errno));
        unlink(tmp);
    }
}

// The logger's settings this job shares: its site and metrics file.
void read_logger_settings() {
    mon.metrics_file[0] = '\0';
    if (FILE* par = fopen("kestlog.par", "re")) {
        char line[PARLINE_MAX + 2];
        while (fgets(line, sizeof line, par)) parse_parline(line);
        fclose(par);
    }
}

int Run::go() {
    if (mkdir(ARCHIVE_DIR, 0750) != 0 && errno != EEXIST) {
        fprintf(stderr, "kestlog-archive: %s: %s\n", ARCHIVE_DIR, strerror(errno));
        return EXIT_ARCHIVE_FAILED;
    }
    // A run never overlaps another (a timer's, one by hand).
    int lock = open_regular(LOCK, O_RDWR | O_CREAT, 0640);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
        fprintf(stderr, "kestlog-archive: %s: %s\n", LOCK,
                lock < 0               ? file_error(errno)
                : errno == EWOULDBLOCK ? "another run is under way"
                                       : strerror(errno));
        return EXIT_ARCHIVE_BUSY;
    }
    int skipped = 0;
    if (!read_archive_state(ARCHIVE_STATE, &st_, &skipped) && errno != ENOENT) {
        fprintf(stderr, "kestlog-archive: %s: %s\n", ARCHIVE_STATE, file_error(errno));
        return EXIT_ARCHIVE_FAILED;
    }
    if (skipped > 0)
        fprintf(stderr, "kestlog-archive: %s: %d lines that make no sense skipped\n", ARCHIVE_STATE, skipped);
    st_.last_attempt = now_s();
    read_logger_settings();
    end_shared_link();
    std::vector<SiteFile> files = inventory();
    record(files);
    // Nothing goes out, and nothing is deleted, without the key.
    if (access(s_.key.c_str(), R_OK) != 0) fail("key " + s_.key + ": " + strerror(errno));
    if (!failed()) push_and_confirm();
    write_manifest();  // with the names the archive gave them, before it goes out
    if (!failed()) send_live(files);
    end_shared_link();
    if (!failed()) delete_confirmed(files);
    files = inventory();
    account(files);
    if (!failed()) st_.last_success = now_s();
    if (!write_archive_state(ARCHIVE_STATE, st_)) fail(std::string(ARCHIVE_STATE) + ": " + strerror(errno));
    write_metrics();
    // One line for the run, and one for each failure, in the journal.
    fprintf(stderr,
            "kestlog-archive: sent %lld files (%s on the wire), confirmed %lld, %lld pending (%s), deleted "
            "%lld\n",
            sent_files_, human(sent_bytes_).c_str(), confirmed_, st_.pending_files,
            human(st_.pending_bytes).c_str(), deleted_);
    for (const std::string& f : failures_) fprintf(stderr, "kestlog-archive: failed: %s\n", f.c_str());
    close(lock);
    return failed() ? EXIT_ARCHIVE_FAILED : EXIT_ARCHIVE_OK;
}

}  // namespace

int run_archive(const ArchiveSettings& s, const char*) {
    Run run(s);
    return run.go();
}

bool confirmed_for_deletion(const std::string& name) {
    struct stat st;
    if (stat(ARCHIVE_DIR, &st) != 0) return true;  // no archiving here
    ArchiveState state;
    if (!read_archive_state(ARCHIVE_STATE, &state)) {
        fprintf(stderr, "kestlog-archive: %s: %s: %s is kept\n", ARCHIVE_STATE, file_error(errno),
                name.c_str());
        return false;
    }
    SiteFile f;
    f.name = name;
    if (!parse_daily_file_name(name, &f.kind, &f.date, &f.compressed)) return false;
    const ArchivedFile* e = entry_of(state, f);
    std::string sha;
    bool inflate = f.compressed && e && e->name != f.name;
    if (!e || e->confirmed <= 0 || !sha256_of(std::string(DATA) + "/" + name, inflate, &sha) ||
        sha != e->sha256) {
        fprintf(stderr, "kestlog-archive: %s: not confirmed by the archive: kept\n", name.c_str());
        return false;
    }
    return true;
}
