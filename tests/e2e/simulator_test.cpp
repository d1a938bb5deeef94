// The logger against the instrument simulator: the simulator's packets must
// pass the logger's framing and status decoding, and its disturbances must
// reach the logger as the failures they stand for.
#include "e2e/simulator.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>

#include "e2e/e2e.h"

namespace {

// Minutes since midnight of a stamped status packet ("YYMMDD hh:mm" at 7-18).
int stamp_minutes(const std::string& packet) {
    return std::stoi(packet.substr(14, 2)) * 60 + std::stoi(packet.substr(17, 2));
}

}  // namespace

TEST(Simulator, PacketsPassFramingStampingAndFaultDecoding) {
    Simulator sim;
    Logger log;
    start_both(sim, log,
               {"--interval", "100", "--count", "12", "--stx-every", "5", "--fault", "0000,0029,0000,8000"},
               "2015-06-16 14:02:00 x10");
    ASSERT_TRUE(wait_packets(log, "20150616", 12)) << log.file(status_path("20150616"));

    std::vector<std::string> packets = packets_in(log.file(status_path("20150616")));
    ASSERT_EQ(packets.size(), 12u);
    const std::string faults[] = {"0000", "0029", "0000", "8000"};
    int status_n = 0;
    for (size_t k = 1; k <= packets.size(); k++) {
        const std::string& p = packets[k - 1];
        if (k % 5 == 0) {
            EXPECT_TRUE(has_match(p, "^\x02K0001 \\d{6} \\d\\d:\\d\\d:\\d\\d MSG \\d{4} [A-Z0-9. ]+\x04$"))
                << p;
            continue;
        }
        ASSERT_EQ(p.size(), 91u) << p;
        // Stamped with the logger's clock (the field layout has its own unit test).
        EXPECT_TRUE(has_match(p, "^\x01K0001 150616 14:0\\d .{66}[0-9A-F]{4}\x04$")) << p;
        EXPECT_EQ(p.substr(86, 4), faults[status_n++ % 4]);
    }

    std::string messages = log.file(message_path("20150616"));
    EXPECT_EQ(count(messages, " kest fault code=0029 ,-12V,+5V,DC offset\n"), 3u) << messages;
    EXPECT_EQ(count(messages, " kest fault code=8000 ,min noise limit\n"), 2u) << messages;
    EXPECT_EQ(count(messages, "not between"), 0u) << messages;
    EXPECT_TRUE(log.running());

    // It ends cleanly on a signal and takes its link away.
    EXPECT_EQ(sim.stop(SIGINT), 0) << sim.stderr_text();
    EXPECT_NE(access((log.dir() + "/ttyKEST").c_str(), F_OK), 0);
}

TEST(Simulator, BrokenFramesAreTheOnlyFailuresAmongNoiseAndSplitPackets) {
    Simulator sim;
    Logger log;
    start_both(sim, log,
               {"--interval", "100", "--count", "6", "--stx-every", "0", "--broken", "2", "--noise", "40",
                "--split", "30"},
               "2015-06-16 14:02:00 x10");
    ASSERT_TRUE(wait_packets(log, "20150616", 6));
    // A stray EOT, a 9000-byte frame without EOT, a stray EOT.
    ASSERT_TRUE(log.wait_file_contains(message_path("20150616"), "3,16/06/2015,"));
    std::string messages = log.file(message_path("20150616"));
    EXPECT_TRUE(has_match(messages,
                          "\n1,16/06/2015,14:02:\\d\\d, kest packet not between 0x01/2 and 0x04, 00 \\w\\w\n"
                          "2,16/06/2015,14:02:\\d\\d, kest packet not between 0x01/2 and 0x04, 01 \\w\\w\n"
                          "3,16/06/2015,14:02:\\d\\d, kest packet not between 0x01/2 and 0x04, 00 \\w\\w\n$"))
        << messages;

    std::vector<std::string> packets = packets_in(log.file(status_path("20150616")));
    ASSERT_EQ(packets.size(), 6u);
    for (const std::string& p : packets) {
        EXPECT_EQ(p.size(), 91u);
        EXPECT_EQ(p.substr(0, 20), "\x01K0001 150616 14:02 ");
    }
}

TEST(Simulator, SilenceBringsTheMissingDataNotice) {
    Simulator sim;
    Logger log;
    // Two packets, five fake minutes of silence, two packets.
    start_both(sim, log, {"--interval", "20", "--count", "4", "--stx-every", "0", "--silence", "2:5000"},
               "2015-06-16 14:02:00 x60");
    ASSERT_TRUE(wait_packets(log, "20150616", 4));
    std::string messages = log.file(message_path("20150616"));
    EXPECT_EQ(count(messages, " no good kest packets in 3 minutes.\n"), 1u) << messages;
    std::vector<std::string> packets = packets_in(log.file(status_path("20150616")));
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_GE(stamp_minutes(packets[2]) - stamp_minutes(packets[1]), 4);
}

TEST(Simulator, ReplaysARecordedStatusFile) {
    Logger log;
    const std::string first = status_packet(91, "0004"), second = stx_packet("K0001 MSG 0001 HEATER ON"),
                      third = status_packet(95, "0000");
    std::string recorded = log.dir() + "/KES20150101.txt";
    std::ofstream(recorded, std::ios::binary)
        << "line noise" << first << second << "junk" << third << "\x01unfinished";

    Simulator sim;
    start_both(sim, log, {"--interval", "100", "--replay", recorded}, "2015-06-16 14:02:00 x10");
    ASSERT_TRUE(wait_packets(log, "20150616", 3));
    std::string stored = log.file(status_path("20150616"));
    EXPECT_TRUE(has_match(stored, "^" + lit(stamped(first, "150616 14:02")) + lit(second) +
                                      lit(stamped(third, "150616 14:02")) + "$"))
        << stored;
    EXPECT_TRUE(log.wait_file_contains(message_path("20150616"), " kest fault code=0004 ,heater current\n"));
    EXPECT_TRUE(log.running());
}

TEST(Simulator, ReplacesAStaleLinkButNeverAFile) {
    char tmpl[] = "/tmp/kestsim-link-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl, link = dir + "/ttyKEST", file = dir + "/plain";
    ASSERT_EQ(symlink("/dev/kestlog-gone", link.c_str()), 0);
    std::ofstream(file) << "keep me\n";

    Simulator sim;
    ASSERT_TRUE(sim.start({}, link)) << sim.stderr_text();
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.path(), target);
    EXPECT_EQ(sim.stop(SIGTERM), 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0);

    Simulator refused;
    EXPECT_FALSE(refused.start({}, file));
    EXPECT_EQ(refused.wait_exit(), 1);
    EXPECT_EQ(refused.stderr_text(), "kestsim: " + file + ": exists and is not a symbolic link\n");
    std::ifstream in(file);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "keep me");
    unlink(file.c_str());
    rmdir(dir.c_str());
}

// On a serial device (here the slave end of a pseudo-terminal, read at the
// master end as a null-modem cable's far side would be).
TEST(Simulator, TalksOnAGivenDeviceWithItsLineSettings) {
    int master, slave;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    char tmpl[] = "/tmp/kestsim-dev-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string link = std::string(tmpl) + "/ttyKEST";

    Simulator sim;
    ASSERT_TRUE(sim.start(
        {"--device", name, "--line", "19200,8,N,2", "--interval", "50", "--count", "2", "--stx-every", "0"},
        link))
        << sim.stderr_text();
    EXPECT_EQ(sim.path(), name);
    std::string got;
    for (int waited = 0; got.size() < 2 * 91 && waited < 5000; waited += 10) {
        struct pollfd p = {master, POLLIN, 0};
        char buf[512];
        if (poll(&p, 1, 10) > 0) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        }
    }
    EXPECT_TRUE(has_match(got, "^\x01K0001 .{83}\x04\x01K0001 .{83}\x04$")) << got;
    struct termios t;
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_EQ(sim.stop(SIGTERM), 0);

    Simulator refused;
    EXPECT_FALSE(refused.start({"--device", name, "--line", "600,8,N,1"}, link));
    EXPECT_EQ(refused.wait_exit(), 1);
    EXPECT_EQ(refused.stderr_text(), "kestsim: unsupported line settings: 600,8,N,1\n");
    Simulator misused;
    EXPECT_FALSE(misused.start({"--interval", "0"}, link));
    EXPECT_EQ(misused.wait_exit(), 2);
    EXPECT_EQ(misused.stderr_text(), "kestsim: bad value for --interval: 0\n");
    close(master);
    close(slave);
    rmdir(tmpl);
}
