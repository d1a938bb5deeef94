#include <cstring>

#include "alert/alert.h"
#include "testutil.h"

using MailCommandTest = StateTest;

static std::string mail_command(const char* maildest) {
    snprintf(mon.maildest, sizeof mon.maildest, "%s", maildest);
    char out[MAIL_COMMAND_MAX];
    size_t needed = build_mail_command(out, sizeof out);
    EXPECT_LT(needed, sizeof out);
    EXPECT_EQ(strlen(out), needed);
    return out;
}

TEST_F(MailCommandTest, OrdinaryAddressesGoInAsTheyStand) {
    EXPECT_EQ(mail_command("ops@example.org"), "mail -skesfail ops@example.org < lastmailmsg");
    EXPECT_EQ(mail_command("a.b_c+d-e@x.org  f@y.org"),
              "mail -skesfail a.b_c+d-e@x.org  f@y.org < lastmailmsg");
}

TEST_F(MailCommandTest, AnyOtherAddressIsQuotedWhole) {
    EXPECT_EQ(mail_command("ops@x.org x$(reboot)@y `id` a;b|c&d>e"),
              "mail -skesfail ops@x.org 'x$(reboot)@y' '`id`' 'a;b|c&d>e' < lastmailmsg");
    EXPECT_EQ(mail_command("o'hara@x.org"), "mail -skesfail 'o'\\''hara@x.org' < lastmailmsg");
    EXPECT_EQ(mail_command("*\t\\\"~"), "mail -skesfail '*\t\\\"~' < lastmailmsg");
}

TEST_F(MailCommandTest, LongestRecipientListFitsAndSmallBuffersAreNotOverrun) {
    std::string quotes(TEXT_MAX, '\'');
    for (size_t i = 1; i < quotes.size(); i += 2) quotes[i] = ' ';  // many one-quote recipients
    mail_command(quotes.c_str());

    char small[8];
    memset(small, '#', sizeof small);
    snprintf(mon.maildest, sizeof mon.maildest, "ops@example.org");
    EXPECT_EQ(build_mail_command(small, 6), strlen("mail -skesfail ops@example.org < lastmailmsg"));
    EXPECT_STREQ(small, "mail ");
    EXPECT_EQ(small[6], '#');
}
