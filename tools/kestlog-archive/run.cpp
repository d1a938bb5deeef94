// One run of the archive job, in the logger's working directory: what the
// rules decide, done with rsync over ssh and sha256sum.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
constexpr int RUN_LIMIT_S = 50 * 60;  // a run's own limit, below the unit's
constexpr int HASH_LIMIT_MS = 10 * 60 * 1000;
// The archive host seals what arrived within seconds; a run waits this long
// for it before it says the archive did not.
constexpr int SEAL_WAIT_MS = 90 * 1000;
constexpr int ROUNDS = 3;  // a name the archive holds for other contents takes a round more
constexpr long long NEARLY_FULL_PERCENT = 10;  // without a floor: less free than this is nearly full

volatile sig_atomic_t stopped_by = 0;  // the signal systemctl stop sent
void on_stop(int sig) { stopped_by = sig; }

long long now_s() { return static_cast<long long>(time(nullptr)); }

long long boottime_s() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<long long>(ts.tv_sec);
}

int today_date() {
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

std::string data_path(const std::string& name) { return std::string(DATA) + "/" + name; }

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
        if (lstat(data_path(f.name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        f.size = st.st_size;
        f.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        files.push_back(f);
    }
    closedir(d);
    std::sort(files.begin(), files.end(),
              [](const SiteFile& a, const SiteFile& b) { return a.name < b.name; });
    mark_closed(&files, now_s() * 1000000000LL);
    return files;
}

// The sha256 of a file, of its first `prefix` bytes (0: all of it), or with
// `inflate` of a .gz file's contents (what gunzip -c | sha256sum gives).
// False when it cannot be read whole.
bool sha256_of(const std::string& path, bool inflate, std::string* sha, long long prefix = 0) {
    const std::string sum = find_program("sha256sum"), sh = "/bin/sh", bytes = std::to_string(prefix);
    const char* plain[] = {sum.c_str(), "--", path.c_str(), nullptr};
    // gzip -t first: a stream cut short must not pass as the sum of its start.
    const char* inflated[] = {sh.c_str(), "-c",         "gzip -t -- \"$1\" && gzip -dc -- \"$1\" | sha256sum",
                              "sh",       path.c_str(), nullptr};
    const char* head[] = {sh.c_str(),    "-c",   "head -c \"$2\" -- \"$1\" | sha256sum", "sh", path.c_str(),
                          bytes.c_str(), nullptr};
    std::string out;
    int status = run_capture(inflate ? inflated : prefix > 0 ? head : plain, &out, HASH_LIMIT_MS);
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

// Writes text to path whole (a temporary file, synced, renamed), unless it
// holds that text already: an unchanged file keeps its time, and rsync
// sends it no more.
bool replace_file(const char* path, const std::string& text, mode_t mode) {
    int fd = open_regular(path, O_RDONLY);
    if (fd >= 0) {
        std::string old;
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) old.append(buf, static_cast<size_t>(n));
        close(fd);
        if (old == text) return true;
    }
    return write_whole_file(path, text, mode);
}

class Run {
   public:
    explicit Run(const ArchiveSettings& s)
        : s_(s), link_(s, monotonic_ms() + RUN_LIMIT_S * 1000LL, site_identity()) {}

    int go();

   private:
    // A failure stops what follows; a finding (a file changed here) is told
    // as one, and fails the run, but stops nothing.
    void fail(const std::string& why) { failures_.push_back(why); }
    void find(const std::string& what) { findings_.push_back(what); }
    bool failed() const { return !failures_.empty() || stopped_by != 0; }

    void keep_time_honest();
    void record(std::vector<SiteFile>& files);
    void record_new(const SiteFile& f, const std::string& sha);
    void look_again(const SiteFile& f, ArchivedFile* e);
    void name_in_archive(ArchivedFile* e);
    std::vector<ArchivedFile*> pending();
    bool stage(const std::vector<ArchivedFile*>& which);
    void send_live(const std::vector<SiteFile>& files);
    bool send_manifest(const std::string& metrics);
    void push_and_confirm();
    std::vector<ArchivedFile*> compare(std::vector<ArchivedFile*> todo, bool patience, bool* renamed);
    void confirm(ArchivedFile* e);
    void delete_confirmed(const std::vector<SiteFile>& files);
    void account(const std::vector<SiteFile>& files);
    void write_metrics();

    const ArchiveSettings& s_;
    Link link_;
    ArchiveState st_;
    std::vector<std::string> failures_, findings_;
    long long sent_files_ = 0, confirmed_ = 0, deleted_ = 0;
    long long free_bytes_ = 0, short_bytes_ = 0, at_risk_bytes_ = 0, changed_files_ = 0;
    const long long started_ = now_s();
};

// No time in the future stays in the state (a clock that was ahead would
// hold the last success there, where no alert could see it age), and the
// grace of each confirmation grows by what the clock since boot says passed.
void Run::keep_time_honest() {
    const long long now = now_s();
    for (long long* t : {&st_.last_success, &st_.last_attempt}) *t = std::min(*t, now);
    const long long boot = boottime_s(), elapsed = boot_elapsed(st_.boottime, boot);
    for (ArchivedFile& e : st_.files) {
        e.recorded = std::min(e.recorded, now);
        e.confirmed = std::min(e.confirmed, now);
        if (e.confirmed > 0) e.aged += elapsed;
    }
    st_.boottime = boot;
}

// A name the archive holds for other contents (a clock set back made the
// file again): stored beside the first, never over it.
void Run::name_in_archive(ArchivedFile* e) {
    e->archive_name = e->name;
    for (const ArchivedFile& other : st_.files) {
        if (&other != e && other.archive_name == e->archive_name && other.sha256 != e->sha256)
            e->archive_name = twin_name(e->name, e->sha256);
    }
}

void Run::record_new(const SiteFile& f, const std::string& sha) {
    ArchivedFile e;
    e.name = f.name;
    e.size = f.size;
    e.sha256 = sha;
    e.mtime_ns = f.mtime_ns;
    e.recorded = now_s();
    st_.files.push_back(e);
    name_in_archive(&st_.files.back());
}

// A recorded file written since: unchanged after all, grown before the
// archive confirmed it, grown after (a clock set back made its name again:
// a new file for the archive), or changed, which is kept and counted.
void Run::look_again(const SiteFile& f, ArchivedFile* e) {
    std::string sha, head;
    if (!sha256_of(data_path(f.name), false, &sha)) return fail(f.name + ": cannot be read to be recorded");
    if (sha == e->sha256) {
        e->mtime_ns = f.mtime_ns;
        e->changed = false;
    } else if (e->confirmed <= 0) {
        e->size = f.size;
        e->sha256 = sha;
        e->mtime_ns = f.mtime_ns;
        e->recorded = now_s();
        name_in_archive(e);
    } else if (f.size > e->size && sha256_of(data_path(f.name), false, &head, e->size) && head == e->sha256) {
        record_new(f, sha);
    } else {
        e->mtime_ns = f.mtime_ns;
        if (e->changed) return;
        e->changed = true;
        st_.mismatches_total++;
        find("checksum mismatch: " + f.name + " changed at the site after the archive confirmed it (now " +
             sha.substr(0, 16) + "..., confirmed " + e->sha256.substr(0, 16) +
             "...): kept, and never deleted; the archive holds what was confirmed");
    }
}

void Run::record(std::vector<SiteFile>& files) {
    // A file that left the site since (by hand, or by this job): a file of
    // its name found later is another one, not a change.
    for (ArchivedFile& e : st_.files) {
        struct stat st;
        const std::string path = data_path(e.name);
        if (lstat(path.c_str(), &st) != 0 && lstat((path + COMPRESSED_SUFFIX).c_str(), &st) != 0)
            e.gone = true;
    }
    for (SiteFile& f : files) {
        if (!f.closed) continue;
        Need n = need_of(f, st_);
        if (n == Need::Check) {
            look_again(f, entry_of(st_, f));
        } else if (n == Need::Record) {
            std::string sha;
            if (sha256_of(data_path(f.name), false, &sha))
                record_new(f, sha);
            else
                fail(f.name + ": cannot be read to be recorded");
        }
    }
}

// The files recorded and not yet confirmed that the site still has.
std::vector<ArchivedFile*> Run::pending() {
    std::vector<ArchivedFile*> out;
    for (ArchivedFile& e : st_.files) {
        struct stat st;
        if (e.confirmed > 0) continue;
        std::string path = data_path(e.name);
        if (lstat(path.c_str(), &st) == 0 || lstat((path + COMPRESSED_SUFFIX).c_str(), &st) == 0)
            out.push_back(&e);
    }
    return out;
}

// The files to send or compare, under the archive's names: links to data/,
// or, for one the daily job compressed since it was recorded, its contents
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
        std::string plain = data_path(e->name);
        struct stat st;
        bool ok = lstat(plain.c_str(), &st) == 0
                      ? symlink(("../../" + plain).c_str(), out.c_str()) == 0
                      : run_shell(("gzip -dc -- '" + plain + ".gz' > '" + out + "'").c_str()) == 0;
        if (ok) list += e->archive_name + "\n";
    }
    if (!replace_file(FILE_LIST, list, 0640)) fail(std::string(FILE_LIST) + ": " + strerror(errno));
    return !failed() && !list.empty();
}

// The present first: today's growing files, appended to what the archive
// has of them (the bytes it holds verified first); then the logger's metrics
// and the manifest, before any backlog.
void Run::send_live(const std::vector<SiteFile>& files) {
    std::vector<std::string> growing;
    for (const SiteFile& f : files) {
        if (!f.closed && !f.compressed) growing.push_back(data_path(f.name));
    }
    if (s_.live && !growing.empty()) {
        growing.push_back(link_.target(ARCHIVE_LIVE));
        Result r = link_.rsync({"-t", "--append-verify"}, growing);
        if (r.status != 0) return fail(why(r));
    }
    // The logger's own metrics, as its settings name them.
    send_manifest(mon.metrics_file[0] && access(mon.metrics_file, R_OK) == 0 ? mon.metrics_file : "");
}

// The manifest, in the format of sha256sum -c, from the archive's folder:
// every file recorded, under its name there. The archive seals a file only
// when it agrees.
bool Run::send_manifest(const std::string& metrics) {
    if (!replace_file(ARCHIVE_MANIFEST, manifest_text(st_), 0640)) {
        fail(std::string(ARCHIVE_MANIFEST) + ": " + strerror(errno));
        return false;
    }
    std::vector<std::string> paths = {ARCHIVE_MANIFEST};
    if (!metrics.empty()) paths.push_back(metrics);
    paths.push_back(link_.target(ARCHIVE_LIVE));
    Result r = link_.rsync({"-t"}, paths);
    if (r.status != 0) fail(why(r));
    return r.status == 0;
}

void Run::confirm(ArchivedFile* e) {
    e->confirmed = now_s();
    e->aged = 0;
    st_.confirmed_total++;
    confirmed_++;
    if (e->archive_name != e->name) {
        st_.stored_twice_total++;
        fprintf(stderr, "kestlog-archive: %s: the archive holds another file of that name; stored as %s\n",
                e->name.c_str(), e->archive_name.c_str());
    }
}

// Arriving is not proof: the archive seals what agrees with the manifest,
// and compares its sealed copy with the site's, in a dry run that writes
// nothing; with `patience`, again until each is sealed or the wait is over.
// Returns what is still unsealed; *renamed when a name the archive holds
// for other contents sends a file round again, beside it.
std::vector<ArchivedFile*> Run::compare(std::vector<ArchivedFile*> todo, bool patience, bool* renamed) {
    for (long long waited = 0, pause = 250; !todo.empty() && !failed(); pause = std::min(pause * 2, 8000LL)) {
        Result check =
            link_.rsync({"-n", "-c", "-ii", "-L", "--compare-dest=../" + std::string(ARCHIVE_SEALED),
                         "--files-from=" + std::string(FILE_LIST)},
                        {std::string(OUTGOING) + "/", link_.target(ARCHIVE_VERIFY)});
        if (check.status != 0) {
            fail(why(check));
            break;
        }
        std::vector<ArchivedFile*> unsealed;
        for (ArchivedFile* e : todo) {
            Verdict v = verdict_of(check.out, e->archive_name);
            if (v == Verdict::Same) {
                confirm(e);
            } else if (v == Verdict::Differs && e->archive_name == e->name) {
                e->archive_name = twin_name(e->name, e->sha256);  // beside the first, next round
                *renamed = true;
            } else if (v == Verdict::Differs) {
                st_.mismatches_total++;
                fail("checksum mismatch: " + e->name + " as " + e->archive_name);
            } else {
                unsealed.push_back(e);
            }
        }
        todo.swap(unsealed);
        if (!patience || todo.empty() || waited >= SEAL_WAIT_MS) break;
        usleep(static_cast<useconds_t>(pause * 1000));
        waited += pause;
    }
    return todo;
}

void Run::push_and_confirm() {
    std::vector<ArchivedFile*> unsealed;
    for (int round = 0; round < ROUNDS && !failed(); round++) {
        std::vector<ArchivedFile*> todo = pending();
        bool renamed = false;
        if (todo.empty() || !stage(todo)) return;
        // A round again: the names chosen since go out first, and what the
        // archive sealed meanwhile (beside another file, say) is confirmed;
        // so too what an earlier run sent, which the archive may hold now.
        bool sent_before =
            std::any_of(todo.begin(), todo.end(), [&](ArchivedFile* e) { return e->recorded < started_; });
        if (round > 0 || sent_before) {
            compare(todo, false, &renamed);
            todo = pending();
            if (todo.empty() || !stage(todo)) return;
        }
        // The archive seals a file only under a name the manifest gives.
        if ((round > 0 || renamed) && !send_manifest("")) return;
        // Closed files go to incoming/, under rsync's temporary names until
        // whole; what a cut transfer brought waits in incoming/.partial/ and
        // the next run goes on from it. The archive's live copy of a file
        // closed since is the basis: only what it lacks crosses the link.
        Result push = link_.rsync({"-t", "-L", "--partial-dir=" + std::string(ARCHIVE_PARTIAL),
                                   "--copy-dest=../" + std::string(ARCHIVE_LIVE), "--stats",
                                   "--files-from=" + std::string(FILE_LIST)},
                                  {std::string(OUTGOING) + "/", link_.target(ARCHIVE_INCOMING)});
        sent_files_ += stat_of(push.out, "Number of regular files transferred");
        // Some files not sent (rsync's 23 and 24) is no reason to stop: the
        // comparison tells which arrived.
        int code = push.status >= 0 && WIFEXITED(push.status) ? WEXITSTATUS(push.status) : -1;
        if (code != 0 && code != 23 && code != 24) return fail(why(push));
        const size_t sent = todo.size();
        unsealed = compare(todo, true, &renamed);
        // Nothing sealed in all that wait: the archive's sealer is not at
        // work, and sending again would not help.
        if (!renamed && (unsealed.empty() || unsealed.size() == sent)) break;
    }
    for (ArchivedFile* e : unsealed) {
        if (e->confirmed <= 0 && !stopped_by)
            fail(e->name + ": not sealed by the archive within " + std::to_string(SEAL_WAIT_MS / 1000) +
                 " s of arriving (is its kestarchive-seal.path running?)");
    }
}

void Run::delete_confirmed(const std::vector<SiteFile>& files) {
    struct statvfs vfs;
    if (statvfs(DATA, &vfs) == 0)
        free_bytes_ = static_cast<long long>(vfs.f_bavail) * static_cast<long long>(vfs.f_frsize);
    if (s_.keep_days <= 0 && s_.keep_free_mb <= 0) return;
    std::vector<bool> assumed(files.size(), true);
    long long short_bytes = 0;
    std::vector<Deletion> chosen =
        deletable(files, st_, assumed, s_, today_date(), free_bytes_, &short_bytes);
    // Its contents, compressed since or not, must still be what the archive
    // confirmed, here and there: the archive is asked again, in this run.
    std::vector<ArchivedFile*> ask;
    for (const Deletion& d : chosen) {
        const SiteFile& f = files[d.file];
        ArchivedFile* e = entry_of(st_, f);
        std::string sha;
        if (!sha256_of(data_path(f.name), f.compressed && e->name != f.name, &sha) || sha != e->sha256)
            fail(f.name + ": not what the archive confirmed; kept");
        else
            ask.push_back(e);
    }
    std::string said;
    if (!ask.empty() && stage(ask)) {
        Result check =
            link_.rsync({"-n", "-c", "-ii", "-L", "--compare-dest=../" + std::string(ARCHIVE_SEALED),
                         "--files-from=" + std::string(FILE_LIST)},
                        {std::string(OUTGOING) + "/", link_.target(ARCHIVE_VERIFY)});
        if (check.status != 0) return fail(why(check));
        said = check.out;
    }
    long long freed = 0;
    for (const Deletion& d : chosen) {
        const SiteFile& f = files[d.file];
        ArchivedFile* e = entry_of(st_, f);
        if (std::find(ask.begin(), ask.end(), e) == ask.end()) continue;
        Verdict v = verdict_of(said, e->archive_name);
        if (v != Verdict::Same) {
            // Its only good copy is here now: sent again, beside the bad one.
            e->confirmed = 0;
            e->aged = 0;
            if (v == Verdict::Differs) st_.mismatches_total++;
            fail((v == Verdict::Differs ? "checksum mismatch: the archive's copy of "
                                        : "the archive no longer holds ") +
                 f.name + " (" + e->archive_name + "): kept, to be sent again");
            continue;
        }
        if (unlink(data_path(f.name).c_str()) != 0) {
            fail(data_path(f.name) + ": " + strerror(errno));
            continue;
        }
        e->gone = true;
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
    changed_files_ = 0;
    for (const SiteFile& f : files) {
        Need n = f.closed ? need_of(f, st_) : Need::Nothing;
        const ArchivedFile* e = entry_of(st_, f);
        if (e && e->changed) changed_files_++;
        if (n != Need::Record && n != Need::Confirm && !(n == Need::Check && e && e->confirmed <= 0))
            continue;
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
    metric("kestlog_archive_checksum_mismatches_total", "counter",
           "Files whose archive copy differed, or that changed here after the archive confirmed them.",
           st_.mismatches_total);
    metric("kestlog_archive_changed_files", "gauge",
           "Files here changed after the archive confirmed them: kept, never deleted.", changed_files_);
    metric("kestlog_archive_names_stored_twice_total", "counter",
           "Files stored beside another of their name (a clock set back).", st_.stored_twice_total);
    metric("kestlog_archive_sent_bytes_total", "counter",
           "Bytes sent to the archive host, transfers cut off included.", st_.sent_bytes_total);
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
    if (!replace_file(s_.metrics_file.c_str(), text, 0644))
        fprintf(stderr, "kestlog-archive: %s: %s\n", s_.metrics_file.c_str(), strerror(errno));
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
    keep_time_honest();
    st_.last_attempt = now_s();
    link_.end_shared();
    std::vector<SiteFile> files = inventory();
    record(files);
    // Nothing goes out, and nothing is deleted, without the key.
    if (access(s_.key.c_str(), R_OK) != 0) fail("key " + s_.key + ": " + strerror(errno));
    if (!failed()) send_live(files);
    if (!failed()) push_and_confirm();
    if (!failed()) delete_confirmed(files);
    link_.end_shared();
    files = inventory();
    account(files);
    st_.sent_bytes_total += link_.sent_bytes;
    if (!failed() && findings_.empty()) st_.last_success = now_s();
    if (!write_archive_state(ARCHIVE_STATE, st_)) fail(std::string(ARCHIVE_STATE) + ": " + strerror(errno));
    write_metrics();
    // One line for the run, and one for each failure, in the journal.
    fprintf(stderr,
            "kestlog-archive: sent %lld files (%s on the wire), confirmed %lld, %lld pending (%s), deleted "
            "%lld\n",
            sent_files_, human(link_.sent_bytes).c_str(), confirmed_, st_.pending_files,
            human(st_.pending_bytes).c_str(), deleted_);
    if (stopped_by)
        fprintf(stderr,
                "kestlog-archive: failed: stopped by %s before the run ended: nothing more sent or deleted\n",
                signal_name(stopped_by));
    for (const auto* list : {&findings_, &failures_}) {
        for (const std::string& f : *list) fprintf(stderr, "kestlog-archive: failed: %s\n", f.c_str());
    }
    close(lock);
    return failed() || !findings_.empty() ? EXIT_ARCHIVE_FAILED : EXIT_ARCHIVE_OK;
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

}  // namespace

int run_archive(const ArchiveSettings& s, const char*) {
    // systemctl stop: the run ends what it does, keeps its account and says so.
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    read_logger_settings();
    Run run(s);
    return run.go();
}

bool confirmed_for_deletion(const std::string& name) {
    struct stat st;
    if (stat(ARCHIVE_DIR, &st) != 0) return true;  // no archiving here
    // Where the files go home, a file leaves the site only in a run of
    // kestlog-archive, which asks the archive once more before it deletes.
    fprintf(stderr,
            "kestlog-archive: %s: kept: files that go home are deleted by kestlog-archive alone "
            "(keep_days= in its settings), which compares the archive's copy once more first\n",
            name.c_str());
    return false;
}
