// The archive's state file, written by kestlog-archive and read by it and by
// kestctl: a line a fact, "KEY VALUE" for the counts and times, and
// "file NAME SIZE SHA256 ARCHIVE_NAME RECORDED CONFIRMED MTIME_NS AGED CHANGED GONE"
// for each file (the last four absent in a state of an older version). Also
// the manifest a site sends and the record the archive host keeps.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
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
    {"sent_bytes_total", &ArchiveState::sent_bytes_total},
    {"pending_files", &ArchiveState::pending_files},
    {"pending_bytes", &ArchiveState::pending_bytes},
    {"boottime", &ArchiveState::boottime},
};

bool hex64(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool read_file_line(std::istringstream& in, ArchivedFile* f) {
    in >> f->name >> f->size >> f->sha256 >> f->archive_name >> f->recorded >> f->confirmed;
    if (in.fail() || !archive_file_name(f->name) || !archive_file_name(f->archive_name) ||
        !hex64(f->sha256) || f->size < 0)
        return false;
    int changed = 0, gone = 0;
    if (in >> f->mtime_ns) in >> f->aged >> changed >> gone;  // absent before the grace was aged
    f->changed = changed != 0;
    f->gone = gone != 0;
    return true;
}

// The lines of a text, each without its newline.
template <typename Fn>
void each_line(std::string_view text, Fn fn) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        fn(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
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
            << f.recorded << " " << f.confirmed << " " << f.mtime_ns << " " << f.aged << " "
            << (f.changed ? 1 : 0) << " " << (f.gone ? 1 : 0) << "\n";
    return write_whole_file(path, out.str(), 0640);
}

std::string twin_name(const std::string& name, const std::string& sha256) {
    size_t dot = name.find('.');
    std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    std::string rest = dot == std::string::npos ? "" : name.substr(dot);
    return stem + "." + sha256.substr(0, 8) + rest;
}

std::string utc_text(long long t) {
    char text[64] = "none yet";
    if (t > 0) {
        time_t tt = static_cast<time_t>(t);
        struct tm tm;
        gmtime_r(&tt, &tm);
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    }
    return text;
}

std::string archive_summary(const ArchiveState& s) {
    char line[256];
    int n = snprintf(line, sizeof line, "archive: last success %s, %lld files (%lld bytes) pending",
                     utc_text(s.last_success).c_str(), s.pending_files, s.pending_bytes);
    if (s.oldest_pending_day > 0 && n > 0 && static_cast<size_t>(n) < sizeof line)
        snprintf(line + n, sizeof line - static_cast<size_t>(n), ", the oldest of %04d-%02d-%02d",
                 s.oldest_pending_day / 10000, s.oldest_pending_day / 100 % 100, s.oldest_pending_day % 100);
    return std::string(line) + "\n";
}

bool archive_file_name(std::string_view s) {
    if (s.empty() || s.size() > 64 || s[0] == '.') return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.'))
            return false;
    }
    return true;
}

std::string manifest_text(const ArchiveState& state) {
    std::string text;
    for (const ArchivedFile& e : state.files) text += e.sha256 + "  data/" + e.archive_name + "\n";
    return text;
}

std::vector<ManifestEntry> parse_manifest(std::string_view text, int* skipped) {
    std::vector<ManifestEntry> out;
    int bad = 0;
    each_line(text, [&](std::string_view line) {
        constexpr std::string_view DATA = "  data/";
        std::string sha(line.substr(0, 64));
        if (line.size() > 64 + DATA.size() && hex64(sha) && line.substr(64, DATA.size()) == DATA &&
            archive_file_name(line.substr(64 + DATA.size())))
            out.push_back({std::string(line.substr(64 + DATA.size())), sha});
        else if (!line.empty())
            bad++;
    });
    if (skipped) *skipped = bad;
    return out;
}

std::string sealed_line(const SealedFile& f) {
    return f.name + " " + std::to_string(f.size) + " " + f.sha256 + " " + std::to_string(f.sealed) + "\n";
}

std::vector<SealedFile> parse_sealed(std::string_view text, int* skipped) {
    std::vector<SealedFile> out;
    int bad = 0;
    // Split by hand: an archive's record has a line for each of its files,
    // and the fleet's page reads every site's at every build.
    each_line(text, [&](std::string_view line) {
        std::string_view word[5];
        int n = 0;
        for (size_t i = 0; i < line.size() && n < 5;) {
            size_t end = line.find_first_of(" \t\r", i);
            if (end == std::string_view::npos) end = line.size();
            if (end > i) word[n++] = line.substr(i, end - i);
            i = end + 1;
        }
        SealedFile f;
        auto number = [](std::string_view w, long long* v) {
            auto r = std::from_chars(w.data(), w.data() + w.size(), *v);
            return r.ec == std::errc() && r.ptr == w.data() + w.size();
        };
        if (n == 4 && number(word[1], &f.size) && number(word[3], &f.sealed) && archive_file_name(word[0]) &&
            hex64(std::string(word[2])) && f.size >= 0) {
            f.name = word[0];
            f.sha256 = word[2];
            out.push_back(std::move(f));
        } else if (!line.empty()) {
            bad++;
        }
    });
    if (skipped) *skipped = bad;
    return out;
}
