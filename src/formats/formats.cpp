// The file formats, written by the logger and read by its companions.
#include "formats/formats.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// Two digits, or a blank and a digit (days 1 to 9 in a timestamp).
bool two_digits(const char* p) { return (digit(p[0]) || p[0] == ' ') && digit(p[1]); }

int two(const char* p) { return (p[0] == ' ' ? 0 : (p[0] - '0') * 10) + (p[1] - '0'); }

bool hex_digit(char c) { return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// One conversion of a printf format, as far as records use them.
struct Conversion {
    size_t length;      // of the conversion in the format
    char type;          // 's', 'd', 'X'
    long most = -1;     // characters at most (a string's precision), -1 for any
    bool sign = false;  // '+': a sign always stands
};

Conversion conversion_at(const char* f) {
    Conversion c{1, 0};
    const char* p = f + 1;
    for (; *p == '+' || *p == '-' || *p == ' ' || *p == '0' || *p == '#'; p++) c.sign = c.sign || *p == '+';
    while (digit(*p)) p++;
    if (*p == '.') {
        p++;
        if (*p == '*') {
            p++;
        } else {
            long n = 0;
            for (; digit(*p); p++) n = n * 10 + (*p - '0');
            c.most = n;
        }
    }
    while (*p == 'l' || *p == 'h' || *p == 'z') p++;
    c.type = *p == 'i' || *p == 'd' ? 'd' : *p == 'X' || *p == 'x' ? 'X' : *p;
    c.length = static_cast<size_t>(p - f) + 1;
    return c;
}

// How long the text the conversion could have written may be at t: the
// lengths to try, longest first for numbers (they end where digits end),
// shortest first for strings (the literal text after them decides).
bool number_at(const Conversion& c, std::string_view t, size_t* n) {
    size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        i++;
    else if (c.sign)
        return false;
    size_t digits = i;
    while (i < t.size() && (c.type == 'X' ? hex_digit(t[i]) : digit(t[i]))) i++;
    *n = i;
    return i > digits;
}

// Whether text is what format writes; the values of its conversions go to
// fields. Records are short: trying each length a string may take is cheap.
bool matches(const char* f, std::string_view t, std::vector<std::string_view>* fields) {
    for (; *f && *f != '\n'; f++) {
        if (*f != '%') {
            if (t.empty() || t[0] != *f) return false;
            t.remove_prefix(1);
            continue;
        }
        if (f[1] == '%') {
            if (t.empty() || t[0] != '%') return false;
            t.remove_prefix(1);
            f++;
            continue;
        }
        Conversion c = conversion_at(f);
        const char* rest = f + c.length;
        size_t before = fields ? fields->size() : 0;
        if (c.type == 's') {
            size_t most = c.most < 0 ? t.size() : std::min(t.size(), static_cast<size_t>(c.most));
            for (size_t n = 0; n <= most; n++) {
                if (fields) fields->push_back(t.substr(0, n));
                if (matches(rest, t.substr(n), fields)) return true;
                if (fields) fields->resize(before);
            }
            return false;
        }
        size_t n;
        if (!number_at(c, t, &n)) return false;
        if (fields) fields->push_back(t.substr(0, n));
        t.remove_prefix(n);
        f = rest - 1;
    }
    return t.empty();
}

}  // namespace

void stamp_from_timestamp(const char* ts, char stamp[PACKET_STAMP_LEN]) {
    // DD/MM/YYYY,hh:mm:ss, -> YYMMDD hh:mm
    const char s[PACKET_STAMP_LEN] = {ts[8], ts[9],  ts[3],  ts[4], ts[0],  ts[1],
                                      ' ',   ts[11], ts[12], ':',   ts[14], ts[15]};
    memcpy(stamp, s, sizeof s);
}

bool real_date(int year, int month, int day) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

bool parse_stamp(const char* s, int* date, int* minute) {
    if (!two_digits(s) || !two_digits(s + 2) || !two_digits(s + 4) || !two_digits(s + 7) ||
        !two_digits(s + 10))
        return false;
    int year = 2000 + two(s), month = two(s + 2), day = two(s + 4), hour = two(s + 7), min = two(s + 10);
    if (!real_date(year, month, day) || hour > 23 || min > 59) return false;
    *date = year * 10000 + month * 100 + day;
    *minute = hour * 60 + min;
    return true;
}

int daily_file_name(char* out, size_t size, DailyFile kind, int date) {
    return snprintf(out, size, "%s%08d%s",
                    kind == DailyFile::Status ? STATUS_FILE_PREFIX : MESSAGE_FILE_PREFIX, date,
                    DAILY_FILE_SUFFIX);
}

bool parse_daily_file_name(std::string_view name, DailyFile* kind, int* date, bool* compressed) {
    size_t at;
    if (name.starts_with(MESSAGE_FILE_PREFIX)) {
        *kind = DailyFile::Messages;
        at = strlen(MESSAGE_FILE_PREFIX);
    } else if (name.starts_with(STATUS_FILE_PREFIX)) {
        *kind = DailyFile::Status;
        at = strlen(STATUS_FILE_PREFIX);
    } else {
        return false;
    }
    constexpr size_t DATE_LEN = 8;
    if (name.size() < at + DATE_LEN) return false;
    int d = 0;
    for (size_t i = at; i < at + DATE_LEN; i++) {
        if (!digit(name[i])) return false;
        d = d * 10 + (name[i] - '0');
    }
    std::string_view rest = name.substr(at + DATE_LEN);
    std::string plain = DAILY_FILE_SUFFIX;
    *compressed = rest == plain + COMPRESSED_SUFFIX;
    if (!*compressed && rest != plain) return false;
    *date = d;
    return true;
}

int record_head(char* out, size_t size, int number, const char* timestamp) {
    return snprintf(out, size, "%i,%s ", number, timestamp);
}

HeadRead read_record_head(std::string_view line, RecordHead* h) {
    constexpr size_t NUMBER_DIGITS_MAX = 9;  // an int's worth
    size_t comma = line.find(',');
    if (comma == std::string_view::npos || comma == 0 || comma > NUMBER_DIGITS_MAX ||
        line.size() < comma + 1 + TIMESTAMP_LEN)
        return HeadRead::None;
    int number = 0;
    for (size_t i = 0; i < comma; i++) {
        if (!digit(line[i])) return HeadRead::None;
        number = number * 10 + (line[i] - '0');
    }
    const char* t = line.data() + comma + 1;  // DD/MM/YYYY,hh:mm:ss,
    if (!two_digits(t) || t[2] != '/' || !two_digits(t + 3) || t[5] != '/' || !digit(t[6]) || !digit(t[7]) ||
        !digit(t[8]) || !digit(t[9]) || t[10] != ',' || !two_digits(t + 11) || t[13] != ':' ||
        !two_digits(t + 14) || t[16] != ':' || !two_digits(t + 17) || t[19] != ',')
        return HeadRead::None;
    int year = (t[6] - '0') * 1000 + (t[7] - '0') * 100 + (t[8] - '0') * 10 + (t[9] - '0');
    int month = two(t + 3), day = two(t), hour = two(t + 11), minute = two(t + 14), second = two(t + 17);
    // Second 60 is a leap second's.
    if (!real_date(year, month, day) || hour > 23 || minute > 59 || second > 60) return HeadRead::OutOfRange;
    h->number = number;
    h->date = year * 10000 + month * 100 + day;
    h->second = hour * 3600 + minute * 60 + (second == 60 ? 59 : second);  // a leap second in its own minute
    h->text = comma + 1 + TIMESTAMP_LEN + (line.size() > comma + 1 + TIMESTAMP_LEN ? 1 : 0);
    return HeadRead::Read;
}

bool parse_record_head(std::string_view line, RecordHead* h) {
    return read_record_head(line, h) == HeadRead::Read;
}

const RecordKindInfo RECORD_KINDS[] = {
    {RecordKind::Starting, "starting", REC_STARTING, nullptr},
    {RecordKind::ParfileMissing, "parameter-file-missing", REC_PARFILE_MISSING, nullptr},
    {RecordKind::UnknownParameter, "unknown-parameter", REC_UNKNOWN_PARAMETER, nullptr},
    {RecordKind::BadValue, "bad-value", REC_BAD_VALUE, nullptr},
    {RecordKind::LongParameterLine, "long-parameter-line", REC_LONG_PARAMETER_LINE, nullptr},
    {RecordKind::UnsupportedValue, "unsupported-value", REC_UNSUPPORTED_VALUE, nullptr},
    {RecordKind::Framing, "framing", REC_FRAMING, nullptr},
    {RecordKind::Fault, "fault", REC_FAULT, nullptr},
    {RecordKind::NoGoodPackets, "no-good-packets", REC_NO_GOOD_PACKETS, nullptr},
    // The comment keeps its newline: its line of the log ends before the ">".
    {RecordKind::Comment, "comment", REC_COMMENT, "comment: <%s"},
    {RecordKind::Quit, "quit", REC_QUIT, nullptr},
    {RecordKind::LineLost, "line-lost", REC_LINE_LOST, nullptr},
    {RecordKind::LineReopened, "line-reopened", REC_LINE_REOPENED, nullptr},
    {RecordKind::Stopped, "stopped", REC_STOPPED, nullptr},
    {RecordKind::ClockStepped, "clock-stepped", REC_CLOCK_STEPPED, nullptr},
    {RecordKind::NotStored, "not-stored", REC_NOT_STORED, nullptr},
    {RecordKind::ClockUnsynchronised, "clock-unsynchronised", REC_CLOCK_UNSYNCHRONISED, nullptr},
    {RecordKind::ClockSynchronised, "clock-synchronised", REC_CLOCK_SYNCHRONISED, nullptr},
    {RecordKind::UncleanEnd, "unclean-end", REC_UNCLEAN_END, nullptr},
    {RecordKind::TornPacket, "torn-packet", REC_TORN_PACKET, nullptr},
    {RecordKind::TornRecord, "torn-record", REC_TORN_RECORD, nullptr},
    {RecordKind::CommandFrom, "command-from", REC_COMMAND_FROM, nullptr},
    {RecordKind::CommandsRefused, "commands-refused", REC_COMMANDS_REFUSED, nullptr},
};
const size_t RECORD_KIND_COUNT = sizeof RECORD_KINDS / sizeof RECORD_KINDS[0];

RecordKind recognise_record(std::string_view text, std::vector<std::string_view>* fields) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    for (const RecordKindInfo& k : RECORD_KINDS) {
        if (fields) fields->clear();
        if (matches(k.pattern ? k.pattern : k.format, text, fields)) return k.kind;
    }
    if (fields) fields->clear();
    return RecordKind::Unknown;
}

const char* record_kind_name(RecordKind kind) {
    for (const RecordKindInfo& k : RECORD_KINDS) {
        if (k.kind == kind) return k.name;
    }
    return "unknown";
}

const FaultBit FAULT_BITS[16] = {
    {0x8000, ",min noise limit", false},
    {0x4000, ",max noise limit", false},
    {0x2000, ",transient noise", false},
    {0x1000, ",constant noise", true},
    {0x0800, ",false alarm", false},
    {0x0400, ",Gunn current low", false},
    {0x0200, ",not used", false},
    {0x0100, ",air temp ", false},
    {0x0080, ",heater voltage", false},
    {0x0040, ",Gunn voltage", false},
    {0x0020, ",-12V", true},
    {0x0010, ",+12V", true},
    {0x0008, ",+5V", true},
    {0x0004, ",heater current", false},
    {0x0002, ",not used", false},
    {0x0001, ",DC offset", false},
};

int decode_fault(unsigned faultnum, char* out, int outsize) {
    int severe = 0;
    int used = 0;
    out[0] = '\0';
    for (const FaultBit& f : FAULT_BITS) {
        if (!(faultnum & f.bit)) continue;
        if (f.severe) severe++;
        int n = snprintf(out + used, static_cast<size_t>(outsize - used), "%s", f.text);
        if (n > 0) used = (used + n < outsize) ? used + n : outsize - 1;
    }
    return severe;
}

std::vector<const FaultBit*> faults_in(std::string_view texts) {
    std::vector<const FaultBit*> found;
    // The texts stand in bit order, each at most once.
    for (const FaultBit& f : FAULT_BITS) {
        if (texts.starts_with(f.text)) {
            found.push_back(&f);
            texts.remove_prefix(strlen(f.text));
        }
    }
    return found;
}
