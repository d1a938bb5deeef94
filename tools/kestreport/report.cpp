// Reading a logger's data directory into day summaries: status packets by
// the minute of their stamp, message records by their own time.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#ifdef __x86_64__
#include <immintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "report.h"

namespace {

constexpr unsigned char SOH = 0x01;
constexpr unsigned char STX = 0x02;
constexpr char EOT = 0x04;
constexpr size_t BLOCK = 1 << 20;  // read at once
constexpr size_t STAMP_END = 19;   // a status packet's stamp lies at 7-18
constexpr int SECONDS_A_DAY = 86400;

bool digit(char c) { return c >= '0' && c <= '9'; }

int two(const char* p) { return (p[0] == ' ' ? 0 : (p[0] - '0') * 10) + (p[1] - '0'); }

bool two_digits(const char* p) { return (digit(p[0]) || p[0] == ' ') && digit(p[1]); }

// Days since 1970-01-01 of a yyyymmdd date, and back.
long day_number(int date) {
    struct tm t = {};
    t.tm_year = date / 10000 - 1900;
    t.tm_mon = date / 100 % 100 - 1;
    t.tm_mday = date % 100;
    return static_cast<long>(timegm(&t) / SECONDS_A_DAY);
}

int date_of(long day) {
    time_t s = static_cast<time_t>(day) * SECONDS_A_DAY;
    struct tm t;
    gmtime_r(&s, &t);
    return (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
}

// Calls fn(begin, end) for every piece of [p, end) that ends with sep, and
// for a last piece without one. Many bytes are searched at a time: a day of
// packets is tens of thousands of pieces, and a call of memchr for each
// costs more than the search.
template <class Fn>
void split_rest(const char* start, const char* p, const char* end, char sep, Fn& fn) {
    for (const char* at; (at = static_cast<const char*>(memchr(p, sep, static_cast<size_t>(end - p))));) {
        fn(start, at + 1);
        start = p = at + 1;
    }
    if (start < end) fn(start, end);
}

#ifdef __x86_64__
// 64 bytes a step: two 32-byte compares give one mask of where sep stands.
template <class Fn>
__attribute__((target("avx2"))) void split_avx2(const char* p, const char* end, char sep, Fn& fn) {
    const char* start = p;
    const __m256i needle = _mm256_set1_epi8(sep);
    for (; end - p >= 64; p += 64) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        uint64_t mask =
            static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, needle))) |
            static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, needle))))
                << 32;
        for (; mask != 0; mask &= mask - 1) {
            const char* at = p + __builtin_ctzll(mask);
            fn(start, at + 1);
            start = at + 1;
        }
    }
    split_rest(start, p, end, sep, fn);
}
#endif

template <class Fn>
void split(const char* p, const char* end, char sep, Fn& fn) {
#ifdef __x86_64__
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        split_avx2(p, end, sep, fn);
        return;
    }
#endif
    split_rest(p, p, end, sep, fn);
}

// A plain file is mapped, not copied: reading costs no more than the page
// cache's own work, which is what `wc -l` costs too.
template <class Fn>
bool for_each_piece_mapped(const std::string& path, char sep, Fn& fn, bool* mapped) {
    *mapped = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size == 0) {
        close(fd);
        *mapped = st.st_size == 0;
        return *mapped;
    }
    size_t size = static_cast<size_t>(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return false;
    *mapped = true;
    const char* p = static_cast<const char*>(map);
    split(p, p + size, sep, fn);
    munmap(map, size);
    return true;
}

// Feeds fn every piece of the file that ends with sep (and a last piece
// without one), reading plain and gzip-compressed files alike. A piece longer
// than a block is handed over cut. Returns false when the file cannot be read.
template <class Fn>
bool for_each_piece(const std::string& path, char sep, Fn fn) {
    bool mapped = false;
    if (path.size() < 3 || path.compare(path.size() - 3, 3, ".gz") != 0) {
        if (for_each_piece_mapped(path, sep, fn, &mapped) || mapped) return true;
    }
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "kestreport: %s: %s\n", path.c_str(), strerror(errno ? errno : ENOMEM));
        return false;
    }
    gzbuffer(f, BLOCK);
    std::unique_ptr<char[]> buf(new char[BLOCK]);
    size_t held = 0;
    bool ok = true;
    for (;;) {
        int n = gzread(f, buf.get() + held, static_cast<unsigned>(BLOCK - held));
        if (n < 0) {
            int err;
            fprintf(stderr, "kestreport: %s: %s\n", path.c_str(), gzerror(f, &err));
            ok = false;
            break;
        }
        if (n == 0) break;
        held += static_cast<size_t>(n);
        const char* p = buf.get();
        const char* end = p + held;
        // Whole pieces now; the unfinished last one waits for more.
        const char* last = static_cast<const char*>(memrchr(p, sep, held));
        if (last) {
            split(p, last + 1, sep, fn);
            p = last + 1;
        }
        held = static_cast<size_t>(end - p);
        if (held == BLOCK) {
            fn(p, end);
            held = 0;
        } else {
            memmove(buf.get(), p, held);
        }
    }
    if (held > 0 && ok) fn(buf.get(), buf.get() + held);
    gzclose(f);
    return ok;
}

// The data directory's files, by kind and date; where a plain file and its
// compressed copy both exist, the plain one (the logger may still write it).
struct DataFiles {
    std::map<int, std::string> status;
    std::map<int, std::string> messages;
};

DataFiles list_files(const std::string& dir) {
    DataFiles files;
    DIR* d = opendir(dir.c_str());
    if (!d) {
        fprintf(stderr, "kestreport: %s: %s\n", dir.c_str(), strerror(errno));
        return files;
    }
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        bool messages = name.rfind("MESKES", 0) == 0;
        size_t at = messages ? 6 : name.rfind("KES", 0) == 0 ? 3 : std::string::npos;
        if (at == std::string::npos || name.size() < at + 12) continue;
        std::string rest = name.substr(at + 8);
        bool gz = rest == ".txt.gz";
        if (!gz && rest != ".txt") continue;
        if (!std::all_of(name.begin() + static_cast<long>(at), name.begin() + static_cast<long>(at + 8),
                         digit))
            continue;
        int date = std::stoi(name.substr(at, 8));
        auto& kind = messages ? files.messages : files.status;
        if (gz && kind.count(date)) continue;
        kind[date] = dir + "/" + name;
    }
    closedir(d);
    return files;
}

class Summariser {
   public:
    Summariser(int first, int last) : first_(day_number(first)), last_(day_number(last)) {
        for (long d = first_; d <= last_; d++) days_.emplace_back().date = date_of(d);
    }

    void status_file(int file_date, const std::string& path) {
        DaySummary* file_day = day(day_number(file_date));
        for_each_piece(path, EOT, [&](const char* p, const char* end) { packet(file_day, p, end); });
    }

    void message_file(const std::string& path) {
        for_each_piece(path, '\n', [&](const char* p, const char* end) { record(p, end); });
    }

    std::vector<DaySummary> finish() {
        if (lost_from_ >= 0) mark_lost(lost_from_, last_record_);
        for (DaySummary& d : days_) {
            long end_of_day = (day_number(d.date) + 1) * MINUTES_A_DAY;
            for (const auto& [minute, site] : sites_) {
                if (minute < end_of_day) d.site = site;
            }
        }
        return std::move(days_);
    }

   private:
    DaySummary* day(long number) {
        return number >= first_ && number <= last_ ? &days_[static_cast<size_t>(number - first_)] : nullptr;
    }

    // A status packet counts for the minute of its stamp; a message packet,
    // and a status packet too short for a stamp, for the day of its file.
    void packet(DaySummary* file_day, const char* p, const char* end) {
        size_t len = static_cast<size_t>(end - p);
        if (len < 2 || end[-1] != EOT) return;
        unsigned char start = static_cast<unsigned char>(p[0]);
        if (start == STX) {
            if (file_day) file_day->message_packets++;
            return;
        }
        if (start != SOH) return;
        const char* s = p + 7;  // YYMMDD hh:mm
        // A minute's packets share their stamp: count them where the last went.
        if (len > STAMP_END && last_minute_ && memcmp(s, last_stamp_, sizeof last_stamp_) == 0) {
            last_minute_->status++;
            return;
        }
        if (len <= STAMP_END || !two_digits(s) || !two_digits(s + 2) || !two_digits(s + 4) ||
            !two_digits(s + 7) || !two_digits(s + 10)) {
            if (file_day) file_day->status_without_minute++;
            return;
        }
        int date = 20000000 + two(s) * 10000 + two(s + 2) * 100 + two(s + 4);
        int minute = two(s + 7) * 60 + two(s + 10);
        if (minute >= MINUTES_A_DAY) return;
        if (date != last_date_) {  // most packets share the date of the one before
            last_date_ = date;
            last_day_ = day(day_number(date));
        }
        last_minute_ = last_day_ ? &last_day_->minutes[minute] : nullptr;
        if (last_minute_) {
            memcpy(last_stamp_, s, sizeof last_stamp_);
            last_minute_->status++;
        }
    }

    // "N,DD/MM/YYYY,hh:mm:ss, text": the record's own time chooses its day.
    void record(const char* p, const char* end) {
        const char* comma = static_cast<const char*>(memchr(p, ',', static_cast<size_t>(end - p)));
        if (!comma || end - comma < 22) return;
        const char* t = comma + 1;
        if (!two_digits(t) || t[2] != '/' || !two_digits(t + 3) || t[5] != '/' || !digit(t[6]) ||
            !digit(t[9]) || t[10] != ',' || !two_digits(t + 11) || !two_digits(t + 14) ||
            !two_digits(t + 17) || t[19] != ',')
            return;
        int date = (t[6] - '0') * 10000000 + (t[7] - '0') * 1000000 + (t[8] - '0') * 100000 +
                   (t[9] - '0') * 10000 + two(t + 3) * 100 + two(t);
        int second = two(t + 11) * 3600 + two(t + 14) * 60 + two(t + 17);
        std::string text(t + 21, static_cast<size_t>(end - t - 21));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        long when = day_number(date) * MINUTES_A_DAY + second / 60;
        last_record_ = when;
        what_happened(day(day_number(date)), when, second, text);
    }

    void what_happened(DaySummary* d, long when, int second, const std::string& text) {
        MinuteSummary* m = d ? &d->minutes[second / 60] : nullptr;
        if (text.rfind("kest fault code=", 0) == 0) {
            if (m) m->faults++;
            if (d && text.size() > 21) fault_texts(d, second, text.substr(21));
        } else if (text.rfind("kest packet not between", 0) == 0) {
            if (m) m->framing++;
        } else if (text.rfind("serial port ", 0) == 0 && text.find(" lost: ") != std::string::npos) {
            if (m) m->losses++;
            if (lost_from_ < 0) lost_from_ = when;
            event(d, second, "line lost: " + text.substr(text.find(" lost: ") + 7));
        } else if (text.rfind("serial port ", 0) == 0 && text.size() > 9 &&
                   text.compare(text.size() - 9, 9, " reopened") == 0) {
            line_back(when);
            event(d, second, "line back");
        } else if (text.rfind("starting ", 0) == 0) {
            line_back(when);
            event(d, second, "started (" + text.substr(9) + ")");
        } else if (text == "keyboard quit command") {
            event(d, second, "stopped (quit)");
        } else if (text.rfind("stopped by signal ", 0) == 0) {
            event(d, second, "stopped (" + text.substr(18) + ")");
        } else if (text.rfind("clock stepped by ", 0) == 0) {
            event(d, second, text);
        } else if (text.rfind("comment: <", 0) == 0) {
            std::string comment = text.substr(10);
            if (!comment.empty() && comment.back() == '>') comment.pop_back();
            event(d, second, "comment: " + comment);
        } else if (text.rfind("site=", 0) == 0 && text.size() > 5) {
            size_t end = text.find_first_of(" \t\r", 5);
            sites_.emplace_back(when, text.substr(5, end == std::string::npos ? end : end - 5));
        }
    }

    void fault_texts(DaySummary* d, int second, const std::string& texts) {
        for (size_t at = 0; at < texts.size();) {
            size_t next = texts.find(',', at + 1);
            std::string one =
                texts.substr(at + 1, (next == std::string::npos ? texts.size() : next) - at - 1);
            while (!one.empty() && one.back() == ' ') one.pop_back();  // ",air temp "
            if (!one.empty()) {
                FaultSummary& f = d->faults[one];
                if (f.count++ == 0) f.first = second;
                f.last = second;
            }
            if (next == std::string::npos) break;
            at = next;
        }
    }

    void event(DaySummary* d, int second, const std::string& text) {
        if (d) d->events.push_back({second, text});
    }

    // The line came back (or a new start took it up): the minutes since the
    // loss were without it.
    void line_back(long when) {
        if (lost_from_ < 0) return;
        mark_lost(lost_from_, when);
        lost_from_ = -1;
    }

    void mark_lost(long from, long to) {
        for (long m = std::max(from, first_ * MINUTES_A_DAY); m <= to && m < (last_ + 1) * MINUTES_A_DAY;
             m++) {
            if (DaySummary* d = day(m / MINUTES_A_DAY)) d->minutes[m % MINUTES_A_DAY].lost = true;
        }
    }

    long first_, last_;
    std::vector<DaySummary> days_;
    int last_date_ = -1;
    DaySummary* last_day_ = nullptr;
    char last_stamp_[12] = {};              // the stamp of the packet counted last ...
    MinuteSummary* last_minute_ = nullptr;  // ... and where it counted
    long lost_from_ = -1;                   // minute (since 1970) the line was lost, -1 while up
    long last_record_ = 0;
    std::vector<std::pair<long, std::string>> sites_;  // when each site= was read
};

}  // namespace

int DaySummary::status_packets() const {
    int n = status_without_minute;
    for (const MinuteSummary& m : minutes) n += m.status;
    return n;
}

int DaySummary::minutes_with_data() const {
    int n = 0;
    for (const MinuteSummary& m : minutes) n += m.status > 0;
    return n;
}

std::vector<Gap> gaps_of(const DaySummary& day) {
    std::vector<Gap> gaps;
    for (int m = 0; m < MINUTES_A_DAY;) {
        if (day.minutes[m].status > 0) {
            m++;
            continue;
        }
        int from = m;
        while (m < MINUTES_A_DAY && day.minutes[m].status == 0) m++;
        if (m - from >= GAP_MINUTES_MIN) gaps.push_back({from, m - 1});
    }
    return gaps;
}

std::vector<DaySummary> summarise(const std::string& dir, int first, int last) {
    DataFiles files = list_files(dir);
    Summariser s(first, last);
    // A stamp of 23:59 may lie in the next day's file.
    for (const auto& [date, path] : files.status) {
        if (date >= first && date <= next_date(last)) s.status_file(date, path);
    }
    // A message log keeps the name of the day its logger started, and only
    // the newest gets records (one logger per directory): the newest named on
    // or before the first day, and those named after it.
    auto from = files.messages.upper_bound(first);
    if (from != files.messages.begin()) --from;
    for (auto it = from; it != files.messages.end() && it->first <= last; ++it) s.message_file(it->second);
    return s.finish();
}

int next_date(int date) { return date_of(day_number(date) + 1); }

int date_before(int date) { return date_of(day_number(date) - 1); }

bool parse_date(const std::string& text, int* date) {
    int y, m, d;
    char tail;
    if (sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3 || m < 1 || m > 12 || d < 1 || d > 31)
        return false;
    *date = y * 10000 + m * 100 + d;
    return date_of(day_number(*date)) == *date;  // no 31 June
}

std::string date_text(int date) {
    char text[16];
    snprintf(text, sizeof text, "%04d-%02d-%02d", date / 10000, date / 100 % 100, date % 100);
    return text;
}
