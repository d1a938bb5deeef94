// Days of packets on a fast clock: every packet stored exactly once, each in
// the status file of its day, message numbers restarting at each midnight,
// and neither descriptors nor memory growing; first on a quiet site, then
// through a week of the faults a site meets.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>

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

constexpr int HELD_LOOKS = 10;    // at descriptors, to tell those held for good
constexpr int HELD_LOOK_MS = 20;  // apart: minutes of the fast clock

// What the logger holds: the descriptors it holds for good, the fewest of a
// few looks a fast-clock minute or more apart (a pipe to a mail command, a
// file being flushed or the metrics being rewritten are held for a moment
// only; a leaked one stays), the data files left out (at thousands of times
// the real clock it is nearly always appending to one); and its resident
// memory.
Usage usage_of(pid_t pid) {
    Usage u;
    std::string proc = "/proc/" + std::to_string(pid);
    u.fds = INT_MAX;
    for (int look = 0; look < HELD_LOOKS; look++) {
        if (look > 0) std::this_thread::sleep_for(std::chrono::milliseconds(HELD_LOOK_MS));
        int held = 0;
        std::error_code ec;
        for (auto it = fs::directory_iterator(proc + "/fd", ec); !ec && it != fs::directory_iterator();
             it.increment(ec))
            held += fs::read_symlink(it->path(), ec).string().find("/data/") == std::string::npos;
        u.fds = std::min(u.fds, held);
    }
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
        if (name.rfind("KES", 0) == 0 && name.ends_with(".txt"))
            files[name.substr(3, 8)] = log.file("data/" + name);
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

    // One message log, named at start-up; its numbers run on without a gap
    // and restart at each midnight. A busy machine may hold the simulator up
    // long enough for a quiet-minute notice between the fault records.
    std::string messages = log.file(message_path("20150616"));
    std::regex numbered("(\\d+),(\\d\\d/\\d\\d/\\d{4}),(\\d\\d:\\d\\d):\\d\\d, ([^\\n]*)");
    int last = 0, restarts = 0, records = 0;
    std::string last_date;
    for (auto it = std::sregex_iterator(messages.begin(), messages.end(), numbered);
         it != std::sregex_iterator(); ++it) {
        int n = std::stoi((*it)[1]);
        std::string date = (*it)[2];
        if (std::string((*it)[4]).rfind("kest fault code=0029 ", 0) == 0) records++;
        if (n < last) {
            restarts++;
            EXPECT_LE(n, 1) << "at " << date << " " << (*it)[3];
            EXPECT_TRUE(date != last_date || (*it)[3] == "23:59")
                << "numbers restarted within a day at " << date;
        } else {
            // A record that raises no count (starting, a clock step) keeps the number.
            EXPECT_LE(n, last + 1) << "at " << date << " " << (*it)[3];
        }
        last = n;
        last_date = date;
    }
    EXPECT_EQ(records, PACKETS / 2 / FAULT_EVERY);
    EXPECT_EQ(restarts, static_cast<int>(files.size()) - 1);
    EXPECT_EQ(count(messages, "not between"), 0u);

    EXPECT_EQ(late.fds, early.fds) << "descriptors grew";
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer holds freed memory in quarantine: its size says nothing
    EXPECT_LE(late.rss_kb - early.rss_kb, 256) << "resident memory grew from " << early.rss_kb << " kB";
#endif
    printf("soak: %ld packets over %zu days in %.0f s; descriptors %d -> %d, resident %ld -> %ld kB\n",
           PACKETS, files.size(), seconds, early.fds, late.fds, early.rss_kb, late.rss_kb);
}

// --- seven days of what a site does to the logger ---------------------------------

namespace {

constexpr double CHAOS_RATE = 6000;  // simulated seconds per real second
constexpr int CHAOS_DAYS = 7;
constexpr long EOT_DROPPED_EVERY = 317;  // packets per packet sent without its EOT
constexpr int REFUSED_REPAIR_DAY = 2;    // the power cut whose torn tail cannot be copied for an hour
constexpr long STX_EVERY = 10;           // packets per message packet
constexpr long FAULT_WORD_EVERY = 200;   // packets per fault word 0029

time_t utc_time(int year, int month, int day, int hour, int minute) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return timegm(&t);
}

// Packet seq, numbered so that each one can be found again; status packets
// carry the instrument's own time (overwritten by the logger) and now and
// then a fault word.
std::string numbered_packet(long seq, bool with_eot) {
    char number[16];
    snprintf(number, sizeof number, "SEQ%07ld", seq);
    std::string p;
    if (seq % STX_EVERY == 0) {
        p = std::string("\x02 MSG ") + number;
    } else {
        p = std::string("\x01KES01 010101 00:00 ") + number + " ";
        while (p.size() < 86) p += static_cast<char>('a' + p.size() % 26);
        p += seq % FAULT_WORD_EVERY == 1 ? "0029" : "0000";
    }
    return with_eot ? p + "\x04" : p;
}

long seq_of(const std::string& packet) {
    size_t at = packet.find("SEQ");
    return at == std::string::npos ? -1 : std::stol(packet.substr(at + 3, 7));
}

struct ChaosEvent {
    time_t at;
    std::function<void()> run;
};

void relink(const std::string& link, const std::string& target) {
    std::string tmp = link + ".new";
    unlink(tmp.c_str());
    ASSERT_EQ(symlink(target.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), link.c_str()), 0);
}

// The message logs in date order, one text: each run's records go to the
// log named for the day it started.
std::string all_message_logs(const Logger& log) {
    std::map<std::string, std::string> logs;
    for (const auto& e : fs::directory_iterator(log.dir() + "/data")) {
        std::string name = e.path().filename();
        if (name.rfind("MESKES", 0) == 0 && name.ends_with(".txt")) logs[name] = log.file("data/" + name);
    }
    std::string all;
    for (const auto& [name, text] : logs) all += text;
    return all;
}

// "hh:mm:ss x6000" of a simulated moment, for a logger started then.
std::string fake_clock_at(time_t t) {
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S x6000", gmtime(&t));
    return text;
}

// The moment a logger comes back after a power cut that tore the status
// file of day yyyymmdd: now, or within that day when now is not in it. A
// restarted logger mends the files of the day its clock gives, and a
// logger started on a loaded machine runs behind the test's own clock by
// the time its start took (at 6000 times, a second of it is 100 minutes).
std::string restart_clock(const std::string& torn_day, time_t now) {
    char today[16];
    strftime(today, sizeof today, "%Y%m%d", gmtime(&now));
    if (torn_day == today) return fake_clock_at(now);
    std::string day = torn_day.substr(0, 4) + "-" + torn_day.substr(4, 2) + "-" + torn_day.substr(6, 2);
    return day + (torn_day < today ? " 23:59:00 x6000" : " 00:00:30 x6000");
}

}  // namespace

// Packets every simulated six seconds for seven days, with packet display
// on, while the line is lost and back twice a day, the console goes unread
// for two hours, the day's status file is a directory for an hour, the mail
// command hangs once, a packet loses its EOT every few hundred, the operator
// comments each day, and the power fails once a day (the logger killed, its
// status file left ending inside a packet and a NUL run, then restarted).
TEST(Chaos, SevenSimulatedDaysOfSiteFaults) {
    Logger log;
    const std::string link = log.dir() + "/ttyKEST";
    relink(link, log.serial_name());
    log.install_command("mail",
                        "#!/bin/sh\nif [ -e hang-once ]; then rm -f hang-once; exec sleep 99999; fi\n"
                        "cat >/dev/null; echo sent >> mail.log\n");
    LoggerOptions opts;
    opts.parfile = "serial_port=" + link + ",9600,7,E,1\n";
    opts.own_clock_session = true;  // it is killed once a day
    const time_t start = utc_time(2015, 6, 16, 0, 30);
    const auto t0 = std::chrono::steady_clock::now();
    start_at(log, "2015-06-16 00:30:00 x6000", opts);
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    auto sim_now = [&] {
        double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        return start + static_cast<time_t>(real * CHAOS_RATE);
    };

    long seq = 0;
    std::set<long> eot_dropped, torn;
    std::vector<std::pair<long, long>> may_be_lost;  // from, to: sent while the status file was refused
    int line_losses = 0, comments = 0, power_cuts = 0;
    // What earlier runs printed; each run's usage two simulated hours in.
    std::string console, errors;
    size_t unread_from = 0;
    Usage early;
    std::vector<std::string> leaks;
    std::string refused_file, refused_repair;
    long refused_from = 0, refused_repair_from = 0;
    auto check_usage = [&] {
        Usage late = usage_of(log.pid());
        if (late.fds != early.fds)
            leaks.push_back("descriptors " + std::to_string(early.fds) + " -> " + std::to_string(late.fds));
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer holds freed memory in quarantine: its size says nothing
        if (late.rss_kb - early.rss_kb > 512)
            leaks.push_back("resident " + std::to_string(early.rss_kb) + " -> " +
                            std::to_string(late.rss_kb) + " kB");
#endif
    };

    // Sends one more packet and waits until it is stored whole, in the file
    // of whichever day the logger's clock gave it (one of the two newest);
    // returns that file's path, "" after a failure. A fault that needs all
    // that was sent stored comes after it: waiting for a packet sent earlier
    // could wait for one a power cut tore, or look in a day's file still empty.
    auto send_and_store = [&]() -> std::string {
        long s = seq++;
        const std::string sent = numbered_packet(s, true);
        log.write_serial(sent);
        const std::string whole = s % STX_EVERY == 0 ? sent : sent.substr(19);  // past the logger's stamp
        for (int waited = 0; waited < 10000; waited += 10) {
            std::vector<std::string> days;
            for (const auto& e : fs::directory_iterator(log.dir() + "/data")) {
                std::string name = e.path().filename();
                if (name.rfind("KES", 0) == 0 && name.ends_with(".txt")) days.push_back(name.substr(3, 8));
            }
            std::sort(days.rbegin(), days.rend());
            for (size_t i = 0; i < days.size() && i < 2; i++) {
                if (log.file(status_path(days[i])).find(whole) != std::string::npos)
                    return log.dir() + "/" + status_path(days[i]);
            }
            log.read_console(10);
        }
        ADD_FAILURE() << "packet " << s << " not stored within 10 s\n" << log.where_it_waits();
        return "";
    };

    std::vector<ChaosEvent> events;
    for (int d = 0; d < CHAOS_DAYS; d++) {
        time_t day = utc_time(2015, 6, 16 + d, 0, 0);
        for (int hour : {6, 18}) {
            events.push_back({day + hour * 3600, [&] {
                                  // Unplugged once what was sent is stored, then plugged back.
                                  ASSERT_FALSE(send_and_store().empty());
                                  size_t from = log.console().size();
                                  unlink(link.c_str());
                                  log.new_serial_line();
                                  ASSERT_TRUE(log.wait_console(" lost: ", 5000, from));
                                  relink(link, log.serial_name());
                                  ASSERT_TRUE(log.wait_console(
                                      "Serial port, " + link + ", initialization successful.\n", 5000, from));
                                  line_losses++;
                              }});
        }
        events.push_back({day + 12 * 3600 + 1800, [&, d] {
                              log.type("comment day " + std::to_string(d) + "\r");
                              comments++;
                          }});
        events.push_back({day + 3 * 3600, [&] { early = usage_of(log.pid()); }});
        if (d == REFUSED_REPAIR_DAY) {
            events.push_back({day + 10 * 3600, [&] {
                                  // Room again: the next packet mends the file and is stored.
                                  ASSERT_TRUE(log.wait_file_contains(
                                      "stderr.txt", refused_repair.substr(log.dir().size() + 1), 10000));
                                  ASSERT_TRUE(fs::remove(refused_repair));
                                  may_be_lost.push_back({refused_repair_from, seq - 1});
                              }});
        }
        if (d == 0) continue;
        events.push_back(
            {day + 9 * 3600, [&, d] {
                 // The power fails once all that was sent is stored: the last
                 // packet's EOT never reached the disk, a NUL run did. Far
                 // from midnight: a logger that runs behind the test's clock
                 // and crossed midnight between the packet and the cut would,
                 // restarted on the torn file's day, cross it twice.
                 std::string file = send_and_store();
                 ASSERT_FALSE(file.empty());
                 check_usage();
                 ASSERT_EQ(log.power_cut(), 128 + SIGKILL);
                 ASSERT_EQ(truncate(file.c_str(), static_cast<off_t>(fs::file_size(file) - 1)), 0);
                 std::ofstream(file, std::ios::app | std::ios::binary) << std::string(4096, '\0');
                 std::string text = log.file(file.substr(log.dir().size() + 1));
                 torn.insert(seq_of(text.substr(text.rfind('\x04') + 1)));
                 console += log.console();
                 errors += log.stderr_text();
                 std::string torn_day = file.substr(file.size() - 12, 8);  // of .../KESyyyymmdd.txt
                 // Once, the disk refuses the torn tail's copy: nothing is
                 // stored after the tail until the copy can be made.
                 if (d == REFUSED_REPAIR_DAY) {
                     refused_repair = file + ".torn";
                     ASSERT_TRUE(fs::create_directory(refused_repair));
                     refused_repair_from = seq;
                 }
                 start_at(log, restart_clock(torn_day, sim_now()), opts);
                 power_cuts++;
             }});
    }
    events.push_back({utc_time(2015, 6, 17, 10, 0), [&] {
                          size_t from = log.console().size();
                          unread_from = console.size() + from;
                          log.type("kesrawdon\r");
                          ASSERT_TRUE(log.wait_console("got word kesrawdon", 10000, from));
                          log.hold_console(true);
                          // Far more output than the console could hold, whenever
                          // the release comes (a slow restart can run the day's
                          // events late, back to back): a line for every byte.
                          for (int i = 0; i < 50; i++) ASSERT_FALSE(send_and_store().empty());
                      }});
    events.push_back({utc_time(2015, 6, 17, 12, 0), [&] {
                          log.type("kesrawdoff\r");
                          log.hold_console(false);
                      }});
    events.push_back(
        {utc_time(2015, 6, 18, 14, 0), [&] {
             // Once all that was sent is stored, a directory is swapped in
             // for the day's file in one step (a file the logger made again
             // in a gap between a rename and a mkdir would leave no place
             // for it): what may be lost is what is sent from now on.
             refused_file = send_and_store();
             ASSERT_FALSE(refused_file.empty());
             std::string kept = refused_file + ".kept";
             ASSERT_EQ(mkdir(kept.c_str(), 0755), 0) << strerror(errno);
             ASSERT_EQ(renameat2(AT_FDCWD, kept.c_str(), AT_FDCWD, refused_file.c_str(), RENAME_EXCHANGE), 0)
                 << strerror(errno);
             refused_from = seq;
         }});
    events.push_back(
        {utc_time(2015, 6, 18, 15, 0), [&] {
             // Not back before the logger has met the refusal (a loaded
             // machine runs this hour's events late, perhaps back to back):
             // one more packet, and its report of the refused file.
             log.write_serial(numbered_packet(seq++, true));
             ASSERT_TRUE(log.wait_file_contains(
                 "stderr.txt", refused_file.substr(log.dir().size()) + ": Is a directory\n", 10000));
             // Swapped back in one step: a file the logger made in a gap
             // between rmdir and rename would take packets that the rename
             // then threw away.
             std::string kept = refused_file + ".kept";
             ASSERT_EQ(renameat2(AT_FDCWD, kept.c_str(), AT_FDCWD, refused_file.c_str(), RENAME_EXCHANGE), 0)
                 << strerror(errno);
             ASSERT_EQ(rmdir(kept.c_str()), 0);
             // Sent from now on, it is read once the file is back.
             may_be_lost.push_back({refused_from, seq - 1});
         }});
    events.push_back({utc_time(2015, 6, 19, 8, 0), [&] { std::ofstream(log.dir() + "/hang-once") << "\n"; }});
    std::stable_sort(events.begin(), events.end(),
                     [](const ChaosEvent& a, const ChaosEvent& b) { return a.at < b.at; });

    const time_t end = start + CHAOS_DAYS * 86400;
    size_t next_event = 0;
    while (sim_now() < end) {
        while (next_event < events.size() && events[next_event].at <= sim_now()) {
            events[next_event++].run();
            ASSERT_FALSE(testing::Test::HasFatalFailure());
        }
        // Now and then a packet loses its EOT; the next one cuts it.
        std::string bytes;
        if (seq % EOT_DROPPED_EVERY == EOT_DROPPED_EVERY - 1) {
            eot_dropped.insert(seq);
            bytes = numbered_packet(seq++, false);
        }
        bytes += numbered_packet(seq++, true);
        log.write_serial(bytes);
        log.read_console(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // half an hour: all is stored
    log.read_console(100);
    check_usage();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // The disk refuses the status file and the message log as the logger
    // stops: its account of the last packet lost goes to standard error.
    const std::string last_status = send_and_store();
    ASSERT_FALSE(last_status.empty());
    std::smatch named;
    std::string shown = log.console();
    ASSERT_TRUE(
        std::regex_search(shown, named, std::regex("message file name is: \\./(data/MESKES\\d{8}\\.txt)\n")));
    const std::vector<std::string> full = {last_status, log.dir() + "/" + named[1].str()};
    for (const std::string& f : full) {
        ASSERT_EQ(mkdir((f + ".kept").c_str(), 0755), 0) << strerror(errno);
        ASSERT_EQ(renameat2(AT_FDCWD, (f + ".kept").c_str(), AT_FDCWD, f.c_str(), RENAME_EXCHANGE), 0);
    }
    may_be_lost.push_back({seq, seq});
    log.write_serial(numbered_packet(seq++, true));
    ASSERT_TRUE(log.wait_file_contains("stderr.txt",
                                       last_status.substr(log.dir().size()) + ": Is a directory\n", 10000));
    log.type("quit\r");
    ASSERT_EQ(log.wait_exit(10000), 0);
    for (const std::string& f : full) {
        ASSERT_EQ(renameat2(AT_FDCWD, (f + ".kept").c_str(), AT_FDCWD, f.c_str(), RENAME_EXCHANGE), 0);
        ASSERT_EQ(rmdir((f + ".kept").c_str()), 0);
    }
    console += log.console();
    errors += log.stderr_text();
    EXPECT_TRUE(
        has_match(errors, ": not written: \\d+,[^ ]+ 1 packets not stored from [^\n]+: Is a directory\n"))
        << errors;

    // Every packet outside a fault window stored exactly once and whole, in
    // the status file current when it was stored.
    std::map<long, int> stored_count;
    std::map<std::string, std::string> files = status_files(log);
    long broken = 0;
    for (const auto& [day, text] : files) {
        for (const std::string& p : packets_in(text)) {
            long s = seq_of(p);
            stored_count[s]++;
            std::string sent = numbered_packet(s, true);
            if (p[0] == '\x01' && p.size() == sent.size()) sent.replace(7, 12, p.substr(7, 12));
            if (p != sent) broken++;
            if (p[0] != '\x01') continue;
            std::string stamp = p.substr(7, 12);
            std::string stamp_day = "20" + stamp.substr(0, 6);
            EXPECT_TRUE(stamp_day == day || (stamp_day == day_before(day) && stamp.substr(7) == "23:59"))
                << stamp << " in the file of " << day;
        }
    }
    long lost = 0, doubled = 0, lost_to_storage = 0;
    std::string lost_seqs;
    for (long s = 0; s < seq; s++) {
        bool refused = false;
        for (const auto& [from, to] : may_be_lost) refused = refused || (s >= from && s <= to);
        int n = stored_count.count(s) ? stored_count[s] : 0;
        if (n > 1 || ((eot_dropped.count(s) > 0 || torn.count(s) > 0) && n != 0)) doubled++;
        if (n == 0 && eot_dropped.count(s) == 0 && torn.count(s) == 0) (refused ? lost_to_storage : lost)++;
        if (n == 0 && eot_dropped.count(s) == 0 && torn.count(s) == 0 && !refused && lost_seqs.size() < 200)
            lost_seqs += " " + std::to_string(s);
    }
    EXPECT_EQ(lost, 0) << "packets lost outside a fault window:" << lost_seqs;
    EXPECT_EQ(doubled, 0) << "packets stored twice, or stored without their EOT";
    EXPECT_EQ(broken, 0) << "packets stored other than whole";
    EXPECT_GE(files.size(), static_cast<size_t>(CHAOS_DAYS + 1));
    for (const auto& [day, text] : files) {
        std::string kept = log.file(status_path(day) + ".torn");
        if (!kept.empty()) {
            EXPECT_TRUE(kept.ends_with(std::string(4096, '\0'))) << "torn tail of " << day;
        }
    }

    // One framing record for each packet that lost its EOT, none for the
    // line losses; every packet the refused file lost counted in a record.
    std::string messages = all_message_logs(log);
    EXPECT_EQ(count(messages, "kest packet not between 0x01/2 and 0x04, "), eot_dropped.size());
    EXPECT_EQ(count(messages, " lost: "), static_cast<size_t>(line_losses));
    EXPECT_EQ(count(messages, " reopened\n"), static_cast<size_t>(line_losses));
    EXPECT_EQ(count(messages, " comment: < day "), static_cast<size_t>(comments));
    EXPECT_EQ(count(messages, "ended without stopping: power cut, crash or kill\n"),
              static_cast<size_t>(power_cuts));
    std::regex mended(" ended inside a packet: \\d+ bytes moved to \\./data/KES\\d{8}\\.txt\\.torn\n");
    EXPECT_EQ(
        std::distance(std::sregex_iterator(messages.begin(), messages.end(), mended), std::sregex_iterator()),
        power_cuts);
    long recorded_lost = 0;
    std::regex not_stored(", (\\d+) packets not stored from \\d\\d:\\d\\d:\\d\\d to \\d\\d:\\d\\d:\\d\\d: ");
    // Recorded in the message logs, or, when those refused it for good, on
    // standard error ("not written yet" tells the journal of one that waits
    // for the log, and is counted there once written).
    std::string never_written;
    for (size_t at = 0; at < errors.size();) {
        size_t end = errors.find('\n', at);
        std::string line = errors.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
        if (line.find(": not written yet: ") == std::string::npos) never_written += line;
        at = end == std::string::npos ? errors.size() : end + 1;
    }
    for (const std::string* text : {&messages, &never_written}) {
        for (auto it = std::sregex_iterator(text->begin(), text->end(), not_stored);
             it != std::sregex_iterator(); ++it)
            recorded_lost += std::stol((*it)[1]);
    }
    EXPECT_NE(messages.find(": torn tail not moved aside\n"), std::string::npos);
    EXPECT_EQ(recorded_lost, lost_to_storage) << "packets lost to the refused file, as recorded";
    EXPECT_GT(lost_to_storage, 0);

    // Message numbers restart at each start and each midnight.
    std::regex record("(^|\n)(\\d+),(\\d\\d/\\d\\d/\\d{4}),(\\d\\d:\\d\\d):\\d\\d, (starting )?");
    int last = -1, restarts = 0;
    std::string last_date;
    for (auto it = std::sregex_iterator(messages.begin(), messages.end(), record);
         it != std::sregex_iterator(); ++it) {
        int n = std::stoi((*it)[2]);
        std::string date = (*it)[3];
        if ((*it)[5].matched) {
            EXPECT_EQ(n, 0) << "a start at " << date << " " << (*it)[4];
            last = 0;
            last_date = date;
            continue;
        }
        bool restart = last >= 0 && n != last && n != last + 1;
        if (restart) {
            restarts++;
            EXPECT_LE(n, 1) << "at " << date << " " << (*it)[4];
            EXPECT_TRUE(date != last_date || (*it)[4] == "23:59")
                << "numbers restarted within a day at " << date;
        }
        EXPECT_FALSE(date != last_date && !last_date.empty() && n > 1) << "no restart at " << date;
        last = n;
        last_date = date;
    }
    EXPECT_EQ(restarts, CHAOS_DAYS);

    // The unread console showed how much it dropped; the hung mail command
    // was ended once; the refused status file was reported.
    EXPECT_TRUE(has_match(console.substr(unread_from), "\\[console: \\d+ bytes not shown\\]\n"));
    // (At 6000 times, a minute is 10 ms: a loaded machine may time out a
    // mail command that merely started slowly, so at least the hung one.)
    EXPECT_FALSE(fs::exists(log.dir() + "/hang-once")) << "the mail command never hung";
    EXPECT_TRUE(has_match(errors, "mail command timed out after \\d+ s: mail -skesfail"));
    EXPECT_TRUE(errors.find(refused_file.substr(log.dir().size()) + ": Is a directory\n") !=
                std::string::npos)
        << refused_file;
    EXPECT_EQ(line_losses, 2 * CHAOS_DAYS);
    EXPECT_EQ(power_cuts, CHAOS_DAYS - 1);
    EXPECT_TRUE(leaks.empty()) << leaks.front();
    printf(
        "chaos: %ld packets over %zu days in %.0f s; %zu without EOT, %d line losses, %d power cuts, %ld "
        "packets lost to the refused file, all recorded\n",
        seq, files.size(), seconds, eot_dropped.size(), line_losses, power_cuts, lost_to_storage);
}
