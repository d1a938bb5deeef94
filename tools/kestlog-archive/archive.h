// kestlog-archive: brings a site's files home. Each run records the closed
// files (sha256 and size, in a manifest that sha256sum -c reads), pushes
// them over rsync and ssh to the archive host, where the site's key can only
// add files, has the archive compare its copies with the site's in a second,
// dry pass, appends today's growing files to a live area, and only then,
// when the settings ask for it, deletes confirmed files at the site.
//
// This header holds the settings, the rules that decide what is closed,
// what is pending and what may be deleted (pure, so that tests check them
// as tables), and the run.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "formats/formats.h"

// --- settings --------------------------------------------------------------------

struct ArchiveSettings {
    std::string user, host, path;  // destination=USER@HOST:PATH
    std::string key;               // the site's private key
    std::string known_hosts = "/etc/kestlog/known_hosts";
    int port = 22;
    long bandwidth_kbps = 0;     // rsync's --bwlimit (KiB/s); 0 for none
    bool live = true;            // today's growing files, appended to the live area
    int keep_days = 0;           // delete confirmed files older than this; 0 keeps all
    long long keep_free_mb = 0;  // delete confirmed files while less is free; 0 for none
    int grace_hours = 24;        // a file confirmed is kept at least this long
    std::string metrics_file;    // this job's own metrics, "" for none
};

// Reads the settings file: problems as "FILE:LINE: problem" (and a missing
// destination or key as "FILE: ..."), warnings as "FILE:LINE: warning: ...",
// on standard error. Returns the number of problems.
int read_archive_settings(const char* file, ArchiveSettings* s);
// What --check says of settings read without problems: whether the key and
// the known hosts are there and readable, and not readable by others.
// Returns the number of problems.
int check_archive_settings(const char* file, const ArchiveSettings& s);

// --- the rules -------------------------------------------------------------------

// A file of the logger's in data/, as the site has it now.
struct SiteFile {
    std::string name;
    DailyFile kind = DailyFile::Status;
    int date = 0;  // yyyymmdd of its name
    bool compressed = false;
    long long size = 0;
    long long mtime_ns = 0;
    bool closed = false;  // set by mark_closed
};

// A status file is closed once the logger has moved on to a newer one, a
// message log once a newer message log exists (it keeps its start-up name
// across midnights): of each kind, the one written last (by time, not by
// name: a clock battery gone names files after 2000) is open, the rest
// closed. A file changed later than now (a clock since set back) is not the
// one written last; a compressed file is always closed.
constexpr long long CLOCK_SLACK_S = 300;
void mark_closed(std::vector<SiteFile>* files, long long now_ns);

// Seconds that passed between two readings of the clock since boot, never
// more than passed: a reboot between them counts only the time since.
long long boot_elapsed(long long before, long long now);

// What a closed file still needs: to be recorded (hashed, into the manifest),
// to be read again (it was written since it was recorded), to be confirmed
// by the archive, nothing (confirmed), or nothing because its plain form was
// recorded before the daily job compressed it.
enum class Need { Record, Check, Confirm, Nothing, CoveredByPlain };
Need need_of(const SiteFile& f, const ArchiveState& state);

// Which confirmed files the settings let the run delete now, oldest first:
// closed, not changed since, confirmed at least grace_hours ago (on the
// clock since boot: the `aged` of each), and older than keep_days or
// (while free_bytes is below the floor) the oldest, until enough is freed.
// `verified` tells, for each file, that its contents are still those the
// archive confirmed (a compressed one's inflated sha256). Returns indexes
// into files and, in *short_bytes, how much the floor still lacks.
struct Deletion {
    size_t file;
    bool for_space;  // the free-space floor, not the age
};
std::vector<Deletion> deletable(const std::vector<SiteFile>& files, const ArchiveState& state,
                                const std::vector<bool>& verified, const ArchiveSettings& s, int today,
                                long long free_bytes, long long* short_bytes);

// The entry of the state for a site file's name (a compressed file's plain
// name), or nullptr.
const ArchivedFile* entry_of(const ArchiveState& state, const SiteFile& f);
ArchivedFile* entry_of(ArchiveState& state, const SiteFile& f);

// --- the link ---------------------------------------------------------------------

struct Result {
    int status = -1;
    std::string out;  // standard output and error together
};

// rsync over ssh to the archive host: the run's rsyncs share one ssh
// connection (its handshake paid once a run), every step bounded by ssh's
// connect and keep-alive limits, rsync's I/O time-out and the run's
// deadline, after which the command is ended.
class Link {
   public:
    Link(const ArchiveSettings& s, long long deadline_ms, std::string identity)
        : s_(s), deadline_ms_(deadline_ms), identity_(std::move(identity)) {}
    // rsync with these options, then "--" and the paths.
    Result rsync(const std::vector<std::string>& options, const std::vector<std::string>& paths);
    // "USER@HOST:PATH/AREA/": an area of the site's folder.
    std::string target(const char* area) const;
    // Ends the shared connection: a run's (or a killed run's) is never the
    // next run's, whose settings may name another key.
    void end_shared() const;
    long long sent_bytes = 0;  // what the rsyncs handed to ssh, cut off or not

   private:
    std::vector<std::string> ssh_args() const;
    const ArchiveSettings& s_;
    long long deadline_ms_;
    std::string identity_;
};

// kestlog-archive --relay FILE SSH...: what rsync runs as its remote shell.
// Runs SSH with its input and output through this process, counting what
// rsync sends into FILE as it goes. Returns ssh's exit status.
int relay(int argc, char** argv);

// This site as it names itself to the archive: "HOST:DIR".
std::string site_identity();
// Why an rsync over ssh failed, in the words an operator acts on, naming the
// side: the local key, the network, or the archive (and for a host key that
// changed, the fingerprint it offered).
std::string why(const Result& r);
// A count of rsync's --stats: "Total bytes sent: 1,234", say.
long long stat_of(const std::string& out, const std::string& label);
// What a dry run with -ii says of a file against the archive's data/.
enum class Verdict { Same, Missing, Differs, Unknown };
Verdict verdict_of(const std::string& itemized, const std::string& name);

// --- the run ---------------------------------------------------------------------

constexpr int EXIT_ARCHIVE_OK = 0;
constexpr int EXIT_ARCHIVE_FAILED = 1;  // a step failed: the journal line says which, and why
constexpr int EXIT_ARCHIVE_USAGE = 2;
constexpr int EXIT_ARCHIVE_BUSY = 3;  // another run holds the lock

// One run in the logger's working directory (the current one): record,
// push, confirm, append the live files, delete what the settings allow,
// write the state, the metrics and one journal line. Returns an exit status.
int run_archive(const ArchiveSettings& s, const char* settings_file);

// Whether the file in data/ may be deleted by the daily job: archiving is
// off here (no archive/ folder), or the archive confirmed it (a compressed
// file: its inflated contents). Prints why not on standard error.
bool confirmed_for_deletion(const std::string& name);
