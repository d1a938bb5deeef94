// What a site's key may run: the rsync commands kestlog-archive sends,
// option word by option word, and the bounds of its folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "kestarchive.h"

namespace {

// An option's word as rsync hands it to the server: "--name=value", or
// "--name" and its value as the next word.
struct Option {
    std::string name, value;
};

// The value each option may take: a number, or one fixed text.
struct Allowed {
    const char* name;
    const char* fixed;  // nullptr: a number; "": no value
};

const Allowed NUMBERS[] = {{"compress-level", nullptr}, {"timeout", nullptr}, {"bwlimit", nullptr}};

bool number(const std::string& v) {
    return !v.empty() && v.size() <= 9 &&
           std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

struct Kind {
    GateKind kind;
    const char* target;
    const char* flags_required;
    const char* flags_allowed;
    std::vector<Allowed> options;  // beside NUMBERS and stats
    std::vector<const char*> required;
};

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> k = {
        {GateKind::LiveAppend, "live/", "t", "tz", {{"append", ""}}, {"append"}},
        {GateKind::LivePlain, "live/", "t", "tz", {}, {}},
        {GateKind::Incoming,
         "incoming/",
         "tR",
         "tRz",
         {{"partial-dir", ARCHIVE_PARTIAL}, {"copy-dest", "../live"}},
         {"partial-dir"}},
        {GateKind::Verify,
         "verify/",
         "ncR",
         "ncRz",
         {{"log-format", "%i%I"}, {"compare-dest", "../data"}},
         {"log-format", "compare-dest"}},
    };
    return k;
}

// The words of the command: plain characters only, one space apart.
bool split(std::string_view command, std::vector<std::string>* words, std::string* why) {
    for (unsigned char c : command) {
        if (c < 0x21 && c != ' ') return *why = "a control character in the command", false;
        if (c > 0x7e || strchr("\\'\"`$;&|<>()*?[]{}~", c))
            return *why = "a character no command of kestlog-archive has", false;
    }
    size_t at = 0;
    while (at < command.size()) {
        size_t end = command.find(' ', at);
        if (end == at) return *why = "two spaces in a row", false;
        words->push_back(std::string(command.substr(at, end == std::string_view::npos ? end : end - at)));
        at = end == std::string_view::npos ? command.size() : end + 1;
    }
    return true;
}

// "-tRze.LsfxCIvu": the option letters, then rsync's protocol extension
// ("e", a version, "." and its letters), which is no option.
bool flag_word(const std::string& w, std::string* letters) {
    if (w.size() < 2 || w[0] != '-' || w[1] == '-') return false;
    size_t e = w.find('e');
    *letters = w.substr(1, e == std::string::npos ? std::string::npos : e - 1);
    for (size_t i = e == std::string::npos ? w.size() : e + 1; i < w.size(); i++) {
        if (!isalnum(static_cast<unsigned char>(w[i])) && w[i] != '.') return false;
    }
    return std::all_of(letters->begin(), letters->end(),
                       [](char c) { return isalpha(static_cast<unsigned char>(c)); });
}

GateDecision refuse(const std::string& why) {
    GateDecision d;
    d.reason = why;
    return d;
}

// Options rsync hands to the server with their folder or file as the next
// word (named so that a refusal names them whole).
bool takes_folder(const std::string& name) {
    for (const char* n : {"partial-dir", "copy-dest", "compare-dest", "link-dest", "backup-dir", "temp-dir",
                          "log-file", "files-from"}) {
        if (name == n) return true;
    }
    return false;
}

bool flags_fit(const Kind& k, const std::string& letters, std::string* why) {
    for (char c : letters) {
        if (!strchr(k.flags_allowed, c))
            return *why = std::string("option -") + c + " is not allowed to " + k.target, false;
    }
    for (const char* r = k.flags_required; *r; r++) {
        if (letters.find(*r) == std::string::npos)
            return *why = std::string("option -") + *r + " is required to " + k.target, false;
    }
    return true;
}

// The options of one kind, checked: the kind's fixed values, the numbers,
// --stats, --append only as --append-verify sends it (twice).
bool options_fit(const Kind& k, const std::vector<Option>& opts, std::string* why) {
    int appends = 0;
    for (const Option& o : opts) {
        bool fits = o.name == "stats" && o.value.empty();
        for (const Allowed& a : NUMBERS) fits = fits || (o.name == a.name && number(o.value));
        for (const Allowed& a : k.options) fits = fits || (o.name == a.name && o.value == a.fixed);
        if (o.name == "append") appends++;
        if (!fits)
            return *why = "option --" + o.name + (o.value.empty() ? "" : "=" + o.value) + " is not allowed",
                   false;
    }
    for (const char* r : k.required) {
        if (std::none_of(opts.begin(), opts.end(), [&](const Option& o) { return o.name == r; }))
            return *why = std::string("--") + r + " is missing", false;
    }
    if (appends != 0 && appends != 2) return *why = "--append without verification is not allowed", false;
    return true;
}

}  // namespace

GateDecision gate_decide(std::string_view command) {
    std::vector<std::string> w;
    std::string why;
    if (!split(command, &w, &why)) return refuse(why);
    if (w.size() < 2 || w[0] != "rsync" || w[1] != "--server") return refuse("only rsync is allowed");
    if (w.size() > 2 && w[2] == "--sender") return refuse("reading from the archive is not allowed");
    std::string letters;
    if (w.size() < 5 || !flag_word(w[2], &letters)) return refuse("not a command of kestlog-archive");
    // Options up to ".", then the target alone.
    std::vector<Option> opts;
    size_t i = 3;
    for (; i < w.size() && w[i] != "."; i++) {
        if (w[i].compare(0, 2, "--") != 0) return refuse("option " + w[i] + " is not allowed");
        Option o;
        size_t eq = w[i].find('=');
        o.name = w[i].substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        if (eq != std::string::npos) {
            o.value = w[i].substr(eq + 1);
        } else if (takes_folder(o.name)) {
            if (++i >= w.size()) return refuse("--" + o.name + " without its folder");
            o.value = w[i];
        }
        opts.push_back(o);
    }
    if (i + 2 != w.size()) return refuse("one target is allowed, after \".\"");
    const std::string& target = w[i + 1];
    std::string last_why =
        "target " + target + " is not allowed (only live/, incoming/ and verify/ of the site's own folder)";
    for (const Kind& k : kinds()) {
        if (target != k.target || !flags_fit(k, letters, &last_why) || !options_fit(k, opts, &last_why))
            continue;
        GateDecision d;
        d.allowed = true;
        d.kind = k.kind;
        d.argv = {"rsync", "--server", w[2]};
        bool timed = false;
        for (const Option& o : opts) {
            std::string value = o.value;
            // A stalled transfer ends on this side too, whatever the site asked.
            if (o.name == "timeout") {
                timed = true;
                long t = std::atol(value.c_str());
                if (t <= 0 || t > GATE_TIMEOUT_MAX_S) value = std::to_string(GATE_TIMEOUT_MAX_S);
            }
            d.argv.push_back("--" + o.name + (value.empty() ? "" : "=" + value));
        }
        if (!timed) d.argv.push_back("--timeout=" + std::to_string(GATE_TIMEOUT_MAX_S));
        d.argv.insert(d.argv.end(), {".", target});
        return d;
    }
    return refuse(last_why);
}

Bounds read_bounds(const std::string& site_dir) {
    Bounds b;
    std::ifstream in(site_dir + "/" + SITE_CONF);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos || !number(line.substr(eq + 1))) continue;
        long long v = std::atoll(line.c_str() + eq + 1);
        if (line.compare(0, eq, "max_bytes") == 0) b.max_bytes = v;
        if (line.compare(0, eq, "max_files") == 0) b.max_files = v;
    }
    return b;
}

namespace {

void add_usage(int dirfd, int depth, long long stop, Usage* u) {
    DIR* d = fdopendir(dirfd);
    if (!d) {
        close(dirfd);
        return;
    }
    while (struct dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        struct stat st;
        if (fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        u->files++;
        u->bytes += static_cast<long long>(st.st_blocks) * 512;
        if (u->files > stop) break;
        if (S_ISDIR(st.st_mode) && depth < 16) {
            int sub = openat(dirfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) add_usage(sub, depth + 1, stop, u);
        }
    }
    closedir(d);
}

}  // namespace

Usage usage_of(const std::string& dir, long long stop_files) {
    Usage u;
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) add_usage(fd, 0, stop_files, &u);
    return u;
}

bool site_name(std::string_view name) {
    if (name.empty() || name.size() > 32 || !(name[0] >= 'a' && name[0] <= 'z')) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

std::vector<std::string> list_sites(const std::string& root) {
    std::vector<std::string> out;
    DIR* d = opendir(root.c_str());
    if (!d) return out;
    while (struct dirent* e = readdir(d)) {
        struct stat st;
        if (site_name(e->d_name) && stat((root + "/" + e->d_name + "/" + SITE_CONF).c_str(), &st) == 0)
            out.push_back(e->d_name);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}
