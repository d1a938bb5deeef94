// Formats: the one definition of what the logger writes and its companion
// programs read. The instrument's framing and status packet positions, the
// daily file names, the message record's head, the kinds of record with the
// text each is written with and recognised by, and the fault word's bits.
// Includes nothing of the other rooms; anything may include it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// --- the instrument's packets ---------------------------------------------------

constexpr unsigned char SOH = 0x01;  // opens a status packet
constexpr unsigned char STX = 0x02;  // opens any other packet
constexpr unsigned char EOT = 0x04;  // closes a packet

// Status packet positions, the SOH at 0.
constexpr int STAMP_POS = 7;  // the logger's time, YYMMDD hh:mm
constexpr int PACKET_STAMP_LEN = 12;
constexpr int STAMP_MIN_PACKET = 20;  // a packet long enough to carry the stamp before its EOT
constexpr int FAULT_POS = 86;         // four hexadecimal digits
constexpr int FAULT_LEN = 4;
constexpr int FAULT_MIN_PACKET = 91;  // a packet long enough to carry the fault word before its EOT

// The stamp "YYMMDD hh:mm" made from the timestamp text "DD/MM/YYYY,hh:mm:ss,"
// (the day keeps its leading blank on days 1 to 9).
void stamp_from_timestamp(const char* timestamp, char stamp[PACKET_STAMP_LEN]);
// Reads a stamp: the date (yyyymmdd, 20yy) and the minute of the day. False
// when it is no stamp, or one of a day or a minute that cannot be.
bool parse_stamp(const char* stamp, int* date, int* minute);

// --- the daily files ------------------------------------------------------------

enum class DailyFile { Status, Messages };
constexpr const char* STATUS_FILE_PREFIX = "KES";
constexpr const char* MESSAGE_FILE_PREFIX = "MESKES";
constexpr const char* DAILY_FILE_SUFFIX = ".txt";
constexpr const char* COMPRESSED_SUFFIX = ".gz";

// "KESyyyymmdd.txt" or "MESKESyyyymmdd.txt" for a date yyyymmdd. Returns
// the length snprintf gives.
int daily_file_name(char* out, size_t size, DailyFile kind, int date);
// Reads such a name, or the same with ".gz" after it. False for any other.
bool parse_daily_file_name(std::string_view name, DailyFile* kind, int* date, bool* compressed);

// The lock a running logger holds in its working directory, beside data/.
constexpr const char* LOCK_FILE = "kestlog.lock";

// --- message records ------------------------------------------------------------

// The timestamp text: "DD/MM/YYYY,hh:mm:ss," (20 characters).
constexpr int TIMESTAMP_LEN = 20;

// The head of a record, "N,DD/MM/YYYY,hh:mm:ss, ", from its number and the
// timestamp text. Returns the length snprintf gives.
int record_head(char* out, size_t size, int number, const char* timestamp);

struct RecordHead {
    int number = 0;
    int date = 0;     // yyyymmdd
    int second = 0;   // of the day
    size_t text = 0;  // where the record's text begins
};
// What a line's head is: one to read; none (the lone ">" that ends a comment
// cut short, or a parameter line carried over); or one of the record's shape
// whose date or time cannot be (a month 13, a time 99:99:10), never to be
// trusted as a day or a minute.
enum class HeadRead { Read, None, OutOfRange };
HeadRead read_record_head(std::string_view line, RecordHead* head);
// The same, true only for a head that was read.
bool parse_record_head(std::string_view line, RecordHead* head);
// Whether yyyy, mm and dd make a day of the calendar.
bool real_date(int year, int month, int day);

// The records the logger writes, each with its text, which is its printf
// format (arguments after the number and the timestamp).
constexpr char REC_STARTING[] = "starting %s\n";
constexpr char REC_PARFILE_MISSING[] = "parameter file %s was not found, will use defaults\n";
constexpr char REC_PARAMETER_LINE[] = "%.*s\n";  // each line of the parameter file, as read
constexpr char REC_UNKNOWN_PARAMETER[] = "unknown parameter\n";
constexpr char REC_BAD_VALUE[] = "bad value for %s\n";
constexpr char REC_LONG_PARAMETER_LINE[] = "parameter line longer than 510 characters, the rest ignored\n";
constexpr char REC_UNSUPPORTED_VALUE[] =
    "kestlog.par line %d: unsupported value %s, the rest of the file was not read\n";
constexpr char REC_FRAMING[] = "kest packet not between 0x01/2 and 0x04, %2.2X %2.2X\n";
constexpr char REC_FRAMING_UNRECORDED[] =
    "%d more framing failures in the minute to %.*s were not recorded one by one\n";
constexpr char REC_FAULT[] = "kest fault code=%.4s %s\n";
constexpr char REC_NO_GOOD_PACKETS[] = "no good kest packets in %i minutes.\n";
constexpr char REC_COMMENT[] = "comment: <%.*s>\n";
constexpr char REC_QUIT[] = "keyboard quit command\n";
constexpr char REC_COMMAND_FROM[] = "command %s from %s (kestctl)\n";  // the word; who gave it
constexpr char REC_COMMANDS_REFUSED[] =
    "%d commands from %s (kestctl) refused in the minute to %.*s: more than %d a minute\n";
constexpr char REC_LINE_LOST[] = "serial port %s lost: %s\n";
constexpr char REC_LINE_REOPENED[] = "serial port %s reopened\n";
constexpr char REC_STOPPED[] = "stopped by signal %s\n";
constexpr char REC_CLOCK_STEPPED[] = "clock stepped by %+ld s\n";
constexpr char REC_NOT_STORED[] = "%d packets not stored from %s to %s: %s\n";
constexpr char REC_CLOCK_UNSYNCHRONISED[] = "system clock not synchronised\n";
constexpr char REC_CLOCK_SYNCHRONISED[] = "system clock synchronised\n";
constexpr char REC_UNCLEAN_END[] =
    "the previous run (process %d) ended without stopping: power cut, crash or kill\n";
constexpr char REC_TORN_PACKET[] = "%s ended inside a packet: %ld bytes moved to %s\n";
constexpr char REC_TORN_RECORD[] = "%s ended inside a record: %ld bytes moved to %s\n";

enum class RecordKind {
    Unknown,
    Starting,
    ParfileMissing,
    UnknownParameter,
    BadValue,
    LongParameterLine,
    UnsupportedValue,
    Framing,
    Fault,
    NoGoodPackets,
    Comment,
    Quit,
    LineLost,
    LineReopened,
    Stopped,
    ClockStepped,
    NotStored,
    ClockUnsynchronised,
    ClockSynchronised,
    UncleanEnd,
    TornPacket,
    TornRecord,
    CommandFrom,
    CommandsRefused,
};

struct RecordKindInfo {
    RecordKind kind;
    const char* name;     // for people and tests: "line-lost"
    const char* format;   // what the logger writes
    const char* pattern;  // what a line of the log holds, when not the format
};

// Every kind the logger writes (the echoed parameter lines aside: they hold
// whatever the file held).
extern const RecordKindInfo RECORD_KINDS[];
extern const size_t RECORD_KIND_COUNT;

// The kind of a record's text (the line after its head, without its
// newline), and the values that stand in its format's conversions, in order.
RecordKind recognise_record(std::string_view text, std::vector<std::string_view>* fields = nullptr);
const char* record_kind_name(RecordKind kind);

// --- the fault word --------------------------------------------------------------

struct FaultBit {
    unsigned bit;
    const char* text;  // as the fault record spells it, its comma first
    bool severe;       // counts as a failure of the minute
};

// Highest bit first, the order of a fault record's texts.
extern const FaultBit FAULT_BITS[16];

// Composes the fault text for a fault word into out and returns how many of
// its bits count as failures of the minute.
int decode_fault(unsigned faultnum, char* out, int outsize);
// The bits whose texts a fault record's text holds, in its order.
std::vector<const FaultBit*> faults_in(std::string_view texts);

// The logger's own files, opened by the logger and by its tools. Errors of
// their own, beside errno's values:
constexpr int ERR_SYMLINK = 4001;      // the name is a symbolic link
constexpr int ERR_NOT_REGULAR = 4002;  // the name is not a regular file
constexpr int ERR_TORN_TAIL = 4003;    // the file ends in a torn tail that could not be moved aside
constexpr int ERR_HARDLINK = 4004;     // the file has another name, opened for writing
constexpr int ERR_NOT_OWNED = 4005;    // a folder of the logger's is another user's
// Opens path (open's flags and mode) without following a symbolic link,
// close-on-exec, and only when it is a regular file, and, to write, one
// with no other name. Returns the descriptor, or -1 with errno set
// (ERR_SYMLINK, ERR_NOT_REGULAR, ERR_HARDLINK or open's own).
int open_regular(const char* path, int flags, mode_t mode = 0);
// The reason an open or a write failed, for errno's values and those above.
const char* file_error(int err);
// Creates an unpredictably named, empty temporary file beside path (".NAME.XXXXXX"
// in its folder), its name in tmp. Returns its descriptor, or -1 with errno set.
int make_temporary(const char* path, char* tmp, size_t size);
// Writes text to path whole: a temporary file beside it with that mode,
// synced, renamed over it; a crash leaves the old file or the new. False
// with errno set.
bool write_whole_file(const char* path, std::string_view text, mode_t mode);
// The process that holds an flock on the file open at fd, from /proc/locks
// (whatever process took it, without touching the lock); 0 when none does
// or it cannot be told.
int flock_holder(int fd);

// --- text from outside ------------------------------------------------------------

// Bytes from outside as they may reach a terminal: ESC and DEL in caret
// notation ("^[", "^?"), the C1 controls as cat -v shows their bytes (U+009B
// as "M-BM-^[", a lone byte 0x9B as "M-^["); with c0_too, every other C0
// control but tab and newline in caret notation as well. Valid characters
// (an "é") and every other byte stay as they are.
std::string shown_as_text(std::string_view bytes, bool c0_too = false);
// Whether shown_as_text would change anything (the usual answer: no).
bool needs_showing(std::string_view bytes, bool c0_too = false);
// Whether text is valid UTF-8 (no overlong forms, surrogates or code points
// past U+10FFFF).
bool valid_utf8(std::string_view text);
// The text with each byte that is not part of a valid UTF-8 character
// replaced by U+FFFD, for what other programs parse (XML, CSV, metrics).
std::string with_replacement(std::string_view text);
// A metrics label's value: valid UTF-8 (as above), with \, " and newline
// escaped, as the exposition format asks.
std::string label_value(std::string_view raw);

// --- the archive's state ---------------------------------------------------------
// What kestlog-archive knows of each closed file it recorded (its name at the
// site, size, sha256, the name it has in the archive, when it was recorded
// and confirmed), and its counts and times, kept in the logger's working
// directory as archive/state, one line a fact. kestctl reads it too.

constexpr const char* ARCHIVE_DIR = "archive";
constexpr const char* ARCHIVE_STATE = "archive/state";
constexpr const char* ARCHIVE_MANIFEST = "archive/manifest.sha256";

struct ArchivedFile {
    std::string name;          // at the site, in data/ ("KES20261208.txt")
    long long size = 0;        // as recorded
    std::string sha256;        // 64 hexadecimal digits
    std::string archive_name;  // in the archive's data/: the name, or one with its sha256's start added
    long long recorded = 0;    // when it was found closed and recorded (seconds since 1970)
    long long confirmed = 0;   // when the archive's copy was confirmed, 0 until then
    long long mtime_ns = 0;    // its time of last change when last looked at, 0 unknown
    // Seconds the confirmation has stood, counted on the clock since boot
    // (CLOCK_BOOTTIME), which no setting of the wall clock moves: the grace
    // before deletion is measured on it.
    long long aged = 0;
    bool changed = false;  // changed at the site after its confirmation: never deleted
    bool gone = false;     // left the site: a file of its name found later is another file
};

struct ArchiveState {
    long long last_success = 0;  // the last run that had nothing fail
    long long last_attempt = 0;
    long long confirmed_total = 0;
    long long mismatches_total = 0;
    long long stored_twice_total = 0;
    long long deleted_keep_days_total = 0;
    long long deleted_free_space_total = 0;
    long long sent_bytes_total = 0;  // to the archive host, transfers cut off included
    // What was still to be confirmed at the end of the last run.
    long long pending_files = 0;
    long long pending_bytes = 0;
    int oldest_pending_day = 0;  // yyyymmdd, 0 for none
    long long boottime = 0;      // CLOCK_BOOTTIME's seconds at the last run
    std::vector<ArchivedFile> files;
};

// Reads the state; false when the file is missing or unreadable (errno
// set). A line that makes no sense is skipped and counted in *skipped.
bool read_archive_state(const char* path, ArchiveState* state, int* skipped = nullptr);
// Writes it whole: a temporary file beside it, synced, renamed over it.
// False with errno set on failure.
bool write_archive_state(const char* path, const ArchiveState& state);
// The archive's name of a file whose name the archive already holds for
// other contents: "KES20000101.1a2b3c4d.txt", the sha256's first 8 digits added.
std::string twin_name(const std::string& name, const std::string& sha256);
// How the state reads for an operator, a line: "archive: last success
// yyyy-mm-dd hh:mm:ss UTC, N files (B bytes) pending, the oldest of yyyy-mm-dd".
std::string archive_summary(const ArchiveState& state);
// A time as "yyyy-mm-dd hh:mm:ss UTC", "none yet" for 0.
std::string utc_text(long long t);
// Whether s may name a file in the archive's data/: a logger's file name, or
// one with a sha256's start added (letters, digits and dots, not starting
// with a dot, at most 64 bytes).
bool archive_file_name(std::string_view s);

// --- the archive host's side --------------------------------------------------------
// A site's folder on the archive host, as the site's commands name its parts
// and the gate allows them: closed files arrive in incoming/ (what a cut
// transfer brought kept in incoming/.partial/), and are sealed into data/;
// today's growing files, the manifest and the logger's metrics go to live/;
// verify/ is never written, only named by the dry run that compares.
constexpr const char* ARCHIVE_INCOMING = "incoming";
constexpr const char* ARCHIVE_LIVE = "live";
constexpr const char* ARCHIVE_SEALED = "data";
constexpr const char* ARCHIVE_VERIFY = "verify";
constexpr const char* ARCHIVE_PARTIAL = ".partial";
constexpr const char* MANIFEST_NAME = "manifest.sha256";
// The variable in which a site names itself to the gate (ssh's SetEnv).
constexpr const char* SITE_ID_VARIABLE = "KESTLOG_SITE_ID";

// --- the manifest and the archive's record ----------------------------------------
// A site sends its manifest with its files: what it recorded, in the format
// of sha256sum -c read in the site's folder of the archive, "SHA256  data/NAME"
// a line. The archive host seals a file only when its sha256 is the one the
// manifest gives, and keeps its own record of what it sealed, appended a line
// a file: "NAME SIZE SHA256 SEALED_AT" (SEALED_AT in seconds since 1970).

std::string manifest_text(const ArchiveState& state);
// The sha256 of each name a manifest's text gives (the last line of a name
// wins). A line that is none of these is counted in *skipped.
struct ManifestEntry {
    std::string name, sha256;
};
std::vector<ManifestEntry> parse_manifest(std::string_view text, int* skipped = nullptr);

struct SealedFile {
    std::string name;  // in data/
    long long size = 0;
    std::string sha256;
    long long sealed = 0;
};
std::string sealed_line(const SealedFile& f);
// The record's lines; one that makes no sense is counted in *skipped.
std::vector<SealedFile> parse_sealed(std::string_view text, int* skipped = nullptr);
