// kestreport on a day the logger made on a fast clock, with a gap, a fault,
// a framing failure and a line loss at known minutes: the text, the CSV and
// the picture (in a real browser) show exactly those.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e/e2e.h"

namespace fs = std::filesystem;

namespace {

// Runs a command line; its standard output, and its exit status in *status.
std::string run(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    int rc = pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

size_t count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
}

void relink(const std::string& link, const std::string& target) {
    std::string tmp = link + ".new";
    unlink(tmp.c_str());
    ASSERT_EQ(symlink(target.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), link.c_str()), 0);
}

// Made once for the tests below: 10:00 to 10:30 on a clock sixty times
// fast, a real second a minute. A status packet at half past each minute
// but 08-11 (a gap) and 21-23 (the line unplugged at 21, back at 23); the one
// of minute 14 has the fault word 0029, and a stray EOT follows the one of 17.
class ReportTest : public testing::Test {
   protected:
    static void SetUpTestSuite() {
        log_ = new Logger;
        const std::string link = log_->dir() + "/ttyKEST";
        relink(link, log_->serial_name());
        LoggerOptions opts;
        opts.parfile = "serial_port=" + link + ",9600,7,E,1\nsite=TST\nkessendmail=N\n";
        auto t0 = std::chrono::steady_clock::now();
        start_at(*log_, "2015-06-16 10:00:00 x60", opts);
        auto at_minute = [&](double minute) {
            std::this_thread::sleep_until(t0 + std::chrono::milliseconds(static_cast<long>(minute * 1000)));
        };
        for (int m = 1; m < 30; m++) {
            if ((m >= 8 && m <= 11) || (m >= 21 && m <= 23)) continue;
            at_minute(m + 0.5);
            log_->write_serial(status_packet(100, m == 14 ? "0029" : "0000") + (m == 17 ? "\x04" : ""));
            log_->read_console(0);
            if (m == 20) {
                at_minute(21.2);
                size_t from = log_->console().size();
                unlink(link.c_str());
                log_->new_serial_line();
                ASSERT_TRUE(log_->wait_console(" lost: ", 5000, from));
                at_minute(23.2);
                relink(link, log_->serial_name());
                ASSERT_TRUE(log_->wait_console("initialization successful", 5000, from));
            }
        }
        at_minute(30.5);
        log_->type("quit\r");
        ASSERT_EQ(log_->wait_exit(), 0);
    }
    static void TearDownTestSuite() {
        delete log_;
        log_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(log_ && !log_->running()) << "the day could not be made"; }

    std::string report(const std::string& args, int* status) {
        return run(KESTREPORT_BIN " --tz UTC --day 2015-06-16 " + args + " 2>&1", status);
    }

    static Logger* log_;
};

Logger* ReportTest::log_ = nullptr;

TEST_F(ReportTest, TextShowsTheHourTheGapsTheFaultsAndTheEvents) {
    int status = -1;
    std::string text = report(log_->dir() + "/data", &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(
        text.starts_with("kestreport: site TST, 2015-06-16 (" + log_->dir() + "/data), time zone UTC\n"))
        << text;
    EXPECT_NE(text.find("\n09         0     0/60       0        0       0\n"
                        "10        22    22/60       1        1       1\n"
                        "11         0     0/60       0        0       0\n"),
              std::string::npos)
        << text;
    EXPECT_NE(
        text.find(
            "day: 22 status packets (0 without a minute), 0 message packets; 22 of 1440 minutes with data\n"),
        std::string::npos);
    EXPECT_NE(text.find(":\n  00:00-10:00  601 min\n  10:08-10:11  4 min\n  10:21-10:23  3 min\n  "
                        "10:30-23:59  810 min\n"),
              std::string::npos)
        << text;
    for (const char* fault : {"+5V", "-12V", "DC offset"})
        EXPECT_TRUE(has_match(
            text, std::string("\n  ") + lit(fault) + " +1, first 10:14:[23]\\d, last 10:14:[23]\\d\n"))
            << fault << text;
    EXPECT_TRUE(has_match(text,
                          "\nlogger events:\n"
                          "  10:00:00 started \\(KESTLOG \\(build 2015-Jun-19\\)\\)\n"
                          "  10:21:\\d\\d line lost: [^\n]+\n"
                          "  10:23:\\d\\d line back\n"
                          "  10:30:\\d\\d stopped \\(quit\\)\n$"))
        << text;

    // Compressed files read the same; the directory is only read.
    fs::create_directory(log_->dir() + "/gz");
    for (const auto& e : fs::directory_iterator(log_->dir() + "/data"))
        fs::copy(e.path(), log_->dir() + "/gz");
    ASSERT_EQ(std::system(("gzip '" + log_->dir() + "/gz/'*").c_str()), 0);
    std::string from_gz = report(log_->dir() + "/gz", &status);
    EXPECT_EQ(from_gz.substr(from_gz.find('\n')), text.substr(text.find('\n')));
    EXPECT_EQ(std::distance(fs::directory_iterator(log_->dir() + "/data"), fs::directory_iterator()), 2);
}

TEST_F(ReportTest, CsvHasAMinuteALine) {
    int status = -1;
    std::string csv = report("--csv " + log_->dir() + "/data", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1441);
    EXPECT_TRUE(
        csv.starts_with("date,minute,status_packets,fault_records,framing_failures,line_losses,line_lost\n"));
    for (const char* row :
         {"2015-06-16,10:07,1,0,0,0,0\n", "2015-06-16,10:08,0,0,0,0,0\n", "2015-06-16,10:14,1,1,0,0,0\n",
          "2015-06-16,10:17,1,0,1,0,0\n", "2015-06-16,10:20,1,0,0,0,0\n", "2015-06-16,10:21,0,0,0,1,1\n",
          "2015-06-16,10:22,0,0,0,0,1\n", "2015-06-16,10:23,0,0,0,0,1\n", "2015-06-16,10:24,1,0,0,0,0\n"})
        EXPECT_NE(csv.find(row), std::string::npos) << row;

    // Several sites: one row per directory and day.
    std::string rows =
        run(KESTREPORT_BIN " --day 2015-06-16 --days 2 " + log_->dir() + "/data " + log_->dir() + "/data",
            &status);
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 5) << rows;
    EXPECT_TRUE(
        has_match(rows, "\n" + lit(log_->dir()) + "/data +2015-06-16  TST +22 +22/1440 +1 +1 +1 +4\n"))
        << rows;
    EXPECT_TRUE(has_match(rows, "\n" + lit(log_->dir()) + "/data +2015-06-15  no files for this day\n"))
        << rows;
}

// A report never passes a failure off as a day: what cannot be read is named
// with how much was read, and the exit status says so; a day without files
// says that, not zeros.
TEST_F(ReportTest, FailuresAreNamedAndCountedAgainstTheExitStatus) {
    int status = -1;
    std::string missing = report(log_->dir() + "/no-such-dir", &status);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(missing.starts_with(log_->dir() + "/no-such-dir: read 0 bytes: No such file or directory\n"))
        << missing;
    EXPECT_NE(missing.find("\ncannot be read: No such file or directory\n"), std::string::npos) << missing;
    EXPECT_EQ(missing.find("no files"), std::string::npos) << missing;

    const std::string cut = log_->dir() + "/cut";
    fs::create_directory(cut);
    fs::copy(log_->dir() + "/" + message_path("20150616"), cut);
    ASSERT_EQ(std::system(("gzip -c '" + log_->dir() + "/" + status_path("20150616") + "' | head -c 60 > '" +
                           cut + "/KES20150616.txt.gz'")
                              .c_str()),
              0);
    std::string partial = report(cut, &status);
    EXPECT_EQ(status, 1) << "a file cut short is not a whole day";
    EXPECT_TRUE(
        has_match(partial, "(^|\n)" + lit(cut) + "/KES20150616\\.txt\\.gz: read \\d+ bytes: [^\n]+\n"))
        << partial;
    EXPECT_NE(partial.find("\nday: "), std::string::npos) << "what could be read is still reported";

    std::string two = run(KESTREPORT_BIN " --svg x.svg " + log_->dir() + "/data " + cut + " 2>&1", &status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(two, "kestreport: --svg draws one directory\n");
    // A zone the database does not know is a mistake, never UTC in disguise.
    for (const std::string zone : {"Europe/Viena", "Mars/Olympus", "../../etc/passwd", "Europe"}) {
        std::string told = run(KESTREPORT_BIN " --tz " + zone + " " + log_->dir() + "/data 2>&1", &status);
        EXPECT_EQ(status, 2) << zone;
        EXPECT_EQ(told, "kestreport: unknown time zone " + zone + "\n");
    }
    run(KESTREPORT_BIN " --tz Europe/Vienna --day 2015-06-16 " + log_->dir() + "/data 2>&1", &status);
    EXPECT_EQ(status, 0);
}

// The picture is plain SVG, and a real browser shows each minute in the
// colour of its state, with marks for what happened in it; made at 10:40
// of that day, the minutes after it have not come yet.
TEST_F(ReportTest, PictureShowsEachMinuteInTheBrowser) {
    const std::string svg = log_->dir() + "/day.svg";
    int status = -1;
    run("TZ=UTC faketime '2015-06-16 10:40:30' " KESTREPORT_BIN " --tz UTC --day 2015-06-16 --svg " + svg +
            " " + log_->dir() + "/data 2>&1",
        &status);
    ASSERT_EQ(status, 0);
    std::string picture = log_->file("day.svg");
    EXPECT_NE(picture.find(">Site TST, 2015-06-16</text>"), std::string::npos);
    EXPECT_NE(picture.find(">time zone UTC</text>"), std::string::npos);
    // Made at 10:40: the day so far has had 641 minutes; the rest is to come.
    EXPECT_NE(
        picture.find(">22 status packets (usually 1 a minute), 22 of 641 minutes with data; 1 faults, 1 "
                     "framing failures, 1 line losses, 0 packets not stored</text>"),
        std::string::npos)
        << picture.substr(0, 600);
    // The "now" line and the ticks carry a white edge, seen on every cell's
    // colour, and the legend names each.
    EXPECT_TRUE(has_match(picture, "fill=\"#cc0066\" stroke=\"#ffffff\"[^>]*><title>now</title>"));
    for (const char* tick :
         {">start</text>", ">stop</text>", ">end of a killed run</text>", ">comment</text>", ">now</text>"})
        EXPECT_NE(picture.find(tick), std::string::npos) << tick;
    if (std::system("command -v xmllint >/dev/null") == 0) {
        EXPECT_EQ(std::system(("xmllint --noout '" + svg + "'").c_str()), 0);
    }
    // A comment that is no UTF-8 and one that would drive a terminal, in a
    // copy of the day: the picture stays well-formed XML, the text shows them as text.
    const std::string copy = log_->dir() + "/hostile";
    fs::create_directories(copy);
    fs::copy(log_->dir() + "/data", copy + "/data", fs::copy_options::recursive);
    std::ofstream(copy + "/" + message_path("20150616"), std::ios::app)
        << "9,16/06/2015,10:20:00, comment: < bad \xff\xfe\x1b[2J\xc2\x9b"
           "2J \xc3\xa9\n>\n";
    std::string text = run(
        KESTREPORT_BIN " --tz UTC --day 2015-06-16 --svg " + copy + "/day.svg " + copy + "/data", &status);
    EXPECT_NE(text.find("comment:  bad \xff\xfe^[[2JM-BM-^[2J \xc3\xa9\n"), std::string::npos) << text;
    const std::string hostile = log_->file("hostile/day.svg");
    EXPECT_NE(hostile.find("bad \xef\xbf\xbd\xef\xbf\xbd^[[2JM-BM-^[2J \xc3\xa9"), std::string::npos);
    if (std::system("command -v xmllint >/dev/null") == 0) {
        EXPECT_EQ(std::system(("xmllint --noout '" + copy + "/day.svg'").c_str()), 0);
    }
    const char* chromium =
        std::getenv("KESTLOG_CHROMIUM") ? std::getenv("KESTLOG_CHROMIUM") : "/usr/bin/chromium";
    if (access(chromium, X_OK) != 0 || std::system("command -v convert >/dev/null") != 0)
        GTEST_SKIP() << "no Chromium or ImageMagick here (Debian: chromium, imagemagick)";
    const std::string png =
        std::getenv("KESTLOG_KEEP_PNG") ? std::getenv("KESTLOG_KEEP_PNG") : log_->dir() + "/day.png";
    std::string shot = std::string(chromium) +
                       " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                       "--disable-background-networking --disable-component-update --disable-sync "
                       "--hide-scrollbars --force-device-scale-factor=1 --user-data-dir='" +
                       log_->dir() + "/chromium' --screenshot='" + png + "' --window-size=800,500 'file://" +
                       svg + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(shot.c_str()), 0);
    // Minute m of hour h: its cell at 40 + 12 m across, 52 + 16 h down; its
    // state at the cell's middle, a mark in its top left corner.
    auto pixel = [&](int hour, int minute, int dx, int dy) {
        int s = -1;
        return run("convert '" + png + "' -format '%[pixel:p{" + std::to_string(40 + 12 * minute + dx) + "," +
                       std::to_string(52 + 16 * hour + dy) + "}]' info: 2>&1",
                   &s);
    };
    const std::string data = "srgb(0,114,178)", silent = "srgb(230,159,0)", lost = "srgb(213,94,0)",
                      stopped = "srgb(187,187,187)", future = "srgb(244,244,244)";
    struct Cell {
        int hour, minute;
        const std::string& state;
    } cells[] = {{9, 30, stopped}, {10, 5, data},  {10, 9, silent},   {10, 14, data},   {10, 17, data},
                 {10, 22, lost},   {10, 25, data}, {10, 33, stopped}, {10, 45, future}, {11, 0, future}};
    for (const Cell& c : cells)
        EXPECT_EQ(pixel(c.hour, c.minute, 7, 8), c.state) << c.hour << ":" << c.minute;
    EXPECT_EQ(pixel(10, 14, 1, 1), "srgb(240,228,66)") << "the fault's mark";
    EXPECT_EQ(pixel(10, 17, 1, 1), "srgb(0,0,0)") << "the framing failure's mark";
    EXPECT_EQ(pixel(10, 5, 1, 1), data) << "no mark";
}

}  // namespace

namespace {

// Every kind of record, as the real logger writes it, read back by
// kestreport as that kind: a kind added to one side without the other, or a
// text changed on one side, fails here. What provokes each is below; the
// kinds are the test's own list, compared with the one kestreport knows.
struct Provoked {
    const char* kind;
    const char* text;  // a piece of the record's text
};
const Provoked EVERY_KIND[] = {
    {"starting", "starting KESTLOG (build 2015-Jun-19)"},
    {"parameter-file-missing", "parameter file kestlog.par was not found, will use defaults"},
    {"unknown-parameter", "unknown parameter"},
    {"bad-value", "bad value for site="},
    {"long-parameter-line", "parameter line longer than 510 characters, the rest ignored"},
    {"unsupported-value", "kestlog.par line 5: unsupported value 600, the rest of the file was not read"},
    {"framing", "kest packet not between 0x01/2 and 0x04, 00 04"},
    {"fault", "kest fault code=0029 ,-12V,+5V,DC offset"},
    {"no-good-packets", "no good kest packets in 3 minutes."},
    {"comment", "comment: < round trip"},
    {"quit", "keyboard quit command"},
    {"line-lost", " lost: "},
    {"line-reopened", " reopened"},
    {"stopped", "stopped by signal SIGTERM"},
    {"clock-stepped", "clock stepped by +"},
    {"not-stored", "1 packets not stored from "},
    {"clock-unsynchronised", "system clock not synchronised"},
    {"clock-synchronised", "system clock synchronised"},
    {"unclean-end", "ended without stopping: power cut, crash or kill"},
    {"torn-packet",
     "./data/KES20150616.txt ended inside a packet: 4107 bytes moved to ./data/KES20150616.txt.torn"},
    {"torn-record",
     "./data/MESKES20150616.txt ended inside a record: 9 bytes moved to ./data/MESKES20150616.txt.torn"},
    {"command-from", "command comment from root (kestctl)"},
    {"commands-refused", "1 commands from root (kestctl) refused in the minute to "},
};

}  // namespace

TEST(RecordRoundTrip, EveryKindTheLoggerWritesIsReadBackAsThatKind) {
    int status = -1;
    std::string known = run(KESTREPORT_BIN " --kinds", &status);
    std::string listed;
    for (const Provoked& p : EVERY_KIND) listed += std::string(p.kind) + "\n";
    EXPECT_EQ(known, listed) << "a kind of record without its provocation here, or the other way round";

    Logger log;
    const std::string link = log.dir() + "/ttyKEST";
    relink(link, log.serial_name());
    // The unsupported speed must be the last line: it ends the reading.
    LoggerOptions opts;
    opts.parfile = "serial_port=" + link + ",9600,7,E,1\nbogus\nsite=\n;" + std::string(600, 'x') +
                   "\nserial_port=" + link + ",600,7,E,1\n";
    opts.clock_sync = "unsynchronised";
    opts.own_clock_session = true;  // it is killed
    start_at(log, "2015-06-16 10:00:00 x30", opts);
    log.set_clock_sync("synchronised");
    log.write_serial("\x04" + status_packet(100, "0029"));
    log.type("comment round trip\r");
    ASSERT_TRUE(log.wait_file_contains(message_path("20150616"), "system clock synchronised\n", 5000));
    size_t from = log.console().size();
    unlink(link.c_str());
    log.new_serial_line();
    ASSERT_TRUE(log.wait_console(" lost: ", 5000, from));
    relink(link, log.serial_name());
    ASSERT_TRUE(log.wait_console("initialization successful", 5000, from));
    const std::string day = log.dir() + "/" + status_path("20150616");
    fs::rename(day, day + ".kept");
    fs::create_directory(day);
    log.write_serial(stx_packet("lost"));
    ASSERT_TRUE(log.wait_file_contains("stderr.txt", "Is a directory"));
    fs::remove(day);
    fs::rename(day + ".kept", day);
    log.write_serial(stx_packet("stored"));
    ASSERT_TRUE(log.wait_file_contains(message_path("20150616"), " packets not stored from "));
    ASSERT_TRUE(
        log.wait_file_contains(message_path("20150616"), "no good kest packets in 3 minutes.", 15000));
    log.power_cut();
    // What a power cut leaves: a packet cut short and a NUL run, a record cut short.
    std::ofstream(day, std::ios::app | std::ios::binary) << "\x01KES01 1506" << std::string(4096, '\0');
    std::ofstream(log.dir() + "/" + message_path("20150616"), std::ios::app) << "9,16/06/2";

    LoggerOptions again;
    again.parfile = "serial_port=" + link + ",9600,7,E,1\n";
    start_at(log, "2015-06-16 10:30:00 x30", again);
    log.signal(SIGTERM);
    ASSERT_GE(log.wait_exit(), 0);
    again.clock_file_time = "2015-06-16 11:00:00";
    log.start(again);  // its first pass, which a step is judged against, comes before it says it is ready
    for (int i = 0; i <= 10; i++)
        run(KESTCTL_BIN " -C " + log.dir() + " comment " + std::to_string(i), &status);
    EXPECT_EQ(status, 1) << "the eleventh recorded command of a minute is refused";
    EXPECT_EQ(count(log.file(message_path("20150616")), "command comment from root"), 10u)
        << "and not recorded";
    log.set_clock("2015-06-16 13:00:00");
    ASSERT_TRUE(log.wait_file_contains(message_path("20150616"), "clock stepped by +"));
    log.type("quit\r");
    ASSERT_EQ(log.wait_exit(), 0);
    if (access("/dev/ttyUSB0", F_OK) != 0) {
        LoggerOptions defaults;
        defaults.write_parfile = false;
        defaults.args = {"--wait-for-line"};
        fs::remove(log.dir() + "/kestlog.par");
        start_at(log, "2015-06-16 14:00:00", defaults);
        log.type("quit\r");
        ASSERT_EQ(log.wait_exit(), 0);
    }

    std::string records =
        run(KESTREPORT_BIN " --records --tz UTC --day 2015-06-16 " + log.dir() + "/data", &status);
    EXPECT_EQ(status, 0);
    for (const Provoked& p : EVERY_KIND) {
        if (std::string(p.kind) == "parameter-file-missing" && access("/dev/ttyUSB0", F_OK) == 0) continue;
        EXPECT_TRUE(has_match(
            records, "(^|\n)2015-06-16 \\d\\d:\\d\\d:\\d\\d " + lit(p.kind) + " [^\n]*" + lit(p.text)))
            << p.kind << " not read back as such:\n"
            << records;
    }
    // Only the echoed parameter lines are read as no kind.
    std::regex unknown("(^|\n)2015-06-16 [\\d:]+ unknown ([^\n]*)");
    for (auto it = std::sregex_iterator(records.begin(), records.end(), unknown);
         it != std::sregex_iterator(); ++it) {
        std::string text = (*it)[2];
        EXPECT_TRUE(text.starts_with("serial_port=") || text == "bogus" || text == "site=" ||
                    text.starts_with(";"))
            << "read as no kind: " << text;
    }
}
