// Packets from the serial line to the daily files.
#include <unistd.h>

#include "e2e/e2e.h"
#include "e2e/simulator.h"

TEST(Packets, StatusPacketIsStampedAndStoredWithOtherPackets) {
    Logger log;
    start_at(log, "2015-01-02 03:04:05");
    std::string status = status_packet(100);
    std::string other = stx_packet("any other packet");
    log.write_serial("line noise" + status + "\r\n" + other);
    std::string stored = stamped(status, "1501 2 03:04") + other;
    EXPECT_TRUE(log.wait_file(status_path("20150102"), stored)) << log.file(status_path("20150102"));
    EXPECT_TRUE(log.wait_console(stored));
    std::string m = log.file(message_path("20150102"));
    EXPECT_EQ(m.rfind("0, 2/01/2015,03:04:05, starting KESTLOG", 0), 0u) << m;
    EXPECT_EQ(m.find("kest"), std::string::npos);
    // A packet that would retitle and clear a terminal, in 7-bit and in C1
    // form, is stored as it came and shown as text.
    std::string hostile = stx_packet(
        "\x1b]0;owned\x07\x1b[2J\x9b"
        "2J\xc2\x9b"
        "2J \xc3\xa9");
    size_t from = log.console().size();
    log.write_serial(hostile);
    EXPECT_TRUE(log.wait_file(status_path("20150102"), stored + hostile));
    EXPECT_TRUE(log.wait_console(stx_packet("^[]0;owned\x07^[[2JM-^[2JM-BM-^[2J \xc3\xa9"), 5000, from))
        << log.console().substr(from);
    EXPECT_EQ(log.console().find('\x1b'), std::string::npos);
}

TEST(Packets, FaultWordIsRecordedBeforeThePacketIsShown) {
    Logger log;
    start_at(log, "2015-06-16 14:02:11");
    std::string p = status_packet(120, "0029");
    log.write_serial(p);
    std::string line =
        "1,16/06/2015,14:0[23]:\\d\\d, kest fault code=0029 " + lit(",-12V,+5V,DC offset") + "\n";
    ASSERT_TRUE(log.wait_file_contains(status_path("20150616"), "\x04"));
    EXPECT_TRUE(has_match(log.file(message_path("20150616")), "\n" + line + "$"));
    ASSERT_TRUE(log.wait_console("\x04"));
    EXPECT_TRUE(has_match(log.console(), "\n\n" + line + lit(p.substr(0, 7)))) << log.console();
    // A fault word is four ASCII digits: anything else shows as '?'.
    log.write_serial(status_packet(100,
                                   "\xc2\x9b"
                                   "2\x1b"));
    EXPECT_TRUE(log.wait_file_contains(message_path("20150616"), " kest fault code=??2? "));
}

// Each framing failure is a numbered record, the first ten of a minute;
// a babbling line's others are counted and recorded together at the change
// of minute, so that noise cannot fill the disk. Packets amid it are stored.
TEST(Packets, FramingFailuresAreNumberedRecords) {
    Logger log;
    LoggerOptions opts;
    opts.parfile += "metrics_file=metrics.prom\n";
    start_at(log, "2015-06-16 14:02:11 x10", opts);
    std::string overflow = "\x01" + std::string(8191, '\x80') + "rest\x04";
    log.write_serial("\x04" + overflow + stx_packet("good"));
    ASSERT_TRUE(log.wait_file(status_path("20150616"), stx_packet("good")));
    std::string m = log.file(message_path("20150616"));
    EXPECT_TRUE(
        has_match(m,
                  "\n1,16/06/2015,14:0\\d:\\d\\d, kest packet not between 0x01/2 and 0x04, 00 04\n"
                  "2,16/06/2015,14:0\\d:\\d\\d, kest packet not between 0x01/2 and 0x04, 01 FFFFFF80\n"
                  "3,16/06/2015,14:0\\d:\\d\\d, kest packet not between 0x01/2 and 0x04, 00 04\n$"))
        << m;
    EXPECT_TRUE(
        log.wait_console("1,kest packet not between 0x01/2 and 0x04, 00 04\n"
                         "2,kest packet not between 0x01/2 and 0x04, 01 FFFFFF80\n"
                         "3,kest packet not between 0x01/2 and 0x04, 00 04\n"));

    // Noise: more than the logger takes from the line at one wake (the rest
    // of its last read must not wait for more bytes), packets between.
    log.write_serial(std::string(600000, '\x04') + stx_packet("between") + std::string(600000, '\x01') +
                     stx_packet("after the noise"));
    ASSERT_TRUE(log.wait_file(status_path("20150616"),
                              stx_packet("good") + stx_packet("between") + stx_packet("after the noise")));
    ASSERT_TRUE(log.wait_file_contains("metrics.prom", "kestlog_framing_failures_total{", 20000));
    ASSERT_TRUE(log.wait_file_contains(message_path("20150616"), " were not recorded one by one\n", 20000));
    // Every failure counted: one by one or in a minute's record.
    ASSERT_TRUE(log.wait_file_contains("metrics.prom", "} 1200003\n", 20000)) << log.file("metrics.prom");
    m = log.file(message_path("20150616"));
    std::regex more(", (\\d+) more framing failures in the minute to 14:0\\d were not recorded one by one\n");
    long counted = 0, summaries = 0;
    for (auto it = std::sregex_iterator(m.begin(), m.end(), more); it != std::sregex_iterator();
         ++it, summaries++)
        counted += std::stol((*it)[1]);
    size_t one_by_one = count(m, "kest packet not between 0x01/2 and 0x04, ");
    EXPECT_EQ(counted + static_cast<long>(one_by_one), 1200003) << m;
    EXPECT_LE(one_by_one, static_cast<size_t>(10 * (summaries + 1))) << m;
    EXPECT_LT(m.size(), 8000u) << "noise fills the message log";
    EXPECT_TRUE(log.wait_console(" more framing failures in the minute to 14:0", 20000));
    EXPECT_TRUE(has_match(log.console(), "\\d+,\\d+ more framing failures in the minute to 14:0\\d were not"))
        << "and the console";
}

TEST(Packets, ZeroByteAndShortStatusPacketsAreStoredWhole) {
    Logger log;
    start_at(log, "2015-06-16 14:02:11");
    std::string with_zero(
        "\x02"
        "before\0after\x04",
        14);
    std::string tiny =
        "\x01"
        "abc\x04";
    std::string no_fault_word = status_packet(60);
    log.write_serial(with_zero + tiny + no_fault_word);
    std::string stored = log.file(status_path("20150616"));
    ASSERT_TRUE(log.wait_file_contains(status_path("20150616"),
                                       "\x01"
                                       "KES01 "));
    stored = log.file(status_path("20150616"));
    ASSERT_EQ(stored.size(), with_zero.size() + tiny.size() + no_fault_word.size());
    EXPECT_EQ(stored.substr(0, with_zero.size() + tiny.size()), with_zero + tiny);
    EXPECT_TRUE(has_match(
        stored.substr(with_zero.size() + tiny.size()),
        "^" + lit(no_fault_word.substr(0, 7)) + "150616 14:0[23]" + lit(no_fault_word.substr(19)) + "$"));
    EXPECT_EQ(log.file(message_path("20150616")).find("fault"), std::string::npos);
}

TEST(Packets, PacketSplitAcrossPassesIsStoredOnce) {
    Logger log;
    start_at(log, "2015-06-16 14:02:11");
    std::string p = stx_packet("split into three pieces");
    log.write_serial(p.substr(0, 5));
    usleep(1200000);
    log.write_serial(p.substr(5, 10));
    usleep(1200000);
    log.write_serial(p.substr(15));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), p));
}

TEST(Packets, BytesFromBeforeSetUpAreDiscarded) {
    Logger log;
    log.write_serial(stx_packet("stale"));  // waits in the line before the logger starts
    LoggerOptions opts;
    opts.faketime = "@2015-06-16 14:02:11";
    log.start(opts);
    log.write_serial("tail of a cut packet\x04" + stx_packet("fresh"));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("fresh")));
    EXPECT_TRUE(has_match(log.file(message_path("20150616")),
                          "\n1,[^\n]* kest packet not between 0x01/2 and 0x04, 00 04\n$"));
}

TEST(Packets, BurstOfManyPacketsIsStoredInOrder) {
    Logger log;
    start_at(log, "2015-06-16 14:02:11");
    std::string all;
    for (int i = 0; i < 500; i++) all += stx_packet("burst " + std::to_string(i) + std::string(60, '-'));
    log.write_serial(all);
    EXPECT_TRUE(log.wait_file(status_path("20150616"), all, 10000));
}
