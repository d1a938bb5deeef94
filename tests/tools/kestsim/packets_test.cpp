// The simulator's packets: the status packet layout the logger relies on
// (clock at 7-18, fault word at 86-89, 91 bytes) must hold for any reading.
#include <gtest/gtest.h>

#include <regex>

#include "kestsim.h"
#include "testutil.h"

namespace {

struct tm clock_at(int year, int mon, int day, int hour, int min) {
    time_t t = utc(year, mon, day, hour, min, 0);
    struct tm clock;
    gmtime_r(&t, &clock);
    return clock;
}

const std::regex STATUS_LAYOUT(
    "\x01K\\d{4} \\d{6} \\d\\d:\\d\\d \\d{5} [ \\d]{2}\\d\\.\\d\\d \\d\\d [ +-][+\\-\\d]\\d\\.\\d [ "
    "\\d]\\d\\.\\d\\d \\d{3} "
    "[ \\d]\\d\\.\\d\\d \\d\\.\\d\\d \\d\\.\\d\\d [ \\d]\\d\\.\\d\\d [ +-][+\\-\\d]\\d\\.\\d\\d [+-]\\d{3} "
    ".{4}\x04");

}  // namespace

TEST(SimPackets, StatusPacketLayout) {
    std::string p = status_packet(1, clock_at(2015, 6, 16, 9, 5), first_reading(), "0000");
    EXPECT_EQ(p,
              "\x01K0001 150616 09:05 15000   0.00 00 +12.5  8.05 120 24.00 1.20 5.01 12.02 -11.98 +003 0000"
              "\x04");
    ASSERT_EQ(p.size(), SIM_STATUS_LEN);
    EXPECT_EQ(p.substr(7, 12), "150616 09:05");
    EXPECT_EQ(p.substr(86, 4), "0000");
}

TEST(SimPackets, FaultBitsShowInTheReadings) {
    std::string p =
        status_packet(1, clock_at(2015, 6, 16, 9, 5), with_faults(first_reading(), 0x0029), "0029");
    EXPECT_EQ(p,
              "\x01K0001 150616 09:05 15000   0.00 00 +12.5  8.05 120 24.00 1.20 4.52 12.02 -10.20 +250 0029"
              "\x04");
}

TEST(SimPackets, ExtremeAndWanderingReadingsKeepEveryFieldInPlace) {
    Reading high{1000000, 500.0, 150.0, 120.0, 5000, 150.0, 12.0, 12.0, 150.0, 5.0, 5000};
    Reading low{-5, -1.0, -150.0, -1.0, -5, -1.0, -1.0, -1.0, -1.0, -150.0, -5000};
    Reading edge{99999, 99.996, 99.96, 99.996, 999, 99.996, 9.996, 9.996, 99.996, -99.996, -999};
    for (const Reading& r : {high, low, edge}) {
        std::string p = status_packet(12345, clock_at(2099, 12, 31, 23, 59), r, "FFFF");
        EXPECT_TRUE(std::regex_match(p, STATUS_LAYOUT)) << p;
    }
    std::mt19937 rng(1);
    Reading r = first_reading();
    for (int i = 0; i < 20000; i++) {
        next_reading(r, rng);
        std::string p = status_packet(1, clock_at(2015, 1, 1, 0, 0), r, "0000");
        ASSERT_TRUE(std::regex_match(p, STATUS_LAYOUT)) << "step " << i << ": " << p;
    }
}

TEST(SimPackets, BrokenFramesAndNoise) {
    EXPECT_EQ(broken_frame(0), "\x04");
    std::string oversize = broken_frame(1);
    EXPECT_EQ(oversize.size(), SIM_OVERSIZE_LEN);
    EXPECT_EQ(oversize[0], '\x01');
    EXPECT_EQ(oversize.find_first_of(std::string("\x01\x02\x04", 3), 1), std::string::npos);

    std::mt19937 rng(3);
    std::string noise = line_noise(5000, rng);
    EXPECT_EQ(noise.size(), 5000u);
    EXPECT_EQ(noise.find_first_of(std::string("\x01\x02\x04", 3)), std::string::npos);
}

TEST(SimPackets, FaultListsAndRecordedFiles) {
    std::vector<std::string> words;
    EXPECT_TRUE(parse_fault_list("0000,0029,-001", &words));
    EXPECT_EQ(words, (std::vector<std::string>{"0000", "0029", "-001"}));
    EXPECT_FALSE(parse_fault_list("", &words));
    EXPECT_FALSE(parse_fault_list("0000,29", &words));
    EXPECT_FALSE(parse_fault_list("0000,", &words));

    EXPECT_EQ(recorded_packets("noise\x01"
                               "a\x04\x04zz\x02"
                               "b\x01"
                               "c\x04\x01unfinished"),
              (std::vector<std::string>{"\x01"
                                        "a\x04",
                                        "\x02"
                                        "b\x01"
                                        "c\x04"}));
}
