// The mail route, as a check sees it: the local mail agent is asked whether
// it would deliver to each recipient. A hand-over that succeeds says nothing
// of that: an agent set up for local delivery only takes a message for a
// remote domain and then bounces it to the logger's own mailbox.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "alert/alert.h"

namespace {

constexpr int ADDRESS_TEST_MS = 10000;  // for the agent to answer about one recipient

// The agent's address test, asked as the command names it; only exim has
// one that changes nothing (exim -bt).
const char* const AGENTS[] = {"exim4", "exim"};

// What exim -bt said of one recipient: "ADDR is undeliverable: REASON",
// or the address with the router and transport on the lines below it.
enum class Verdict { Routed, Refused, Unknown };

Verdict read_answer(const std::string& out, const std::string& recipient, std::string* detail) {
    const std::string refused = recipient + " is undeliverable";
    size_t at = out.find(refused);
    if (at != std::string::npos) {
        size_t end = out.find('\n', at);
        std::string rest =
            out.substr(at + refused.size(), end == std::string::npos ? end : end - at - refused.size());
        *detail = rest.starts_with(": ") ? rest.substr(2) : "no reason given to this user";
        return Verdict::Refused;
    }
    // Routed: the indented lines that follow say by which router and transport.
    size_t line = out.find('\n');
    if (out.compare(0, recipient.size(), recipient) != 0 || line == std::string::npos) {
        *detail = out.substr(0, out.find('\n'));
        return Verdict::Unknown;
    }
    std::string how;
    for (size_t p = line + 1; p < out.size() && out[p] == ' ';) {
        size_t end = out.find('\n', p);
        std::string_view l(out.data() + p, (end == std::string::npos ? out.size() : end) - p);
        while (!l.empty() && l.front() == ' ') l.remove_prefix(1);
        how += (how.empty() ? "" : ", ") + std::string(l);
        p = end == std::string::npos ? out.size() : end + 1;
    }
    std::string first = out.substr(recipient.size(), line - recipient.size());  // " -> /var/mail/x"
    *detail = how.empty() ? first : how + first;
    return Verdict::Routed;
}

}  // namespace

int check_mail_route(const char* file) {
    if (mon.kessendmail != 'Y') return 0;
    std::string agent;
    for (const char* name : AGENTS) {
        if (agent.empty()) agent = find_program(name);
    }
    int problems = 0;
    for (const char* p = mon.maildest + strspn(mon.maildest, " "); *p; p += strspn(p, " ")) {
        size_t n = strcspn(p, " ");
        std::string recipient(p, n);
        p += n;
        if (agent.empty()) {
            report(
                "%s: warning: cannot tell whether the mail agent delivers to %s: no exim here to ask "
                "(only exim has an address test); send a test mail with kestctl test-mail\n",
                file, recipient.c_str());
            continue;
        }
        const char* argv[] = {agent.c_str(), "-bt", recipient.c_str(), nullptr};
        std::string out, detail;
        int status = run_capture(argv, &out, ADDRESS_TEST_MS);
        Verdict v = status < 0 ? Verdict::Unknown : read_answer(out, recipient, &detail);
        if (v == Verdict::Refused) {
            problems++;
            report("%s: mail recipient %s: the mail agent (%s) would not deliver it: %s\n", file,
                   recipient.c_str(), agent.c_str(), detail.c_str());
        } else if (v == Verdict::Routed && status == 0) {
            say("mail route to %s: %s routes it (%s); whether it arrives, kestctl test-mail shows\n",
                recipient.c_str(), agent.c_str(), detail.c_str());
        } else {
            report("%s: warning: cannot tell whether the mail agent delivers to %s: %s -bt %s\n", file,
                   recipient.c_str(), agent.c_str(),
                   status < 0       ? strerror(errno)
                   : detail.empty() ? "gave no answer"
                                    : detail.c_str());
        }
    }
    return problems;
}
