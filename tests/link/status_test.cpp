#include <cstring>

#include "link/link.h"
#include "testutil.h"

// A status packet of the given length (SOH ... EOT) with a fault word when
// the packet is long enough to hold one.
static std::string status_packet(size_t len, const char* fault = "0000") {
    std::string p(len, '.');
    p[0] = '\x01';
    p[len - 1] = '\x04';
    for (size_t i = 7; i < 19 && i < len - 1; i++) p[i] = '9';
    if (len >= 91) memcpy(&p[86], fault, 4);
    return p;
}

class StatusTest : public StateTest {
   protected:
    // Loads a packet into the buffer as checkkest would and processes it.
    std::string process(const std::string& packet) {
        memcpy(mon.skest, packet.data(), packet.size());
        mon.pchar2 = static_cast<int>(packet.size());
        mon.skest[mon.pchar2] = '\0';
        testing::internal::CaptureStdout();
        checkstatus();
        console_ = testing::internal::GetCapturedStdout();
        return std::string(mon.skest, static_cast<size_t>(mon.pchar2));
    }
    std::string console_;
};

TEST(FaultDecode, ComposesTextsInBitOrderAndCountsSevereBits) {
    char text[TEXT_MAX + 1];
    EXPECT_EQ(decode_fault(0x0029, text, sizeof text), 2);
    EXPECT_STREQ(text, ",-12V,+5V,DC offset");
    EXPECT_EQ(decode_fault(0x8004, text, sizeof text), 0);
    EXPECT_STREQ(text, ",min noise limit,heater current");
    EXPECT_EQ(decode_fault(0, text, sizeof text), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(decode_fault(0xFFFF, text, sizeof text), 4);
    EXPECT_EQ(strlen(text), 187u);
    EXPECT_STREQ(text + strlen(text) - 10, ",DC offset");
}

TEST(FaultDecode, SmallBufferIsNeverOverrun) {
    char text[8];
    memset(text, 'z', sizeof text);
    decode_fault(0xFFFF, text, 6);
    EXPECT_EQ(strlen(text), 5u);
    EXPECT_EQ(text[6], 'z');
}

TEST_F(StatusTest, StampsLoggerTimeOverInstrumentTime) {
    open_day();
    std::string out = process(status_packet(100));
    EXPECT_EQ(out.substr(7, 12), "150616 14:02");
    EXPECT_EQ(out.substr(0, 7), "\x01......");
    EXPECT_EQ(out.substr(19), status_packet(100).substr(19));
    EXPECT_EQ(messages(), "");
    EXPECT_EQ(console_, "");
    EXPECT_EQ(mon.kesfd, 0);
}

TEST_F(StatusTest, StampKeepsBlankOfSingleDigitDay) {
    fake_now = utc(2015, 6, 6, 9, 10, 11);
    open_day();
    EXPECT_EQ(process(status_packet(100)).substr(7, 12), "1506 6 09:10");
}

TEST_F(StatusTest, FaultWordIsRecordedAndCounted) {
    open_day();
    mon.kesfd = 4;
    process(status_packet(100, "0029"));
    EXPECT_EQ(mon.kesfd, 5);
    EXPECT_EQ(mon.kesfm, 2);
    EXPECT_EQ(messages(), "5,16/06/2015,14:02:11, kest fault code=0029 ,-12V,+5V,DC offset\n");
    EXPECT_EQ(console_, "\n5,16/06/2015,14:02:11, kest fault code=0029 ,-12V,+5V,DC offset\n");
}

TEST_F(StatusTest, OddFaultWordsReadAsHexadecimal) {
    open_day();
    struct Case {
        const char* word;
        unsigned value;
        int severe;
        const char* text;
    } cases[] = {
        {"00ff", 0xff, 3, ",heater voltage,Gunn voltage,-12V,+12V,+5V,heater current,not used,DC offset"},
        {"12G4", 0x12, 1, ",+12V,not used"},
        {"8000", 0x8000, 0, ",min noise limit"},
        {"zzzz", 0, 0, ""},
        {"  00", 0, 0, ""},
        {"\n01\x7f", 0x1, 0, ",DC offset"},
        {"0\0"
         "12",
         0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        mon.kesfm = 0;
        int before = mon.kesfd;
        process(status_packet(100, c.word));
        EXPECT_EQ(mon.kesfaultnum, c.value);
        EXPECT_EQ(mon.kesfm, c.severe);
        EXPECT_EQ(mon.kesfd, before + 1);
        EXPECT_STREQ(mon.kesfault, c.text);
    }
    // Control characters never split the record or the console line.
    EXPECT_TRUE(
        messages().ends_with(" kest fault code=?01? ,DC offset\n"
                             "7,16/06/2015,14:02:11, kest fault code=0?12 \n"))
        << messages();
    EXPECT_TRUE(console_.starts_with("\n7,16/06/2015,14:02:11, kest fault code=0?12 \n"));
}

TEST_F(StatusTest, MinusSignSetsEveryBit) {
    open_day();
    process(status_packet(100, "-001"));
    EXPECT_EQ(mon.kesfaultnum & 0xFFFF, 0xFFFFu);
    EXPECT_EQ(mon.kesfm, 4);
    EXPECT_EQ(strlen(mon.kesfault), 187u);
}

TEST_F(StatusTest, ShortPacketsAreNeverWrittenOrReadPastTheirEnd) {
    open_day();
    // Too short for the stamp: unchanged, terminator and tail untouched.
    memset(mon.skest, 'Q', 40);
    std::string p19 = status_packet(19);
    EXPECT_EQ(process(p19), p19);
    EXPECT_EQ(mon.skest[19], '\0');
    EXPECT_EQ(mon.skest[20], 'Q');

    // Room for the stamp but not the fault word: stamped, no fault read even
    // if old bytes in the buffer look like a fault word.
    memset(mon.skest, 'Q', sizeof mon.skest);
    memcpy(mon.skest + 86, "0029", 4);
    std::string p20 = status_packet(20);
    std::string out = process(p20);
    EXPECT_EQ(out.substr(7, 12), "150616 14:02");
    EXPECT_EQ(out[19], '\x04');
    EXPECT_EQ(mon.kesfd, 0);
    EXPECT_EQ(messages(), "");

    // 90 bytes: the fault word would end on the EOT.
    std::string p90 = status_packet(91, "0029").substr(0, 89) + "\x04";
    process(p90);
    EXPECT_EQ(mon.kesfd, 0);
    // 91 bytes: read.
    process(status_packet(91, "0029"));
    EXPECT_EQ(mon.kesfd, 1);
}
