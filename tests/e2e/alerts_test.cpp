// Minute, hour and day changes under a fast fake clock, and the alert e-mail
// through stand-ins for the host's mail and tail commands.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "e2e/e2e.h"

namespace fs = std::filesystem;

namespace {

// A mail command that records its arguments and the body it read.
const char* RECORDING_MAIL =
    "#!/bin/sh\n"
    "{ echo mail; for a in \"$@\"; do printf '<%s>\\n' \"$a\"; done; echo body:; cat; } >> mail.log\n";

size_t count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
}

// The first n lines of text.
std::string first_lines(const std::string& text, int n) {
    size_t end = 0;
    for (int i = 0; i < n && end != std::string::npos; i++) end = text.find('\n', end) + 1;
    return text.substr(0, end);
}

const std::string TAIL_LINE = "tail ./data/MESKES20150616.txt >> lastmailmsg";

}  // namespace

TEST(Alerts, QuietInstrumentGivesNoticesAndOneMailEachHour) {
    Logger log;
    // It also lists what it inherited from the logger, and how its input was
    // opened; no tail command is run.
    log.install_command("mail", std::string(RECORDING_MAIL) +
                                    "ls -l /proc/$$/fd/ > mail.fds\ncat /proc/$$/fdinfo/0 > mail.fd0\n");
    log.install_command("tail", "#!/bin/sh\ntouch tail.ran\n");
    LoggerOptions opts;
    opts.parfile += "maildest=ops@example.org;night.shift+kest@example.org\n";
    start_at(log, "2015-06-16 14:55:30 x60", opts);
    ASSERT_TRUE(log.wait_console("no good kest packets in 7 minutes.\n", 20000)) << log.console();
    ASSERT_TRUE(log.wait_console("kesfm=1 kesfd=5\n"));

    const std::string mail_line = "mail -skesfail ops@example.org night.shift+kest@example.org < lastmailmsg";
    const std::string started = "email message <" + TAIL_LINE + ">\n";
    const std::string sent = "sent kesfail email message <" + mail_line + ">\n";
    // The second mail goes out however slowly a loaded machine runs it.
    for (int waited = 0; waited < 20000 && count(log.console(), sent) < 2; waited += 20) log.read_console(20);
    const std::string c = log.console();
    // One mail in the first failing minute of each hour, started in the
    // minute it judges; the one at 15:00 judges minute 14:59 after the
    // change of hour re-armed the alert.
    const std::string any = "(?:[^\\n]*\\n)*?";
    EXPECT_TRUE(has_match(
        c, "\n1,16/06/2015,14:58:0\\d, no good kest packets in 3 minutes.\nkesfm=1 kesfd=1\n" + lit(started) +
               any + "2,16/06/2015,14:59:0\\d, no good kest packets in 4 minutes.\n" + any +
               "kesfm=1 kesfd=2\n" + any + "3,16/06/2015,15:00:0\\d, no good kest packets in 5 minutes.\n" +
               any + "kesfm=1 kesfd=3\n" + lit(started)))
        << c;
    EXPECT_EQ(count(c, "sent kesfail"), 2u);
    EXPECT_EQ(count(c, "email message <tail"), 2u);

    std::string messages = log.file(message_path("20150616"));
    EXPECT_TRUE(has_match(messages, "\n5,16/06/2015,15:02:0\\d, no good kest packets in 7 minutes.\n$"));
    std::string mails = log.file("mail.log");
    std::string args = "mail\n<-skesfail>\n<ops@example.org>\n<night.shift+kest@example.org>\nbody:\n";
    // The notices that raised the count since the last alert (the one of
    // 14:59, held back by the hour, with the one of 15:00), then the message
    // log's tail: the starting record, two parameter lines and the notices
    // up to the one that sent the mail.
    auto hms = [&](int line) {  // of the record on that line of the log (from 0)
        std::string l = first_lines(messages, line + 1).substr(first_lines(messages, line).size());
        return l.substr(l.find(',') + 12, 8);
    };
    const std::string second = "kesfm=1 kesfd=3\n" + site_line() + "What failed since the last alert:\n" +
                               "  no good kest packets in 2 minutes, " + hms(4).substr(0, 5) + " to " +
                               hms(5).substr(0, 5) + "\n" + tail_heading("20150616") +
                               first_lines(messages, 6);
    EXPECT_EQ(mails, args + "kesfm=1 kesfd=1\n" + site_line() + "What failed since the last alert:\n" +
                         "  no good kest packets in 3 minutes, at " + hms(3) + "\n" +
                         tail_heading("20150616") + first_lines(messages, 4) + look_closer(log.dir()) + args +
                         second + look_closer(log.dir()));
    EXPECT_EQ(log.file("lastmailmsg"), second + look_closer(log.dir()));
    // The journal: the first notice of each hour, and each mail handed over.
    const std::string journal = log.stderr_text();
    EXPECT_EQ(count(journal, " (the first of its kind this hour)\n"), 2u) << journal;
    EXPECT_EQ(count(journal, "no good kest packets in 5 minutes. (the first of its kind this hour)\n"), 1u)
        << journal;
    EXPECT_EQ(count(journal,
                    "alert mail handed to the mail agent for ops@example.org night.shift+kest@example.org\n"),
              2u)
        << journal;
    // Its input, and nothing the logger holds for itself. The input is the
    // body file the logger wrote and opened itself (read-write, as it made
    // it), never the name opened again, which someone could have replaced.
    const std::string fds = log.file("mail.fds");
    EXPECT_NE(fds.find("lastmailmsg"), std::string::npos) << fds;
    std::smatch flags;
    const std::string fd0 = log.file("mail.fd0");
    ASSERT_TRUE(std::regex_search(fd0, flags, std::regex("flags:\\s+([0-7]+)"))) << fd0;
    EXPECT_EQ(std::stoi(flags[1], nullptr, 8) & O_ACCMODE, O_RDWR) << "the body opened again by name:\n"
                                                                   << fd0;
    EXPECT_FALSE(fs::exists(log.dir() + "/tail.ran")) << "the tail is the logger's own";
    EXPECT_FALSE(has_match(fds, "kestlog\\.lock|/data/|socket:|anon_inode:|" + lit(log.serial_name()) + "\n"))
        << "descriptors the mail command inherited:\n"
        << fds;
}

TEST(Alerts, GoodPacketRestartsTheCountAndMailCanBeOff) {
    Logger log;
    log.install_command("mail", RECORDING_MAIL);
    LoggerOptions opts;
    opts.parfile += "kessendmail=Yes,please\nkessendmail=y\n";
    start_at(log, "2015-06-16 14:00:30 x60", opts);
    ASSERT_TRUE(log.wait_console("no good kest packets in 3 minutes.\n", 10000));
    log.write_serial(stx_packet("alive"));
    ASSERT_TRUE(log.wait_file(status_path("20150616"), stx_packet("alive")));
    ASSERT_TRUE(log.wait_console("2,16/06/2015,14:0", 10000));
    ASSERT_TRUE(log.wait_console("kesfm=1 kesfd=2\n"));

    const std::string c = log.console();
    EXPECT_TRUE(
        has_match(c, "\n1,16/06/2015,14:03:0\\d, no good kest packets in 3 minutes.\nkesfm=1 kesfd=1\n"));
    EXPECT_TRUE(
        has_match(c, lit(stx_packet("alive")) +
                         "2,16/06/2015,14:0\\d:0\\d, no good kest packets in 3 minutes.\nkesfm=1 kesfd=2\n"));
    EXPECT_EQ(c.find("in 4 minutes"), std::string::npos);
    EXPECT_EQ(c.find("email message"), std::string::npos);
    EXPECT_FALSE(fs::exists(log.dir() + "/lastmailmsg"));
    EXPECT_FALSE(fs::exists(log.dir() + "/mail.log"));
}

TEST(Alerts, MidnightRollsTheStatusFileAndRestartsNumbers) {
    Logger log;
    log.install_command("mail", RECORDING_MAIL);
    start_at(log, "2015-06-16 23:59:30 x10");
    std::string packet = status_packet(100);
    log.write_serial("\x04" + packet);
    ASSERT_TRUE(log.wait_file(status_path("20150616"), stamped(packet, "150616 23:59")));
    ASSERT_TRUE(log.wait_console("Today's kest file name is: ./data/KES20150617.txt\n", 10000));
    // Minute 23:59 is judged after the day change reset the numbers.
    ASSERT_TRUE(log.wait_console("kesfm=1 kesfd=0\n"));
    ASSERT_TRUE(log.wait_console("sent kesfail email message"));
    log.write_serial("\x04" + packet);
    ASSERT_TRUE(log.wait_file(status_path("20150617"), stamped(packet, "150617 00:00")));
    size_t from = log.console().size();
    log.type("status\r");
    EXPECT_TRUE(log.wait_console("packets today: 1 status, 0 message\n", 5000, from))
        << "the day's counts start again at midnight\n"
        << log.console().substr(from);

    std::string m = log.file(message_path("20150616"));
    EXPECT_TRUE(has_match(m,
                          "\n1,16/06/2015,23:59:3\\d, kest packet not between 0x01/2 and 0x04, 00 04\n"
                          "1,17/06/2015,00:00:\\d\\d, kest packet not between 0x01/2 and 0x04, 00 04\n$"))
        << m;
    EXPECT_FALSE(fs::exists(log.dir() + "/" + message_path("20150617")));
    EXPECT_EQ(log.file(status_path("20150616")), stamped(packet, "150616 23:59"));
    EXPECT_TRUE(has_match(log.file("mail.log"),
                          "^mail\n<-skesfail>\n<operator@localhost>\nbody:\nkesfm=1 kesfd=0\n" +
                              lit(site_line()) + "What failed since the last alert:\n" +
                              "  kest packet not between 0x01/2 and 0x04, 00 04, at 23:59:\\d\\d\n" +
                              lit(tail_heading("20150616")) + "0,"))
        << log.file("mail.log");
}

TEST(Alerts, UnsafeRecipientsAreQuotedAndAFailedMailIsReported) {
    Logger log;
    log.install_command("mail", std::string(RECORDING_MAIL) + "exit 3\n");
    LoggerOptions opts;
    // Unknown parameter: a failure at start-up, judged at the first change of minute.
    opts.parfile += "maildest=ops@example.org;o'hara@example.org;x$(touch${IFS}pwned)\nbogus\n";
    start_at(log, "2015-06-16 14:00:50 x10", opts);
    const std::string mail_line =
        "mail -skesfail ops@example.org 'o'\\''hara@example.org' 'x$(touch${IFS}pwned)' < lastmailmsg";
    ASSERT_TRUE(
        log.wait_file_contains("stderr.txt", "mail command failed (status 3): " + mail_line + "\n", 10000))
        << log.stderr_text();
    EXPECT_TRUE(log.wait_console("kesfm=1 kesfd=1\nemail message <" + TAIL_LINE + ">\n"));
    EXPECT_EQ(log.console().find("sent kesfail"), std::string::npos);
    EXPECT_EQ(log.file("mail.log")
                  .find("mail\n<-skesfail>\n<ops@example.org>\n<o'hara@example.org>\n"
                        "<x$(touch${IFS}pwned)>\nbody:\nkesfm=1 kesfd=1\n"),
              0u)
        << log.file("mail.log");
    EXPECT_FALSE(fs::exists(log.dir() + "/pwned"));
}

// The body file cannot be written (here a directory is in its place; a full
// disk does the same): the body goes to the mail command on a pipe.
TEST(Alerts, BodyFileThatCannotBeWrittenGoesThroughAPipe) {
    Logger log;
    log.install_command("mail", RECORDING_MAIL);
    fs::create_directory(log.dir() + "/lastmailmsg");  // refused even to root
    LoggerOptions opts;
    opts.parfile += "bogus\n";
    start_at(log, "2015-06-16 14:00:50 x30", opts);
    ASSERT_TRUE(log.wait_file_contains("stderr.txt", "lastmailmsg: Is a directory\n", 10000));
    ASSERT_TRUE(log.wait_console("sent kesfail email message <mail -skesfail operator@localhost>\n"));
    size_t from = log.console().size();
    log.write_serial("\x04");  // another failure in the same hour
    // Judged at the next change of minute, perhaps with that minute's quiet
    // notice when a loaded machine sent it late.
    ASSERT_TRUE(log.wait_console("2,kest packet not between 0x01/2 and 0x04, 00 04\n", 10000, from));
    ASSERT_TRUE(log.wait_console("kesfm=", 10000, log.console().find("2,kest packet not between", from)));
    EXPECT_EQ(log.console().find("email message <tail"), std::string::npos);
    EXPECT_EQ(count(log.stderr_text(), "lastmailmsg:"), 1u);
    std::string messages = log.file(message_path("20150616"));
    // The unknown parameter is the cause, and the tail follows.
    EXPECT_EQ(log.file("mail.log"), "mail\n<-skesfail>\n<operator@localhost>\nbody:\nkesfm=1 kesfd=1\n" +
                                        site_line() + "What failed since the last alert:\n" +
                                        "  unknown parameter, at 14:00:50\n" + tail_heading("20150616") +
                                        first_lines(messages, 4) + look_closer(log.dir()));
}

namespace {

// A logger whose mail command hangs (it records its own pid and its
// child's) in its first minute; returns once the command runs.
void start_with_hung_mail(Logger& log) {
    log.install_command("mail", "#!/bin/sh\nsleep 99999 & echo \"$$ $!\" > mail.pids\nwait\n");
    LoggerOptions opts;
    opts.parfile += "bogus\n";
    start_at(log, "2015-06-16 14:00:50 x10", opts);
    ASSERT_TRUE(log.wait_file_contains("mail.pids", "\n", 10000));
}

// Neither the hung command nor what it started outlives its end.
void expect_mail_command_gone(const Logger& log) {
    int shell_pid = 0, sleeper_pid = 0;
    std::ifstream(log.dir() + "/mail.pids") >> shell_pid >> sleeper_pid;
    EXPECT_FALSE(alive(shell_pid));
    EXPECT_FALSE(alive(sleeper_pid)) << "the command's own child outlived it";
}

}  // namespace

// Nothing waits for the alert's mail command: packets sent while it hangs,
// on both sides of a change of minute, are each stored at once with their
// own minute. After a minute it is ended with all it started, and the reason
// names how long it had.
TEST(Alerts, PacketsAreStoredAtOnceWhileTheAlertsCommandsHang) {
    Logger log;
    start_with_hung_mail(log);
    const std::string packet = status_packet(100);
    const std::string first = stamped(packet, "150616 14:01");
    log.write_serial(packet);
    EXPECT_TRUE(log.wait_file(status_path("20150616"), first, 500)) << "not stored while mail hung";
    log.write_serial("\x04");                                   // a failure, judged at 14:02:00
    ASSERT_TRUE(log.wait_console("kesfm=1 kesfd=2\n", 10000));  // the next minute has come
    log.write_serial(packet);
    EXPECT_TRUE(log.wait_file(status_path("20150616"), first + stamped(packet, "150616 14:02"), 500))
        << "not stored while mail hung";
    ASSERT_TRUE(log.wait_file_contains(
        "stderr.txt", "mail command timed out after 60 s: mail -skesfail operator@localhost < lastmailmsg\n",
        20000));
    EXPECT_EQ(log.console().find("sent kesfail"), std::string::npos);
    int shell_pid = 0, sleeper_pid = 0;
    std::ifstream(log.dir() + "/mail.pids") >> shell_pid >> sleeper_pid;
    // Killed with its group: gone once the kernel has delivered it (the
    // time-out may be told before the logger has reaped the command).
    for (int waited = 0; waited < 5000 && (alive(shell_pid) || alive(sleeper_pid)); waited += 10)
        usleep(10000);
    EXPECT_FALSE(alive(shell_pid)) << "the mail command outlived its time-out";
    EXPECT_FALSE(alive(sleeper_pid)) << "the command's own child outlived it";
    EXPECT_TRUE(log.running());
}

// systemctl stop while a mail command hangs: the command and its children
// end with the logger, at once.
TEST(Alerts, StopSignalEndsAHungMailCommandWithTheLogger) {
    Logger log;
    start_with_hung_mail(log);
    log.signal(SIGTERM);
    EXPECT_EQ(log.wait_exit(1500), 128 + SIGTERM);
    expect_mail_command_gone(log);
    EXPECT_TRUE(has_match(log.file(message_path("20150616")),
                          "\n2,16/06/2015,14:01:0\\d, stopped by signal SIGTERM\n$"))
        << log.file(message_path("20150616"));
}

// A site computer without a clock battery starts in 2000; time sync then
// sets the clock. The jump is recorded and the new day's file is used.
TEST(Alerts, ClockSetByTimeSyncIsRecordedAndStartsTheNewDay) {
    Logger log;
    LoggerOptions opts;
    opts.clock_file_time = "2000-01-01 00:00:05";
    log.start(opts);
    log.write_serial(stx_packet("before"));
    ASSERT_TRUE(log.wait_file(status_path("20000101"), stx_packet("before")));
    log.set_clock("2026-06-01 12:00:00");
    ASSERT_TRUE(log.wait_file_contains(message_path("20000101"), "clock stepped", 5000));
    log.write_serial(stx_packet("after"));
    EXPECT_TRUE(log.wait_file(status_path("20260601"), stx_packet("after")));
    EXPECT_TRUE(has_match(log.file(message_path("20000101")),
                          "\n0, 1/06/2026,1[12]:[05]\\d:\\d\\d, clock stepped by \\+8336\\d{5} s\n$"))
        << log.file(message_path("20000101"));
    EXPECT_EQ(log.file(status_path("20000101")), stx_packet("before"));
}

// A clock set on and back by exactly ten minutes, wherever in a second that
// falls: recorded as 600 s each way.
TEST(Alerts, ClockStepsAreRecordedToTheSecond) {
    Logger log;
    LoggerOptions opts;
    opts.clock_file_time = "+0";  // the real clock, stepped by offsets
    log.start(opts);
    std::smatch m;
    const std::string console = log.console();
    ASSERT_TRUE(std::regex_search(console, m, std::regex("file name is: \\./(data/MESKES\\d{8}\\.txt)")));
    const std::string messages = m[1];
    log.set_clock("+600");
    ASSERT_TRUE(log.wait_file_contains(messages, "clock stepped by ")) << log.file(messages);
    log.set_clock("+0");
    ASSERT_TRUE(log.wait_file_contains(messages, "clock stepped by -")) << log.file(messages);
    EXPECT_TRUE(
        has_match(log.file(messages), ", clock stepped by \\+600 s\n[^\n]*, clock stepped by -600 s\n$"))
        << log.file(messages);
}

namespace {

// A port on the loopback that nothing listens on now.
int free_port() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<struct sockaddr*>(&a), &len) != 0)
        a.sin_port = 0;
    close(s);
    return ntohs(a.sin_port);
}

// The body of an HTTP GET on the loopback, or "" when nothing answers.
std::string http_get(int port, const std::string& path) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0) {
        std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
        if (write(s, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buf[65536];
            for (ssize_t n; (n = read(s, buf, sizeof buf)) > 0;) reply.append(buf, static_cast<size_t>(n));
        }
    }
    close(s);
    size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

}  // namespace

// The metrics file, rewritten at each change of minute, is what promtool
// accepts and what a real node_exporter serves from its textfile directory.
TEST(Alerts, MetricsAreServedByNodeExporter) {
    if (access("/usr/bin/promtool", X_OK) != 0 || access("/usr/bin/prometheus-node-exporter", X_OK) != 0)
        GTEST_SKIP() << "no promtool or node_exporter (Debian: prometheus, prometheus-node-exporter)";
    Logger log;
    const std::string textfiles = log.dir() + "/textfile";
    fs::create_directory(textfiles);
    LoggerOptions opts;
    // A site name that is no UTF-8: U+FFFD in its place, as the format requires.
    opts.parfile += "site=AB\xff\nkessendmail=N\nmetrics_file=" + textfiles + "/kestlog.prom\n";
    start_at(log, "2015-06-16 14:02:50 x10", opts);
    log.write_serial(status_packet(100, "0029") + stx_packet("message") + "\x04");
    const std::string labels = "site=\"AB\xef\xbf\xbd\",device=\"" + log.serial_name() + "\"";
    // Rewritten at the change of minute after the packets.
    ASSERT_TRUE(log.wait_file_contains("textfile/kestlog.prom",
                                       "kestlog_framing_failures_total{" + labels + "} 1", 10000));
    std::string metrics = log.file("textfile/kestlog.prom");
    for (const std::string& sample :
         {"kestlog_packets_total{" + labels + ",kind=\"status\"} 1",
          "kestlog_packets_total{" + labels + ",kind=\"message\"} 1",
          "kestlog_framing_failures_total{" + labels + "} 1", "kestlog_fault_records_total{" + labels + "} 1",
          "kestlog_fault_records_by_bit_total{" + labels + ",bit=\"0x0020\"} 1",
          "kestlog_fault_records_by_bit_total{" + labels + ",bit=\"0x0010\"} 0",
          "kestlog_line_losses_total{" + labels + "} 0", "kestlog_line_up{" + labels + "} 1",
          "kestlog_packets_lost_total{" + labels + ",reason=\"storage\"} 0",
          "kestlog_clock_synchronised{" + labels + "} 1",
          "kestlog_alert_mails_total{" + labels + ",result=\"timed_out\"} 0"}) {
        EXPECT_NE(metrics.find(sample + "\n"), std::string::npos) << sample << "\n" << metrics;
    }
    EXPECT_TRUE(has_match(
        metrics, "\nkestlog_build_info\\{" + lit(labels) + ",version=\"\\d+\\.\\d+\\.\\d+[^\"]*\"\\} 1\n"));
    EXPECT_TRUE(has_match(
        metrics, "\nkestlog_last_packet_timestamp_seconds\\{" + lit(labels) + "\\} 14344633\\d\\d\n"));
    // promtool's linter finds nothing to say.
    std::string check = log.dir() + "/promtool.out";
    int status = std::system(
        ("promtool check metrics < '" + textfiles + "/kestlog.prom' >'" + check + "' 2>&1").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(log.file("promtool.out"), "");
    EXPECT_EQ(metrics.find("kestlog_minutes_without_data"), std::string::npos);
    for (const auto& e : fs::directory_iterator(textfiles))
        EXPECT_EQ(e.path().extension(), ".prom") << "left behind: " << e.path();

    int port = free_port();
    pid_t exporter = fork();
    if (exporter == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port);
        std::string dir = "--collector.textfile.directory=" + textfiles;
        execl("/usr/bin/prometheus-node-exporter", "prometheus-node-exporter", listen.c_str(), dir.c_str(),
              "--collector.disable-defaults", "--collector.textfile", (char*)nullptr);
        _exit(127);
    }
    std::string scraped;
    for (int tries = 0; tries < 100 && scraped.find("kestlog_") == std::string::npos; tries++) {
        usleep(100000);
        scraped = http_get(port, "/metrics");
    }
    kill(exporter, SIGTERM);
    waitpid(exporter, nullptr, 0);
    EXPECT_TRUE(has_match(scraped, "\nkestlog_packets_total\\{device=\"" + lit(log.serial_name()) +
                                       "\",kind=\"status\",site=\"AB\xef\xbf\xbd\"\\} 1\n"))
        << scraped;
    EXPECT_TRUE(has_match(scraped, "\nnode_textfile_scrape_error 0\n")) << scraped;
}
