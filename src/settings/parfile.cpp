// The parameter file kestlog.par: one "name=value" per line.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "logs/logs.h"
#include "settings/settings.h"

static const char* const WHITE = " \t\r\n\v\f";

// The first word of a value: where it starts and how long it is.
struct Word {
    const char* text;
    size_t len;
};

static bool only_white(const char* s) { return s[strspn(s, WHITE)] == '\0'; }

// Copies a word into a settings text, refusing one too long for it.
static bool set_text(char* field, Word w) {
    if (w.len > static_cast<size_t>(TEXT_MAX)) return false;
    memcpy(field, w.text, w.len);
    field[w.len] = '\0';
    return true;
}

static bool set_pardate(Word w) { return set_text(mon.pardate, w); }

static bool set_site(Word w) { return set_text(mon.site, w); }

// Recipients are joined by ';' in the file and separated by blanks in use.
static bool set_maildest(Word w) {
    if (!set_text(mon.maildest, w)) return false;
    for (char* p = mon.maildest; *p; p++) {
        if (*p == ';') *p = ' ';
    }
    return true;
}

// A recipient that begins with '-' would reach mail as an option (-b adds
// a blind copy): each is dropped from maildest, the first named in r.
static void refuse_option_recipients(ParResult* r) {
    std::string kept;
    for (const char* p = mon.maildest + strspn(mon.maildest, " "); *p; p += strspn(p, " ")) {
        size_t n = strcspn(p, " ");
        if (*p != '-') {
            kept += (kept.empty() ? "" : " ") + std::string(p, n);
        } else if (r->kind != ParKind::BadValue) {
            r->kind = ParKind::BadValue;
            snprintf(r->finding, sizeof r->finding, "maildest=: a recipient may not begin with '-': %.*s",
                     static_cast<int>(n), p);
        }
        p += n;
    }
    snprintf(mon.maildest, sizeof mon.maildest, "%s", kept.c_str());
}

static bool set_metrics_file(Word w) { return set_text(mon.metrics_file, w); }

static bool set_kessendmail(Word w) {
    mon.kessendmail = w.text[0];
    return true;
}

// Reads a decimal field like scanf's %d at *p (before end); advances *p past
// it. Returns false when no number stands there.
static bool read_int(const char** p, const char* end, long* value) {
    if (*p >= end) return false;
    char* after;
    errno = 0;
    long v = strtol(*p, &after, 10);
    if (after == *p || after > end) return false;
    if (errno == ERANGE) v = -1;  // out of range: matches no accepted value
    *value = v;
    *p = after;
    return true;
}

// Steps over the comma that must come before the next field.
static bool next_field(const char** p, const char* end) {
    if (*p >= end || **p != ',') return false;
    (*p)++;
    return true;
}

// A known name with a value it cannot take.
static void bad_value(ParResult* r, const char* why) {
    r->kind = ParKind::BadValue;
    snprintf(r->finding, sizeof r->finding, "bad value for %s (%s)", r->name, why);
}

static bool speed_code(long baud, speed_t* code) {
    static const struct {
        long baud;
        speed_t code;
    } speeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},  {9600, B9600},
                  {19200, B19200}, {38400, B38400}, {57600, B57600}};
    for (const auto& s : speeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

// A serial line field the logger cannot use: the line that has always gone
// to standard error, and what a check names, with the value as written.
static void refuse(ParResult* r, const char* what, const char* problem, const char* supported,
                   const char* from, const char* to) {
    r->kind = ParKind::Unsupported;
    r->problem = problem;
    snprintf(r->value, sizeof r->value, "%.*s", static_cast<int>(to - from), from);
    snprintf(r->finding, sizeof r->finding, "unsupported %s %s (supported: %s)", what, r->value, supported);
}

// "path,speed,bits,parity,stopbits". Each field is applied as soon as it is
// accepted; missing fields keep their values; the first refused field ends
// the reading of the file.
static void set_serial_port(Word w, ParResult* r) {
    const char* end = w.text + w.len;
    const char* comma = static_cast<const char*>(memchr(w.text, ',', w.len));
    Word path{w.text, comma ? static_cast<size_t>(comma - w.text) : w.len};
    if (path.len == 0 || !set_text(mon.SERIAL_PORT, path)) {
        bad_value(r, path.len == 0 ? "empty" : "longer than 255 characters");
        return;
    }
    const char* p = path.text + path.len;
    long n;
    if (!next_field(&p, end)) return;
    const char* field = p;
    if (!read_int(&p, end, &n)) return;
    if (!speed_code(n, &mon.SERIAL_BAUDRATE)) {
        refuse(r, "baud rate", "Unsupported baud rate\n", "1200, 2400, 4800, 9600, 19200, 38400, 57600",
               field, p);
        return;
    }
    if (!next_field(&p, end)) return;
    field = p;
    if (!read_int(&p, end, &n)) return;
    if (n != 7 && n != 8) {
        refuse(r, "data size", "Unsupported data size\n", "7, 8", field, p);
        return;
    }
    mon.SERIAL_BIT = n == 7 ? CS7 : CS8;
    if (!next_field(&p, end) || p >= end) return;
    char parity = *p++;
    if (parity == 'E' || parity == 'e') {
        mon.SERIAL_PARITY = PARENB;
    } else if (parity == 'O' || parity == 'o') {
        mon.SERIAL_PARITY = PARENB | PARODD;
    } else if (parity == 'N' || parity == 'n') {
        mon.SERIAL_PARITY = 0;
    } else {
        refuse(r, "parity", "Unsupported parity\n", "E, O, N", p - 1, p);
        return;
    }
    if (!next_field(&p, end)) return;
    field = p;
    if (!read_int(&p, end, &n)) return;
    if (n != 1 && n != 2) {
        refuse(r, "stop bits", "Unsupported stop bits\n", "1, 2", field, p);
        return;
    }
    mon.SERIAL_STOPB = n == 2 ? CSTOPB : 0;
}

struct TextParameter {
    const char* name;
    bool (*set)(Word);
};

static const TextParameter text_parameters[] = {
    {"KESTLOG.PAR_updated=", set_pardate}, {"site=", set_site},
    {"maildest=", set_maildest},           {"kessendmail=", set_kessendmail},
    {"metrics_file=", set_metrics_file},
};

static const char* const known_names[] = {"KESTLOG.PAR_updated", "serial_port", "site", "maildest",
                                          "kessendmail",         "metrics_file"};

// Edits (insertions, deletions, changes; case aside) between a and b, or
// more than limit when that is all that matters.
static size_t edit_distance(const char* a, const char* b, size_t limit) {
    constexpr size_t LONGEST = 64;
    size_t la = strlen(a), lb = strlen(b);
    if (la > LONGEST || lb > LONGEST) return limit + 1;
    size_t row[LONGEST + 1];
    for (size_t j = 0; j <= lb; j++) row[j] = j;
    for (size_t i = 1; i <= la; i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= lb; j++) {
            size_t above = row[j];
            bool same = tolower(static_cast<unsigned char>(a[i - 1])) ==
                        tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[lb];
}

// "unknown parameter NAME", with the known name meant when it is close.
static void name_unknown(ParResult* r, const char* name, size_t len) {
    char text[PARLINE_MAX + 1];
    snprintf(text, sizeof text, "%.*s", static_cast<int>(len), name);
    if (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t')) {
        snprintf(r->finding, sizeof r->finding, "unknown parameter '%s' (no blank may stand before '=')",
                 text);
        return;
    }
    int n = snprintf(r->finding, sizeof r->finding, "unknown parameter %s", text);
    constexpr size_t CLOSE_ENOUGH = 2;
    const char* meant = nullptr;
    size_t closest = CLOSE_ENOUGH + 1;
    for (const char* known : known_names) {
        size_t d = edit_distance(text, known, CLOSE_ENOUGH);
        if (d < closest) {
            closest = d;
            meant = known;
        }
    }
    if (meant && n > 0 && static_cast<size_t>(n) < sizeof r->finding)
        snprintf(r->finding + n, sizeof r->finding - n, " (did you mean %s?)", meant);
}

// What follows the first word of a value up to the line's end, without the
// white space around it.
static std::string rest_of_value(Word w) {
    const char* p = w.text + w.len;
    p += strspn(p, WHITE);
    size_t n = strlen(p);
    while (n > 0 && strchr(WHITE, p[n - 1])) n--;
    return std::string(p, n);
}

// Values the logger takes as written that are likely not what was meant.
static void warn_of(ParResult* r, Word w) {
    if (r->kind != ParKind::Applied) return;
    std::string value(w.text, w.len);
    if (strcmp(r->name, "kessendmail=") == 0 && w.text[0] != 'Y' && w.text[0] != 'N') {
        snprintf(r->warning, sizeof r->warning, "kessendmail=%s turns e-mail off (only Y turns it on)",
                 value.c_str());
    } else if (strcmp(r->name, "maildest=") == 0 && !rest_of_value(w).empty()) {
        snprintf(r->warning, sizeof r->warning, "maildest= ends at the first blank: %s is not used",
                 rest_of_value(w).c_str());
    } else if (strcmp(r->name, "metrics_file=") == 0) {
        size_t slash = value.rfind('/');
        std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : value.substr(0, slash);
        struct stat st;
        if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            snprintf(r->warning, sizeof r->warning, "metrics folder %s does not exist", folder.c_str());
        else if (st.st_mode & (S_IWGRP | S_IWOTH))
            snprintf(r->warning, sizeof r->warning,
                     "metrics folder %s is writable by %s: one of them could write the metrics file first, "
                     "and keep it; give the logger's user a folder of its own, or an ACL (see the guide)",
                     folder.c_str(), (st.st_mode & S_IWOTH) ? "others" : "its group");
    } else if (strcmp(r->name, "site=") == 0 && !valid_utf8(value)) {
        snprintf(r->warning, sizeof r->warning,
                 "site= is not valid UTF-8: the metrics and the report's picture show U+FFFD in its place");
    } else if (strcmp(r->name, "serial_port=") == 0) {
        struct stat st;
        if (!valid_utf8(mon.SERIAL_PORT))
            snprintf(r->warning, sizeof r->warning,
                     "the serial device's name is not valid UTF-8: the metrics show U+FFFD in its place");
        else if (stat(mon.SERIAL_PORT, &st) != 0 && errno == ENOENT)
            snprintf(r->warning, sizeof r->warning, "serial device %s does not exist now", mon.SERIAL_PORT);
    }
}

ParResult parse_parline(const char* line) {
    ParResult r;
    if (line[0] == ';' || only_white(line)) return r;
    const char* eq = strchr(line, '=');
    if (!eq) {
        r.kind = ParKind::Unknown;
        name_unknown(&r, line, strcspn(line, "\r\n"));
        return r;
    }
    size_t namelen = static_cast<size_t>(eq - line) + 1;
    if (namelen > sizeof r.name - 1) namelen = sizeof r.name - 1;
    memcpy(r.name, line, namelen);
    r.name[namelen] = '\0';

    const char* v = eq + 1;
    v += strspn(v, WHITE);
    Word w{v, strcspn(v, WHITE)};

    r.kind = ParKind::Applied;
    if (strcmp(r.name, "serial_port=") == 0) {
        if (w.len == 0)
            bad_value(&r, "empty");
        else
            set_serial_port(w, &r);
        warn_of(&r, w);
        return r;
    }
    for (const TextParameter& t : text_parameters) {
        if (strcmp(r.name, t.name) != 0) continue;
        if (w.len == 0)
            bad_value(&r, "empty");
        else if (!t.set(w))
            bad_value(&r, "longer than 255 characters");
        else if (t.set == set_maildest)
            refuse_option_recipients(&r);
        warn_of(&r, w);
        return r;
    }
    r.kind = ParKind::Unknown;
    name_unknown(&r, line, static_cast<size_t>(eq - line));
    return r;
}

// One line of the file as read: at most PARLINE_MAX characters are kept;
// the rest, up to the newline, is dropped so that it can never be taken for
// a line of its own.
struct ParLine {
    char text[PARLINE_MAX + 2];  // the characters kept, the newline if kept, a terminator
    bool newline = false;        // the line ended with a newline in the file
    bool overlong = false;       // it had more than PARLINE_MAX characters
};

static bool read_parline(FILE* f, ParLine* l) {
    size_t len = 0;
    int c = EOF;
    l->newline = l->overlong = false;
    while ((c = getc(f)) != EOF && c != '\n') {
        if (len < static_cast<size_t>(PARLINE_MAX))
            l->text[len++] = static_cast<char>(c);
        else
            l->overlong = true;
    }
    if (c == EOF && len == 0 && !l->overlong) return false;
    l->newline = c == '\n';
    if (l->newline && !l->overlong) l->text[len++] = '\n';
    l->text[len] = '\0';
    return true;
}

// The line on the console as it stands in the file (a zero byte ends its
// text), and in the message log as one record ending in exactly one newline.
static void echo_parline(const ParLine& l) {
    size_t len = strlen(l.text);
    bool has_newline = len > 0 && l.text[len - 1] == '\n';
    say("%s%s", l.text, !has_newline && (l.newline || l.overlong) ? "\n" : "");
    append_record(REC_PARAMETER_LINE, static_cast<int>(has_newline ? len - 1 : len), l.text);
}

// Reading the file, at start-up (echoed, recorded and counted, problems
// also on standard error) or as a check (problems on standard output only).
struct ParReading {
    const char* file;
    bool running;
    int problems = 0;
    bool crlf_told = false;
};

// A problem in the form "FILE:LINE: problem", on standard error, where a
// service manager's journal hears it.
static void name_problem(ParReading& pr, int line, const char* finding) {
    pr.problems++;
    report("%s:%d: %s\n", pr.file, line, finding);
}

static void warn(const ParReading& pr, int line, const char* text) {
    report("%s:%d: warning: %s\n", pr.file, line, text);
}

// What is wrong with the file as a whole shows at the first line it touches.
static void warn_of_file(ParReading& pr, int number, const ParLine& line) {
    if (number == 1 && strncmp(line.text, "\xEF\xBB\xBF", 3) == 0)
        warn(pr, number, "the file starts with a byte-order mark: this line's parameter is not recognised");
    size_t len = strlen(line.text);
    if (len > 0 && line.text[len - 1] == '\n') len--;
    if (!pr.crlf_told && len > 0 && line.text[len - 1] == '\r') {
        pr.crlf_told = true;
        warn(pr, number, "CR LF line ends: the CR is kept in the message log's copy of each line");
    }
}

// What the running logger says and records of a line's problems.
static void act_on_problems(const ParResult& r) {
    // Each a failure of the minute with its own numbered record, also on the console.
    if (r.kind == ParKind::Unknown) {
        record_failure(Shown::Text, REC_UNKNOWN_PARAMETER);
    } else if (r.kind == ParKind::BadValue) {
        record_failure(Shown::Text, REC_BAD_VALUE, r.name);
    } else if (r.kind == ParKind::Unsupported) {
        report("%s", r.problem);
    }
}

// After an unsupported value the rest of the file is not read: the lines it
// leaves out are named, and the running logger records it, so that the
// operator off site hears of it.
static void stop_reading(ParReading& pr, FILE* f, int line, const ParResult& r) {
    int rest = 0;
    bool in_line = false;
    for (int c; (c = getc(f)) != EOF;) {
        if (!in_line) rest++;
        in_line = c != '\n';
    }
    if (rest > 0) {
        char text[64];
        snprintf(text, sizeof text, "this line and the %d after it are not read", rest - 1);
        name_problem(pr, line + 1, text);
    }
    if (!pr.running) return;
    record_failure(Shown::Nothing, REC_UNSUPPORTED_VALUE, line, r.value);
}

static void read_parameters(ParReading& pr, FILE* f) {
    ParLine line;
    int number = 1;
    for (; read_parline(f, &line); number++) {
        if (pr.running) echo_parline(line);
        ParResult r = parse_parline(line.text);
        if (pr.running) act_on_problems(r);
        warn_of_file(pr, number, line);
        if (r.finding[0] != '\0') name_problem(pr, number, r.finding);
        if (r.warning[0] != '\0') warn(pr, number, r.warning);
        if (line.overlong) {
            if (pr.running) record_failure(Shown::Text, REC_LONG_PARAMETER_LINE);
            name_problem(pr, number, "line longer than 510 characters, the rest ignored");
        }
        if (r.kind == ParKind::Unsupported) {
            stop_reading(pr, f, number, r);
            return;
        }
    }
    if (ferror(f))
        report("%s: %s\n", pr.file, strerror(errno));
    else if (number == 1)
        report("%s: warning: the file is empty: the logger runs on its defaults\n", pr.file);
}

// --- who may change the settings ----------------------------------------------

// The packaged units' user: the one whose settings are checked when root runs the check.
constexpr const char* SERVICE_USER = "kestlog";

// Whether the user uid (with these groups) may write what st describes.
static bool may_write(const struct stat& st, uid_t uid, const std::vector<gid_t>& groups) {
    if (uid == 0) return true;
    if (st.st_uid == uid) return true;  // an owner can always make it writable
    if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end()) return st.st_mode & S_IWGRP;
    return st.st_mode & S_IWOTH;
}

// A file mounted over its name (the units bind the settings read-only into
// the working directory) cannot be written, nor renamed or removed.
static bool mounted_read_only(const char* file) {
    struct statx sx;
    if (statx(AT_FDCWD, file, 0, STATX_BASIC_STATS, &sx) != 0) return false;
    return (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) &&
           access(file, W_OK) != 0 && errno == EROFS;
}

// Warns when the logger's user could change its own settings: the file, or
// the folder that holds it (where it could be replaced), is writable by it.
// Root checks for the packaged units' user; anyone else for themselves.
static void warn_if_daemon_may_write(const char* file) {
    struct stat fst, dst;
    if (stat(file, &fst) != 0 || mounted_read_only(file)) return;
    std::string folder = file;
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    if (stat(folder.c_str(), &dst) != 0) return;
    uid_t uid = geteuid();
    std::vector<gid_t> groups;
    char name[USER_NAME_MAX];
    if (uid == 0) {
        struct passwd* pw = getpwnam(SERVICE_USER);
        if (!pw) return;
        uid = pw->pw_uid;
        int n = 0;
        getgrouplist(SERVICE_USER, pw->pw_gid, nullptr, &n);  // how many
        groups.resize(static_cast<size_t>(n));
        if (getgrouplist(SERVICE_USER, pw->pw_gid, groups.data(), &n) < 0) groups.assign(1, pw->pw_gid);
    } else {
        groups.push_back(getegid());
        gid_t more[256];
        int n = getgroups(256, more);
        for (int i = 0; i < n; i++) groups.push_back(more[i]);
    }
    user_name(uid, name, sizeof name);
    const char* what = may_write(fst, uid, groups)   ? file
                       : may_write(dst, uid, groups) ? folder.c_str()
                                                     : nullptr;
    if (what)
        report(
            "%s: warning: the logger's user %s may write %s, and so change its own settings; keep them "
            "where only root writes, as /etc/kestlog/NAME.par, readable by the group kestlog\n",
            file, name, what);
}

int readparfile() {
    say("\nUsing parameter file: %s\n", mon.full_param_file);
    ParReading pr{mon.full_param_file, true};
    FILE* f = fopen(mon.full_param_file, "re");
    if (!f) {
        report("%s: %s; the logger would use its defaults\n", mon.full_param_file, strerror(errno));
        say("Parameter file was not found, will use defaults\n");
        record_failure(Shown::Nothing, REC_PARFILE_MISSING, mon.full_param_file);
        return 0;
    }
    read_parameters(pr, f);
    fclose(f);
    return 0;
}

static long baud_of(speed_t code) {
    static const struct {
        speed_t code;
        long baud;
    } speeds[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},  {B9600, 9600},
                  {B19200, 19200}, {B38400, 38400}, {B57600, 57600}};
    for (const auto& s : speeds) {
        if (s.code == code) return s.baud;
    }
    return 0;
}

// The settings the logger would run with, one "name: value" a line.
static void print_settings() {
    say("device: %s\n", mon.SERIAL_PORT);
    say("speed: %ld\n", baud_of(mon.SERIAL_BAUDRATE));
    say("data bits: %d\n", mon.SERIAL_BIT == CS8 ? 8 : 7);
    say("parity: %s\n", mon.SERIAL_PARITY == 0 ? "none" : (mon.SERIAL_PARITY & PARODD) ? "odd" : "even");
    say("stop bits: %d\n", mon.SERIAL_STOPB == CSTOPB ? 2 : 1);
    say("site: %s\n", mon.site);
    // As the mail command gets them: one argument for each word.
    for (const char* p = mon.maildest + strspn(mon.maildest, " "); *p; p += strspn(p, " ")) {
        size_t n = strcspn(p, " ");
        say("mail recipient: %.*s\n", static_cast<int>(n), p);
        p += n;
    }
    say("e-mail: %s\n", mon.kessendmail == 'Y' ? "on" : "off");
    if (mon.metrics_file[0]) say("metrics file: %s\n", mon.metrics_file);
}

int checkparfile(const char* file) {
    ParReading pr{file, false};
    FILE* f = fopen(file, "re");
    if (f) {
        read_parameters(pr, f);
        fclose(f);
        warn_if_daemon_may_write(file);
    } else {
        report("%s: %s; the logger would use its defaults\n", file, strerror(errno));
        pr.problems++;
    }
    print_settings();
    return pr.problems == 0 ? 0 : 1;
}
