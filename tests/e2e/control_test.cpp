// Commands from a shell: kestctl against a running logger, over its real
// control socket.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "e2e/e2e.h"
#include "e2e/simulator.h"

namespace {

struct Ran {
    int status = -1;
    std::string out;
    std::string err;
};

struct Kestctl {
    const struct passwd* user = nullptr;  // run as this user (uid, gid and one supplementary group)
    gid_t group = 0;
    bool with_dir = true;   // -C dir; otherwise kestctl finds the logger from cwd
    std::string cwd = "/";  // where it runs
    std::string root;       // KESTCTL_ROOT
    std::string typed;      // typed on a terminal as its standard input (else /dev/null)
};

// Starts kestctl with these words for the logger in dir; finish() collects it.
pid_t spawn_kestctl(const std::string& dir, const std::vector<std::string>& words, const Kestctl& k,
                    const std::string& name) {
    std::string out = dir + "/" + name + ".out", err = dir + "/" + name + ".err";
    int terminal = -1, typist = -1;
    if (!k.typed.empty() && openpty(&typist, &terminal, nullptr, nullptr, nullptr) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int in = terminal >= 0 ? terminal : open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        // Opened before the user changes: the build tree may lie where that
        // user cannot reach it (a clone in a private folder).
        int program = open(KESTCTL_BIN, O_RDONLY | O_CLOEXEC);
        if (k.user &&
            (setgroups(1, &k.group) != 0 || setgid(k.user->pw_gid) != 0 || setuid(k.user->pw_uid) != 0))
            _exit(125);
        if (chdir(k.cwd.c_str()) != 0) _exit(126);
        if (!k.root.empty()) setenv("KESTCTL_ROOT", k.root.c_str(), 1);
        std::vector<char*> argv = {const_cast<char*>("kestctl")};
        if (k.with_dir) {
            argv.push_back(const_cast<char*>("-C"));
            argv.push_back(const_cast<char*>(dir.c_str()));
        }
        for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);
        fexecve(program, argv.data(), environ);
        fprintf(stderr, "%s: %s\n", KESTCTL_BIN, strerror(errno));
        _exit(127);
    }
    if (terminal >= 0) {
        close(terminal);
        EXPECT_EQ(write(typist, k.typed.data(), k.typed.size()), static_cast<ssize_t>(k.typed.size()));
    }
    return pid;
}

Ran finish_kestctl(const std::string& dir, pid_t pid, const std::string& name, int timeout_ms = 10000) {
    Ran r;
    int status;
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        usleep(10000);
    }
    if (r.status < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    r.out = std::string(std::istreambuf_iterator<char>(std::ifstream(dir + "/" + name + ".out").rdbuf()), {});
    r.err = std::string(std::istreambuf_iterator<char>(std::ifstream(dir + "/" + name + ".err").rdbuf()), {});
    return r;
}

// Waits until text stands in the file count times.
bool wait_count(Logger& log, const std::string& file, const std::string& text, size_t times) {
    for (int waited = 0; waited < 15000; waited += 50) {
        if (count(log.file(file), text) >= times) return true;
        usleep(50000);
    }
    return false;
}

Kestctl finding(const std::string& cwd, const std::string& root = "") {
    Kestctl k;
    k.with_dir = false;
    k.cwd = cwd;
    k.root = root;
    return k;
}
Kestctl typing(const std::string& typed) {
    Kestctl k;
    k.typed = typed;
    return k;
}
Kestctl as(const struct passwd* user, gid_t group) {
    Kestctl k;
    k.user = user;
    k.group = group;
    return k;
}

// Runs kestctl with these words for the logger in dir.
Ran kestctl(const std::string& dir, const std::vector<std::string>& words, const Kestctl& k = {}) {
    return finish_kestctl(dir, spawn_kestctl(dir, words, k, "kestctl"), "kestctl");
}

// A client of the logger's socket that the test drives itself.
int connect_to(const std::string& dir) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/kestlog.sock", dir.c_str());
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// What a client has been sent, waiting at most timeout_ms for more.
std::string read_some(int fd, int timeout_ms) {
    std::string got;
    char buf[65536];
    for (struct pollfd p = {fd, POLLIN, 0}; poll(&p, 1, timeout_ms) > 0; p.revents = 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
        timeout_ms = 100;
    }
    return got;
}

// Reads from fd until what was read matches pattern, for at most timeout_ms.
std::string read_until(int fd, const std::string& pattern, int timeout_ms) {
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!has_match(got, pattern) && std::chrono::steady_clock::now() < until) got += read_some(fd, 100);
    return got;
}

}  // namespace

// Every keyboard command from a shell: the same effects and records, the
// reply to the client alone, the console naming who sent it; the exit
// status says what became of it.
TEST(Control, EveryKeyboardCommandWorksFromAShell) {
    Logger log;
    LoggerOptions opts;
    opts.parfile += "site=ABC\n";
    start_at(log, "2015-06-16 14:02:11", opts);
    const std::string& dir = log.dir();
    struct stat st;
    ASSERT_EQ(stat((dir + "/kestlog.sock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u) << "mode " << std::oct << (st.st_mode & 07777);

    Ran help = kestctl(dir, {"help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out,
              "\nhelp    - list keyboard commands\nkesdon    - print all kest status lines\n"
              "kesrawdon - print all kest raw characters\n"
              "comment   - add an operator comment to MESKES20150616.txt\nquit    - exit program\n"
              "status    - show the logger's state\ntest-mail - mail a test alert to the recipients\n");
    EXPECT_TRUE(log.wait_console("\ngot word help from root (kestctl)\n\n"));
    EXPECT_EQ(log.console().find("list keyboard commands"), std::string::npos) << "the reply is the client's";

    EXPECT_EQ(kestctl(dir, {"kesdoff"}).status, 0);
    log.write_serial(stx_packet("not shown"));
    ASSERT_TRUE(log.wait_file(status_path("20150616"), stx_packet("not shown")));
    EXPECT_EQ(kestctl(dir, {"KESRAWDON"}).status, 0);
    log.write_serial(stx_packet("x"));
    EXPECT_TRUE(log.wait_console("kesrawd pchar2=1 char2 78 <x>\n"));
    EXPECT_EQ(kestctl(dir, {"kesrawdoff"}).status, 0);
    EXPECT_EQ(kestctl(dir, {"kesdon"}).status, 0);
    log.write_serial(stx_packet("shown"));
    EXPECT_TRUE(log.wait_console(stx_packet("shown")));
    EXPECT_EQ(log.console().find("not shown"), std::string::npos);

    EXPECT_EQ(kestctl(dir, {"comment", "pump", "serviced"}).status, 0);
    EXPECT_TRUE(log.wait_file_contains(message_path("20150616"), ", comment: < pump serviced\n>\n"));
    Ran status = kestctl(dir, {"status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_TRUE(status.out.starts_with("site: ABC\nlast good packet: 16/06/2015,14:02:1")) << status.out;
    EXPECT_NE(status.out.find("packets today: 0 status, 3 message\n"), std::string::npos) << status.out;

    Ran bogus = kestctl(dir, {"bogus"});
    EXPECT_EQ(bogus.status, 1);
    EXPECT_EQ(bogus.out, "Not a valid command word.\n");
    Ran newline = kestctl(dir, {"comment", "two\nlines"});
    EXPECT_EQ(newline.status, 2);
    EXPECT_TRUE(newline.err.starts_with("kestctl: a command cannot hold a newline\n")) << newline.err;
    // Ctrl-C from a client is a byte like any other; a long line runs nothing.
    Ran ctrl_c = kestctl(dir, {std::string("\x03") + "quit"});
    EXPECT_EQ(ctrl_c.status, 1);
    // The keyboard line's 80 characters at most, "comment " and the text.
    Ran longest = kestctl(dir, {"comment", std::string(72, 'x')});
    EXPECT_EQ(longest.status, 0) << longest.err;
    Ran long_line = kestctl(dir, {"comment", std::string(73, 'x')});
    EXPECT_EQ(long_line.status, 2);
    EXPECT_EQ(long_line.err, "kestctl: the command is 81 characters long; the logger takes at most 80\n");
    EXPECT_TRUE(log.running());
    // A test mail the mail command refuses: said, and the status says so.
    log.install_command("mail", "#!/bin/sh\ncat >/dev/null\nexit 75\n");
    Ran test_mail = kestctl(dir, {"test-mail"});
    EXPECT_EQ(test_mail.status, 1);
    EXPECT_EQ(test_mail.out,
              "test mail failed: mail command failed (status 75): mail -skesfail operator@localhost\n");

    // Without -C: the working directory's logger, or the one under the root;
    // of several, none.
    std::string root = dir + "/root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(symlink(dir.c_str(), (root + "/kest1").c_str()), 0);
    EXPECT_EQ(kestctl(dir, {"status"}, finding(dir)).status, 0);
    EXPECT_EQ(kestctl(dir, {"status"}, finding("/", root)).status, 0);
    ASSERT_EQ(symlink(dir.c_str(), (root + "/kest2").c_str()), 0);
    Ran several = kestctl(dir, {"status"}, finding("/", root));
    EXPECT_EQ(several.status, 2);
    EXPECT_EQ(several.err, "kestctl: 2 loggers work under " + root + "; name one with -C:\n  kestctl -C " +
                               root + "/kest1 ...\n  kestctl -C " + root + "/kest2 ...\n");

    // quit is confirmed by typing the site's name, or with --yes.
    Ran unconfirmed = kestctl(dir, {"quit"});
    EXPECT_EQ(unconfirmed.status, 2);
    EXPECT_EQ(unconfirmed.err,
              "kestctl: quit stops logging at site ABC; without a terminal, give --yes to confirm it\n");
    Ran mistyped = kestctl(dir, {"quit"}, typing("abc\n"));
    EXPECT_EQ(mistyped.status, 2);
    EXPECT_EQ(
        mistyped.err,
        "This stops logging at site ABC until it is started again (systemctl start \u2026). Type the site "
        "name to go on: kestctl: not confirmed; the logger at site ABC goes on\n");
    EXPECT_TRUE(log.running());
    // Confirmed by the site's name at a terminal; the journal says who stopped it.
    Ran typed = kestctl(dir, {"quit"}, typing("ABC\n"));
    EXPECT_EQ(typed.status, 0) << typed.err;
    EXPECT_EQ(log.wait_exit(), 0);
    EXPECT_TRUE(has_match(log.stderr_text(), "\nkestlog stopped: quit command from root \\(kestctl\\)\n$"))
        << log.stderr_text();
    // Or with --yes where nobody can type; a watcher is told when the logger
    // goes away under it.
    start_at(log, "2015-06-16 14:02:11", opts);
    pid_t watch = spawn_kestctl(dir, {"watch"}, {}, "watch");
    ASSERT_TRUE(log.wait_console("\ngot word watch from root (kestctl)\n"));
    Ran quit = kestctl(dir, {"--yes", "quit"});
    EXPECT_EQ(quit.status, 0) << quit.err;
    EXPECT_EQ(log.wait_exit(), 0);
    EXPECT_TRUE(has_match(log.file(message_path("20150616")),
                          "command quit from root \\(kestctl\\)\n[^\n]*, keyboard quit command\n$"));
    Ran watched = finish_kestctl(dir, watch, "watch");
    EXPECT_EQ(watched.status, 3);
    EXPECT_EQ(watched.err, "kestctl: the kestlog in " + dir + " went away during the command\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/kestlog.sock")) << "removed at the end";
    Ran gone = kestctl(dir, {"status"});
    EXPECT_EQ(gone.status, 3);
    EXPECT_EQ(gone.err, "kestctl: no kestlog is logging in " + dir + " (No such file or directory)\n");
}

// Eight clients at once, watchers included; the ninth is turned away. A
// client that sends nothing is closed after ten seconds; a watcher that
// never reads holds the logger up in nothing.
TEST(Control, ClientsAreBoundedAndAWatcherNeverHoldsTheLoggerUp) {
    Logger log;
    // The real pace: an idle client is closed after ten seconds, and the
    // refusal must come while all are still connected, however slowly
    // kestctl starts on a loaded machine.
    start_at(log, "2015-06-16 14:02:11");
    const std::string& dir = log.dir();
    int watcher = connect_to(dir);
    ASSERT_GE(watcher, 0);
    ASSERT_EQ(write(watcher, "watch\n", 6), 6);
    std::vector<int> idle;
    for (int i = 0; i < 3; i++) idle.push_back(connect_to(dir));
    // No user holds more than half of the places: root's fifth is turned away.
    for (const char* command : {"status", "watch"}) {
        Ran refused = kestctl(dir, {command});
        EXPECT_EQ(refused.status, 3) << command;
        EXPECT_EQ(refused.err, "kestlog: too many connections from root (at most 4 at once)\n") << command;
        EXPECT_EQ(refused.out, "") << command;
    }
    // Another user's four fill the rest; then anyone is turned away.
    std::vector<pid_t> others;
    struct passwd* nobody = getpwnam("nobody");
    if (geteuid() == 0 && nobody) {
        ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
        ASSERT_EQ(chmod((dir + "/kestlog.sock").c_str(), 0666), 0);
        for (int i = 0; i < 4; i++) {
            int ready[2];
            ASSERT_EQ(pipe(ready), 0);
            pid_t pid = fork();
            if (pid == 0) {
                if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(1);
                int fd = connect_to(dir);
                (void)!write(ready[1], fd >= 0 ? "y" : "n", 1);
                pause();
                _exit(0);
            }
            char said = 0;
            EXPECT_EQ(read(ready[0], &said, 1), 1);
            EXPECT_EQ(said, 'y') << "nobody could not connect";
            close(ready[0]);
            close(ready[1]);
            others.push_back(pid);
        }
        Ran full = kestctl(dir, {"status"});
        EXPECT_EQ(full.status, 3);
        EXPECT_EQ(full.err, "kestlog: too many connections\n");
    }

    // Ten seconds without a command: closed.
    struct pollfd p = {idle[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 30000), 1) << "an idle client was never closed";
    char byte;
    EXPECT_EQ(read(idle[0], &byte, 1), 0);
    for (int fd : idle) close(fd);
    for (pid_t pid : others) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(kestctl(dir, {"kesrawdon"}).status, 0);

    // Far more console output than a watcher may hold: every packet stored.
    std::string all;
    for (int i = 0; i < 400; i++) all += stx_packet("packet " + std::to_string(i) + std::string(80, '.'));
    log.write_serial(all);
    EXPECT_TRUE(log.wait_file(status_path("20150616"), all, 20000));
    std::string watched = read_some(watcher, 2000);
    // What the socket's buffer took, and at most 64 KiB held: far from all.
    EXPECT_LT(watched.size(), 700000u);
    EXPECT_NE(watched.find("got word kesrawdon from root (kestctl)"), std::string::npos);
    log.write_serial(stx_packet("after"));
    ASSERT_TRUE(log.wait_file_contains(status_path("20150616"), stx_packet("after")));
    // What the watcher held may still be on its way; then the place of the
    // loss, right before what follows it.
    const std::string marker = "\\[console: \\d+ bytes not shown\\]\nkesrawd pchar2=0 char2 02 <\x02> STX\n";
    watched = read_until(watcher, marker, 10000);
    EXPECT_TRUE(has_match(watched, marker)) << watched.substr(0, 200);
    close(watcher);
    EXPECT_TRUE(log.running());
}

// The socket is made only where nobody else could replace it; without it
// the logging goes on. Its group's members, not only root, may use it.
TEST(Control, SocketIsRefusedInADirectoryOthersMayWriteAndServesItsGroup) {
    Logger open_dir;
    ASSERT_EQ(chmod(open_dir.dir().c_str(), 0777), 0);
    start_at(open_dir, "2015-06-16 14:02:11");
    EXPECT_TRUE(open_dir.wait_file_contains("stderr.txt", "kestlog.sock: not made: the working directory " +
                                                              open_dir.dir() + " is writable by others\n"));
    EXPECT_FALSE(std::filesystem::exists(open_dir.dir() + "/kestlog.sock"));
    open_dir.write_serial(stx_packet("logged"));
    EXPECT_TRUE(open_dir.wait_file(status_path("20150616"), stx_packet("logged")));
    EXPECT_EQ(kestctl(open_dir.dir(), {"status"}).status, 3);
    // Anyone could put a socket there: kestctl talks to none in such a
    // folder, named or found there, and what any server says is shown as text.
    int fake = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/kestlog.sock", open_dir.dir().c_str());
    ASSERT_EQ(bind(fake, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fake, 8), 0);
    Kestctl here = finding(open_dir.dir(), open_dir.dir() + "/no-root");
    for (auto [mode, who] : {std::pair{0777, "others"}, std::pair{0770, "its group"}}) {
        ASSERT_EQ(chmod(open_dir.dir().c_str(), static_cast<mode_t>(mode)), 0);
        for (const Kestctl& k : {Kestctl{}, here}) {
            Ran told = kestctl(open_dir.dir(), {"--yes", "quit"}, k);
            EXPECT_EQ(told.status, 3);
            EXPECT_EQ(told.err, "kestctl: " + open_dir.dir() + "/kestlog.sock is no logger's: " +
                                    open_dir.dir() + " is writable by " + who +
                                    " (a logger makes its socket only where nobody else could replace it)\n");
        }
    }
    EXPECT_LT(accept(fake, nullptr, nullptr), 0) << "kestctl talked to the planted socket";
    close(fake);
    // Where a server may stand, what it says still never drives the terminal.
    const std::string safe = open_dir.dir() + "/safe";
    ASSERT_EQ(mkdir(safe.c_str(), 0700), 0);
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/kestlog.sock", safe.c_str());
    int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(server, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(server, 8), 0);
    pid_t answering = fork();
    if (answering == 0) {
        int c = accept(server, nullptr, nullptr);
        char line[256];
        (void)!read(c, line, sizeof line);
        const char reply[] =
            "\x1b]0;owned\x07\x9b"
            "2Jsite: FAKE\n";
        (void)!write(c, reply, sizeof reply - 1);
        _exit(0);
    }
    Ran answered = kestctl(safe, {"status"});
    waitpid(answering, nullptr, 0);
    close(server);
    EXPECT_EQ(answered.out, "^[]0;owned\x07M-^[2Jsite: FAKE\n");
    // Its group is as able to replace the socket, and the files.
    Logger group_dir;
    ASSERT_EQ(chmod(group_dir.dir().c_str(), 0770), 0);
    start_at(group_dir, "2015-06-16 14:02:11");
    EXPECT_TRUE(group_dir.wait_file_contains(
        "stderr.txt",
        "kestlog.sock: not made: the working directory " + group_dir.dir() + " is writable by its group\n"));
    EXPECT_NE(group_dir.stderr_text().find(
                  group_dir.dir() + " is writable by its group: they could replace the logger's files\n"),
              std::string::npos)
        << group_dir.stderr_text();

    if (geteuid() != 0) GTEST_SKIP() << "needs root to run kestctl as another user";
    struct passwd* nobody = getpwnam("nobody");
    struct group* dialout = getgrnam("dialout");
    if (!nobody || !dialout) GTEST_SKIP() << "no user nobody or group dialout here";
    Logger log;
    start_at(log, "2015-06-16 14:02:11");
    ASSERT_EQ(chmod(log.dir().c_str(), 0711), 0);
    ASSERT_EQ(chown((log.dir() + "/kestlog.sock").c_str(), 0, dialout->gr_gid), 0);
    EXPECT_EQ(kestctl(log.dir(), {"comment", "by", "nobody"}, as(nobody, dialout->gr_gid)).status, 0);
    EXPECT_TRUE(log.wait_console("\ngot word comment by nobody from nobody (kestctl)\n\n"));
    // Who gave it, in the record before it.
    EXPECT_TRUE(log.wait_file_contains(message_path("20150616"), "command comment from nobody (kestctl)\n"));
    EXPECT_TRUE(has_match(log.file(message_path("20150616")),
                          "command comment from nobody \\(kestctl\\)\n0,[^ ]+ comment: < by nobody\n"));
    Ran outsider = kestctl(log.dir(), {"status"}, as(nobody, nobody->pw_gid));
    EXPECT_EQ(outsider.status, 3);
    EXPECT_EQ(outsider.err,
              "kestctl: " + log.dir() +
                  "/kestlog.sock: permission denied: join the group dialout to give commands\n");
    // Refused by a folder further up, as /var/lib/kestlog refuses: its group
    // is the one to join, not the user's own.
    const std::string shut = log.dir() + "/shut";
    ASSERT_EQ(mkdir(shut.c_str(), 0750), 0);
    ASSERT_EQ(chown(shut.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(symlink(log.dir().c_str(), (shut + "/kest1").c_str()), 0);
    Ran shut_out = kestctl(shut + "/kest1", {"status"}, as(nobody, nobody->pw_gid));
    EXPECT_EQ(shut_out.status, 3);
    EXPECT_EQ(shut_out.err,
              "kestctl: " + shut +
                  "/kest1/kestlog.sock: permission denied: join the group dialout to give commands\n");

    // A setgid directory would give the socket the directory's group.
    Logger setgid;
    ASSERT_EQ(chown(setgid.dir().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(setgid.dir().c_str(), 02750), 0);
    start_at(setgid, "2015-06-16 14:02:11");
    struct stat st;
    ASSERT_EQ(stat((setgid.dir() + "/kestlog.sock").c_str(), &st), 0) << setgid.stderr_text();
    EXPECT_EQ(st.st_gid, getegid());
}

// A device missing at start-up (an adapter not plugged in yet) is, with
// --wait-for-line, a line lost: reported, recorded, tried every five
// seconds, and taken up when it appears. A refusal still ends start-up.
TEST(Control, LineMissingAtStartUpIsWaitedFor) {
    Logger log;
    const std::string link = log.dir() + "/ttyLATER";
    NotifySocket manager(log.dir() + "/notify.sock");
    log.install_command("mail", "#!/bin/sh\ncat > mail.body\n");
    LoggerOptions opts;
    std::string comments;
    for (int i = 0; i < 10; i++) comments += "; a site's comment\n";
    opts.parfile = "serial_port=" + link + ",9600,7,E,1\nmetrics_file=metrics.prom\n" + comments;
    opts.args = {"--wait-for-line"};
    // As the units run it: no keyboard, no console, standard error the journal.
    opts.input = LoggerOptions::Input::Null;
    opts.stdout_to_pipe = true;
    opts.env = {"NOTIFY_SOCKET=" + log.dir() + "/notify.sock"};
    start_at(log, "2015-06-16 14:02:55", opts);
    const std::string lost = "serial port " + link + " lost: No such file or directory\n";
    EXPECT_TRUE(log.wait_file_contains("stderr.txt", lost));
    EXPECT_TRUE(log.wait_file_contains(message_path("20150616"), lost));
    EXPECT_NE(manager.wait_for("STATUS=line lost since 14:02:5\\d \\(No such file or directory\\), "
                               "last good packet none$"),
              "");
    // The alert names the loss, however many comments the log's tail holds.
    EXPECT_TRUE(log.wait_file_contains("mail.body", look_closer(log.dir()), 15000));
    EXPECT_TRUE(has_match(log.file("mail.body"), "^kesfm=\\d+ kesfd=\\d+\n" + lit(site_line()) +
                                                     "What failed since the last alert:\n  " +
                                                     lit(lost.substr(0, lost.size() - 1)) +
                                                     ", at 14:02:5\\d\n"))
        << log.file("mail.body");
    EXPECT_TRUE(log.wait_file_contains("metrics.prom", "kestlog_line_up{", 10000));
    EXPECT_TRUE(has_match(log.file("metrics.prom"), "\nkestlog_line_up\\{[^}]*\\} 0\n"));
    // Plugged in, unplugged and plugged in again within the minute: every
    // change recorded, the journal told of each kind once.
    const std::string reopened = "serial port " + link + " reopened\n";
    for (int plugged = 1; plugged <= 2; plugged++) {
        ASSERT_EQ(symlink(log.serial_name().c_str(), link.c_str()), 0);
        EXPECT_TRUE(wait_count(log, message_path("20150616"), reopened, plugged))
            << log.file(message_path("20150616"));
        if (plugged == 2) break;
        ASSERT_EQ(unlink(link.c_str()), 0);
        EXPECT_TRUE(wait_count(log, message_path("20150616"), lost, 2));
    }
    EXPECT_NE(manager.wait_for("STATUS=last good packet none, "), "");
    log.write_serial(stx_packet("first"));
    EXPECT_TRUE(log.wait_file(status_path("20150616"), stx_packet("first")));
    EXPECT_EQ(count(log.stderr_text(), lost), 1u) << log.stderr_text();
    EXPECT_EQ(count(log.stderr_text(), reopened), 1u) << log.stderr_text();
    // The journal tells the run's story, a line each: start, loss, alert, back, stop.
    log.signal(SIGTERM);
    EXPECT_NE(log.wait_exit(), -1);
    EXPECT_TRUE(
        has_match(log.stderr_text(), "^kestlog\\.par:1: warning: serial device " + lit(link) +
                                         " does not exist now\nkestlog [^\n]+ starting in " + lit(log.dir()) +
                                         ": line " + lit(link) + ", site WXX\n" + lit(lost) +
                                         "alert mail handed to the mail agent for operator@localhost\n" +
                                         lit(reopened) + "kestlog stopped by signal SIGTERM\n$"))
        << log.stderr_text();

    Logger refused;
    LoggerOptions not_serial;
    not_serial.parfile = "serial_port=/dev/null\n";
    not_serial.args = {"--wait-for-line"};
    refused.start(not_serial, false);
    EXPECT_EQ(refused.wait_exit(10000), 255);
}
