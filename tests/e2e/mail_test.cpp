// The alert e-mail through the host's real mail command into real local
// mailboxes. Runs where a local mail agent is installed (CI installs
// bsd-mailx and exim4-daemon-light); skipped elsewhere with the reason.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

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
                                  "1,16/06/2015,14:02:5\\d, kest fault code=0029 ,-12V,\\+5V,DC offset\n"
                                  "0,16/06/2015,14:02:5\\d, starting KESTLOG \\(build 2015-Jun-19\\)\n"
                                  "(0,16/06/2015,14:02:5\\d, .*\n){3}"
                                  "1,16/06/2015,14:02:5\\d, kest fault code=0029 ,-12V,\\+5V,DC offset\n"))
            << mail;
    }
}
