// Helpers shared by the end-to-end tests.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "e2e/harness.h"

// A regular expression matching s literally.
inline std::string lit(const std::string& s) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(s, special, R"(\$&)");
}

inline bool has_match(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

// A status packet of len bytes with the instrument's own time at 7-18 and the
// fault word at 86-89 (when it fits).
inline std::string status_packet(size_t len = 100, const std::string& fault = "0000") {
    std::string p =
        "\x01"
        "KES01 010101 00:00 ";
    while (p.size() < len - 1) p += static_cast<char>('A' + p.size() % 26);
    p.resize(len - 1);
    if (len >= 91) p.replace(86, 4, fault);
    return p + "\x04";
}

// The same packet as the logger stores it, stamped with yymmdd hh:mm.
inline std::string stamped(std::string packet, const std::string& stamp) {
    packet.replace(7, 12, stamp);
    return packet;
}

inline std::string stx_packet(const std::string& body) { return "\x02" + body + "\x04"; }

// The alert body's line that names where it comes from.
inline std::string site_line(const std::string& site = "WXX") {
    char host[256] = "";
    gethostname(host, sizeof host);
    return "kestlog at site " + site + " on host " + host + "\n";
}

// The alert body's heading before the message log's tail, for a log of yyyymmdd.
inline std::string tail_heading(const std::string& yyyymmdd) {
    return "The last lines of the message log ./data/MESKES" + yyyymmdd + ".txt:\n";
}

// An alert body's last line: where to look closer.
inline std::string look_closer(const std::string& dir) { return "kestctl -C " + dir + " status\n"; }

// Starts a logger on a fake clock from the given moment (UTC), e.g.
// "2015-06-16 14:02:11 x10" for a clock ten times fast.
inline void start_at(Logger& log, const std::string& when, LoggerOptions opts = LoggerOptions()) {
    opts.faketime = "@" + when;
    log.start(opts);
}

// A service manager's notify socket (NOTIFY_SOCKET=path): what the logger tells it.
struct NotifySocket {
    int fd = -1;
    std::vector<std::string> said;
    explicit NotifySocket(const std::string& path) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~NotifySocket() {
        if (fd >= 0) close(fd);
    }
    // Takes messages until one matches pattern, for at most timeout_ms: that one, or "".
    std::string wait_for(const std::string& pattern, int timeout_ms = 10000) {
        for (int waited = 0; fd >= 0 && waited < timeout_ms; waited += 50) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[512];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0) said.emplace_back(buf, static_cast<size_t>(n));
            if (n > 0 && has_match(said.back(), pattern)) return said.back();
        }
        return "";
    }
};
