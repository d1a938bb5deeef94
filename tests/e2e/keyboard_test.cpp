// The operator's keyboard at the console: commands, the terminal mode and
// its restoration on every way out.
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "e2e/e2e.h"

namespace {

bool command_mode(const struct termios& t) { return !(t.c_lflag & ICANON) && !(t.c_lflag & ISIG); }

// The console as the harness set it up: line editing and keyboard signals on.
bool as_found(const struct termios& t) { return (t.c_lflag & ICANON) && (t.c_lflag & ISIG); }

}  // namespace

TEST(Keyboard, HelpAndDisplaySwitchesInAnyCase) {
    Logger log;
    start_at(log, "2015-06-16 14:02:11 x10");
    EXPECT_TRUE(command_mode(log.console_settings()));

    log.type("HeLpMe\r");  // Enter sends a carriage return; the terminal makes it a newline
    EXPECT_TRUE(
        log.wait_console("\ngot word helpme\n\n\n"
                         "help    - list keyboard commands\n"
                         "kesdon    - print all kest status lines\n"
                         "kesrawdon - print all kest raw characters\n"
                         "comment   - add an operator comment to MESKES20150616.txt\n"
                         "quit    - exit program\n"))
        << log.console();

    log.type("KESDOFF\r");
    ASSERT_TRUE(log.wait_console("\ngot word kesdoff\n\n"));
    log.write_serial(stx_packet("hidden"));
    ASSERT_TRUE(log.wait_file(status_path("20150616"), stx_packet("hidden")));

    log.type("kesdonx\rkesrawdon\r");
    ASSERT_TRUE(log.wait_console("\ngot word kesrawdon\n\n"));
    log.write_serial(stx_packet("s"));
    EXPECT_TRUE(
        log.wait_console("kesrawd pchar2=0 char2 02 <\x02> STX\n"
                         "kesrawd pchar2=1 char2 73 <s>\n"
                         "kesrawd pchar2=2 char2 04 <\x04> EOT\n" +
                         stx_packet("s")))
        << log.console();
    EXPECT_EQ(log.console().find(stx_packet("hidden")), std::string::npos);
    EXPECT_TRUE(log.running());
}

TEST(Keyboard, EditingAndSignalKeysAreStoredAsBytes) {
    Logger log;
    start_at(log, "2015-06-16 14:02:11 x10");
    // Ctrl-Z, Ctrl-\ and an erase key: no signal, no editing, just bytes.
    log.type("\x1a\x1c\r");
    ASSERT_TRUE(log.wait_console("\ngot word \x1a\x1c\n\nNot a valid command word.\n"));
    log.type("x\x7fhelp\r");
    ASSERT_TRUE(log.wait_console("\ngot word x\x7fhelp\n\nNot a valid command word.\n"));
    EXPECT_TRUE(log.running());
    log.type("quitx\x7f\r");
    EXPECT_EQ(log.wait_exit(), 0);
    EXPECT_TRUE(has_match(log.file(message_path("20150616")),
                          "\n1,16/06/2015,14:0\\d:\\d\\d, keyboard quit command\n$"));
}

TEST(Keyboard, CommentsAreRecordedAndCut) {
    Logger log;
    start_at(log, "2015-06-16 14:02:11 x10");
    log.type("Comment Pump serviced\r");
    std::string long_text(73, 'z');  // with "comment", 80 characters: still one line
    log.type("comment" + long_text + "\r");
    ASSERT_TRUE(log.wait_console("\ngot word comment" + long_text + "\n\n"));
    log.type("quit\r");
    ASSERT_EQ(log.wait_exit(), 0);
    std::string stamp = "16/06/2015,14:0\\d:\\d\\d, ";
    EXPECT_TRUE(has_match(log.file(message_path("20150616")),
                          "\n0," + stamp + "comment: < pump serviced\n>\n" +                   //
                              "0," + stamp + "comment: <" + long_text.substr(0, 72) + ">\n" +  //
                              "1," + stamp + "keyboard quit command\n$"))
        << log.file(message_path("20150616"));
    EXPECT_TRUE(as_found(log.console_settings()));
}

TEST(Keyboard, CtrlCEndsAtOnceWithoutARecordAndRestoresTheConsole) {
    Logger log;
    start_at(log, "2015-06-16 14:02:11 x10");
    log.type("qu\x03");
    EXPECT_EQ(log.wait_exit(), 0);
    EXPECT_EQ(log.file(message_path("20150616")).find("quit"), std::string::npos);
    EXPECT_TRUE(as_found(log.console_settings()));
}

TEST(Keyboard, SerialFailureRestoresTheConsole) {
    Logger log;
    LoggerOptions opts;
    opts.parfile = "serial_port=/dev/kestlog-no-such-line,9600,7,E,1\n";
    log.start(opts, false);
    EXPECT_EQ(log.wait_exit(), 255);
    EXPECT_TRUE(log.console().find("Keyboard initialization successful.\n") != std::string::npos);
    EXPECT_TRUE(as_found(log.console_settings()));
}

TEST(Keyboard, SilentPipeOnStandardInputDoesNotHoldTheLoop) {
    Logger log;
    LoggerOptions opts;
    opts.input = LoggerOptions::Input::SilentPipe;
    start_at(log, "2015-06-16 14:02:11", opts);
    log.write_serial(stx_packet("one"));
    ASSERT_TRUE(log.wait_file(status_path("20150616"), stx_packet("one")));
    log.write_serial(stx_packet("two"));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("one") + stx_packet("two")));
}

TEST(Keyboard, NullDeviceOnStandardInputMeansNoKeyboard) {
    Logger log;
    LoggerOptions opts;
    opts.input = LoggerOptions::Input::Null;
    start_at(log, "2015-06-16 14:02:11", opts);
    log.write_serial(stx_packet("one"));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("one")));
    EXPECT_TRUE(log.running());
    EXPECT_EQ(log.console().find("got word"), std::string::npos);
}

// Processor time the process has used so far, in seconds.
static double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    std::getline(in, field, ')');  // past the command name, which may hold blanks
    double ticks = 0;
    for (int i = 3; in >> field && i <= 15; i++) {
        if (i >= 14) ticks += std::stod(field);  // utime and stime
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(Keyboard, EndedStandardInputNeitherStopsNorSpins) {
    Logger log;
    LoggerOptions opts;
    opts.input = LoggerOptions::Input::EndedPipe;
    start_at(log, "2015-06-16 14:02:11 x10", opts);
    double before = cpu_seconds(log.pid());
    log.write_serial(stx_packet("one"));
    ASSERT_TRUE(log.wait_file(status_path("20150616"), stx_packet("one")));
    log.wait_console("never printed", 2000);  // 20 passes
    log.write_serial(stx_packet("two"));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("one") + stx_packet("two")));
    EXPECT_TRUE(log.running());
    EXPECT_LT(cpu_seconds(log.pid()) - before, 0.5) << "the loop spins on the ended input";
}
