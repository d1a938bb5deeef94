// Start-up: console lines, files, records, serial line settings and the ways
// start-up can fail.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "e2e/e2e.h"
#include "e2e/simulator.h"

TEST(Startup, PrintsItsLinesAndWritesStartingRecords) {
    Logger log;
    LoggerOptions opts;
    opts.parfile = "KESTLOG.PAR_updated=2015-06-19\nserial_port=@PTY@,9600,7,E,1\nsite=ABC\n";
    opts.faketime = "@2015-06-06 10:37:12";
    log.start(opts);
    std::string port = log.serial_name();
    std::string expected =
        "Program-Version: KESTLOG (build 2015-Jun-19)\n"
        "Startup time = Sat Jun 06 10:36:12 2015\n\n"
        "Keyboard initialization successful.\n"
        "Today's message file name is: ./data/MESKES20150606.txt\n"
        "Today's kest file name is: ./data/KES20150606.txt\n"
        "\nUsing parameter file: kestlog.par\n"
        "KESTLOG.PAR_updated=2015-06-19\n"
        "serial_port=" +
        port +
        ",9600,7,E,1\n"
        "site=ABC\n"
        "Serial port, " +
        port +
        ", initialization successful.\n"
        "\nOK, KESTLOG all initialized! Awaiting data and/or keyboard input (i.e. type 'help')\n";
    EXPECT_EQ(log.console(), expected);
    std::string ts = "0, 6/06/2015,10:37:12, ";
    EXPECT_EQ(log.file(message_path("20150606")),
              ts + "starting KESTLOG (build 2015-Jun-19)\n" + ts + "KESTLOG.PAR_updated=2015-06-19\n" + ts +
                  "serial_port=" + port + ",9600,7,E,1\n" + ts + "site=ABC\n");
    EXPECT_TRUE(std::filesystem::exists(log.dir() + "/" + status_path("20150606")));
    EXPECT_EQ(log.file(status_path("20150606")), "");
    auto perms = std::filesystem::status(log.dir() + "/data").permissions();
    EXPECT_TRUE((perms & std::filesystem::perms::owner_write) != std::filesystem::perms::none);
}

TEST(Startup, EvenMinuteIsShownUnchanged) {
    Logger log;
    LoggerOptions opts;
    opts.faketime = "@2015-12-24 08:40:05";
    log.start(opts);
    EXPECT_TRUE(log.wait_console("Startup time = Thu Dec 24 08:40:05 2015\n\n"));
}

TEST(Startup, ConfiguresTheLineRawAtTheGivenSpeed) {
    Logger log;
    LoggerOptions opts;
    opts.parfile = "serial_port=@PTY@,19200,8,N,2\n";
    log.start(opts);
    int fd = open(log.serial_name().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_cflag & HUPCL);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(Startup, MissingDeviceEndsWithReasonAndStatus255) {
    Logger log;
    LoggerOptions opts;
    opts.parfile = "serial_port=/dev/kestlog-no-such-tty,9600,7,E,1\nsite=XYZ\n";
    opts.faketime = "@2015-06-16 14:02:11";
    log.start(opts, false);
    ASSERT_EQ(log.wait_exit(10000), 255);
    EXPECT_TRUE(has_match(log.stderr_text(), "(^|\n)/dev/kestlog-no-such-tty: No such file or directory\n"))
        << log.stderr_text();
    EXPECT_EQ(log.file(message_path("20150616")),
              "0,16/06/2015,14:02:11, starting KESTLOG (build 2015-Jun-19)\n"
              "0,16/06/2015,14:02:11, serial_port=/dev/kestlog-no-such-tty,9600,7,E,1\n"
              "0,16/06/2015,14:02:11, site=XYZ\n");
    EXPECT_EQ(log.console().find("Serial port,"), std::string::npos);
}

// A device the user may not open: the second line says who runs the logger,
// who may open the device, and what usually fixes it. Root is never refused,
// so the logger runs as nobody.
class RefusedDevice : public testing::Test {
   protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to run the logger as an unprivileged user";
        struct group* gr = getgrnam("dialout");
        if (!gr || !getpwnam("nobody")) GTEST_SKIP() << "no dialout group or nobody user here";
        dialout = gr->gr_gid;
        ASSERT_EQ(chown(log.serial_name().c_str(), 0, dialout), 0) << strerror(errno);
    }

    std::string run_refused(mode_t mode, std::vector<gid_t> groups) {
        EXPECT_EQ(chmod(log.serial_name().c_str(), mode), 0) << strerror(errno);
        LoggerOptions opts;
        opts.run_as = "nobody";
        opts.groups = groups;
        log.start(opts, false);
        EXPECT_EQ(log.wait_exit(10000), 255);
        return log.stderr_text();
    }

    Logger log;
    gid_t dialout = 0;
};

TEST_F(RefusedDevice, OutsiderIsToldToJoinTheDeviceGroup) {
    std::string err = run_refused(0660, {});
    const std::string& tty = log.serial_name();
    EXPECT_TRUE(
        has_match(err, "(^|\n)" + lit(tty + ": Permission denied\n") +
                           lit("kestlog runs as user nobody; " + tty +
                               " is owned by root, group dialout, mode crw-rw----: add the user to that "
                               "group (usermod -a -G dialout nobody), then log in again or restart the "
                               "service\n")))
        << err;
}

// A group without access: the fix is a udev rule, never joining a group
// that could not open the device anyway, and never group root.
TEST_F(RefusedDevice, GroupWithoutAccessIsToldOfTheUdevRule) {
    std::string err = run_refused(0600, {dialout});
    const std::string& tty = log.serial_name();
    const std::string udev =
        ": give the group read and write access (a udev rule with GROUP=\"dialout\", MODE=\"0660\")\n";
    EXPECT_TRUE(has_match(
        err, lit(tty + ": Permission denied\nkestlog runs as user nobody, a member of group dialout; " + tty +
                 " is owned by root, group dialout, mode crw-------" + udev)))
        << err;

    Logger root_group;
    ASSERT_EQ(chown(root_group.serial_name().c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(root_group.serial_name().c_str(), 0660), 0);
    LoggerOptions opts;
    opts.run_as = "nobody";
    root_group.start(opts, false);
    EXPECT_EQ(root_group.wait_exit(10000), 255);
    EXPECT_TRUE(
        has_match(root_group.stderr_text(), lit("kestlog runs as user nobody; " + root_group.serial_name() +
                                                " is owned by root, group root, mode crw-rw----" + udev)))
        << root_group.stderr_text();
}

TEST(Startup, DeviceThatIsNotATerminalIsRefused) {
    Logger log;
    LoggerOptions opts;
    opts.parfile = "serial_port=/dev/null\n";
    log.start(opts, false);
    ASSERT_EQ(log.wait_exit(10000), 255);
    EXPECT_TRUE(has_match(log.stderr_text(),
                          "(^|\n)tcsetattr failed: Inappropriate ioctl for device\n"
                          "kestlog runs as user [^;]+; /dev/null is not a serial device\n"))
        << log.stderr_text();
}

TEST(Startup, NoParameterFileRunsOnDefaults) {
    if (access("/dev/ttyUSB0", F_OK) == 0) GTEST_SKIP() << "this machine has a /dev/ttyUSB0";
    Logger log;
    LoggerOptions opts;
    opts.write_parfile = false;
    opts.faketime = "@2015-06-16 14:02:11";
    log.start(opts, false);
    ASSERT_EQ(log.wait_exit(10000), 255);
    EXPECT_TRUE(has_match(log.stderr_text(), "(^|\n)/dev/ttyUSB0: No such file or directory\n"));
    EXPECT_TRUE(log.wait_console(
        "\nUsing parameter file: kestlog.par\nParameter file was not found, will use defaults\n"));
    EXPECT_EQ(log.file(message_path("20150616")),
              "0,16/06/2015,14:02:11, starting KESTLOG (build 2015-Jun-19)\n"
              "1,16/06/2015,14:02:11, parameter file kestlog.par was not found, will use defaults\n");
}

TEST(Startup, LongStableDeviceNameWorks) {
    Logger log;
    std::string link = log.dir() + "/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0";
    ASSERT_EQ(symlink(log.serial_name().c_str(), link.c_str()), 0);
    LoggerOptions opts;
    opts.parfile = "serial_port=" + link + ",9600,7,E,1\n";
    log.start(opts);
    EXPECT_TRUE(log.wait_console("Serial port, " + link + ", initialization successful.\n"));
    log.write_serial(stx_packet("via link"));
    EXPECT_TRUE(log.wait_console(stx_packet("via link")));
}

TEST(Startup, ClosedStandardDescriptorsNeverCarryTheSerialLine) {
    Logger log;
    LoggerOptions opts;
    opts.close_std_fds = true;
    opts.faketime = "@2015-06-16 14:02:11";
    log.start(opts);
    // Give start-up time to finish, then check the line received nothing.
    ASSERT_TRUE(log.wait_file_contains(message_path("20150616"), "serial_port="));
    usleep(300000);
    log.write_serial(stx_packet("still logged"));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("still logged")));
    struct pollfd p = {log.serial_master(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 300), 0) << "the logger wrote to its serial line";
    EXPECT_TRUE(log.running());
}

TEST(Startup, HangupAndBrokenOutputPipeDoNotKillIt) {
    Logger log;
    LoggerOptions opts;
    opts.stdout_to_pipe = true;
    opts.faketime = "@2015-06-16 14:02:11";
    log.start(opts);
    ASSERT_TRUE(log.wait_file_contains(message_path("20150616"), "serial_port="));
    usleep(300000);
    log.signal(SIGHUP);
    std::string all;
    for (int i = 0; i < 300; i++)
        all += stx_packet("packet number " + std::to_string(i) + std::string(80, '.'));
    log.write_serial(all);  // far more than the output buffer: it must be flushed into the pipe
    EXPECT_TRUE(log.wait_file(status_path("20150616"), all, 10000));
    usleep(200000);
    EXPECT_TRUE(log.running());
}

TEST(Startup, ParameterProblemsAreRecordedAndRefusalStopsTheReading) {
    Logger log;
    LoggerOptions opts;
    opts.parfile = "bogus=1\nsite=\nsite=%s%n\nserial_port=@PTY@,9600,8,N,3\nsite=NEVER\nkessendmail=N\n";
    opts.faketime = "@2015-06-16 14:02:11";
    log.start(opts);
    std::string port = log.serial_name();
    // Each problem named on standard error, by file and line.
    EXPECT_TRUE(
        log.wait_file_contains("stderr.txt", "kestlog.par:5: this line and the 1 after it are not read\n"));
    EXPECT_TRUE(has_match(log.stderr_text(),
                          "(^|\n)kestlog.par:1: unknown parameter bogus\n"
                          "kestlog.par:2: bad value for site= \\(empty\\)\n"
                          "Unsupported stop bits\n"
                          "kestlog.par:4: unsupported stop bits 3 \\(supported: 1, 2\\)\n"
                          "kestlog.par:5: this line and the 1 after it are not read\n"
                          // The journal's first line of the run; the site is text, never a format.
                          "kestlog [^\n]+ starting in " +
                              lit(log.dir()) + ": line " + lit(port) + ", site %s%n\n$"))
        << log.stderr_text();
    std::string ts = "16/06/2015,14:02:11, ";
    EXPECT_EQ(log.file(message_path("20150616")),
              "0," + ts + "starting KESTLOG (build 2015-Jun-19)\n" +  //
                  "0," + ts + "bogus=1\n" +                           //
                  "1," + ts + "unknown parameter\n" +                 //
                  "1," + ts + "site=\n" +                             //
                  "2," + ts + "bad value for site=\n" +               //
                  "2," + ts + "site=%s%n\n" +                         //
                  "2," + ts + "serial_port=" + port + ",9600,8,N,3\n" + "3," + ts +
                  "kestlog.par line 4: unsupported value 3, the rest of the file was not read\n");
    EXPECT_TRUE(log.wait_console(
        "bogus=1\nunknown parameter\nsite=\nbad value for site=\nsite=%s%n\nserial_port=" + port +
        ",9600,8,N,3\nSerial port, " + port + ", initialization successful.\n"));
    EXPECT_EQ(log.stderr_text().find("setterm"), std::string::npos) << "setterm's complaint is not shown";
    // The line still works with what was accepted before the refusal.
    log.write_serial(stx_packet("ok"));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("ok")));
}

// The command line: what it prints, where it works, and that a check reads
// the parameter file and nothing else.
TEST(Startup, CommandLineOptions) {
    Logger log;  // for its scratch directory
    auto run = [&](const std::string& args, std::string* out, std::string* err) {
        std::string cmd =
            "cd '" + log.dir() + "' && " KESTLOG_BIN " " + args + " </dev/null >cl.out 2>cl.err";
        int status = std::system(cmd.c_str());
        *out = log.file("cl.out");
        *err = log.file("cl.err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out, err;
    EXPECT_EQ(run("--version", &out, &err), 0);
    EXPECT_TRUE(has_match(out, "^kestlog \\d+\\.\\d+\\.\\d+( \\(git [^)]+\\))?\n$")) << out;
    EXPECT_EQ(run("--help", &out, &err), 0);
    EXPECT_TRUE(out.starts_with("usage: kestlog ")) << out;
    EXPECT_EQ(run("--bogus", &out, &err), 2);
    EXPECT_TRUE(err.find("usage: kestlog ") != std::string::npos) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(run("-C /kestlog-no-such-site", &out, &err), 255);
    EXPECT_EQ(err, "/kestlog-no-such-site: No such file or directory\n");

    std::filesystem::create_directory(log.dir() + "/site");
    ASSERT_EQ(chmod((log.dir() + "/site").c_str(), 0775), 0);
    std::ofstream(log.dir() + "/site/kestlog.par")
        << "serial_port=/dev/"
           "kestlog-no-such-tty,9600,7,E,1\nkesendmail=N\nmaildest=op@example.org;-b;evil@x\n";
    EXPECT_EQ(run("--directory site --check", &out, &err), 1);
    // Findings on standard error, where a unit's ExecStartPre reaches the journal.
    const std::string findings =
        log.dir() +
        "/site is writable by its group: they could replace the logger's files\n"
        "kestlog.par:1: warning: serial device /dev/kestlog-no-such-tty does not exist now\n"
        "kestlog.par:2: unknown parameter kesendmail (did you mean kessendmail?)\n"
        "kestlog.par:3: maildest=: a recipient may not begin with '-': -b\n";
    EXPECT_TRUE(err.starts_with(findings)) << err;
    // Then what the host's mail agent says of each recipient (the mail test judges it).
    EXPECT_TRUE(
        has_match(err.substr(std::min(findings.size(), err.size())),
                  "^(kestlog\\.par: (mail recipient|warning: cannot tell whether the mail agent delivers "
                  "to) (op@example\\.org|evil@x)[^\n]*\n){2}$"))
        << err;
    EXPECT_TRUE(out.starts_with(
        "device: /dev/kestlog-no-such-tty\nspeed: 9600\ndata bits: 7\nparity: even\nstop bits: 1\n"
        "site: WXX\nmail recipient: op@example.org\nmail recipient: evil@x\ne-mail: on\n"))
        << out;
    ASSERT_EQ(chmod((log.dir() + "/site").c_str(), 0750), 0);
    EXPECT_FALSE(std::filesystem::exists(log.dir() + "/site/data"));
    EXPECT_FALSE(std::filesystem::exists(log.dir() + "/site/kestlog.lock"));
    std::ofstream(log.dir() + "/site/kestlog.par") << "serial_port=/dev/kest,9600,7,E,1\nkessendmail=y\n";
    EXPECT_EQ(run("-C site --check", &out, &err), 0) << "warnings alone leave the status at 0";

    // Settings the logger's user could change, it could change itself: the
    // check of the user who runs the logger says so (as root, of the user
    // kestlog); settings only root may write pass.
    if (geteuid() != 0 || !getpwnam("nobody")) GTEST_SKIP() << "needs root and the user nobody";
    const std::string as_nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups " KESTLOG_BIN;
    auto check = [&](const std::string& file) {
        std::string cmd = "cd '" + log.dir() + "' && " + as_nobody + " --check " + file + " >cl.out 2>cl.err";
        std::system(cmd.c_str());
        return log.file("cl.err");
    };
    ASSERT_EQ(chmod(log.dir().c_str(), 0755), 0);
    ASSERT_EQ(chown((log.dir() + "/site").c_str(), getpwnam("nobody")->pw_uid, 0), 0);
    std::ofstream(log.dir() + "/site/kestlog.par") << "kessendmail=N\n";
    ASSERT_EQ(chmod((log.dir() + "/site/kestlog.par").c_str(), 0644), 0);
    EXPECT_EQ(check("site/kestlog.par"),
              "site/kestlog.par: warning: the logger's user nobody may write site, and so "
              "change its own settings; keep them where only root writes, as "
              "/etc/kestlog/NAME.par, readable by the group kestlog\n");
    std::filesystem::copy_file(log.dir() + "/site/kestlog.par", log.dir() + "/root.par");
    ASSERT_EQ(chmod((log.dir() + "/root.par").c_str(), 0644), 0);
    EXPECT_EQ(check("root.par"), "");
}

// Under systemd (Type=notify): ready once start-up is done, then alive at
// every pass, with a line on how the logging goes; also while the wall
// clock stands still, when the monotonic clock drives the passes.
TEST(Startup, TellsTheServiceManagerItIsReadyAndAlive) {
    Logger log;
    std::string path = log.dir() + "/notify.sock";
    NotifySocket manager(path);
    ASSERT_GE(manager.fd, 0) << strerror(errno);
    LoggerOptions opts;
    // The wall clock standing still; the monotonic one runs on.
    opts.env = {"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=120000000", "FAKETIME_DONT_FAKE_MONOTONIC=1"};
    opts.watchdog_pid = true;
    opts.faketime = "2015-06-16 14:02:11";
    log.start(opts);
    log.write_serial(stx_packet("one"));

    const std::string alive = "^WATCHDOG=1\nSTATUS=last good packet 14:02:\\d\\d, 0 failures this hour$";
    EXPECT_NE(manager.wait_for(alive), "") << (manager.said.empty() ? "" : manager.said.back());
    const std::vector<std::string>& said = manager.said;
    ASSERT_GE(said.size(), 2u);
    EXPECT_EQ(said[0], "READY=1");
    EXPECT_TRUE(
        has_match(said[1], "^WATCHDOG=1\nSTATUS=last good packet (none|14:02:\\d\\d), 0 failures this hour$"))
        << said[1];
}

// One logger per working directory: a second one is refused before it
// prints or writes anything, and says which process holds the directory.
TEST(Startup, SecondLoggerInTheSameDirectoryIsRefusedBeforeItWritesAnything) {
    Logger first;
    start_at(first, "2015-06-16 14:02:11");
    const std::string before = first.file(message_path("20150616"));
    EXPECT_EQ(first.file("kestlog.lock"), std::to_string(first.pid()) + "\n");
    auto second = [&](const std::string& dir) {
        std::string cmd = "cd '" + dir + "' && " KESTLOG_BIN " </dev/null >second.out 2>second.err";
        int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(second(first.dir()), 255);
    EXPECT_EQ(first.file("second.err"), "kestlog.lock: another kestlog (process " +
                                            std::to_string(first.pid()) + ") is logging in this directory\n");
    EXPECT_EQ(first.file("second.out"), "");
    EXPECT_EQ(first.file(message_path("20150616")), before);

    // Its holder has not written its id yet.
    ASSERT_EQ(truncate((first.dir() + "/kestlog.lock").c_str(), 0), 0);
    EXPECT_EQ(second(first.dir()), 255);
    EXPECT_EQ(first.file("second.err"), "kestlog.lock: another kestlog is logging in this directory\n");

    // A lock file that cannot be made.
    std::filesystem::create_directories(first.dir() + "/other/kestlog.lock");
    EXPECT_EQ(second(first.dir() + "/other"), 255);
    EXPECT_EQ(first.file("other/second.err"), "kestlog.lock: Is a directory\n");
    EXPECT_TRUE(first.running());
}

// Nowhere to store packets (no data/ of the logger's own, no message log):
// start-up ends with the reason (and, when refused, who the logger runs as
// and who owns what refused it) instead of logging into nothing, or into a
// folder someone else chose.
TEST(Startup, NoStorageEndsStartUpWithTheReason) {
    const bool root = geteuid() == 0 && getpwnam("nobody");
    struct Case {
        const char* what;
        bool as_nobody;
        void (*plant)(const std::string& data);
        std::string stderr_pattern;  // its end; DATA stands for data/'s path
    } cases[] = {
        {"a file", false, [](const std::string& d) { std::ofstream(d) << "in the way"; },
         "\\./data/: Not a directory\n"},
        {"a link to another folder", false,
         [](const std::string& d) {
             std::filesystem::create_directory(d + ".elsewhere");
             std::filesystem::create_directory_symlink(d + ".elsewhere", d);
         },
         "\\./data/: a symbolic link\n"},
        {"another user's folder", true,
         [](const std::string& d) {
             std::filesystem::create_directory(d);
             chmod(d.c_str(), 0755);
         },
         "\\./data/: not owned by the logger's user\nkestlog runs as user nobody; DATA is owned by root, "
         "group "
         "root, mode drwxr-xr-x\n"},
        {"its own folder, shut", true,
         [](const std::string& d) {
             std::filesystem::create_directory(d);
             chown(d.c_str(), getpwnam("nobody")->pw_uid, getpwnam("nobody")->pw_gid);
             chmod(d.c_str(), 0555);
         },
         "\\./data/MESKES\\d{8}\\.txt: Permission denied\nkestlog runs as user nobody; DATA is owned by "
         "nobody, "
         "group [^,]+, mode dr-xr-xr-x\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.as_nobody && !root) continue;
        Logger log;
        const std::string data = log.dir() + "/data";
        c.plant(data);
        LoggerOptions opts;
        opts.faketime = "@2015-06-16 14:02:11";
        if (c.as_nobody) opts.run_as = "nobody";
        log.start(opts, false);
        EXPECT_EQ(log.wait_exit(10000), 255);
        std::string pattern = c.stderr_pattern;
        if (size_t at = pattern.find("DATA"); at != std::string::npos) pattern.replace(at, 4, lit(data));
        EXPECT_TRUE(has_match(log.stderr_text(), "(^|\n)" + pattern + "$")) << log.stderr_text();
        EXPECT_EQ(log.console().find("all initialized"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(data + ".elsewhere/MESKES20150616.txt")) << "written elsewhere";
    }
}

// A power cut (SIGKILL, then what a crash leaves in the files): the next run
// moves the torn tails aside before it appends anything, and records that
// the last run never stopped; a run that quits leaves nothing to record.
TEST(Startup, PowerCutIsMendedAndRecordedByTheNextRun) {
    Logger log;
    log.install_command("mail", "#!/bin/sh\ncat > mail.body\n");
    LoggerOptions first;
    first.own_clock_session = true;  // it is killed
    start_at(log, "2015-06-16 14:02:11", first);
    const std::string packet = status_packet(100);
    log.write_serial(packet);
    const std::string stored = stamped(packet, "150616 14:02");
    ASSERT_TRUE(log.wait_file(status_path("20150616"), stored));
    const pid_t killed = log.pid();
    ASSERT_EQ(log.power_cut(), 128 + SIGKILL);
    const std::string torn_packet = packet.substr(0, 40) + std::string(4096, '\0');
    std::ofstream(log.dir() + "/" + status_path("20150616"), std::ios::app | std::ios::binary) << torn_packet;
    std::ofstream(log.dir() + "/" + message_path("20150616"), std::ios::app) << "9,16/06/2015,14:0";
    const std::string before =
        log.file(message_path("20150616")).substr(0, log.file(message_path("20150616")).size() - 17);

    LoggerOptions opts;
    // A commented parameter file: its echo buries the cause in the log's tail.
    std::string comments;
    for (int i = 0; i < 12; i++) comments += "; a site's comment\n";
    opts.parfile = "serial_port=@PTY@,9600,7,E,1\n" + comments;
    start_at(log, "2015-06-16 14:02:20 x10", opts);
    const std::string ts = "16/06/2015,14:02:20, ";
    std::string echoed;
    for (int i = 0; i < 12; i++) echoed += "3," + ts + "; a site's comment\n";
    EXPECT_EQ(log.file(message_path("20150616")),
              before + "0," + ts + "starting KESTLOG (build 2015-Jun-19)\n" + "1," + ts +
                  "the previous run (process " + std::to_string(killed) +
                  ") ended without stopping: power cut, crash or kill\n" + "2," + ts +
                  "./data/KES20150616.txt ended inside a packet: 4136 bytes moved to "
                  "./data/KES20150616.txt.torn\n" +
                  "3," + ts +
                  "./data/MESKES20150616.txt ended inside a record: 17 bytes moved to "
                  "./data/MESKES20150616.txt.torn\n" +
                  "3," + ts + "serial_port=" + log.serial_name() + ",9600,7,E,1\n" + echoed);
    EXPECT_EQ(log.file(status_path("20150616") + ".torn"), torn_packet);
    EXPECT_EQ(log.file(message_path("20150616") + ".torn"), "9,16/06/2015,14:0");
    log.write_serial(packet);
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stored + stored))
        << "the new packet is glued to nothing";
    EXPECT_TRUE(log.wait_console("kesfm=3 kesfd=3\n", 10000)) << "each is a failure, so the operator hears";
    // The alert names the causes above the tail, which holds only the echo.
    EXPECT_TRUE(log.wait_file_contains("mail.body", look_closer(log.dir())));
    const std::string body = log.file("mail.body");
    EXPECT_TRUE(
        has_match(body, "^kesfm=3 kesfd=3\n" + lit(site_line()) + "What failed since the last alert:\n" +
                            "  the previous run \\(process \\d+\\) ended without stopping: power cut, crash "
                            "or kill, at 14:02:20\n"
                            "  [^\n]* ended inside a packet[^\n]*, at 14:02:20\n"
                            "  [^\n]* ended inside a record[^\n]*, at 14:02:20\n"
                            "The last lines of the message log \\./data/MESKES20150616\\.txt:\n3," +
                            ts + "; a site's comment\n"))
        << body;
    EXPECT_EQ(count(body, "ended without stopping"), 1u) << body;

    log.type("quit\r");
    ASSERT_EQ(log.wait_exit(), 0);
    EXPECT_EQ(log.file("kestlog.lock"), "") << "a run that stopped empties the lock";
    opts.parfile = "serial_port=@PTY@,9600,7,E,1\n";
    start_at(log, "2015-06-16 14:05:00", opts);
    EXPECT_TRUE(has_match(log.file(message_path("20150616")),
                          "\n0,16/06/2015,14:05:00, starting KESTLOG \\(build 2015-Jun-19\\)\n"
                          "0,16/06/2015,14:05:00, serial_port=[^\n]*\n$"));
}

// Every packet carries the system clock: one not synchronised is recorded
// at start-up, each change when the minute turns, and the status command and
// the metrics say which, or that the kernel would not tell. Nothing counts.
TEST(Startup, SystemClockSynchronisationIsRecordedAndShown) {
    Logger log;
    LoggerOptions opts;
    opts.clock_sync = "unsynchronised";
    opts.parfile += "metrics_file=metrics.prom\n";
    start_at(log, "2015-06-16 14:02:55 x20", opts);
    EXPECT_TRUE(log.file(message_path("20150616"))
                    .starts_with("0,16/06/2015,14:02:55, starting KESTLOG (build 2015-Jun-19)\n"
                                 "0,16/06/2015,14:02:55, system clock not synchronised\n"
                                 "0,16/06/2015,14:02:55, serial_port="));
    struct Step {
        const char* state;
        const char* shown;
        const char* metric;  // nullptr: absent
        const char* record;  // nullptr: none
    } steps[] = {{"unsynchronised", "not synchronised", "0", nullptr},
                 {"synchronised", "synchronised", "1", "system clock synchronised"},
                 {"refused", "unknown", nullptr, nullptr},
                 {"unsynchronised", "not synchronised", "0", "system clock not synchronised"}};
    for (const Step& s : steps) {
        SCOPED_TRACE(s.state);
        log.write_serial(stx_packet("alive"));  // no quiet minutes
        std::string records = log.file(message_path("20150616"));
        size_t from = log.console().size();
        log.set_clock_sync(s.state);
        // The next change of minute reads it.
        std::filesystem::remove(log.dir() + "/metrics.prom");
        ASSERT_TRUE(log.wait_file_contains("metrics.prom", "kestlog_start_time_seconds", 10000));
        std::string metrics = log.file("metrics.prom");
        if (s.metric)
            EXPECT_TRUE(
                has_match(metrics, "\nkestlog_clock_synchronised\\{[^}]*\\} " + std::string(s.metric) + "\n"))
                << metrics;
        else
            EXPECT_EQ(metrics.find("kestlog_clock_synchronised"), std::string::npos) << metrics;
        std::string added = log.file(message_path("20150616")).substr(records.size());
        EXPECT_TRUE(s.record
                        ? has_match(added, "^0,16/06/2015,14:0\\d:0\\d, " + std::string(s.record) + "\n$")
                        : added.empty())
            << added;
        log.type("status\r");
        EXPECT_TRUE(log.wait_console("system clock: " + std::string(s.shown) + "\n", 5000, from));
    }
    EXPECT_EQ(log.console().find("kesfm="), std::string::npos) << "nothing is counted";
}
