// The way to the archive host: rsync over one shared ssh connection, every
// step bounded, what crossed counted, and a failure told by its side.
#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "core/core.h"

namespace {

constexpr const char* SHARED_LINK = "archive/link";  // the ssh connection a run's rsyncs share
constexpr int IO_TIMEOUT_S = 60;                     // rsync gives up on a transfer that stalls this long
constexpr int CONNECT_TIMEOUT_S = 20;                // ssh gives up on a host that does not answer
constexpr int ALIVE_INTERVAL_S = 15;                 // and on one that stops answering, after
constexpr int ALIVE_COUNT = 4;                       //   this many unanswered probes
// Packets are text: zstd at this level (or zlib at its best, with an older
// rsync at the far end) takes a fifth off the default's bytes, at a third
// of a second of one core a day of packets.
constexpr int COMPRESS_LEVEL = 9;

std::vector<const char*> c_args(const std::vector<std::string>& args) {
    std::vector<const char*> c;
    for (const std::string& a : args) c.push_back(a.c_str());
    c.push_back(nullptr);
    return c;
}

// The line of rsync's or ssh's words that says what went wrong: the first
// that says something, shown as text (the far end's bytes never reach the
// journal raw).
std::string first_line(const std::string& out) {
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? out.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.find("connection unexpectedly closed") != std::string::npos ||
            line.find("@@@@@@@") != std::string::npos)
            continue;
        return shown_as_text(line, true);
    }
    return "";
}

// The fingerprint ssh says a host offered ("SHA256:..."), or "".
std::string offered_fingerprint(const std::string& out) {
    size_t at = out.find("SHA256:");
    if (at == std::string::npos) return "";
    size_t end = at + 7;
    while (end < out.size() && (isalnum(static_cast<unsigned char>(out[end])) || out[end] == '+' ||
                                out[end] == '/' || out[end] == '='))
        end++;
    return out.substr(at, end - at);
}

}  // namespace

// An identity of this site that a second site given the same folder (and
// key) cannot share: its name, host and working directory.
std::string site_identity(const std::string& site) {
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    char cwd[4096] = "";
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
    auto plain = [](std::string s, const char* also) {
        for (char& c : s) {
            if (!isalnum(static_cast<unsigned char>(c)) && !strchr(also, c)) c = '_';
        }
        return s.empty() ? std::string("-") : s;
    };
    return plain(site, "._-") + "@" + plain(host, "._-") + ":" + plain(cwd, "._-/");
}

std::vector<std::string> Link::ssh_args() const {
    auto o = [](const char* name, const std::string& v) { return std::string("-o") + name + "=" + v; };
    std::vector<std::string> args = {find_program("ssh"),
                                     "-i",
                                     s_.key,
                                     "-p",
                                     std::to_string(s_.port),
                                     "-oBatchMode=yes",
                                     "-oIdentitiesOnly=yes",
                                     o("ConnectTimeout", std::to_string(CONNECT_TIMEOUT_S)),
                                     o("ServerAliveInterval", std::to_string(ALIVE_INTERVAL_S)),
                                     o("ServerAliveCountMax", std::to_string(ALIVE_COUNT)),
                                     "-oStrictHostKeyChecking=yes",
                                     o("UserKnownHostsFile", s_.known_hosts),
                                     o("GlobalKnownHostsFile", s_.known_hosts),
                                     "-oLogLevel=ERROR",
                                     "-oControlMaster=auto",
                                     o("ControlPath", SHARED_LINK),
                                     o("ControlPersist", std::to_string(IO_TIMEOUT_S))};
    if (!identity_.empty()) args.push_back(o("SetEnv", std::string(SITE_ID_VARIABLE) + "=" + identity_));
    return args;
}

void Link::end_shared() const {
    if (access(SHARED_LINK, F_OK) != 0) return;
    std::vector<std::string> args = ssh_args();
    args.insert(args.end(), {"-O", "exit", "--", s_.host});
    std::string out;
    run_capture(c_args(args).data(), &out, CONNECT_TIMEOUT_S * 1000);
    unlink(SHARED_LINK);
}

Result Link::rsync(const std::vector<std::string>& options, const std::vector<std::string>& paths) {
    std::string ssh;  // paths of plain characters (the settings see to it): no quoting needed
    for (const std::string& a : ssh_args()) ssh += (ssh.empty() ? "" : " ") + a;
    std::vector<std::string> argv = {find_program("rsync"),
                                     "-e",
                                     ssh,
                                     "--timeout=" + std::to_string(IO_TIMEOUT_S),
                                     "-z",
                                     "--compress-level=" + std::to_string(COMPRESS_LEVEL)};
    if (s_.bandwidth_kbps > 0) argv.push_back("--bwlimit=" + std::to_string(s_.bandwidth_kbps));
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--");  // no file or folder name is ever read as an option
    argv.insert(argv.end(), paths.begin(), paths.end());
    Result r;
    long long left = deadline_ms_ - monotonic_ms();
    long long wrote = -1;
    r.status = left > 0 ? run_capture(c_args(argv).data(), &r.out, static_cast<int>(left), true, &wrote) : -1;
    if (r.status < 0 && (errno == ETIMEDOUT || left <= 0)) r.out += "\nthe run's limit was reached";
    // What rsync handed to ssh, its own words to us aside: what crossed,
    // whether the transfer ended well or was cut off.
    if (wrote > 0) sent_bytes += std::max(0LL, wrote - static_cast<long long>(r.out.size()));
    return r;
}

std::string Link::target(const char* area) const {
    return s_.user + "@" + s_.host + ":" + (s_.path.empty() ? "" : s_.path + "/") + area + "/";
}

std::string why(const Result& r) {
    auto has = [&](const char* text) { return r.out.find(text) != std::string::npos; };
    const std::string first = first_line(r.out);
    // The local key first: ssh refuses one others may read, and then the
    // archive host is asked without it.
    if (has("UNPROTECTED PRIVATE KEY FILE") || has("bad permissions") || has("Load key") ||
        has("invalid format"))
        return "the local key cannot be used: " + first;
    if (has("REMOTE HOST IDENTIFICATION HAS CHANGED") || has("Host key verification failed")) {
        std::string offered = offered_fingerprint(r.out);
        return "the archive host's key is not the one known" +
               (offered.empty() ? "" : " (it offered " + shown_as_text(offered, true) + ")") + ": " + first;
    }
    // ssh's "Permission denied (publickey)." names methods; a file's "(13)" is an errno.
    size_t denied = r.out.find("Permission denied (");
    if (denied != std::string::npos && denied + 19 < r.out.size() &&
        isalpha(static_cast<unsigned char>(r.out[denied + 19])))
        return "the archive host refused the key: " + first;
    if (has("Could not resolve hostname") || has("Connection timed out") || has("No route to host") ||
        has("Connection refused") || has("Network is unreachable") || has("connect to host"))
        return "the archive host is unreachable: " + first;
    if (has("Broken pipe") || has("Connection reset") || has("Timeout, server") || has("Connection closed by"))
        return "the link to the archive host broke: " + first;
    if (has("kestlog-archive-gate: refused")) return "the archive refused it: " + first;
    if (has("No space left on device") || has("Disk quota exceeded") || has("over its bound"))
        return "the archive is full: " + first;
    if (has("Read-only file system") || has("chdir") ||
        (has("Permission denied") && (has("mkstemp") || has("mkdir"))))
        return "the destination is not writable: " + first;
    if (has("timeout") || has("timed out") || has("the run's limit was reached"))
        return "the transfer stalled: " + first;
    return "rsync failed (status " +
           std::to_string(r.status >= 0 && WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1) + "): " + first;
}

long long stat_of(const std::string& out, const std::string& label) {
    size_t at = out.find(label + ": ");
    if (at == std::string::npos) return 0;
    long long n = 0;
    for (at += label.size() + 2;
         at < out.size() && (isdigit(static_cast<unsigned char>(out[at])) || out[at] == ','); at++)
        if (out[at] != ',') n = n * 10 + (out[at] - '0');
    return n;
}

Verdict verdict_of(const std::string& itemized, const std::string& name) {
    // rsync -ii: ".f" and blanks for a file the archive holds alike,
    // "<f+++++++++" for one it does not hold, "<f" and the differences else.
    for (size_t at = itemized.find(" " + name + "\n"); at != std::string::npos;
         at = itemized.find(" " + name + "\n", at + 1)) {
        if (at < 11 || (at > 11 && itemized[at - 12] != '\n')) continue;
        std::string flags = itemized.substr(at - 11, 11);
        if (flags.compare(0, 2, ".f") == 0) return Verdict::Same;
        if (flags == "<f+++++++++") return Verdict::Missing;
        if (flags.compare(0, 2, "<f") == 0) return Verdict::Differs;
    }
    return Verdict::Unknown;
}
