// The archive's settings: one small file per instrument, NAME=VALUE a line,
// ';' starting a comment. Not the logger's parameter file.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "archive.h"
#include "core/core.h"

namespace {

// A word of the destination: letters, digits and . _ - (a user or a host),
// not starting with '-', which ssh would read as an option.
bool plain_word(const std::string& s) {
    if (s.empty() || s[0] == '-') return false;
    for (char c : s) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
    }
    return true;
}

// A folder below the one the archive host's forced command gives the site:
// relative, without "..", of plain characters; "" is that folder itself.
bool plain_path(const std::string& p) {
    if (p.empty()) return true;
    if (p[0] == '/' || p.find("..") != std::string::npos) return false;
    for (char c : p) {
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr("._-/", c)) return false;
    }
    return true;
}

bool number(const std::string& v, long long most, long long* out) {
    if (v.empty() || v.size() > 12) return false;
    for (char c : v) {
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    }
    *out = std::strtoll(v.c_str(), nullptr, 10);
    return *out <= most;
}

struct Reading {
    const char* file;
    int line;
    int problems = 0;
    void problem(const char* fmt, const std::string& what) {
        problems++;
        fprintf(stderr, "%s:%d: ", file, line);
        fprintf(stderr, fmt, what.c_str());
        fputc('\n', stderr);
    }
};

// One NAME=VALUE: applied, or named as a problem.
void apply(Reading& r, const std::string& name, const std::string& value, ArchiveSettings* s) {
    long long n = 0;
    if (name == "destination") {
        size_t at = value.find('@'), colon = value.find(':');
        if (at == std::string::npos || colon == std::string::npos || colon < at ||
            !plain_word(value.substr(0, at)) || !plain_word(value.substr(at + 1, colon - at - 1)) ||
            !plain_path(value.substr(colon + 1)))
            return r.problem("destination=%s: not USER@HOST:PATH (PATH relative, without '..')", value);
        s->user = value.substr(0, at);
        s->host = value.substr(at + 1, colon - at - 1);
        s->path = value.substr(colon + 1);
        while (!s->path.empty() && s->path.back() == '/') s->path.pop_back();
    } else if (name == "key" || name == "known_hosts" || name == "metrics_file") {
        // ssh's command line for rsync is split at spaces, and quotes are its own.
        if (value.empty() || value[0] != '/' || !plain_path(value.substr(1)))
            return r.problem((name + "=%s: not an absolute path of letters, digits and . _ - /").c_str(),
                             value);
        (name == "key" ? s->key : name == "known_hosts" ? s->known_hosts : s->metrics_file) = value;
    } else if (name == "port") {
        if (!number(value, 65535, &n) || n == 0) return r.problem("port=%s: not a port", value);
        s->port = static_cast<int>(n);
    } else if (name == "bandwidth_kbps") {
        if (!number(value, 1000000000, &n)) return r.problem("bandwidth_kbps=%s: not a whole number", value);
        s->bandwidth_kbps = static_cast<long>(n);
    } else if (name == "live") {
        if (value != "Y" && value != "N") return r.problem("live=%s: Y or N", value);
        s->live = value == "Y";
    } else if (name == "keep_days" || name == "grace_hours") {
        if (!number(value, 100000, &n)) return r.problem((name + "=%s: not a whole number").c_str(), value);
        (name == "keep_days" ? s->keep_days : s->grace_hours) = static_cast<int>(n);
    } else if (name == "keep_free_mb") {
        if (!number(value, 1000000000, &n)) return r.problem("keep_free_mb=%s: not a whole number", value);
        s->keep_free_mb = n;
    } else {
        r.problem("unknown setting %s", name);
    }
}

}  // namespace

int read_archive_settings(const char* file, ArchiveSettings* s) {
    std::ifstream in(file);
    if (!in) {
        fprintf(stderr, "%s: %s\n", file, strerror(errno));
        return 1;
    }
    Reading r{file, 0};
    std::string line;
    while (std::getline(in, line)) {
        r.line++;
        size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == ';') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            r.problem("unknown setting %s", line.substr(start));
            continue;
        }
        std::string value = line.substr(eq + 1);
        size_t v = value.find_first_not_of(" \t");
        value = v == std::string::npos ? "" : value.substr(v);
        size_t end = value.find_last_not_of(" \t\r");
        value.resize(end == std::string::npos ? 0 : end + 1);
        // One value a line: a second word is a mistake, not a comment.
        if (value.find_first_of(" \t") != std::string::npos) {
            r.problem("%s: one value a line, not more", line.substr(start));
            continue;
        }
        apply(r, line.substr(start, eq - start), value, s);
    }
    if (s->host.empty()) {
        r.problems++;
        fprintf(stderr, "%s: no destination= (USER@HOST:PATH)\n", file);
    }
    if (s->key.empty()) {
        r.problems++;
        fprintf(stderr, "%s: no key= (the site's private key)\n", file);
    }
    return r.problems;
}

int check_archive_settings(const char* file, const ArchiveSettings& s) {
    int problems = 0;
    struct stat st;
    if (stat(s.key.c_str(), &st) != 0 || access(s.key.c_str(), R_OK) != 0) {
        problems++;
        fprintf(stderr, "%s: key %s: %s\n", file, s.key.c_str(), strerror(errno));
    } else if (st.st_mode & 077) {
        // ssh refuses a key its user owns that others may read, and the run
        // would blame the archive host; one of another owner is the job's
        // to read only.
        problems++;
        fprintf(stderr, "%s: key %s is readable by %s: ssh refuses it (chmod 600 %s)\n", file, s.key.c_str(),
                (st.st_mode & 007) ? "others" : "its group", s.key.c_str());
    }
    if (access(s.known_hosts.c_str(), R_OK) != 0) {
        problems++;
        fprintf(stderr, "%s: known hosts %s: %s (add the archive host's key: ssh-keyscan -p %d %s >> %s)\n",
                file, s.known_hosts.c_str(), strerror(errno), s.port, s.host.c_str(), s.known_hosts.c_str());
    }
    if (!s.metrics_file.empty()) {
        std::string folder = s.metrics_file.substr(0, s.metrics_file.rfind('/'));
        if (stat(folder.empty() ? "/" : folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            fprintf(stderr, "%s: warning: metrics folder %s does not exist\n", file, folder.c_str());
        else if (st.st_mode & (S_IWGRP | S_IWOTH))
            fprintf(stderr, "%s: warning: metrics folder %s is writable by %s\n", file, folder.c_str(),
                    (st.st_mode & S_IWOTH) ? "others" : "its group");
    }
    printf("destination: %s@%s:%s (port %d)\nkey: %s\nknown hosts: %s\n", s.user.c_str(), s.host.c_str(),
           s.path.c_str(), s.port, s.key.c_str(), s.known_hosts.c_str());
    if (s.bandwidth_kbps > 0)
        printf("bandwidth: %ld KiB/s at most\n", s.bandwidth_kbps);
    else
        printf("bandwidth: no limit\n");
    printf("live files: %s\n", s.live ? "sent" : "not sent");
    if (s.keep_days > 0 || s.keep_free_mb > 0)
        printf(
            "deletes confirmed files: older than %d days, and while less than %lld MB are free; after %d "
            "hours\n",
            s.keep_days, s.keep_free_mb, s.grace_hours);
    else
        printf("deletes nothing\n");
    return problems;
}
