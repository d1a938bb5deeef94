// Helpers shared by the end-to-end tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

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

// Starts a logger on a fake clock from the given moment (UTC), e.g.
// "2015-06-16 14:02:11 x10" for a clock ten times fast.
inline void start_at(Logger& log, const std::string& when, LoggerOptions opts = LoggerOptions()) {
    opts.faketime = "@" + when;
    log.start(opts);
}
