#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "link/link.h"
#include "testutil.h"

// Packets are fed through a pipe standing in for the serial line.
class PacketTest : public StateTest {
   protected:
    void SetUp() override {
        StateTest::SetUp();
        ASSERT_EQ(pipe2(fds_, O_NONBLOCK), 0);
        mon.fhR2 = fds_[0];
        open_day();
    }
    void TearDown() override {
        close(fds_[0]);
        close(fds_[1]);
        StateTest::TearDown();
    }

    void send(const std::string& bytes) {
        ASSERT_EQ(write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Drains the line as one main-loop pass does; returns the console output
    // and the number of calls made.
    std::string drain(int* calls = nullptr) {
        testing::internal::CaptureStdout();
        int n = 0;
        do {
            checkkest();
            n++;
        } while (mon.nchar2 > 0);
        if (calls) *calls = n;
        return testing::internal::GetCapturedStdout();
    }

    int fds_[2] = {-1, -1};
};

static std::string stx(const std::string& body) { return "\x02" + body + "\x04"; }

TEST_F(PacketTest, NoiseBeforeStartIsDroppedAndPacketsStored) {
    send("noise\x7f\xff" + stx("hello") + "\r\n" + stx("world"));
    int calls = 0;
    std::string out = drain(&calls);
    EXPECT_EQ(calls, 3);  // two packets, then a call that finds nothing
    EXPECT_EQ(status_file(), stx("hello") + stx("world"));
    EXPECT_EQ(out, stx("hello") + stx("world"));
    EXPECT_EQ(messages(), "");
}

TEST_F(PacketTest, PacketSplitOverPassesIsStoredOnce) {
    send("\x02par");
    EXPECT_EQ(drain(), "");
    EXPECT_EQ(mon.pchar2, 4);
    send("tial");
    drain();
    send(" end\x04");
    drain();
    EXPECT_EQ(status_file(), stx("partial end"));
    EXPECT_EQ(mon.pchar2, 0);
}

TEST_F(PacketTest, GoodPacketResetsMinutesWithoutData) {
    mon.minnokes = 5;
    send(stx("x"));
    drain();
    EXPECT_EQ(mon.minnokes, 0);
}

TEST_F(PacketTest, DisplayOffStillStores) {
    mon.kesd = 0;
    send(stx("quiet"));
    EXPECT_EQ(drain(), "");
    EXPECT_EQ(status_file(), stx("quiet"));
}

TEST_F(PacketTest, EotWithNothingOpenIsAFramingFailure) {
    send("\x04");
    std::string out = drain();
    EXPECT_EQ(out, "1,kest packet not between 0x01/2 and 0x04, 00 04\n");
    EXPECT_EQ(messages(), "1,16/06/2015,14:02:11, kest packet not between 0x01/2 and 0x04, 00 04\n");
    EXPECT_EQ(mon.kesfm, 1);
    EXPECT_EQ(mon.kesfd, 1);
    EXPECT_EQ(status_file(), "");
}

TEST_F(PacketTest, OverflowIsRejectedAndRestDroppedUntilNextStart) {
    std::string big = "\x01" + std::string(PACKET_MAX - 1, '\x80') + "tail\x04";
    send(big + stx("next"));
    std::string out = drain();
    EXPECT_EQ(out,
              "1,kest packet not between 0x01/2 and 0x04, 01 FFFFFF80\n"
              "2,kest packet not between 0x01/2 and 0x04, 00 04\n" +
                  stx("next"));
    EXPECT_EQ(status_file(), stx("next"));
    EXPECT_EQ(mon.kesfm, 2);
}

TEST_F(PacketTest, PacketOfExactlyMaximumSizeIsGood) {
    std::string full = "\x02" + std::string(PACKET_MAX - 2, 'a') + "\x04";
    send(full);
    drain();
    EXPECT_EQ(status_file(), full);
    EXPECT_EQ(mon.kesfd, 0);
}

TEST_F(PacketTest, ZeroByteInsidePacketKeepsWholeFrame) {
    std::string p(
        "\x02"
        "ab\0cd\x04",
        7);
    send(p);
    EXPECT_EQ(drain(), p);
    EXPECT_EQ(status_file(), p);
}

TEST_F(PacketTest, StatusPacketIsStampedBeforeItIsStored) {
    std::string p = "\x01" + std::string(98, '0') + "\x04";
    send(p);
    drain();
    std::string stored = status_file();
    ASSERT_EQ(stored.size(), p.size());
    EXPECT_EQ(stored.substr(7, 12), "150616 14:02");
    EXPECT_EQ(mon.kesfd, 0);  // fault word 0000
}

TEST_F(PacketTest, RawDisplayShowsEveryByte) {
    mon.kesrawd = 1;
    mon.kesd = 0;
    send(
        std::string("z\x02"
                    "A\x80\x04",
                    5));
    std::string out = drain();
    EXPECT_EQ(out,
              "kesrawd pchar2=0 char2 7A <z>\n"
              "kesrawd pchar2=0 char2 02 <\x02> STX\n"
              "kesrawd pchar2=1 char2 41 <A>\n"
              "kesrawd pchar2=2 char2 FFFFFF80 <\x80>\n"
              "kesrawd pchar2=3 char2 04 <\x04> EOT\n");
}

// A packet whose EOT was lost is judged at the next start byte, which
// opens the next packet: that one is stored whole, stamped and decoded.
TEST_F(PacketTest, StartByteCutsAPacketThatLostItsEot) {
    std::string status = "\x01" + std::string(85, '0') + "0000" + "\x04";
    send(
        "\x02"
        "A" +
        status +
        "\x02"
        "a\x01");
    mon.kesd = 0;
    EXPECT_EQ(drain(),
              "1,kest packet not between 0x01/2 and 0x04, 02 41\n"
              "2,kest packet not between 0x01/2 and 0x04, 02 61\n");
    EXPECT_EQ(mon.pchar2, 1) << "the last start byte opened a packet";
    send("b\x04");
    drain();
    std::string stored = status_file();
    ASSERT_EQ(stored.size(), status.size() + 3);
    EXPECT_EQ(stored.substr(7, 12), "150616 14:02");
    EXPECT_EQ(stored.substr(status.size()),
              "\x01"
              "b\x04");
    EXPECT_EQ(mon.kesfm, 2) << "no fault word read from the wrong place";
    EXPECT_EQ(messages(),
              "1,16/06/2015,14:02:11, kest packet not between 0x01/2 and 0x04, 02 41\n"
              "2,16/06/2015,14:02:11, kest packet not between 0x01/2 and 0x04, 02 61\n");

    // Each byte still shows once, the cutting start byte with the length
    // the cut packet had, before the framing line.
    mon.kesrawd = 1;
    send(
        "\x02"
        "x\x02"
        "y\x04");
    EXPECT_EQ(drain(),
              "kesrawd pchar2=0 char2 02 <\x02> STX\n"
              "kesrawd pchar2=1 char2 78 <x>\n"
              "kesrawd pchar2=2 char2 02 <\x02> STX\n"
              "3,kest packet not between 0x01/2 and 0x04, 02 78\n"
              "kesrawd pchar2=1 char2 79 <y>\n"
              "kesrawd pchar2=2 char2 04 <\x04> EOT\n");
    EXPECT_TRUE(
        status_file().ends_with("\x02"
                                "y\x04"));
}

TEST_F(PacketTest, LargeBurstIsDrainedInOnePass) {
    std::string burst;
    for (int i = 0; i < 2000; i++) burst += stx("packet " + std::to_string(i));
    // More than one chunk of the line's read buffer, in several writes.
    for (size_t off = 0; off < burst.size(); off += 4096) send(burst.substr(off, 4096));
    mon.kesd = 0;
    int calls = 0;
    drain(&calls);
    EXPECT_EQ(calls, 2001);
    EXPECT_EQ(status_file(), burst);
}

// The packets of one read carry the moment it was taken, not that of the
// pass before, and are stored together once assembled; the main loop's
// hook (its day check) runs once a read.
TEST_F(PacketTest, PacketsOfOneReadCarryItsMomentAndAreStoredTogether) {
    static int reads = 0;
    reads = 0;
    on_serial_input([] { reads++; });
    std::string status = "\x01KES01 010101 00:00 " + std::string(70, 's') + "\x04";
    send(status + stx("second"));
    fake_now += 60;
    drain();
    on_serial_input(nullptr);
    EXPECT_EQ(reads, 1);
    std::string stamped = status;
    stamped.replace(7, 12, "150616 14:03");
    EXPECT_EQ(status_file(), stamped + stx("second"));
    EXPECT_EQ(mon.packets_status, 1);
    EXPECT_EQ(mon.packets_message, 1);
    EXPECT_STREQ(mon.last_good_stamp, "16/06/2015,14:03:11,");
}
