// The operator's keyboard at the console: commands, the terminal mode and
// its restoration on every way out.
#include <signal.h>
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
    // Ctrl-Z, Ctrl-\ and an erase key: no signal, no editing, just bytes,
    // shown as cat -v shows them.
    log.type("\x1a\x1c\r");
    ASSERT_TRUE(log.wait_console("\ngot word ^Z^\\\n\nNot a valid command word.\n"));
    log.type("x\x7fhelp\r");
    ASSERT_TRUE(log.wait_console("\ngot word x^?help\n\nNot a valid command word.\n"));
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

// Input at its end, and input that never ends (kestlog </dev/zero), are
// taken a piece a pass: the loop neither stops nor spins.
TEST(Keyboard, EndedOrEndlessStandardInputNeitherStopsNorSpins) {
    for (auto input : {LoggerOptions::Input::EndedPipe, LoggerOptions::Input::Zero}) {
        SCOPED_TRACE(input == LoggerOptions::Input::Zero ? "/dev/zero" : "ended pipe");
        Logger log;
        LoggerOptions opts;
        opts.input = input;
        start_at(log, "2015-06-16 14:02:11 x10", opts);
        double before = cpu_seconds(log.pid());
        log.write_serial(stx_packet("one"));
        ASSERT_TRUE(log.wait_file(status_path("20150616"), stx_packet("one")));
        log.wait_console("never printed", 2000);  // 20 passes
        log.write_serial(stx_packet("two"));
        EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("one") + stx_packet("two")));
        EXPECT_TRUE(log.running());
        EXPECT_LT(cpu_seconds(log.pid()) - before, 0.5) << "the loop spins on its input";
    }
}

// SIGTERM (systemctl stop), SIGINT and SIGQUIT: recorded, the console put
// back, and ended so that a service manager sees how.
TEST(Keyboard, StopSignalsAreRecordedAndRestoreTheConsole) {
    struct Case {
        int sig;
        int status;
        const char* name;
    } cases[] = {
        {SIGTERM, 128 + SIGTERM, "SIGTERM"}, {SIGINT, 128 + SIGINT, "SIGINT"}, {SIGQUIT, 131, "SIGQUIT"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Logger log;
        start_at(log, "2015-06-16 14:02:11 x10");
        log.signal(c.sig);
        EXPECT_EQ(log.wait_exit(3000), c.status);
        EXPECT_TRUE(
            has_match(log.file(message_path("20150616")),
                      "\n1,16/06/2015,14:0\\d:\\d\\d, stopped by signal " + std::string(c.name) + "\n$"))
            << log.file(message_path("20150616"));
        EXPECT_TRUE(as_found(log.console_settings()));
    }
}

// A console stopped with Ctrl-S, or a standard output pipe nobody reads,
// holds up nothing: every packet is stored, and once the console is read
// again it says how much it could not show.
TEST(Keyboard, UnreadConsoleNeverHoldsUpTheData) {
    const std::regex marker("\\[console: (\\d+) bytes not shown\\]\n");
    for (bool to_pipe : {false, true}) {
        SCOPED_TRACE(to_pipe ? "standard output a pipe" : "console terminal");
        Logger log;
        LoggerOptions opts;
        opts.keep_stdout_pipe = to_pipe;
        start_at(log, "2015-06-16 14:02:11 x10", opts);
        log.type("kesrawdon\r");  // about 35 bytes shown for every byte read
        if (to_pipe)
            ASSERT_NE(log.read_stdout_pipe("got word kesrawdon\n", 10000).find("got word"),
                      std::string::npos);
        else
            ASSERT_TRUE(log.wait_console("got word kesrawdon\n"));

        log.hold_console(true);
        std::string all;
        for (int i = 0; i < 400; i++) all += stx_packet("packet " + std::to_string(i) + std::string(90, '.'));
        log.write_serial(all);
        EXPECT_TRUE(log.wait_file(status_path("20150616"), all, 20000))
            << log.file(status_path("20150616")).size() << " of " << all.size() << " bytes stored";
        log.hold_console(false);

        // A console that drains slowly may take some output between drops:
        // then there are several markers, each where its bytes were dropped.
        log.write_serial(stx_packet("after"));
        std::string shown = to_pipe ? log.read_stdout_pipe(stx_packet("after"), 10000)
                                    : (log.wait_console(stx_packet("after"), 10000), log.console());
        long dropped = 0;
        for (auto it = std::sregex_iterator(shown.begin(), shown.end(), marker); it != std::sregex_iterator();
             ++it)
            dropped += std::stol((*it)[1]);
        EXPECT_GT(dropped, 100000) << shown.size() << " bytes shown";
        EXPECT_TRUE(log.running());
    }
}
