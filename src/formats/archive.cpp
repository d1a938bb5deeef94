// The archive's state file, written by kestlog-archive and read by it and by
// kestctl: a line a fact, "KEY VALUE" for the counts and times, and
// "file NAME SIZE SHA256 ARCHIVE_NAME RECORDED CONFIRMED" for each file.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "formats/formats.h"

namespace {

constexpr const char* STATE_HEAD = "kestlog-archive state 1";

struct Counter {
    const char* key;
    long long ArchiveState::*field;
};

const Counter COUNTERS[] = {
    {"last_success", &ArchiveState::last_success},
    {"last_attempt", &ArchiveState::last_attempt},
    {"confirmed_total", &ArchiveState::confirmed_total},
    {"mismatches_total", &ArchiveState::mismatches_total},
    {"stored_twice_total", &ArchiveState::stored_twice_total},
    {"deleted_keep_days_total", &ArchiveState::deleted_keep_days_total},
    {"deleted_free_space_total", &ArchiveState::deleted_free_space_total},
    {"pending_files", &ArchiveState::pending_files},
    {"pending_bytes", &ArchiveState::pending_bytes},
};

bool hex64(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// A name of the logger's own files, or one with a sha256's start added.
bool plain_name(const std::string& s) {
    if (s.empty() || s.size() > 64 || s[0] == '.') return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.'))
            return false;
    }
    return true;
}

bool read_file_line(std::istringstream& in, ArchivedFile* f) {
    in >> f->name >> f->size >> f->sha256 >> f->archive_name >> f->recorded >> f->confirmed;
    return !in.fail() && plain_name(f->name) && plain_name(f->archive_name) && hex64(f->sha256) &&
           f->size >= 0;
}

}  // namespace

bool read_archive_state(const char* path, ArchiveState* state, int* skipped) {
    int fd = open_regular(path, O_RDONLY);
    if (fd < 0) return false;
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fd);
    *state = ArchiveState{};
    int bad = 0;
    std::istringstream lines(text);
    std::string line;
    for (bool head = true; std::getline(lines, line); head = false) {
        if (head && line == STATE_HEAD) continue;
        std::istringstream in(line);
        std::string key;
        in >> key;
        if (key == "file") {
            ArchivedFile f;
            if (read_file_line(in, &f))
                state->files.push_back(f);
            else
                bad++;
            continue;
        }
        bool known = false;
        for (const Counter& c : COUNTERS) {
            if (key != c.key) continue;
            in >> state->*c.field;
            known = !in.fail();
        }
        if (key == "oldest_pending_day") known = !(in >> state->oldest_pending_day).fail();
        if (!known) bad++;
    }
    if (skipped) *skipped = bad;
    return true;
}

bool write_archive_state(const char* path, const ArchiveState& state) {
    std::ostringstream out;
    out << STATE_HEAD << "\n";
    for (const Counter& c : COUNTERS) out << c.key << " " << state.*c.field << "\n";
    out << "oldest_pending_day " << state.oldest_pending_day << "\n";
    for (const ArchivedFile& f : state.files)
        out << "file " << f.name << " " << f.size << " " << f.sha256 << " " << f.archive_name << " "
            << f.recorded << " " << f.confirmed << "\n";
    const std::string text = out.str();
    char tmp[4096];
    int fd = make_temporary(path, tmp, sizeof tmp);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0640) == 0 &&
              write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    int err = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp, path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp);
        errno = err;
    }
    return ok;
}

std::string twin_name(const std::string& name, const std::string& sha256) {
    size_t dot = name.find('.');
    std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    std::string rest = dot == std::string::npos ? "" : name.substr(dot);
    return stem + "." + sha256.substr(0, 8) + rest;
}

std::string archive_summary(const ArchiveState& s) {
    char last[64] = "none yet";
    if (s.last_success > 0) {
        time_t t = static_cast<time_t>(s.last_success);
        struct tm tm;
        gmtime_r(&t, &tm);
        strftime(last, sizeof last, "%Y-%m-%d %H:%M:%S UTC", &tm);
    }
    char line[256];
    int n = snprintf(line, sizeof line, "archive: last success %s, %lld files (%lld bytes) pending", last,
                     s.pending_files, s.pending_bytes);
    if (s.oldest_pending_day > 0 && n > 0 && static_cast<size_t>(n) < sizeof line)
        snprintf(line + n, sizeof line - static_cast<size_t>(n), ", the oldest of %04d-%02d-%02d",
                 s.oldest_pending_day / 10000, s.oldest_pending_day / 100 % 100, s.oldest_pending_day % 100);
    return std::string(line) + "\n";
}
