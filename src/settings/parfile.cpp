// The parameter file kestlog.par: one "name=value" per line.
#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// "path,speed,bits,parity,stopbits". Each field is applied as soon as it is
// accepted; missing fields keep their values; the first refused field ends
// the reading of the file.
static void set_serial_port(Word w, ParResult* r) {
    const char* end = w.text + w.len;
    const char* comma = static_cast<const char*>(memchr(w.text, ',', w.len));
    Word path{w.text, comma ? static_cast<size_t>(comma - w.text) : w.len};
    if (path.len == 0 || !set_text(mon.SERIAL_PORT, path)) {
        r->kind = ParKind::BadValue;
        return;
    }
    const char* p = path.text + path.len;
    long n;
    if (!next_field(&p, end) || !read_int(&p, end, &n)) return;
    if (!speed_code(n, &mon.SERIAL_BAUDRATE)) {
        r->kind = ParKind::Unsupported;
        r->problem = "Unsupported baud rate\n";
        return;
    }
    if (!next_field(&p, end) || !read_int(&p, end, &n)) return;
    if (n != 7 && n != 8) {
        r->kind = ParKind::Unsupported;
        r->problem = "Unsupported data size\n";
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
        r->kind = ParKind::Unsupported;
        r->problem = "Unsupported parity\n";
        return;
    }
    if (!next_field(&p, end) || !read_int(&p, end, &n)) return;
    if (n != 1 && n != 2) {
        r->kind = ParKind::Unsupported;
        r->problem = "Unsupported stop bits\n";
        return;
    }
    mon.SERIAL_STOPB = n == 2 ? CSTOPB : 0;
}

struct TextParameter {
    const char* name;
    bool (*set)(Word);
};

static const TextParameter text_parameters[] = {
    {"KESTLOG.PAR_updated=", set_pardate},
    {"site=", set_site},
    {"maildest=", set_maildest},
    {"kessendmail=", set_kessendmail},
};

ParResult parse_parline(const char* line) {
    ParResult r;
    if (line[0] == ';' || only_white(line)) return r;
    const char* eq = strchr(line, '=');
    if (!eq) {
        r.kind = ParKind::Unknown;
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
            r.kind = ParKind::BadValue;
        else
            set_serial_port(w, &r);
        return r;
    }
    for (const TextParameter& t : text_parameters) {
        if (strcmp(r.name, t.name) != 0) continue;
        if (w.len == 0 || !t.set(w)) r.kind = ParKind::BadValue;
        return r;
    }
    r.kind = ParKind::Unknown;
    return r;
}

// A failure of the minute with its own numbered record.
static void count_failure() {
    mon.kesfm++;
    mon.kesfd++;
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
    append_record("%.*s\n", static_cast<int>(has_newline ? len - 1 : len), l.text);
}

// A failure of the minute with its own numbered record, also on the console.
static void parline_problem(const char* text) {
    say("%s\n", text);
    count_failure();
    append_record("%s\n", text);
}

int readparfile() {
    say("\nUsing parameter file: %s\n", mon.full_param_file);
    FILE* f = fopen(mon.full_param_file, "r");
    if (!f) {
        if (errno != ENOENT) report("%s: %s\n", mon.full_param_file, strerror(errno));
        say("Parameter file was not found, will use defaults\n");
        count_failure();
        append_record("parameter file %s was not found, will use defaults\n", mon.full_param_file);
        return 0;
    }
    ParLine line;
    while (read_parline(f, &line)) {
        echo_parline(line);
        ParResult r = parse_parline(line.text);
        if (r.kind == ParKind::Unknown) {
            parline_problem("unknown parameter");
        } else if (r.kind == ParKind::BadValue) {
            char text[PARLINE_MAX + 32];
            snprintf(text, sizeof text, "bad value for %s", r.name);
            parline_problem(text);
        } else if (r.kind == ParKind::Unsupported) {
            report("%s", r.problem);
        }
        if (line.overlong) parline_problem("parameter line longer than 510 characters, the rest ignored");
        if (r.kind == ParKind::Unsupported) break;
    }
    if (ferror(f)) report("%s: %s\n", mon.full_param_file, strerror(errno));
    fclose(f);
    return 0;
}
