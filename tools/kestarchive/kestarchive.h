// kestarchive: the archive host's side of the way home. Each site has a
// user of its own, whose key may only run the rsync commands kestlog-archive
// sends (the gate); what arrives is sealed by another user (kestvault): copied
// into the site's data/, owned by kestvault and read-only, and recorded, only
// when its sha256 is the one the site's manifest gives. The kernel then keeps
// a sealed byte from changing, whatever the site's key runs. A scrub re-reads
// every sealed file against the record.
//
// A site's folder, /srv/kestarchive/SITE (kestvault, group SITE, 0750):
//   data/      sealed files, 0440 (the folder setgid SITE, 2750)
//   incoming/  what the site sends, until sealed (0770)
//   live/      today's growing files, the manifest, the logger's metrics (0770)
//   aside/     what did not agree with the manifest (kestvault's alone)
//   record     the archive's own record of what it sealed
//   site.conf  its bounds, root's
//
// The gate's rules, the sealing and the scrub are functions of a folder, so
// that tests run them on folders of their own.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "formats/formats.h"

constexpr const char* ARCHIVE_ROOT = "/srv/kestarchive";
constexpr const char* SEAL_QUEUE = "/run/kestarchive/queue";  // a file a site asks to be sealed
constexpr const char* VAULT_STATE = "/var/lib/kestarchive";   // the sealer's own: locks, status
constexpr const char* FLEET_OUT = "/var/www/kestarchive";     // the fleet's page
constexpr const char* KEYS_DIR = "/etc/kestarchive/keys";     // sshd's authorized keys, a file a site user
constexpr const char* SITE_CONF = "site.conf";
constexpr const char* SEAL_RECORD = "record";
constexpr const char* ASIDE = "aside";
constexpr const char* SITE_BINDING = ".site";  // in live/: the site that first pushed into the folder

// --- the gate ---------------------------------------------------------------------

// The commands a site's key may run, as kestlog-archive sends them.
enum class GateKind { LiveAppend, LivePlain, Incoming, Verify };

struct GateDecision {
    bool allowed = false;
    std::string reason;  // one line, when refused
    GateKind kind = GateKind::Verify;
    std::vector<std::string> argv;  // what runs: rsync --server, its options, ".", the target
};

// Decides on the command ssh was asked to run (SSH_ORIGINAL_COMMAND): one
// of the kinds above with exactly their option words and target, or refused
// with the reason. Names no folder to make: the targets are the site's own.
GateDecision gate_decide(std::string_view command);
constexpr int GATE_TIMEOUT_MAX_S = 600;  // rsync's I/O time-out on the archive's side, at most

// The bounds of a site's folder (site.conf: max_bytes=, max_files=).
struct Bounds {
    long long max_bytes = 32LL << 30;
    long long max_files = 20000;
};
Bounds read_bounds(const std::string& site_dir);

// What the folder holds: bytes (as allocated) and names, below it, without
// following links; counting stops past `stop_files` names.
struct Usage {
    long long bytes = 0, files = 0;
};
Usage usage_of(const std::string& dir, long long stop_files = 1LL << 40);

// --- sealing -----------------------------------------------------------------------

struct SealReport {
    int sealed = 0;       // new in data/
    int duplicates = 0;   // sent again, sealed already
    int aside = 0;        // did not agree with the manifest, or no file: kept aside
    int waiting = 0;      // not in the manifest yet
    bool failed = false;  // the folder could not be looked at (said why)
};

// The sealer's account of a site, kept in VAULT_STATE/sites/SITE.
struct SiteStatus {
    long long sealed_files = 0, sealed_bytes = 0, aside_files = 0, last_sealed = 0;
    long long scrub_ok = 0, scrub_changed = 0, scrub_missing = 0, scrub_last = 0;
};
bool read_site_status(const std::string& path, SiteStatus* s);
bool write_site_status(const std::string& path, const SiteStatus& s);

// Seals what waits in SITE/incoming/ (the site_dir) that agrees with the
// manifest: copied by this process's user into data/, read-only, recorded,
// and only then removed from incoming/. A name held for other contents is
// sealed beside it (twin_name); what does not agree is set aside and named
// on standard error. Old leftovers of rsync and past days' live copies go.
// now: seconds since 1970, for the record and the ages. With status, its
// sealing figures are brought up to date.
SealReport seal_site(const std::string& site, const std::string& site_dir, long long now,
                     SiteStatus* status = nullptr);

// --- the scrub -----------------------------------------------------------------------

struct ScrubReport {
    long long ok = 0, changed = 0, missing = 0, bytes = 0;
};
// Reads every sealed file of the site against the record, at most
// rate_bytes a second (0: no bound), and names each that differs or is
// gone on standard error.
ScrubReport scrub_site(const std::string& site, const std::string& site_dir, long long rate_bytes);

// --- the fleet -------------------------------------------------------------------------
// Every site's days at a glance, from the archive alone: what is sealed, the
// live copies of today's files, the site's manifest (what it holds and has
// not sent) and the sealer's account. A minute slot of a site's local day is
// one of these; a cell is the day's slots in proportion.
enum FleetState {
    FLEET_GOOD,
    FLEET_FAULTS,
    FLEET_SILENT,
    FLEET_LOST,
    FLEET_STOPPED,
    FLEET_PENDING,
    FLEET_NONE,
    FLEET_STATES
};
// Their letters, in a day's codes and the cache: good data, data with
// faults, instrument silent, line lost, logger not running, not yet
// arrived, no data expected.
constexpr const char* FLEET_CODES = "gfslxpn";
// Their names, as the page and its CSV say them.
extern const char* const FLEET_STATE_NAMES[FLEET_STATES];
// Their colours, as the day picture of kestreport has them (colour-blind
// safe); "not yet arrived" is a pattern where it is drawn.
extern const char* const FLEET_COLOURS[FLEET_STATES];

constexpr int FLEET_SLOTS = 1440;  // a day's minute slots (a repeated hour shares its slots)
constexpr int FLEET_GAP_MIN = 3;   // minutes: shorter runs without data are in the figures, not the gap list

struct FleetOptions {
    std::string root = ARCHIVE_ROOT;     // the sites' folders
    std::string out;                     // the page's folder
    std::string cache;                   // summaries of the days, by site (the builder's own)
    std::string status_dir;              // the sealer's account of each site, "" for none
    std::string metrics;                 // node_exporter's textfile, "" for none
    int days = 30;                       // the window: the days up to today
    long long silent_after = 26 * 3600;  // seconds without a push that make a site silent
    long long now = 0;                   // seconds since 1970
    int last_date = 0;                   // the window's last day (yyyymmdd); 0: the site's today
};

struct FleetDay {
    int date = 0;       // yyyymmdd, the site's local day
    std::string codes;  // a FLEET_CODES letter a minute slot
    int count[FLEET_STATES] = {};
    int expected() const { return FLEET_SLOTS - count[FLEET_NONE]; }
    // The share of good minutes, and of minutes with data, of those expected; -1 for none expected.
    double good() const;
    double completeness() const;
};

// A run of expected minutes without data (of at least three), across days.
struct FleetGap {
    long long from = 0, to = 0;  // seconds since 1970: its first minute, and the minute after its last
    int minutes = 0, pending = 0;
};

struct FleetSite {
    std::string name, zone;
    std::vector<FleetDay> days;   // the window, oldest first
    std::vector<FleetGap> gaps;   // in the window
    long long newest_packet = 0;  // the end of the newest minute with data the archive holds, 0 none
    long long last_push = 0;      // when the site last sent its manifest, or a file was sealed; 0 never
    int first_date = 0;           // the first day the site was expected to send
    long long pending_files = 0;  // in its manifest, not sealed
    SiteStatus checks;            // the sealer's and the scrub's account
    int made = 0;                 // days summarised in this build (the rest came from the cache)
    bool silent = false;          // no push for longer than silent_after
    double yesterday() const;     // completeness; -1 for none expected
    int longest_gap() const;      // minutes
};

// The buckets of an age (as the page shows them): "2 d", "7 d", "25 d",
// "older", and "never" for none.
const char* age_bucket(long long age_seconds, bool never);

// Writes a file the page is made of whole (a temporary beside it,
// renamed), unsynced: the page is made again from the archive at will.
// False, said on standard error, when it cannot.
bool put_file(const std::string& path, const std::string& text);

// One site's window: days already summarised come from the cache when
// their files are the same (by name and sha256 of what is sealed, by size
// and time of a live copy); the rest are read, their day pages written.
FleetSite fleet_site(const std::string& site, const FleetOptions& o);
// The whole page: index.html, a page a site, fleet.csv, fleet.json, and
// the metrics. Returns an exit status.
int build_fleet(const FleetOptions& o);
// The page's parts, of sites already made (worst first).
void sort_worst_first(std::vector<FleetSite>* sites, long long now);
std::string fleet_html(const std::vector<FleetSite>& sites, const FleetOptions& o);
std::string site_html(const FleetSite& site, const FleetOptions& o);
std::string fleet_csv(const std::vector<FleetSite>& sites);
std::string fleet_json(const std::vector<FleetSite>& sites, const FleetOptions& o);
std::string fleet_metrics(const std::vector<FleetSite>& sites, const FleetOptions& o);

// --- hashing ---------------------------------------------------------------------------

// sha256sum fed through a pipe: what is written is hashed as it goes.
class Sha256 {
   public:
    Sha256();
    ~Sha256();
    bool ok() const { return in_ >= 0; }
    bool add(const void* data, size_t len);
    // The hex digest, or "" when sha256sum failed.
    std::string finish();

   private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
};

// --- sites --------------------------------------------------------------------------

// Whether name may name a site: a user name of lower-case letters, digits,
// '-' and '_', starting with a letter, at most 32 bytes.
bool site_name(std::string_view name);
// The sites: the folders below root that hold a site.conf.
std::vector<std::string> list_sites(const std::string& root);
