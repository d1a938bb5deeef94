// The serial line at a site: an adapter unplugged and plugged back behind
// its udev name, a device node replaced under the logger, and a second
// logger started on a line already in use.
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "e2e/e2e.h"
#include "e2e/simulator.h"

namespace {

const char* const DAY = "20150616";

// A fresh pseudo-terminal pair as a raw line; returns the slave's path.
std::string raw_pty(int* master, int* slave) {
    char name[128];
    struct termios raw;
    cfmakeraw(&raw);
    if (openpty(master, slave, name, &raw, nullptr) != 0) return "";
    return name;
}

}  // namespace

TEST(SerialLine, ReplugBehindALinkIsReopenedWithNoPacketLost) {
    Simulator first, second;
    Logger log;
    start_both(first, log, {"--interval", "100", "--count", "4", "--stx-every", "0"},
               "2015-06-16 14:02:00 x10", "metrics_file=metrics.prom\n");
    ASSERT_TRUE(wait_packets(log, DAY, 4));
    const std::string link = log.dir() + "/ttyKEST";

    // Unplugged: the line hangs up and its name goes away (whichever the
    // logger sees first is its reason).
    ASSERT_EQ(first.stop(SIGTERM), 0);
    ASSERT_TRUE(log.wait_console(" lost: ", 5000)) << log.console();
    size_t lost_at = log.console().find(" lost: ");
    log.wait_console("never printed", 1500);  // three quiet tries at x10
    EXPECT_EQ(log.console().find("initialization successful", lost_at), std::string::npos);

    // Plugged back in under the same name.
    ASSERT_TRUE(
        second.start({"--interval", "100", "--count", "6", "--stx-every", "0", "--wait", "1500"}, link))
        << second.stderr_text();
    ASSERT_TRUE(log.wait_console("Serial port, " + link + ", initialization successful.\n", 5000, lost_at));
    ASSERT_TRUE(wait_packets(log, DAY, 10));
    log.wait_console("never printed", 500);  // a late extra packet would show now
    EXPECT_EQ(packets_in(log.file(status_path(DAY))).size(), 10u);

    EXPECT_TRUE(has_match(log.console(), "1,16/06/2015,14:0\\d:\\d\\d, serial port " + lit(link) +
                                             " lost: (hang-up|No such file or directory)\n"))
        << log.console();
    EXPECT_EQ(count(log.console(), " lost: "), 1u);
    std::string messages = log.file(message_path(DAY));
    EXPECT_TRUE(has_match(messages, "\n1,16/06/2015,14:0\\d:\\d\\d, serial port " + lit(link) +
                                        " lost: (hang-up|No such file or directory)\n"
                                        "1,16/06/2015,14:0\\d:\\d\\d, serial port " +
                                        lit(link) + " reopened\n$"))
        << messages;
    EXPECT_EQ(count(log.stderr_text(), "read failed"), 0u) << log.stderr_text();
    // Monitoring hears of it at the next change of minute.
    const std::string labels = "{site=\"WXX\",device=\"" + link + "\"}";
    EXPECT_TRUE(
        log.wait_file_contains("metrics.prom", "\nkestlog_line_losses_total" + labels + " 1\n", 10000))
        << log.file("metrics.prom");
}

TEST(SerialLine, DeviceNodeReplacedUnderTheLoggerIsTakenUp) {
    Logger log;
    const std::string link = log.dir() + "/ttyKEST";
    ASSERT_EQ(symlink(log.serial_name().c_str(), link.c_str()), 0);
    LoggerOptions opts;
    opts.parfile = parfile_for(link);
    start_at(log, "2015-06-16 14:02:00 x10", opts);
    log.write_serial(status_packet());
    ASSERT_TRUE(wait_packets(log, DAY, 1));

    // Another device appears under the name while the old one stays open.
    int master = -1, slave = -1;
    std::string other = raw_pty(&master, &slave);
    ASSERT_FALSE(other.empty());
    std::string tmp = link + ".new";
    ASSERT_EQ(symlink(other.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), link.c_str()), 0);
    ASSERT_TRUE(log.wait_console("serial port " + link + " lost: the device was replaced\n", 5000))
        << log.console();
    size_t lost_at = log.console().find(" lost: ");
    ASSERT_TRUE(log.wait_console("Serial port, " + link + ", initialization successful.\n", 5000, lost_at));

    log.write_serial(status_packet(100, "0001"));  // the old device: no longer read
    std::string packet = status_packet(95);
    ASSERT_EQ(write(master, packet.data(), packet.size()), static_cast<ssize_t>(packet.size()));
    ASSERT_TRUE(wait_packets(log, DAY, 2));
    std::vector<std::string> packets = packets_in(log.file(status_path(DAY)));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[1].size(), 95u);
    close(master);
    close(slave);
}

TEST(SerialLine, SecondLoggerOnTheSameLineIsRefused) {
    Logger first, second;
    start_at(first, "2015-06-16 14:02:00");
    LoggerOptions opts;
    opts.parfile = "serial_port=" + first.serial_name() + ",9600,7,E,1\n";
    second.start(opts, false);
    EXPECT_EQ(second.wait_exit(5000), 255);
    EXPECT_TRUE(has_match(second.stderr_text(), "(^|\n)" + lit(first.serial_name()) +
                                                    ": already in use by another process \\(process " +
                                                    std::to_string(first.pid()) + "\\)\n$"))
        << second.stderr_text();

    // The first keeps the line to itself.
    first.write_serial(status_packet());
    EXPECT_TRUE(wait_packets(first, DAY, 1));
}

// A pseudo-terminal cannot take 7 data bits and parity: the first logger's
// setting passes, and a logger started again on the same line (a restart
// on a simulator, or a network serial bridge) must too.
TEST(SerialLine, RestartOnTheSamePseudoTerminalWorks) {
    Simulator sim;
    Logger first;
    start_both(sim, first, {"--interval", "200", "--stx-every", "0"}, "2015-06-16 14:02:00 x10");
    ASSERT_TRUE(wait_packets(first, DAY, 1));
    first.type("quit\r");
    ASSERT_EQ(first.wait_exit(), 0);

    Logger second;
    LoggerOptions opts;
    opts.parfile = parfile_for(first.dir() + "/ttyKEST");
    start_at(second, "2015-06-16 14:03:00 x10", opts);
    EXPECT_TRUE(wait_packets(second, DAY, 2));
    EXPECT_EQ(second.stderr_text().find("tcsetattr"), std::string::npos) << second.stderr_text();
}
