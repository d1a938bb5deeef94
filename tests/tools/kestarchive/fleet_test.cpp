// The fleet's figures, read from sites' folders as the archive holds them:
// a day's minutes in proportion, "not yet arrived" apart from lost, the
// calendar's odd days, the cache, and the page telling what its CSV tells.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>

#include "kestarchive.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;

// Status packets, one a minute from minute `from` to before `to` of date.
std::string packets(int date, int from, int to) {
    std::string out;
    for (int m = from; m < to; m++) {
        char p[64];
        snprintf(p, sizeof p, "\x01KES01 %06d %02d:%02d a\x04", date % 1000000, m / 60, m % 60);
        out += p;
    }
    return out;
}

struct Site {
    std::string dir;
    explicit Site(const std::string& root, const std::string& name, const std::string& zone, time_t added) {
        dir = root + "/" + name;
        for (const char* sub : {"", "/data", "/live"}) fs::create_directories(dir + sub);
        std::ofstream(dir + "/site.conf") << "zone=" << zone << "\n";
        struct utimbuf t = {added, added};
        utime((dir + "/site.conf").c_str(), &t);
    }
    // A file sealed at `when`, its sha256 stood in for by `sum`.
    void seal(const std::string& name, const std::string& text, time_t when, char sum = 'a') const {
        std::ofstream(dir + "/data/" + name) << text;
        std::ofstream(dir + "/record", std::ios::app)
            << sealed_line({name, static_cast<long long>(text.size()), std::string(64, sum), when});
    }
    void day(int date, time_t when, int from = 0, int to = 1440) const {
        seal("KES" + std::to_string(date) + ".txt", packets(date, from, to), when);
    }
};

struct Root {
    FleetOptions o;
    explicit Root(time_t now, int days = 10) {
        char tmpl[] = "/tmp/kestarchive-fleet-XXXXXX";
        EXPECT_NE(mkdtemp(tmpl), nullptr);
        o.root = std::string(tmpl) + "/sites";
        o.out = std::string(tmpl) + "/page";
        o.cache = std::string(tmpl) + "/cache";
        for (const std::string& d : {o.root, o.out, o.cache}) fs::create_directories(d);
        o.now = now;
        o.days = days;
    }
};

const FleetDay& on(const FleetSite& s, int date) {
    for (const FleetDay& d : s.days)
        if (d.date == date) return d;
    static FleetDay none;
    ADD_FAILURE() << s.name << " has no day " << date;
    return none;
}

}  // namespace

// Each case: a site's folder as the archive holds it, and what its days say.
TEST(FleetFigures, DaysAreTheirMinutesInProportion) {
    const time_t now = utc(2026, 12, 9, 12, 0, 0), earlier = utc(2026, 11, 1, 0, 0, 0);
    struct Case {
        const char* what;
        const char* zone;
        time_t now;
        std::function<void(const Site&)> make;
        std::function<void(const FleetSite&)> check;
    };
    const Case cases[] = {
        {"a two-minute dip is 99 %, not a bad day", "UTC", now,
         [&](const Site& s) {
             for (int d = 20261128; d <= 20261208; d = d == 20261130 ? 20261201 : d + 1)
                 d == 20261205
                     ? s.seal("KES20261205.txt", packets(d, 0, 600) + packets(d, 602, 1440), now - 600)
                     : s.day(d, now - 600);
             std::ofstream(s.dir + "/live/KES20261209.txt") << packets(20261209, 0, 720);
         },
         [&](const FleetSite& s) {
             EXPECT_EQ(on(s, 20261205).count[FLEET_GOOD], 1438);
             EXPECT_EQ(on(s, 20261205).count[FLEET_SILENT], 2);
             EXPECT_EQ(on(s, 20261204).count[FLEET_GOOD], 1440);
             EXPECT_EQ(on(s, 20261209).count[FLEET_GOOD], 720) << "today, from its live copy";
             EXPECT_EQ(on(s, 20261209).count[FLEET_NONE], 720) << "the minutes still to come";
             EXPECT_TRUE(s.gaps.empty()) << "no gap at midnight between day files";
             EXPECT_EQ(s.newest_packet, now);
             EXPECT_DOUBLE_EQ(s.yesterday(), 1.0);
         }},
        {"two files of one name count once each; a file past midnight counts in its minutes' day", "UTC", now,
         [&](const Site& s) {
             s.seal("KES20261203.txt", packets(20261203, 0, 720), now - 600);
             s.seal("KES20261203.1a2b3c4d.txt", packets(20261203, 720, 1440), now - 600, 'b');
             s.seal("KES20261206.txt", packets(20261206, 0, 1440) + packets(20261207, 0, 60), now - 600);
         },
         [&](const FleetSite& s) {
             EXPECT_EQ(on(s, 20261203).count[FLEET_GOOD], 1440);
             EXPECT_EQ(on(s, 20261207).count[FLEET_GOOD], 60);
             EXPECT_EQ(on(s, 20261207).count[FLEET_PENDING], 0) << "pushed since: not waiting";
         }},
        {"a site silent for a week: not yet arrived, never lost", "UTC", now,
         [&](const Site& s) {
             for (int d = 20261129; d <= 20261201; d = d == 20261130 ? 20261201 : d + 1)
                 s.day(d, utc(2026, 12, 2, 0, 0, 0));
         },
         [&](const FleetSite& s) {
             for (const FleetDay& d : s.days)
                 EXPECT_EQ(d.count[FLEET_LOST] + d.count[FLEET_STOPPED], 0) << d.date;
             EXPECT_EQ(on(s, 20261205).count[FLEET_PENDING], 1440);
             EXPECT_EQ(on(s, 20261201).count[FLEET_GOOD], 1440);
             EXPECT_EQ(s.newest_packet, utc(2026, 12, 2, 0, 0, 0));
             EXPECT_STREQ(age_bucket(now - s.last_push, false), "25 d");
             EXPECT_STREQ(age_bucket(now - s.newest_packet, false), "25 d");
         }},
        {"a site with no files at all: expected from the day it was added", "UTC", now,
         [&](const Site& s) {
             struct utimbuf t = {utc(2026, 12, 5, 9, 0, 0), utc(2026, 12, 5, 9, 0, 0)};
             utime((s.dir + "/site.conf").c_str(), &t);
         },
         [&](const FleetSite& s) {
             EXPECT_EQ(on(s, 20261204).count[FLEET_NONE], 1440);
             EXPECT_EQ(on(s, 20261205).count[FLEET_PENDING], 1440);
             EXPECT_EQ(s.last_push, 0);
             EXPECT_EQ(s.newest_packet, 0);
             EXPECT_DOUBLE_EQ(s.yesterday(), 0.0) << "0 %, never blank";
         }},
        {"the site's manifest names a day not sealed: that day is waiting", "UTC", now,
         [&](const Site& s) {
             s.day(20261206, now - 600);
             s.day(20261208, now - 600);
             std::ofstream(s.dir + "/live/manifest.sha256")
                 << std::string(64, 'c') << "  data/KES20261207.txt\n";
         },
         [&](const FleetSite& s) {
             EXPECT_EQ(on(s, 20261207).count[FLEET_PENDING], 1440);
             EXPECT_EQ(s.pending_files, 1);
             ASSERT_GE(s.gaps.size(), 2u);
             EXPECT_EQ(s.gaps[s.gaps.size() - 2].pending, 1440) << "its own gap, all of it waiting";
         }},
        {"a 23-hour and a 25-hour day in Berlin", "Europe/Berlin", utc(2026, 10, 30, 12, 0, 0),
         [&](const Site& s) {
             s.seal("KES20260329.txt", packets(20260329, 0, 120) + packets(20260329, 180, 1440), now - 600);
             for (int d = 20261024; d <= 20261029; d++) s.day(d, now - 600);
         },
         [&](const FleetSite& s) {
             EXPECT_EQ(on(s, 20261025).expected(), 1440) << "the repeated hour shares its slots";
             EXPECT_EQ(on(s, 20261025).count[FLEET_GOOD], 1440);
             EXPECT_EQ(on(s, 20261029).count[FLEET_GOOD], 1440);
         }},
        {"the spring day has 1380 minutes", "Europe/Berlin", utc(2026, 3, 30, 12, 0, 0),
         [&](const Site& s) {
             s.seal("KES20260329.txt", packets(20260329, 0, 120) + packets(20260329, 180, 1440), now - 600);
         },
         [&](const FleetSite& s) {
             EXPECT_EQ(on(s, 20260329).expected(), 1380);
             EXPECT_EQ(on(s, 20260329).count[FLEET_GOOD], 1380);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Root r(c.now);
        Site site(r.o.root, "kest1", c.zone, earlier);
        c.make(site);
        FleetSite s = fleet_site("kest1", r.o);
        EXPECT_EQ(s.zone, c.zone);
        c.check(s);
    }
}

// A day is read once while its files are the same; a sealed file that
// arrives reads again its day and the two beside it, no more; a week's
// catch-up turns "not yet arrived" into the real figures.
TEST(FleetCache, AClosedDayIsReadOnce) {
    const time_t now = utc(2026, 12, 9, 12, 0, 0);
    Root r(now);
    Site site(r.o.root, "kest1", "UTC", utc(2026, 11, 1, 0, 0, 0));
    site.day(20261201, utc(2026, 12, 2, 0, 10, 0));
    EXPECT_EQ(fleet_site("kest1", r.o).made, 10);
    EXPECT_EQ(fleet_site("kest1", r.o).made, 0);
    site.day(20261205, now - 60);
    FleetSite s = fleet_site("kest1", r.o);
    EXPECT_EQ(s.made, 3);
    EXPECT_EQ(on(s, 20261205).count[FLEET_GOOD], 1440);
    EXPECT_EQ(on(s, 20261204).count[FLEET_PENDING], 0) << "pushed since, so no longer waiting";
    EXPECT_NE(
        slurp(r.o.out + "/kest1/20261205.html").find("<rect x=0 y=0 width=1440 height=40 fill=\"#0072b2\">"),
        std::string::npos)
        << "the day's page draws its minutes";
}

// The page, worst first; each cell's figure is the one fleet.csv gives.
TEST(FleetPage, CellsSayWhatTheCsvSays) {
    const time_t now = utc(2026, 12, 9, 12, 0, 0);
    Root r(now);
    Site good(r.o.root, "kest1", "UTC", utc(2026, 11, 1, 0, 0, 0)),
        quiet(r.o.root, "kest2", "UTC", now - 86400 * 20);
    for (int d = 20261128; d <= 20261208; d = d == 20261130 ? 20261201 : d + 1)
        good.day(d, now - 600, 0, 1400);
    quiet.day(20261130, utc(2026, 12, 1, 0, 0, 0));
    ASSERT_EQ(build_fleet(r.o), 0);
    std::string html = slurp(r.o.out + "/index.html"), csv = slurp(r.o.out + "/fleet.csv");
    EXPECT_LT(html.find(">kest2<"), html.find(">kest1<")) << "the quiet site first";
    std::map<std::string, std::string> figures;  // "site/date" -> figure
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, std::regex("(\\w+),(\\d+)-(\\d+)-(\\d+),(\\d*),.*"))) << line;
        figures[m[1].str() + "/" + m[2].str() + m[3].str() + m[4].str()] =
            m[5].str().empty() ? "-" : m[5].str();
    }
    ASSERT_EQ(figures.size(), 20u);
    EXPECT_EQ(figures["kest1/20261205"], "97");
    EXPECT_EQ(figures["kest2/20261205"], "0");
    std::regex cell("<a href=(\\w+/\\d+)\\.html>([^<]*)</a>");
    int cells = 0;
    for (auto it = std::sregex_iterator(html.begin(), html.end(), cell); it != std::sregex_iterator();
         ++it, cells++)
        EXPECT_EQ((*it)[2].str(), figures[(*it)[1].str()]) << (*it)[1].str();
    EXPECT_EQ(cells, 20);
    std::string metrics = fleet_metrics({fleet_site("kest2", r.o)}, r.o);
    EXPECT_NE(metrics.find("kestarchive_site_yesterday_completeness_ratio{site=\"kest2\"} 0.0000"),
              std::string::npos);
    EXPECT_NE(metrics.find("kestarchive_site_last_push_timestamp_seconds{site=\"kest2\"} 1796083200"),
              std::string::npos)
        << metrics;
}
