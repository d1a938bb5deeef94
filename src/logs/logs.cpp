// The data directory, daily file names and appending records and packets.
#include "logs/logs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/core.h"
#include "formats/formats.h"

constexpr time_t WRITE_REPORT_INTERVAL = 60;  // seconds between reports for one file

bool make_data_dir() {
    if (mkdir(DATA_DIR, 0775) != 0 && errno != EEXIST) return false;
    // Whoever could put a link or a folder of their own here could have the
    // logger write into another instance's files, or keep what it writes.
    struct stat st;
    std::string dir(DATA_DIR, strlen(DATA_DIR) - 1);  // without its '/': the link itself
    if (lstat(dir.c_str(), &st) != 0) return false;
    errno = S_ISLNK(st.st_mode)      ? ERR_SYMLINK
            : !S_ISDIR(st.st_mode)   ? ENOTDIR
            : st.st_uid != geteuid() ? ERR_NOT_OWNED
                                     : 0;
    return errno == 0;
}

// Whether a failed append of path is to be reported now: not when the same
// file had one reported within the last minute.
static bool report_due(const char* path) {
    time_t now = mon.tstart;
    WriteReport* slot = nullptr;
    for (WriteReport& r : mon.write_reports) {
        if (strcmp(r.path, path) == 0) {
            slot = &r;
            break;
        }
    }
    if (slot && now - slot->when < WRITE_REPORT_INTERVAL && now >= slot->when) return false;
    if (!slot) {
        slot = &mon.write_reports[0];
        for (WriteReport& r : mon.write_reports) {
            if (r.when < slot->when) slot = &r;
        }
        snprintf(slot->path, sizeof slot->path, "%s", path);
    }
    slot->when = now;
    return true;
}

// A refused file, as standard error names it, for the alert's body.
static void note_storage_cause(const char* path, int err) {
    char line[TEXT_MAX + 128];
    snprintf(line, sizeof line, "%s: %s", path, file_error(err));
    note_alert_cause(line);
}

// Reports a failed write (rate-limited) and keeps it for the alert body.
// When counted, a report is a failure of the minute. Leaves errno as err.
static void report_write_failure(const char* path, int err, bool counted) {
    mon.storage_failure_count++;
    if (report_due(path)) {
        report("%s: %s\n", path, file_error(err));
        if (counted) mon.kesfm++;
        note_storage_cause(path, err);
    }
    errno = err;
}

// Writes all of data, surviving interrupted and short writes. Returns the
// number of bytes written; errno tells why when that is less than len.
static size_t write_all(int fd, const char* data, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) {
            errno = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

// Opens a file to append, making it when it is missing: a new entry in
// ./data/, which is then synced with the files at the end of the pass.
// Only a regular file is appended to, never what a link points at.
static int open_append(const char* path) {
    int fd = open_regular(path, O_WRONLY | O_APPEND);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = open_regular(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (fd >= 0) mon.data_dir_changed = true;
    return fd;
}

static int repair_pending(const char* path);

// Remembers a file appended to in this pass, for sync_data_files.
static void note_appended(const char* path) {
    for (int i = 0; i < mon.synced_count; i++) {
        if (strcmp(mon.synced_files[i], path) == 0) return;
    }
    if (mon.synced_count == SYNCED_FILES_MAX) sync_data_files();
    snprintf(mon.synced_files[mon.synced_count++], TEXT_MAX + 1, "%s", path);
}

// Appends len bytes to path in one piece, making ./data/ again when it is
// gone. Returns 0, or the error, with *where naming what failed.
static int write_whole(const char* path, const void* data, size_t len, const char** where = nullptr) {
    if (where) *where = path;
    // Nothing goes after a torn tail: it would glue to it. When the file
    // itself is refused (another hard link), that is the reason to name.
    if (int err = repair_pending(path)) return err;
    int fd = open_append(path);
    if (fd < 0 && errno == ENOENT) {
        // The directory was removed under us. When it cannot be made again,
        // that is the failure to name, not the file's.
        if (!make_data_dir()) {
            if (where) *where = DATA_DIR;
            return errno;
        }
        fd = open_append(path);
    }
    if (fd < 0) return errno;
    size_t done = write_all(fd, static_cast<const char*>(data), len);
    if (done < len) {
        int err = errno;
        // Cut back a partial record or packet: a later reader must never
        // see half of one glued to the next. (Asked only on failure: one
        // call fewer for every packet stored.)
        struct stat st;
        if (done > 0 && fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(done))
            (void)ftruncate(fd, st.st_size - static_cast<off_t>(done));
        close(fd);
        return err;
    }
    return close(fd) == 0 ? 0 : errno;
}

bool append_bytes(const char* path, const void* data, size_t len, bool counted) {
    const char* where;
    int err = write_whole(path, data, len, &where);
    if (err != 0) {
        report_write_failure(where, err, counted);
        return false;
    }
    if (len > 0) note_appended(path);
    return true;
}

void sync_data_files() {
    for (int i = 0; i < mon.synced_count; i++) {
        const char* path = mon.synced_files[i];
        // A file moved away since took its bytes with it: nothing here to flush.
        int fd = open_regular(path, O_RDONLY);
        if (fd < 0) continue;
        if (fdatasync(fd) != 0) report_write_failure(path, errno, true);
        close(fd);
    }
    mon.synced_count = 0;
    if (!mon.data_dir_changed) return;
    mon.data_dir_changed = false;
    int fd = open(DATA_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    if (fsync(fd) != 0) report_write_failure(DATA_DIR, errno, true);
    close(fd);
}

// Formats "<kesfd>,<timestamp> <text>" into record; returns its length. Text
// from outside in it (a device, a fault word, a parameter line) never
// drives the terminal that shows the log.
static size_t format_record(char (&record)[RECORD_MAX], const char* fmt, va_list ap) {
    int head = record_head(record, sizeof record, mon.kesfd, mon.scurdatetim);
    if (head < 0) return 0;
    int body = vsnprintf(record + head, sizeof record - head, fmt, ap);
    if (body < 0) return 0;
    size_t len = static_cast<size_t>(head) + static_cast<size_t>(body);
    len = len < sizeof record ? len : sizeof record - 1;  // cut, never over-read
    std::string_view text(record + head, len - static_cast<size_t>(head));
    if (!needs_showing(text)) return len;
    std::string shown = shown_as_text(text);
    size_t room = sizeof record - 1 - static_cast<size_t>(head);
    if (shown.size() > room) {
        bool line_ended = text.ends_with('\n');
        shown.resize(room);
        if (line_ended) shown.back() = '\n';  // cut, but never glued to the next record
    }
    memcpy(record + head, shown.data(), shown.size());
    record[head + shown.size()] = '\0';
    return static_cast<size_t>(head) + shown.size();
}

static size_t make_record(char (&record)[RECORD_MAX], const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
static size_t make_record(char (&record)[RECORD_MAX], const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    size_t len = format_record(record, fmt, ap);
    va_end(ap);
    return len;
}

// A record the message log refused waits, in order, behind those it refused
// before; once they fill UNWRITTEN_RECORDS_MAX it goes to standard error,
// the journal, instead.
static void keep_unwritten(const char* record, size_t len) {
    if (mon.unwritten_records.size() + len <= UNWRITTEN_RECORDS_MAX)
        mon.unwritten_records.append(record, len);
    else
        report("%s: not written: %.*s", mon.meskeslog, static_cast<int>(len), record);
}

// Appends a formatted record, behind those the message log refused before.
static bool append_formatted(const char* record, size_t len) {
    std::string all = mon.unwritten_records;
    all.append(record, len);
    if (append_bytes(mon.meskeslog, all.data(), all.size())) {
        mon.unwritten_records.clear();
        return true;
    }
    keep_unwritten(record, len);
    return false;
}

void write_unwritten_records() {
    if (mon.unwritten_records.empty()) return;
    if (append_bytes(mon.meskeslog, mon.unwritten_records.data(), mon.unwritten_records.size()))
        mon.unwritten_records.clear();
}

bool append_record(const char* fmt, ...) {
    char record[RECORD_MAX];
    va_list ap;
    va_start(ap, fmt);
    size_t len = format_record(record, fmt, ap);
    va_end(ap);
    return len > 0 && append_formatted(record, len);
}

// hh:mm:ss of the timestamp text.
static void time_of_day(char (&out)[HMS_LEN + 1]) {
    constexpr int HMS_POS = 11;  // in DD/MM/YYYY,hh:mm:ss,
    memcpy(out, mon.scurdatetim + HMS_POS, HMS_LEN);
    out[HMS_LEN] = '\0';
}

// What makes two causes one line of the alert: their kind, and for a fault
// its code; causes of any other kind gather only when their texts agree.
static std::string cause_key(RecordKind kind, std::string_view text,
                             const std::vector<std::string_view>& fields) {
    switch (kind) {
        case RecordKind::NoGoodPackets:
        case RecordKind::Framing:
            return record_kind_name(kind);
        case RecordKind::Fault:
            return std::string("fault ") + std::string(fields[0]);
        default:
            return std::string(text);
    }
}

// The journal hears of the first failure of each kind in a clock hour; the
// kinds left out have lines of their own there (the line lost, storage,
// the parameter file, the stop).
static void tell_journal(RecordKind kind, std::string_view text) {
    static const RecordKind told[] = {RecordKind::NoGoodPackets, RecordKind::Framing,
                                      RecordKind::Fault,         RecordKind::UncleanEnd,
                                      RecordKind::TornPacket,    RecordKind::TornRecord};
    if (std::find(std::begin(told), std::end(told), kind) == std::end(told)) return;
    unsigned long long bit = 1ULL << static_cast<int>(kind);
    if (mon.journal_told & bit) return;
    mon.journal_told |= bit;
    report("%.*s (the first of its kind this hour)\n", static_cast<int>(text.size()), text.data());
}

void note_alert_cause(std::string_view line) {
    while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    // A refusal reported and counted in the same moment is named once.
    if (line == mon.last_alert_cause) return;
    mon.last_alert_cause = line;
    std::string_view text = line;
    char when[HMS_LEN + 1];
    RecordHead head;
    if (parse_record_head(line, &head)) {
        text = line.substr(head.text);
        int second = head.second % (24 * 3600);
        char hms[16];
        snprintf(hms, sizeof hms, "%02d:%02d:%02d", second / 3600, second / 60 % 60, second % 60);
        memcpy(when, hms, sizeof when - 1);
        when[HMS_LEN] = '\0';
    } else {
        time_of_day(when);  // a refused file, as standard error names it: now
    }
    std::vector<std::string_view> fields;
    RecordKind kind = recognise_record(text, &fields);
    tell_journal(kind, text);
    std::string key = cause_key(kind, text, fields);
    for (AlertCause& c : mon.alert_causes) {
        if (c.key != key) continue;
        c.count++;
        memcpy(c.last, when, sizeof c.last);
        return;
    }
    if (mon.alert_causes.size() >= ALERT_CAUSES_MAX) {
        mon.alert_causes_more++;
        return;
    }
    AlertCause c;
    c.key = key;
    c.text = text;
    c.kind = static_cast<int>(kind);
    c.count = 1;
    memcpy(c.first, when, sizeof c.first);
    memcpy(c.last, when, sizeof c.last);
    mon.alert_causes.push_back(c);
}

// One cause as the alert shows it: when it came, or for many, how many and
// from when to when (hh:mm).
static std::string cause_line(const AlertCause& c) {
    if (c.count == 1)
        return (c.text.ends_with('.') ? c.text.substr(0, c.text.size() - 1) : c.text) + ", at " + c.first;
    const std::string n = std::to_string(c.count);
    std::string what;
    switch (static_cast<RecordKind>(c.kind)) {
        case RecordKind::NoGoodPackets:
            what = "no good kest packets in " + n + " minutes";
            break;
        case RecordKind::Framing:
            what = n + " kest packets not between 0x01/2 and 0x04";
            break;
        case RecordKind::Fault:
            what = c.text + " in " + n + " packets";
            break;
        default:
            what = c.text + " (" + n + " times)";
            break;
    }
    return what + ", " + std::string(c.first, 5) + " to " + std::string(c.last, 5);
}

std::string take_alert_causes() {
    std::string block;
    for (const AlertCause& c : mon.alert_causes) block += "  " + cause_line(c) + "\n";
    if (mon.alert_causes_more > 0)
        block += "  \u2026 and " + std::to_string(mon.alert_causes_more) + " more\n";
    mon.alert_causes.clear();
    mon.alert_causes_more = 0;
    mon.last_alert_cause.clear();
    return block;
}

void record_failure(Shown shown, const char* fmt, ...) {
    mon.kesfm++;
    mon.kesfd++;
    char text[RECORD_MAX];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    char cause[RECORD_MAX];
    make_record(cause, "%s", text);
    note_alert_cause(cause);
    switch (shown) {
        case Shown::Record: {
            char head[RECORD_MAX];
            record_head(head, sizeof head, mon.kesfd, mon.scurdatetim);
            say("%s%s", head, text);
            break;
        }
        case Shown::Unstamped:
            say("%i,%s", mon.kesfd, text);
            break;
        case Shown::Text:
            say("%s", text);
            break;
        case Shown::Nothing:
            break;
    }
    append_record("%s", text);
}

// A packet that could not be stored. The minute that loses one counts one
// failure, however many it loses and whether or not the report was due.
static void count_lost_packet(int err) {
    mon.packets_lost++;
    mon.today_lost++;
    time_of_day(mon.today_lost_last);
    if (!mon.lost_this_minute) {
        mon.kesfm++;
        // Named for the alert also when standard error was not due to hear.
        note_storage_cause(mon.keslog, err);
    }
    mon.lost_this_minute = true;
    if (mon.lost_pending++ == 0) {
        time_of_day(mon.lost_first);
        snprintf(mon.lost_reason, sizeof mon.lost_reason, "%s", file_error(err));
    }
    time_of_day(mon.lost_last);
}

void record_lost_packets() {
    if (mon.lost_pending == 0) return;
    mon.kesfd++;
    char record[RECORD_MAX];
    size_t len =
        make_record(record, REC_NOT_STORED, mon.lost_pending, mon.lost_first, mon.lost_last, mon.lost_reason);
    note_alert_cause(std::string_view(record, len));
    mon.lost_pending = 0;
    // The account of what was lost must not be lost in turn: when the
    // message log (on the full disk, say) refuses it, it waits for the log
    // and is told to the journal at once, before a power cut can take it.
    if (!append_formatted(record, len))
        report("%s: not written yet: %.*s", mon.meskeslog, static_cast<int>(len), record);
}

bool append_packets(const char* data, const unsigned* sizes, size_t count, std::vector<bool>* stored) {
    size_t total = 0;
    for (size_t i = 0; i < count; i++) total += sizes[i];
    // One open, write and close for the packets taken together; a failure
    // is met again, and reported, packet by packet.
    if (count > 1 && write_whole(mon.keslog, data, total) == 0) {
        note_appended(mon.keslog);
        record_lost_packets();
        return true;
    }
    stored->assign(count, false);
    bool all = true;
    for (size_t i = 0; i < count; data += sizes[i++]) {
        (*stored)[i] = append_bytes(mon.keslog, data, sizes[i], false);
        if ((*stored)[i])
            record_lost_packets();
        else
            count_lost_packet(errno);
        all = all && (*stored)[i];
    }
    return all;
}

// Flushes ./data/ itself: a file made in it survives a power cut only then.
static bool sync_data_dir() {
    int fd = open(DATA_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    int err = errno;
    close(fd);
    errno = err;
    return ok;
}

// The plan of a tail's move, kept beside its .torn file while the move runs
// ("PATH.torn.moving": the .torn file's size before it, and where the tail
// begins and ends), so that a move a crash cut short is finished, or undone
// and done again, by the next try: each torn byte lands in .torn once.
struct TailMove {
    long long torn_before = 0, from = 0, to = 0;
};
constexpr const char* MOVE_PLAN_SUFFIX = ".moving";

static std::string plan_of(const char* torn) { return std::string(torn) + MOVE_PLAN_SUFFIX; }

static bool read_plan(const char* torn, TailMove* m) {
    int fd = open_regular(plan_of(torn).c_str(), O_RDONLY);
    if (fd < 0) return false;
    char text[96] = "";
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return false;
    text[n] = '\0';
    return sscanf(text, "%lld %lld %lld", &m->torn_before, &m->from, &m->to) == 3 && m->torn_before >= 0 &&
           m->from >= 0 && m->to > m->from;
}

// Writes the plan whole (a temporary file, synced, renamed, the directory
// synced): a crash leaves the old plan or the new, never half of one.
static int write_plan(const char* torn, const TailMove& m) {
    char tmp[TEXT_MAX + 32];
    int fd = make_temporary(plan_of(torn).c_str(), tmp, sizeof tmp);
    if (fd < 0) return errno;
    char text[96];
    int n = snprintf(text, sizeof text, "%lld %lld %lld\n", m.torn_before, m.from, m.to);
    int err = write(fd, text, static_cast<size_t>(n)) == n && fsync(fd) == 0 ? 0 : errno ? errno : EIO;
    close(fd);
    if (err == 0 && rename(tmp, plan_of(torn).c_str()) != 0) err = errno;
    if (err == 0 && !sync_data_dir()) err = errno;
    if (err != 0) unlink(tmp);
    return err;
}

// Cuts the .torn file back to its size before a move, undoing a copy that
// did not finish; never lengthens it.
static void undo_copy(const char* torn, long long before) {
    int out = open_regular(torn, O_WRONLY);
    if (out < 0) return;
    struct stat st;
    if (fstat(out, &st) == 0 && st.st_size > before && ftruncate(out, before) == 0) (void)fsync(out);
    close(out);
}

// Appends bytes from..to of fd to the file torn, syncs that copy (and the
// directory entry of a new one), and only then cuts them from fd: a crash in
// between leaves them in both, never in neither, and the plan written first
// tells the next try which. A copy that fails is cut back, so that a later
// try does not copy them twice. Returns 0, or the error, with *failed naming
// the file.
static int move_tail(int fd, const char* path, off_t from, off_t to, const char* torn, const char** failed) {
    *failed = torn;
    int out = open_regular(torn, O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (out < 0) return errno;
    struct stat st;
    off_t before = fstat(out, &st) == 0 ? st.st_size : 0;
    int err = write_plan(torn, TailMove{before, from, to});
    static char buf[65536];
    for (off_t at = from; err == 0 && at < to;) {
        size_t n = static_cast<size_t>(std::min<off_t>(to - at, sizeof buf));
        ssize_t got = pread(fd, buf, n, at);
        if (got <= 0) {
            err = got < 0 ? errno : EIO;
            *failed = path;
        } else if (write_all(out, buf, static_cast<size_t>(got)) != static_cast<size_t>(got)) {
            err = errno;
        }
        at += got > 0 ? got : 0;
    }
    if (err == 0 && fsync(out) != 0) err = errno;
    if (err == 0 && before == 0 && !sync_data_dir()) err = errno;
    if (err != 0) {
        (void)ftruncate(out, before);
        unlink(plan_of(torn).c_str());
    }
    close(out);
    if (err != 0) return err;
    *failed = path;
    if (ftruncate(fd, from) != 0 || fsync(fd) != 0) return errno;
    unlink(plan_of(torn).c_str());
    return 0;
}

// A move that a crash cut short: done again when the file still ends in its
// tail (its copy undone first), finished when the file was already cut
// (only the plan was left), and dropped when the file changed since. Returns
// the bytes it moved, 0 when there was no such move (or it was dropped), -1
// on failure.
static long finish_move(int fd, const char* path, off_t size, const char* torn, int* err,
                        const char** failed) {
    TailMove m;
    if (!read_plan(torn, &m)) return 0;
    if (size == m.to) {
        undo_copy(torn, m.torn_before);
        *err = move_tail(fd, path, static_cast<off_t>(m.from), static_cast<off_t>(m.to), torn, failed);
        return *err == 0 ? static_cast<long>(m.to - m.from) : -1;
    }
    if (size != m.from) undo_copy(torn, m.torn_before);  // the tail is still in the file: mended afresh
    unlink(plan_of(torn).c_str());
    return size == m.from ? static_cast<long>(m.to - m.from) : 0;
}

// Mends one file, as repair_torn_tail says. Errors are returned with the
// file that failed in *failed, not reported.
static long mend(const char* path, char end, const char* torn, int* err, const char** failed) {
    *failed = path;
    int fd = open_regular(path, O_RDWR);
    if (fd < 0) {
        *err = errno;
        return *err == ENOENT ? 0 : -1;  // not made yet: nothing to mend
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *err = errno;
        close(fd);
        return -1;
    }
    if (long finished = finish_move(fd, path, st.st_size, torn, err, failed)) {
        close(fd);
        return finished;
    }
    // Back from the end to the last finished packet or record.
    constexpr size_t CHUNK = 65536;
    static char buf[CHUNK];
    off_t keep = st.st_size;
    bool found = keep == 0;
    while (!found && keep > 0) {
        size_t n = static_cast<size_t>(std::min<off_t>(keep, CHUNK));
        if (pread(fd, buf, n, keep - static_cast<off_t>(n)) != static_cast<ssize_t>(n)) {
            *err = errno ? errno : EIO;
            close(fd);
            return -1;
        }
        const char* last = static_cast<const char*>(memrchr(buf, end, n));
        keep -= static_cast<off_t>(n);
        if (last) {
            keep += (last - buf) + 1;
            found = true;
        }
    }
    long moved = static_cast<long>(st.st_size - keep);
    if (moved > 0 && (*err = move_tail(fd, path, keep, st.st_size, torn, failed)) != 0) moved = -1;
    close(fd);
    return moved;
}

long repair_torn_tail(const char* path, char end, char* torn, size_t torn_size) {
    snprintf(torn, torn_size, "%s.torn", path);
    int err = 0;
    const char* failed = path;
    long moved = mend(path, end, torn, &err, &failed);
    if (moved < 0) report("%s: %s\n", failed, file_error(err));
    return moved;
}

// Records a mended file as the failure it is.
static void record_torn(const TornRepair& r) {
    record_failure(Shown::Record, r.end == static_cast<char>(EOT) ? REC_TORN_PACKET : REC_TORN_RECORD, r.path,
                   r.moved, r.torn);
}

// Whether path still waits for its torn tail to be moved aside: tried
// again now, quietly (its appends report the failure), and recorded once
// mended. Returns 0, or why it still waits: the file's own refusal, or
// ERR_TORN_TAIL when the copy's file is at fault (reported on its own).
static int repair_pending(const char* path) {
    for (size_t i = 0; i < mon.torn_pending.size(); i++) {
        TornRepair r = mon.torn_pending[i];
        if (strcmp(r.path, path) != 0) continue;
        int err = 0;
        const char* failed;
        r.moved = mend(r.path, r.end, r.torn, &err, &failed);
        if (r.moved < 0) return err != 0 && failed == r.path ? err : ERR_TORN_TAIL;
        mon.torn_pending.erase(mon.torn_pending.begin() + static_cast<long>(i));
        if (r.moved > 0) record_torn(r);
        return 0;
    }
    return 0;
}

// The data file of this kind last written, by time, not by name (a dead
// clock battery names files after 2000-01-01), other than `except`; "" when
// there is none.
static std::string newest_other(DailyFile kind, const char* except) {
    std::string newest;
    struct timespec newest_time = {};
    DIR* dir = opendir(DATA_DIR);
    if (!dir) return newest;
    while (struct dirent* e = readdir(dir)) {
        DailyFile found;
        int day;
        bool compressed;
        if (!parse_daily_file_name(e->d_name, &found, &day, &compressed) || found != kind || compressed)
            continue;
        std::string path = std::string(DATA_DIR) + e->d_name;
        struct stat st;
        if (path == except || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (newest.empty() || st.st_mtim.tv_sec > newest_time.tv_sec ||
            (st.st_mtim.tv_sec == newest_time.tv_sec && st.st_mtim.tv_nsec > newest_time.tv_nsec)) {
            newest = path;
            newest_time = st.st_mtim;
        }
    }
    closedir(dir);
    return newest;
}

std::vector<TornRepair> repair_torn_files() {
    // Today's files, and those a run that passed a midnight (or has a
    // clock of another day) was writing when it ended.
    const std::string status = newest_other(DailyFile::Status, mon.keslog);
    const std::string messages = newest_other(DailyFile::Messages, mon.meskeslog);
    const struct {
        const char* path;
        char end;
    } files[] = {{mon.keslog, static_cast<char>(EOT)},
                 {mon.meskeslog, '\n'},
                 {status.c_str(), static_cast<char>(EOT)},
                 {messages.c_str(), '\n'}};
    std::vector<TornRepair> done;
    for (const auto& f : files) {
        if (f.path[0] == '\0') continue;
        TornRepair r;
        snprintf(r.path, sizeof r.path, "%s", f.path);
        r.end = f.end;
        r.moved = repair_torn_tail(r.path, r.end, r.torn, sizeof r.torn);
        if (r.moved < 0) mon.torn_pending.push_back(r);
        if (r.moved != 0) done.push_back(r);
    }
    return done;
}

void record_torn_files(const std::vector<TornRepair>& repairs) {
    for (const TornRepair& r : repairs) {
        if (r.moved > 0) record_torn(r);
    }
}

// Names a daily file, "<prefix>yyyymmdd.txt", and its path under ./data/
// from the latest clock reading, stores the day and creates the file.
static bool name_daily_file(DailyFile kind, char* base, char* path, const char* label) {
    daily_file_name(base, TEXT_MAX + 1, kind, static_cast<int>(reading_day_key()));
    snprintf(path, TEXT_MAX + 1, "%s%s", DATA_DIR, base);
    mon.olddayt = mon.acqtimline[8];
    mon.olddayu = mon.acqtimline[9];
    mon.oldday_key = reading_day_key();
    say("Today's %s file name is: %s\n", label, path);
    return append_bytes(path, "", 0);
}

bool mkkesnm() { return name_daily_file(DailyFile::Status, mon.kes_basefile, mon.keslog, "kest"); }

bool mkmesnm() { return name_daily_file(DailyFile::Messages, mon.meskes_basefile, mon.meskeslog, "message"); }
