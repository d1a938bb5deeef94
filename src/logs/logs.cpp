// The data directory, daily file names and appending records and packets.
#include "logs/logs.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/core.h"

constexpr time_t WRITE_REPORT_INTERVAL = 60;  // seconds between reports for one file

bool make_data_dir() { return mkdir(DATA_DIR, 0775) == 0 || errno == EEXIST; }

// Whether a failed append of path is to be reported now: not when the same
// file had one reported within the last minute.
static bool report_due(const char* path) {
    time_t now = clock_now();
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

// Reports a failed append (rate-limited). A failure that loses data is a
// failure of the minute: the alert e-mail carries it to the operator.
// Leaves errno as err.
static void report_write_failure(const char* path, int err) {
    mon.storage_failure_count++;
    if (report_due(path)) {
        report("%s: %s\n", path, strerror(err));
        mon.kesfm++;
        if (mon.storage_failures.size() < STORAGE_FAILURES_MAX) {
            char line[TEXT_MAX + 128];
            snprintf(line, sizeof line, "%s: %s", path, strerror(err));
            mon.storage_failures.push_back(line);
        }
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

static int open_append(const char* path) {
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

bool append_bytes(const char* path, const void* data, size_t len) {
    int fd = open_append(path);
    if (fd < 0 && errno == ENOENT) {
        // The directory was removed under us. When it cannot be made again,
        // that is the failure to name, not the file's.
        if (!make_data_dir()) {
            report_write_failure(DATA_DIR, errno);
            return false;
        }
        fd = open_append(path);
    }
    if (fd < 0) {
        report_write_failure(path, errno);
        return false;
    }
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
        report_write_failure(path, err);
        return false;
    }
    if (close(fd) != 0) {
        report_write_failure(path, errno);
        return false;
    }
    return true;
}

void append_record(const char* fmt, ...) {
    char record[RECORD_MAX];
    int head = snprintf(record, sizeof record, "%i,%s ", mon.kesfd, mon.scurdatetim);
    if (head < 0) return;
    va_list ap;
    va_start(ap, fmt);
    int body = vsnprintf(record + head, sizeof record - head, fmt, ap);
    va_end(ap);
    if (body < 0) return;
    size_t len = static_cast<size_t>(head) + static_cast<size_t>(body);
    if (len >= sizeof record) len = sizeof record - 1;  // cut, never over-read
    append_bytes(mon.meskeslog, record, len);
}

void append_packet() { append_bytes(mon.keslog, mon.skest, static_cast<size_t>(mon.pchar2)); }

// Builds "<prefix>yyyymmdd.txt" and its path under ./data/ from a fresh clock
// reading, stores the day digits and creates the file.
static bool name_daily_file(const char* prefix, char* base, char* path, const char* label) {
    readclock();
    snprintf(base, TEXT_MAX + 1, "%s%.4s%02u%.2s.txt", prefix, mon.acqtimline + 20,
             static_cast<unsigned>(mon.month), mon.acqtimline + 8);
    snprintf(path, TEXT_MAX + 1, "%s%s", DATA_DIR, base);
    mon.olddayt = mon.acqtimline[8];
    mon.olddayu = mon.acqtimline[9];
    mon.oldday_key = reading_day_key();
    say("Today's %s file name is: %s\n", label, path);
    return append_bytes(path, "", 0);
}

bool mkkesnm() { return name_daily_file("KES", mon.kes_basefile, mon.keslog, "kest"); }

bool mkmesnm() { return name_daily_file("MESKES", mon.meskes_basefile, mon.meskeslog, "message"); }
