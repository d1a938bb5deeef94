// The alert e-mail through the host's real mail command into real local
// mailboxes. Runs where a local mail agent is installed (CI installs
// bsd-mailx and exim4-daemon-light); skipped elsewhere with the reason.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "e2e/e2e.h"

namespace {

const char* const RECIPIENTS[] = {"kestmail1", "kestmail2"};

std::string mailbox(const char* user) { return std::string("/var/mail/") + user; }

std::string read_file(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "";
    std::string s;
    for (int c; (c = fgetc(f)) != EOF;) s += static_cast<char>(c);
    fclose(f);
    return s;
}

// Local delivery to root is refused, so the mail goes to ordinary users,
// made here with a home directory (the agent delivers from there).
bool ensure_user(const char* name) {
    if (getpwnam(name)) return true;
    std::string cmd = std::string("useradd --create-home --shell /usr/sbin/nologin ") + name;
    return system(cmd.c_str()) == 0 && getpwnam(name);
}

bool wait_for(const std::string& path, const std::string& needle, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 50) {
        if (read_file(path).find(needle) != std::string::npos) return true;
        usleep(50000);
    }
    return false;
}

}  // namespace

TEST(RealMail, AlertArrivesInTheRecipientsMailboxes) {
    if (access("/usr/bin/mail", X_OK) != 0 || access("/usr/sbin/sendmail", X_OK) != 0) {
        GTEST_SKIP() << "no local mail agent (/usr/bin/mail and /usr/sbin/sendmail; Debian: bsd-mailx and "
                        "exim4-daemon-light)";
    }
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create the mailbox users";
    for (const char* user : RECIPIENTS) {
        ASSERT_TRUE(ensure_user(user)) << "cannot create user " << user;
        unlink(mailbox(user).c_str());
    }

    Logger log;
    LoggerOptions opts;
    opts.parfile += "maildest=kestmail1;kestmail2\nkessendmail=Y\n";
    start_at(log, "2015-06-16 14:02:50 x10", opts);
    log.write_serial(status_packet(91, "0029"));
    ASSERT_TRUE(log.wait_console(
        "sent kesfail email message <mail -skesfail kestmail1 kestmail2 < lastmailmsg>\n", 20000))
        << log.console() << log.stderr_text();

    for (const char* user : RECIPIENTS) {
        SCOPED_TRACE(user);
        ASSERT_TRUE(wait_for(mailbox(user), "\nSubject: kesfail\n", 20000)) << read_file(mailbox(user));
        std::string mail = read_file(mailbox(user));
        EXPECT_TRUE(has_match(mail, "\nTo: kestmail1(@[^,\n]+)?, kestmail2(@[^\n]+)?\n")) << mail;
        size_t body = mail.find("\n\n");
        ASSERT_NE(body, std::string::npos) << mail;
        EXPECT_TRUE(has_match(mail.substr(body + 2),
                              "^kesfm=2 kesfd=1\n" + lit(site_line()) +
                                  "What failed since the last alert:\n" +
                                  "  kest fault code=0029 ,-12V,\\+5V,DC offset, at 14:02:5\\d\n"
                                  "The last lines of the message log \\./data/MESKES20150616\\.txt:\n"
                                  "0,16/06/2015,14:02:5\\d, starting KESTLOG \\(build 2015-Jun-19\\)\n"
                                  "(0,16/06/2015,14:02:5\\d, .*\n){3}"
                                  "1,16/06/2015,14:02:5\\d, kest fault code=0029 ,-12V,\\+5V,DC offset\n"))
            << mail;
    }

    // The test mail takes the same way, and says so when the agent took it.
    std::string cmd = "cd '" + log.dir() + "' && " KESTCTL_BIN " test-mail >ctl.out 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << log.file("ctl.out");
    EXPECT_EQ(log.file("ctl.out"), "test mail handed to the mail agent for kestmail1 kestmail2\n");
    EXPECT_TRUE(wait_for(mailbox("kestmail2"), "kestlog test mail from site WXX", 20000))
        << read_file(mailbox("kestmail2"));

    // The check asks the agent of each recipient: one it delivers to, and
    // one a local-only agent (Debian's exim4 as installed) would bounce.
    std::ofstream(log.dir() + "/check.par") << "maildest=kestmail1;someone@example.org\nkessendmail=Y\n";
    cmd = "cd '" + log.dir() + "' && " KESTLOG_BIN " --check check.par >check.out 2>check.err";
    int status = std::system(cmd.c_str());
    EXPECT_TRUE(has_match(log.file("check.out"), "\nmail route to kestmail1: [^\n]*exim4? routes it \\("))
        << log.file("check.out");
    // What the agent itself says of the remote one is what the check must pass on.
    std::system(
        ("cd '" + log.dir() + "' && PATH=$PATH:/usr/sbin exim4 -bt someone@example.org >exim.out 2>/dev/null")
            .c_str());
    const std::string refusal = "someone@example.org is undeliverable: ";
    std::string exim = log.file("exim.out");
    if (exim.starts_with(refusal)) {
        std::string reason = exim.substr(refusal.size(), exim.find('\n') - refusal.size());
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_TRUE(has_match(log.file("check.err"),
                              "^check\\.par: mail recipient someone@example\\.org: the mail "
                              "agent \\([^)]*exim4?\\) would not deliver it: " +
                                  lit(reason) + "\n$"))
            << log.file("check.err");
    } else {
        EXPECT_EQ(WEXITSTATUS(status), 0) << exim;
        EXPECT_TRUE(has_match(log.file("check.out"), "\nmail route to someone@example\\.org: ")) << exim;
    }
}
