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
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

#include "formats/formats.h"
#include "report.h"

namespace {

constexpr size_t BLOCK = 1 << 20;  // read at once
constexpr int SECONDS_A_DAY = 86400;
constexpr size_t RUN_PACKET_MAX = 256;  // longer packets are counted one by one

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

// Where the last start byte (SOH or STX) stands in [from, to), or nullptr.
const char* last_start_in(const char* from, const char* to) {
    for (const char* q = to; q > from; q--) {
        if (q[-1] == static_cast<char>(SOH) || q[-1] == static_cast<char>(STX)) return q - 1;
    }
    return nullptr;
}

// Calls fn(begin, end, start) for every piece of [p, end) that ends with
// sep, and for a last piece without one; start is where the piece's last
// start byte stands (nullptr for none), for packets. Many bytes are searched
// at a time: a day of packets is tens of thousands of pieces, and a call of
// memchr for each costs more than the search.
template <class Fn>
void split_rest(const char* start, const char* p, const char* end, char sep, bool starts, Fn& fn) {
    for (const char* at; (at = static_cast<const char*>(memchr(p, sep, static_cast<size_t>(end - p))));) {
        fn(start, at + 1, starts ? last_start_in(start, at) : nullptr);
        start = p = at + 1;
    }
    if (start < end) fn(start, end, starts ? last_start_in(start, end) : nullptr);
}

#ifdef __x86_64__
// Where n stands in the 64 bytes a and b hold, a bit a byte.
__attribute__((target("avx2"))) inline uint64_t mask_of(__m256i a, __m256i b, __m256i n) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, n))) |
           static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, n)))) << 32;
}

// Where either m or n stands: one mask for both, compared before it is made.
__attribute__((target("avx2"))) inline uint64_t either_of(__m256i a, __m256i b, __m256i m, __m256i n) {
    __m256i in_a = _mm256_or_si256(_mm256_cmpeq_epi8(a, m), _mm256_cmpeq_epi8(a, n));
    __m256i in_b = _mm256_or_si256(_mm256_cmpeq_epi8(b, m), _mm256_cmpeq_epi8(b, n));
    return static_cast<uint32_t>(_mm256_movemask_epi8(in_a)) |
           static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(in_b))) << 32;
}

// 64 bytes a step: 32-byte compares give one mask of where sep stands, and
// for packets one of where start bytes stand, so that a torn packet glued
// to the next is found at no cost of its own.
template <class Fn>
__attribute__((target("avx2"))) void split_avx2(const char* p, const char* end, char sep, bool starts,
                                                Fn& fn) {
    const char* start = p;
    const char* last_start = nullptr;  // before this block
    const __m256i needle = _mm256_set1_epi8(sep);
    const __m256i soh = _mm256_set1_epi8(static_cast<char>(SOH));
    const __m256i stx = _mm256_set1_epi8(static_cast<char>(STX));
    while (end - p >= 64) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        uint64_t mask = mask_of(a, b, needle);
        uint64_t start_mask = starts ? either_of(a, b, soh, stx) : 0;
        bool taken = false;
        for (; mask != 0; mask &= mask - 1) {
            int i = __builtin_ctzll(mask);
            const char* at = p + i;
            // The start bytes up to i, shifted so that i is the top bit.
            uint64_t before = start_mask << (63 - i);
            const char* ls = before ? at - __builtin_clzll(before) : last_start;
            fn(start, at + 1, ls && ls >= start ? ls : nullptr);
            start = at + 1;
            // A reader that can take what follows at once says how far it took.
            if constexpr (requires { fn.run(start, end); }) {
                const char* next = fn.run(start, end);
                taken = next != start;
                if (taken) {
                    start = next;
                    break;
                }
            }
        }
        if (taken) {  // the blocks go on from where the reader stopped
            p = start;
            continue;
        }
        if (start_mask) last_start = p + 63 - __builtin_clzll(start_mask);
        p += 64;
    }
    // The rest, fewer than 64 bytes: a start byte before them may still be
    // the piece's, so it is looked for from the piece's own beginning.
    split_rest(start, p, end, sep, starts, fn);
}

// How many whole packets of len bytes, stamped with stamp, follow each
// other from q on: SOH first, EOT last and no framing byte between. Read 32
// bytes at a time, never past limit.
__attribute__((target("avx2"))) long same_packets_avx2(const char* q, const char* limit, size_t len,
                                                       const char stamp[PACKET_STAMP_LEN]) {
    constexpr size_t CHUNK = 32;
    size_t chunks = (len + CHUNK - 1) / CHUNK;
    uint32_t between[RUN_PACKET_MAX / CHUNK] = {};  // the bits of bytes 1 to len - 2, by chunk
    for (size_t k = 0; k < chunks; k++) {
        size_t from = std::max(k * CHUNK, size_t{1}) - k * CHUNK;
        size_t to = std::min(k * CHUNK + CHUNK, len - 1) - k * CHUNK;
        if (from < to) between[k] = (to - from == CHUNK ? ~0u : (1u << (to - from)) - 1) << from;
    }
    const __m256i soh = _mm256_set1_epi8(static_cast<char>(SOH));
    const __m256i stx = _mm256_set1_epi8(static_cast<char>(STX));
    const __m256i eot = _mm256_set1_epi8(static_cast<char>(EOT));
    long n = 0;
    for (; static_cast<size_t>(limit - q) >= chunks * CHUNK; q += len, n++) {
        uint32_t framing = 0;
        for (size_t k = 0; k < chunks; k++) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + k * CHUNK));
            __m256i f = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, soh), _mm256_cmpeq_epi8(v, stx)),
                                        _mm256_cmpeq_epi8(v, eot));
            framing |= static_cast<uint32_t>(_mm256_movemask_epi8(f)) & between[k];
        }
        if (framing || q[0] != static_cast<char>(SOH) || q[len - 1] != static_cast<char>(EOT) ||
            memcmp(q + STAMP_POS, stamp, PACKET_STAMP_LEN) != 0)
            break;
    }
    return n;
}
#endif

template <class Fn>
void split(const char* p, const char* end, char sep, bool starts, Fn& fn) {
#ifdef __x86_64__
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        split_avx2(p, end, sep, starts, fn);
        return;
    }
#endif
    split_rest(p, p, end, sep, starts, fn);
}

// A file that could not be read whole: named, with how much was read.
void read_failure(const std::string& path, long bytes, const char* why) {
    fprintf(stderr, "%s: read %ld bytes: %s\n", path.c_str(), bytes, why);
}

// A plain file is mapped, not copied: reading costs no more than the page
// cache's own work, which is what `wc -l` costs too.
template <class Fn>
bool for_each_piece_mapped(const std::string& path, char sep, bool starts, Fn& fn) {
    int fd = open_regular(path.c_str(), O_RDONLY);
    if (fd < 0) {
        read_failure(path, 0, file_error(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        read_failure(path, 0, strerror(errno));
        close(fd);
        return false;
    }
    if (st.st_size == 0) {
        close(fd);
        return true;
    }
    size_t size = static_cast<size_t>(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    int err = errno;
    close(fd);
    if (map == MAP_FAILED) {
        read_failure(path, 0, strerror(err));
        return false;
    }
    const char* p = static_cast<const char*>(map);
    split(p, p + size, sep, starts, fn);
    munmap(map, size);
    return true;
}

// Feeds fn every piece of the file that ends with sep (and a last piece
// without one), reading plain and gzip-compressed files alike. A piece longer
// than a block is handed over cut. Returns false, after saying so, when the
// file cannot be read whole (a truncated .gz gives what it held).
template <class Fn>
bool for_each_piece(const std::string& path, char sep, bool starts, Fn fn) {
    if (!path.ends_with(COMPRESSED_SUFFIX)) return for_each_piece_mapped(path, sep, starts, fn);
    int fd = open_regular(path.c_str(), O_RDONLY);
    gzFile f = fd >= 0 ? gzdopen(fd, "rb") : nullptr;
    if (!f) {
        read_failure(path, 0, fd < 0 ? file_error(errno) : strerror(errno ? errno : ENOMEM));
        if (fd >= 0) close(fd);
        return false;
    }
    // zlib's own small buffers: it inflates straight into the block, so a
    // larger one (3 MB a file) bought nothing.
    std::unique_ptr<char[]> buf(new char[BLOCK]);
    size_t held = 0;
    long total = 0;
    for (;;) {
        int n = gzread(f, buf.get() + held, static_cast<unsigned>(BLOCK - held));
        if (n <= 0) break;
        total += n;
        held += static_cast<size_t>(n);
        const char* p = buf.get();
        const char* end = p + held;
        // Whole pieces now; the unfinished last one waits for more.
        const char* last = static_cast<const char*>(memrchr(p, sep, held));
        if (last) {
            split(p, last + 1, sep, starts, fn);
            p = last + 1;
        }
        held = static_cast<size_t>(end - p);
        if (held == BLOCK) {
            fn(p, end, starts ? last_start_in(p, end) : nullptr);
            held = 0;
        } else {
            memmove(buf.get(), p, held);
        }
    }
    int err = Z_OK;
    const char* why = gzerror(f, &err);
    bool ok = err == Z_OK || err == Z_STREAM_END;
    // zlib names the file in its message: named once is enough.
    if (strncmp(why, (path + ": ").c_str(), path.size() + 2) == 0) why += path.size() + 2;
    if (!ok) read_failure(path, total, why);
    if (held > 0)
        fn(buf.get(), buf.get() + held, starts ? last_start_in(buf.get(), buf.get() + held) : nullptr);
    gzclose(f);
    return ok;
}

// The data directory's files, by kind and date; where a plain file and its
// compressed copy both exist, the plain one (the logger may still write it).
struct DataFiles {
    std::map<int, std::string> status;
    std::map<int, std::string> messages;
    std::map<std::string, time_t> modified;  // of each message log
};

bool list_files(const std::string& dir, DataFiles* files, std::string* unreadable) {
    DIR* d = opendir(dir.c_str());
    if (!d) {
        *unreadable = strerror(errno);
        read_failure(dir, 0, unreadable->c_str());
        return false;
    }
    while (struct dirent* e = readdir(d)) {
        DailyFile kind;
        int date;
        bool gz;
        if (!parse_daily_file_name(e->d_name, &kind, &date, &gz)) continue;
        auto& files_of_kind = kind == DailyFile::Messages ? files->messages : files->status;
        if (gz && files_of_kind.count(date)) continue;
        files_of_kind[date] = dir + "/" + e->d_name;
        struct stat st;
        if (kind == DailyFile::Messages && stat(files_of_kind[date].c_str(), &st) == 0)
            files->modified[files_of_kind[date]] = st.st_mtime;
    }
    closedir(d);
    return true;
}

// A run of the logger as its records tell: where it started, stopped, or
// was found to have ended without stopping.
enum class RunMark { Start, Stop, UncleanEnd };

class Summariser {
   public:
    Summariser(int first, int last) : first_(day_number(first)), last_(day_number(last)) {
        for (long d = first_; d <= last_; d++) days_.emplace_back().date = date_of(d);
    }

    // A status file of the day file_date: read from path, or given as bytes
    // (from, to) when path is empty.
    bool status_file(int file_date, const std::string& path, const char* from = nullptr,
                     const char* to = nullptr) {
        DaySummary* file_day = day(day_number(file_date));
        if (file_day) file_day->has_files = true;
        PacketReader fn{this, file_day};
        if (path.empty()) {
            if (from != to) split(from, to, static_cast<char>(EOT), true, fn);
            return true;
        }
        return for_each_piece(path, static_cast<char>(EOT), true, fn);
    }

    // A message log, read from path, or given as bytes (from, to).
    bool message_file(const std::string& path, const char* from = nullptr, const char* to = nullptr) {
        line_ = 0;
        unreadable_ = 0;
        auto fn = [&](const char* p, const char* end, const char*) {
            line_++;
            record(p, end);
        };
        bool ok = true;
        if (path.empty()) {
            if (from != to) split(from, to, '\n', false, fn);
        } else {
            ok = for_each_piece(path, '\n', false, fn);
        }
        // Named like a file that cannot be read whole, counted for the day it came in.
        if (unreadable_ > 0)
            fprintf(stderr, "%s: %ld unreadable records skipped, the first at line %ld: %s\n",
                    path.empty() ? "(given)" : path.c_str(), unreadable_, first_unreadable_, why_unreadable_);
        return ok;
    }

    // Each record as it was read: "yyyy-mm-dd hh:mm:ss KIND TEXT".
    void list_records(std::string* out) { listing_ = out; }

    // alive_until: the minute (since 1970) a logger still running was last
    // heard of, or 0 when none runs: a loss not yet ended lasts till then.
    std::vector<DaySummary> finish(long alive_until = 0) {
        if (lost_from_ >= 0) mark_lost(lost_from_, std::max(last_record_, alive_until));
        mark_stopped();
        for (DaySummary& d : days_) {
            // A killed run's end is known only at the next start.
            std::stable_sort(d.events.begin(), d.events.end(),
                             [](const Event& a, const Event& b) { return a.second < b.second; });
            long end_of_day = (day_number(d.date) + 1) * MINUTES_A_DAY;
            for (const auto& [minute, site] : sites_) {
                if (minute < end_of_day) d.site = site;
            }
            // A parameter file without site= leaves the logger its own default.
            if (d.site.empty() && d.has_files) d.site = "WXX";
            daylight_saving(&d);
        }
        return std::move(days_);
    }

   private:
    DaySummary* day(long number) {
        return number >= first_ && number <= last_ ? &days_[static_cast<size_t>(number - first_)] : nullptr;
    }

    MinuteSummary* minute_at(long when) {
        DaySummary* d = day(when / MINUTES_A_DAY);
        return d ? &d->minutes[when % MINUTES_A_DAY] : nullptr;
    }

    // After a whole packet counted in its minute, the packets just like it
    // that follow (its length, its stamp) are counted at once: most of a
    // day is such runs, and there is nothing else to learn from them.
    const char* take_run(const char* q, const char* limit) {
#ifdef __x86_64__
        static const bool avx2 = __builtin_cpu_supports("avx2");
        if (avx2 && run_len_ > 0 && run_len_ <= RUN_PACKET_MAX) {
            long n = same_packets_avx2(q, limit, run_len_, last_stamp_);
            last_minute_->status += static_cast<int>(n);
            return q + n * static_cast<long>(run_len_);
        }
#endif
        (void)limit;
        return q;
    }

    // The pieces of a status file, and what may follow each at once.
    struct PacketReader {
        Summariser* s;
        DaySummary* file_day;
        void operator()(const char* p, const char* end, const char* start) {
            s->packet(file_day, p, end, start);
        }
        const char* run(const char* q, const char* limit) { return s->take_run(q, limit); }
    };

    // A status packet counts for the minute of its stamp; a message packet,
    // and a status packet too short for a stamp, for the day of its file.
    // Bytes before a packet's start byte (the torn packet, or the NUL run, a
    // power cut left before it), and a piece with no start byte at all, are
    // broken: skipped and counted.
    void packet(DaySummary* file_day, const char* p, const char* end, const char* start) {
        run_len_ = 0;
        if (!start || end[-1] != static_cast<char>(EOT)) {
            if (file_day) file_day->broken_bytes += end - p;
            return;
        }
        if (start != p && file_day) file_day->broken_bytes += start - p;
        p = start;
        size_t len = static_cast<size_t>(end - p);
        if (static_cast<unsigned char>(p[0]) == STX) {
            if (file_day) file_day->message_packets++;
            return;
        }
        const char* s = p + STAMP_POS;
        // A minute's packets share their stamp: count them where the last went.
        bool stamped = len >= static_cast<size_t>(STAMP_MIN_PACKET);
        if (stamped && last_minute_ && memcmp(s, last_stamp_, sizeof last_stamp_) == 0) {
            last_minute_->status++;
            run_len_ = len;
            return;
        }
        int date, minute;
        if (!stamped || !parse_stamp(s, &date, &minute)) {
            if (file_day) file_day->status_without_minute++;
            return;
        }
        if (date != last_date_) {  // most packets share the date of the one before
            last_date_ = date;
            last_day_ = day(day_number(date));
        }
        last_minute_ = last_day_ ? &last_day_->minutes[minute] : nullptr;
        if (last_minute_) {
            memcpy(last_stamp_, s, sizeof last_stamp_);
            run_len_ = len;
            last_minute_->status++;
            last_minute_->active = true;
            last_day_->has_files = true;
        }
    }

    // "N,DD/MM/YYYY,hh:mm:ss, text": the record's own time chooses its day.
    void record(const char* p, const char* end) {
        RecordHead head;
        std::string_view line(p, static_cast<size_t>(end - p));
        HeadRead read = read_record_head(line, &head);
        if (read == HeadRead::OutOfRange) return unreadable("a date or time that cannot be");
        if (read == HeadRead::None) return;  // the ">" of a comment, or a line carried over
        std::string_view text = line.substr(head.text);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        long when = day_number(head.date) * MINUTES_A_DAY + head.second / 60;
        last_record_ = when;
        DaySummary* d = day(day_number(head.date));
        if (d) {
            d->has_files = true;
            d->minutes[head.second / 60].active = true;
        }
        std::vector<std::string_view> fields;
        RecordKind kind = recognise_record(text, &fields);
        if (listing_ && d) {
            char stamp[32];
            snprintf(stamp, sizeof stamp, "%s %02d:%02d:%02d ", date_text(head.date).c_str(),
                     head.second / 3600, head.second / 60 % 60, head.second % 60);
            *listing_ += std::string(stamp) + record_kind_name(kind) + " " + shown_as_text(text) + "\n";
        }
        what_happened(d, when, head.second, kind, fields, text);
    }

    void what_happened(DaySummary* d, long when, int second, RecordKind kind,
                       const std::vector<std::string_view>& fields, std::string_view text) {
        MinuteSummary* m = d ? &d->minutes[second / 60] : nullptr;
        switch (kind) {
            case RecordKind::Fault:
                if (m) m->faults++;
                if (d) fault_texts(d, second, fields[1]);
                break;
            case RecordKind::Framing:
                if (m) m->framing++;
                break;
            case RecordKind::LineLost:
                if (m) m->losses++;
                if (lost_from_ < 0) lost_from_ = when;
                event(d, second, "line lost: " + std::string(fields[1]));
                break;
            case RecordKind::LineReopened:
                line_back(when);
                event(d, second, "line back");
                break;
            case RecordKind::Starting:
                line_back(when);
                marks_.push_back({when, RunMark::Start});
                event(d, second, "started (" + std::string(fields[0]) + ")", EventKind::Start);
                break;
            case RecordKind::Quit:
                marks_.push_back({when, RunMark::Stop});
                event(d, second, "stopped (quit)", EventKind::Stop);
                break;
            case RecordKind::Stopped:
                marks_.push_back({when, RunMark::Stop});
                event(d, second, "stopped (" + std::string(fields[0]) + ")", EventKind::Stop);
                break;
            case RecordKind::UncleanEnd:
                marks_.push_back({when, RunMark::UncleanEnd});
                event(d, second, "the run before ended without stopping");
                break;
            case RecordKind::ClockStepped:
            case RecordKind::ClockSynchronised:
            case RecordKind::ClockUnsynchronised:
                event(d, second, std::string(text));
                break;
            case RecordKind::TornPacket:
            case RecordKind::TornRecord:
                event(d, second,
                      "power cut mended: " + std::string(fields[1]) + " bytes moved to " +
                          std::string(fields[2]));
                break;
            case RecordKind::Comment: {
                std::string comment(fields[0]);
                if (!comment.empty() && comment.back() == '>') comment.pop_back();
                event(d, second, "comment: " + comment, EventKind::Comment);
                break;
            }
            case RecordKind::NotStored:
                not_stored(d, when, second, fields);
                break;
            default:
                // An echoed parameter line: the site is the one read last.
                if (text.starts_with("site=") && text.size() > 5) {
                    size_t end = text.find_first_of(" \t\r", 5);
                    sites_.emplace_back(
                        when, shown_as_text(text.substr(5, end == std::string::npos ? end : end - 5)));
                }
                break;
        }
    }

    // "N packets not stored from hh:mm:ss to hh:mm:ss: reason": the minutes
    // that lost them are marked, back into the day before when they began
    // before midnight.
    void not_stored(DaySummary* d, long when, int second, const std::vector<std::string_view>& fields) {
        constexpr long COUNT_MAX = 1000000000;  // more than a year of packets: no count a logger wrote
        long count = std::strtol(std::string(fields[0]).c_str(), nullptr, 10);
        int first_minute, last_minute;
        if (count < 0 || count > COUNT_MAX || !minute_of(fields[1], &first_minute) ||
            !minute_of(fields[2], &last_minute))
            return unreadable("packets not stored, with a count or a time that cannot be");
        if (d) d->packets_not_stored += count;
        long today = when - second / 60;
        long from = today + first_minute, to = today + last_minute;
        if (to > when) to -= MINUTES_A_DAY;
        if (from > to) from -= MINUTES_A_DAY;
        for (long m = std::max(from, to - MINUTES_A_DAY); m <= to; m++) {
            if (MinuteSummary* s = minute_at(m)) s->not_stored = true;
        }
        event(d, second, std::string(fields[0]) + " packets not stored: " + std::string(fields[3]));
    }

    // The minute of the day of "hh:mm:ss", false when it is no such time.
    static bool minute_of(std::string_view hms, int* minute) {
        auto digits = [&](size_t at) { return isdigit(static_cast<unsigned char>(hms[at])) != 0; };
        if (hms.size() != 8 || !digits(0) || !digits(1) || hms[2] != ':' || !digits(3) || !digits(4) ||
            hms[5] != ':' || !digits(6) || !digits(7))
            return false;
        int hour = (hms[0] - '0') * 10 + (hms[1] - '0'), min = (hms[3] - '0') * 10 + (hms[4] - '0');
        int sec = (hms[6] - '0') * 10 + (hms[7] - '0');
        *minute = hour * 60 + min;
        return hour < 24 && min < 60 && sec <= 60;
    }

    // A line of a record's shape that cannot be trusted: skipped, counted for
    // the day the records before it came in (or the first day, before any),
    // and named once a file.
    void unreadable(const char* why) {
        if (unreadable_++ == 0) {
            first_unreadable_ = line_;
            why_unreadable_ = why;
        }
        DaySummary* d = day(last_record_ / MINUTES_A_DAY);
        if (!d && !days_.empty()) d = &days_.front();
        if (d) d->unreadable_records++;
    }

    void fault_texts(DaySummary* d, int second, std::string_view texts) {
        for (const FaultBit* f : faults_in(texts)) {
            std::string one = f->text + 1;                             // without its comma
            while (!one.empty() && one.back() == ' ') one.pop_back();  // ",air temp "
            FaultSummary& s = d->faults[one];
            if (s.count++ == 0) s.first = second;
            s.last = second;
        }
    }

    // Texts from the files are shown as text, never as a terminal's controls.
    void event(DaySummary* d, int second, const std::string& text, EventKind kind = EventKind::Other) {
        if (d) d->events.push_back({second, shown_as_text(text), kind});
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
            if (MinuteSummary* s = minute_at(m)) s->lost = true;
        }
    }

    // The last minute before `when` in which anything came, or `floor`.
    // Only the report's days are known: a record dated decades away (a
    // clock gone wrong, or a planted file) costs nothing to look past.
    long last_active_before(long when, long floor) {
        for (long m = std::min(when - 1, (last_ + 1) * MINUTES_A_DAY - 1); m > floor; m--) {
            MinuteSummary* s = minute_at(m);
            if (s && s->active) return m;
        }
        return floor;
    }

    // The logger did not run from a quit or stop signal until the next
    // start, and from its last sign of life until a start that found the run
    // before ended without stopping; before its first start, unless it was
    // heard of before that.
    void mark_stopped() {
        std::stable_sort(marks_.begin(), marks_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        long range_begin = first_ * MINUTES_A_DAY - 1, range_end = (last_ + 1) * MINUTES_A_DAY;
        long stopped_from = -1;
        bool started = false;
        for (const auto& [when, mark] : marks_) {
            if (mark == RunMark::Stop) {
                stopped_from = when + 1;
            } else if (mark == RunMark::UncleanEnd) {
                // Recorded by the start that found it: down from the run's
                // last sign of life until that start.
                long end = last_active_before(when, range_begin);
                mark_range(end + 1, when - 1);
                if (end > range_begin)
                    event(day(end / MINUTES_A_DAY), static_cast<int>(end % MINUTES_A_DAY) * 60,
                          "a run ended without stopping: its last sign of life", EventKind::Ended);
            } else {
                if (!started && stopped_from < 0 && last_active_before(when, range_begin) == range_begin)
                    stopped_from = range_begin + 1;
                if (stopped_from >= 0) mark_range(stopped_from, when - 1);
                stopped_from = -1;
                started = true;
            }
        }
        if (stopped_from >= 0) mark_range(stopped_from, range_end - 1);
    }

    void mark_range(long from, long to) {
        for (long m = std::max(from, first_ * MINUTES_A_DAY); m <= to && m < (last_ + 1) * MINUTES_A_DAY;
             m++) {
            if (MinuteSummary* s = minute_at(m)) s->stopped = true;
        }
    }

    // In the zone the report is made in: the hour a spring day skips, and
    // the one an autumn day has twice.
    static void daylight_saving(DaySummary* d) {
        struct tm t = {};
        t.tm_year = d->date / 10000 - 1900;
        t.tm_mon = d->date / 100 % 100 - 1;
        t.tm_mday = d->date % 100;
        t.tm_isdst = -1;
        time_t midnight = mktime(&t);
        int last_hour = -1;
        for (time_t at = midnight;; at += 3600) {
            struct tm local;
            localtime_r(&at, &local);
            int date = (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
            if (date != d->date) break;
            if (local.tm_hour == last_hour) d->repeated_hour = local.tm_hour;
            if (local.tm_hour == last_hour + 2) d->missing_hour = last_hour + 1;
            last_hour = local.tm_hour;
        }
    }

    long first_, last_;
    std::vector<DaySummary> days_;
    int last_date_ = -1;
    DaySummary* last_day_ = nullptr;
    char last_stamp_[PACKET_STAMP_LEN] = {};  // the stamp of the packet counted last ...
    MinuteSummary* last_minute_ = nullptr;    // ... and where it counted
    size_t run_len_ = 0;                      // its length, when it was whole and counted there
    long lost_from_ = -1;                     // minute (since 1970) the line was lost, -1 while up
    long last_record_ = 0;
    long line_ = 0;        // of the message log being read
    long unreadable_ = 0;  // of its lines, and the first of them, and why
    long first_unreadable_ = 0;
    const char* why_unreadable_ = "";
    std::vector<std::pair<long, std::string>> sites_;  // when each site= was read
    std::vector<std::pair<long, RunMark>> marks_;
    std::string* listing_ = nullptr;
};

// Midnight at the start of the day yyyymmdd, local time.
time_t midnight_of(int date) {
    struct tm t = {};
    t.tm_year = date / 10000 - 1900;
    t.tm_mon = date / 100 % 100 - 1;
    t.tm_mday = date % 100;
    t.tm_isdst = -1;
    return mktime(&t);
}

// The message logs that may hold records of the days. A log
// keeps the name of the day its logger started, and only the newest gets
// records (one logger per directory): the newest named on or before the
// first day, and those named up to the last. A logger whose clock started
// at a wrong date (a dead clock battery) names its log after that day for
// as long as it runs: a log written to since the first day began is read
// too, whatever its name, after the others (it is the newer). Each record's
// own time then chooses its day.
std::vector<std::string> message_logs_of(const DataFiles& files, int first, int last) {
    std::vector<std::string> logs;
    auto from = files.messages.upper_bound(first);
    if (from != files.messages.begin()) --from;
    for (auto it = from; it != files.messages.end() && it->first <= last; ++it) logs.push_back(it->second);
    time_t since = midnight_of(first);
    for (const auto& [path, when] : files.modified) {
        if (when >= since && std::find(logs.begin(), logs.end(), path) == logs.end()) logs.push_back(path);
    }
    return logs;
}

// Reads the directory's files for the days into s.
bool read_days(const std::string& dir, int first, int last, Summariser* s, std::string* unreadable) {
    DataFiles files;
    bool ok = list_files(dir, &files, unreadable);
    // A stamp of 23:59 may lie in the next day's file.
    for (const auto& [date, path] : files.status) {
        if (date >= first && date <= next_date(last)) ok = s->status_file(date, path) && ok;
    }
    for (const std::string& path : message_logs_of(files, first, last)) ok = s->message_file(path) && ok;
    return ok;
}

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

int DaySummary::usual_rate() const {
    std::vector<int> counts;
    for (const MinuteSummary& m : minutes) {
        if (m.status > 0) counts.push_back(m.status);
    }
    if (counts.empty()) return 0;
    std::nth_element(counts.begin(), counts.begin() + static_cast<long>(counts.size() / 2), counts.end());
    return counts[counts.size() / 2];
}

int DaySummary::minutes_had() const {
    int n = 0;
    for (int m = 0; m < minutes_so_far; m++) n += minute_exists(m);
    return n;
}

void mark_future(std::vector<DaySummary>* days) {
    int today, now;
    now_in_zone(&today, &now);
    for (DaySummary& d : *days) {
        if (d.date == today) d.minutes_so_far = now + 1;
        if (d.date > today) d.minutes_so_far = 0;
    }
}

std::vector<Gap> gaps_of(const DaySummary& day) {
    // The hour a spring day skips is no gap: it never came; nor are the
    // minutes still to come.
    auto quiet = [&](int m) { return day.minutes[m].status == 0 && day.minute_exists(m); };
    std::vector<Gap> gaps;
    for (int m = 0; m < day.minutes_so_far;) {
        if (!quiet(m)) {
            m++;
            continue;
        }
        int from = m;
        while (m < day.minutes_so_far && (quiet(m) || !day.minute_exists(m))) m++;
        if (m - from >= GAP_MINUTES_MIN) gaps.push_back({from, m - 1});
    }
    return gaps;
}

// Whether a logger works on the data directory now: it holds the lock in
// the folder above it. Asked of /proc/locks, never by taking the lock, which
// would turn a logger starting at that moment away.
static bool logger_runs(const std::string& dir) {
    int fd = open_regular((dir + "/../" + LOCK_FILE).c_str(), O_RDONLY);
    if (fd < 0) return false;
    bool held = flock_holder(fd) > 0;
    close(fd);
    return held;
}

std::vector<DaySummary> summarise(const std::string& dir, int first, int last, bool* complete) {
    Summariser s(first, last);
    std::string unreadable;
    *complete = read_days(dir, first, last, &s, &unreadable);
    int today, now;
    now_in_zone(&today, &now);
    std::vector<DaySummary> days = s.finish(logger_runs(dir) ? day_number(today) * MINUTES_A_DAY + now : 0);
    for (DaySummary& d : days) d.unreadable = unreadable;
    mark_future(&days);
    return days;
}

std::vector<DaySummary> summarise_bytes(int file_date, std::string_view status, std::string_view messages,
                                        int first, int last) {
    Summariser s(first, last);
    s.status_file(file_date, "", status.data(), status.data() + status.size());
    s.message_file("", messages.data(), messages.data() + messages.size());
    return s.finish();
}

std::vector<DaySummary> summarise_parts(int file_date, const std::vector<std::string_view>& status, int first,
                                        int last) {
    Summariser s(first, last);
    for (std::string_view part : status) s.status_file(file_date, "", part.data(), part.data() + part.size());
    return s.finish();
}

std::vector<DaySummary> summarise_files(const std::vector<std::pair<int, std::string>>& status,
                                        const std::vector<std::string>& messages, int first, int last,
                                        bool* complete) {
    Summariser s(first, last);
    bool ok = true;
    for (const auto& [date, path] : status) ok = s.status_file(date, path) && ok;
    for (const std::string& path : messages) ok = s.message_file(path) && ok;
    *complete = ok;
    return s.finish();
}

std::string records_of(const std::string& dir, int first, int last, bool* complete) {
    Summariser s(first, last);
    std::string out;
    s.list_records(&out);
    std::string unreadable;
    *complete = read_days(dir, first, last, &s, &unreadable);
    return out;
}

std::string zone_name() {
    const char* tz = getenv("TZ");
    if (tz && *tz) return tz[0] == ':' ? tz + 1 : tz;
    char target[256];
    ssize_t n = readlink("/etc/localtime", target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        const char* zoneinfo = strstr(target, "zoneinfo/");
        return zoneinfo ? zoneinfo + 9 : target;
    }
    return "local time";
}

void now_in_zone(int* date, int* minute) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    *date = (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
    *minute = t.tm_hour * 60 + t.tm_min;
}

CellState state_of(const DaySummary& day, int minute) {
    if (minute >= day.minutes_so_far) return CellState::Future;
    const MinuteSummary& m = day.minutes[minute];
    // Packets that came but could not be stored are data, if none to see.
    if (m.status > 0 || m.not_stored) return CellState::Data;
    if (m.stopped || !day.has_files) return CellState::Stopped;
    if (m.lost || m.losses > 0) return CellState::Lost;
    return CellState::Silent;
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
