// Days of packets on a fast clock: every packet stored exactly once, each in
// the status file of its day, message numbers restarting at each midnight,
// and neither descriptors nor memory growing.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>

#include "e2e/e2e.h"
#include "e2e/simulator.h"

namespace fs = std::filesystem;

namespace {

constexpr long PACKETS = 60000;                         // every other one a numbered message packet
constexpr int FAULT_EVERY = 200;                        // status packets per fault word 0029
const char* const CLOCK = "2015-06-16 21:00:00 x4000";  // 1 ms apart is 4 simulated s

struct Usage {
    int fds = 0;
    long rss_kb = 0;
};

Usage usage_of(pid_t pid) {
    Usage u;
    std::string proc = "/proc/" + std::to_string(pid);
    for (auto it = fs::directory_iterator(proc + "/fd"); it != fs::directory_iterator(); ++it) u.fds++;
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) u.rss_kb = std::stol(line.substr(6));
    }
    return u;
}

// The status files in date order, by their yyyymmdd.
std::map<std::string, std::string> status_files(const Logger& log) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(log.dir() + "/data")) {
        std::string name = e.path().filename();
        if (name.rfind("KES", 0) == 0) files[name.substr(3, 8)] = log.file("data/" + name);
    }
    return files;
}

size_t stored(const Logger& log) {
    size_t n = 0;
    for (const auto& [day, text] : status_files(log))
        n += static_cast<size_t>(std::count(text.begin(), text.end(), '\x04'));
    return n;
}

// yyyymmdd of the day before.
std::string day_before(const std::string& day) {
    struct tm t = {};
    t.tm_year = std::stoi(day.substr(0, 4)) - 1900;
    t.tm_mon = std::stoi(day.substr(4, 2)) - 1;
    t.tm_mday = std::stoi(day.substr(6, 2)) - 1;
    time_t s = timegm(&t);
    char out[16];
    strftime(out, sizeof out, "%Y%m%d", gmtime(&s));
    return out;
}

}  // namespace

TEST(Soak, DaysOfPacketsThroughSeveralMidnights) {
    std::string faults = "0029";
    for (int i = 1; i < FAULT_EVERY; i++) faults = "0000," + faults;
    Simulator sim;
    Logger log;
    start_both(sim, log,
               {"--interval", "1", "--count", std::to_string(PACKETS), "--stx-every", "2", "--fault", faults},
               CLOCK);
    log.type("kesdoff\n");  // as an operator would leave it: packets are not echoed
    auto began = std::chrono::steady_clock::now();

    Usage early, late;
    for (int waited = 0; waited < 200000 && stored(log) < PACKETS; waited += 500) {
        if (early.fds == 0 && stored(log) >= PACKETS / 5) early = usage_of(log.pid());
        log.wait_console("never printed", 500);
    }
    ASSERT_EQ(stored(log), static_cast<size_t>(PACKETS));
    log.wait_console("never printed", 500);  // any packet stored twice would show now
    late = usage_of(log.pid());
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    ASSERT_TRUE(log.running());

    std::map<std::string, std::string> files = status_files(log);
    long status = 0, message = 0;
    std::string last_stamp;
    for (const auto& [day, text] : files) {
        for (const std::string& p : packets_in(text)) {
            if (p[0] == '\x02') {
                size_t at = p.find(" MSG ");
                ASSERT_NE(at, std::string::npos) << p;
                ASSERT_EQ(std::stol(p.substr(at + 5, 4)), message % 10000)
                    << "message packet lost or doubled";
                message++;
                continue;
            }
            ASSERT_EQ(p[0], '\x01');
            status++;
            // Stamped "yymmdd hh:mm" by the logger; in its day's file, or the
            // next one when midnight fell within the pass that stored it.
            std::string stamp = p.substr(7, 12);
            std::string stamp_day = "20" + stamp.substr(0, 6);
            EXPECT_TRUE(stamp_day == day || (stamp_day == day_before(day) && stamp.substr(7) == "23:59"))
                << stamp << " in the file of " << day;
            EXPECT_LE(last_stamp, stamp) << "out of order";
            last_stamp = stamp;
        }
    }
    EXPECT_EQ(status, PACKETS / 2);
    EXPECT_EQ(message, PACKETS / 2);
    ASSERT_GE(files.size(), 4u) << "fewer than three midnights";

    // One message log, named at start-up; its numbers restart at each midnight.
    std::string messages = log.file(message_path("20150616"));
    std::regex fault_record("(\\d+),(\\d\\d/\\d\\d/\\d{4}),(\\d\\d:\\d\\d):\\d\\d, kest fault code=0029 ");
    int last = 0, restarts = 0, records = 0;
    std::string last_date;
    for (auto it = std::sregex_iterator(messages.begin(), messages.end(), fault_record);
         it != std::sregex_iterator(); ++it) {
        int n = std::stoi((*it)[1]);
        std::string date = (*it)[2];
        records++;
        if (records == 1) {
            // Numbered after the notices of the quiet minutes before the first packet.
        } else if (n == 1) {
            restarts++;
            EXPECT_TRUE(date != last_date || (*it)[3] == "23:59")
                << "numbers restarted within a day at " << date;
        } else {
            EXPECT_EQ(n, last + 1) << "at " << date << " " << (*it)[3];
        }
        last = n;
        last_date = date;
    }
    EXPECT_EQ(records, PACKETS / 2 / FAULT_EVERY);
    EXPECT_EQ(restarts, static_cast<int>(files.size()) - 1);
    EXPECT_EQ(count(messages, "not between"), 0u);

    EXPECT_EQ(late.fds, early.fds) << "descriptors grew";
    EXPECT_LE(late.rss_kb - early.rss_kb, 256) << "resident memory grew from " << early.rss_kb << " kB";
    printf("soak: %ld packets over %zu days in %.0f s; descriptors %d -> %d, resident %ld -> %ld kB\n",
           PACKETS, files.size(), seconds, early.fds, late.fds, early.rss_kb, late.rss_kb);
}
