// kestctl: the logger's keyboard commands from a shell. Joins its words into
// one command line, sends it to the kestlog that works in the directory
// (its socket kestlog.sock), prints the reply and ends; "watch" streams what
// the logger's console shows until interrupted.
#include <dirent.h>
#include <errno.h>
#include <grp.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "alert/alert.h"
#include "console/console.h"
#include "formats/formats.h"

namespace {

constexpr int EXIT_TAKEN = 0;
constexpr int EXIT_NOT_A_COMMAND = 1;
constexpr int EXIT_FAILED = 1;  // a test mail the mail agent did not take, a command refused
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_LOGGER = 3;
// Where the packaged units keep their loggers, one directory each.
constexpr const char* STATE_ROOT = "/var/lib/kestlog";

const char* const USAGE =
    "usage: kestctl [-C DIR] [--yes] COMMAND [WORDS...]\n"
    "Sends a keyboard command to the kestlog that logs in DIR and prints its\n"
    "reply. Without -C: the working directory when a logger works there, or\n"
    "else the only logger under /var/lib/kestlog. COMMAND is one of help,\n"
    "status, kesdon, kesdoff, kesrawdon, kesrawdoff, comment TEXT, quit,\n"
    "test-mail, which mails a test alert by the logger's own way, or watch,\n"
    "which shows what the logger's console shows until interrupted.\n"
    "  -C, --directory DIR  the logger's working directory\n"
    "  -y, --yes            quit without asking (needed without a terminal)\n"
    "  -h, --help           print this text\n";

[[noreturn]] void usage(const char* problem) {
    if (problem) fprintf(stderr, "kestctl: %s\n", problem);
    fputs(USAGE, problem ? stderr : stdout);
    exit(problem ? EXIT_USAGE : EXIT_TAKEN);
}

bool write_all(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Connects to the logger's socket in the working directory, by its
// relative name: a socket's path holds at most 108 bytes.
int connect_logger() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", CONTROL_SOCKET);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

std::string current_dir() {
    char cwd[4096];
    return getcwd(cwd, sizeof cwd) ? cwd : ".";
}

std::string group_name(gid_t gid) {
    struct group* gr = getgrgid(gid);
    return gr ? gr->gr_name : std::to_string(gid);
}

// The group whose members may reach the socket: that of the first folder on
// the way that refused this user, else the socket's own.
std::string group_checked(const std::string& dir, const std::string& socket_path) {
    std::string path = dir.starts_with("/") ? dir : current_dir() + "/" + dir;
    for (size_t at = 1; at <= path.size(); at++) {
        if (at < path.size() && path[at] != '/') continue;
        std::string folder = path.substr(0, at);
        struct stat st;
        if (access(folder.c_str(), X_OK) != 0 && stat(folder.c_str(), &st) == 0) return group_name(st.st_gid);
    }
    struct stat st;
    return stat(socket_path.c_str(), &st) == 0 ? group_name(st.st_gid) : "kestlog";
}

// Refused by the socket's (or a folder's) permissions: the usual cause is a
// user outside the logger's group, and the fix is to join it.
[[noreturn]] void permission_denied(const std::string& dir) {
    std::string socket_path = dir + "/" + CONTROL_SOCKET;
    fprintf(stderr, "kestctl: %s: permission denied: join the group %s to give commands\n",
            socket_path.c_str(), group_checked(dir, socket_path).c_str());
    exit(EXIT_NO_LOGGER);
}

// Whether a logger still takes connections on the socket.
bool still_there() {
    int fd = connect_logger();
    if (fd < 0) return false;
    close(fd);
    return true;
}

[[noreturn]] void no_logger(const char* dir, int err) {
    std::string where = dir ? dir : current_dir();
    if (err == EACCES) permission_denied(where);
    fprintf(stderr, "kestctl: no kestlog is logging in %s (%s)\n", where.c_str(), strerror(err));
    exit(EXIT_NO_LOGGER);
}

// Where the loggers work: STATE_ROOT, or KESTCTL_ROOT when set.
std::string state_root() {
    const char* root = getenv("KESTCTL_ROOT");
    return root && *root ? root : STATE_ROOT;
}

bool has_socket(const std::string& dir) {
    struct stat st;
    return lstat((dir + "/" + CONTROL_SOCKET).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Why a socket in dir cannot be a logger's, or "" when it may be: the logger
// makes its socket only in a folder that neither its group nor others may
// write, where no one else could have put one in its place.
std::string untrusted(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return "";  // connecting says why
    if (st.st_mode & S_IWOTH) return "writable by others";
    if (st.st_mode & S_IWGRP) return "writable by its group";
    return "";
}

// A socket the logger could not have made is never talked to.
void refuse_untrusted(const char* dir) {
    std::string where = dir ? dir : current_dir();
    std::string why = untrusted(".");
    if (why.empty()) return;
    fprintf(stderr,
            "kestctl: %s/%s is no logger's: %s is %s (a logger makes its socket only where nobody else could "
            "replace it)\n",
            where.c_str(), CONTROL_SOCKET, where.c_str(), why.c_str());
    exit(EXIT_NO_LOGGER);
}

// What came from the other end, shown as text: it must not drive this
// terminal. A character cut by the end of a read waits for its rest.
bool write_shown(std::string* pending, bool all) {
    size_t keep = 0;
    for (size_t back = 1; !all && back <= 3 && back <= pending->size(); back++) {
        unsigned char c = static_cast<unsigned char>((*pending)[pending->size() - back]);
        if (c < 0x80) break;
        if (c >= 0xC0) {  // a lead byte: does its sequence end here?
            size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            keep = need > back ? back : 0;
            break;
        }
    }
    std::string rest = pending->substr(pending->size() - keep);
    pending->resize(pending->size() - keep);
    bool ok = write_all(STDOUT_FILENO, shown_as_text(*pending));
    *pending = rest;
    return ok;
}

// Without -C: the working directory when a logger works there, else the one
// logger under the state root (its own directory, or one of its instances).
// Several are listed for the operator to choose; none leaves the working
// directory, which then says why nothing answers.
const char* find_logger(std::string* found) {
    if (has_socket(".") && untrusted(".").empty()) return nullptr;
    const std::string root = state_root();
    std::vector<std::string> dirs;
    if (has_socket(root)) dirs.push_back(root);
    if (DIR* d = opendir(root.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string sub = root + "/" + e->d_name;
            if (e->d_name[0] != '.' && has_socket(sub)) dirs.push_back(sub);
        }
        closedir(d);
    }
    if (dirs.size() == 1) {
        *found = dirs[0];
        return found->c_str();
    }
    if (dirs.size() > 1) {
        std::sort(dirs.begin(), dirs.end());
        for (std::string& d : dirs) d = shown_as_text(d);
        fprintf(stderr, "kestctl: %zu loggers work under %s; name one with -C:\n", dirs.size(), root.c_str());
        for (const std::string& d : dirs) fprintf(stderr, "  kestctl -C %s ...\n", d.c_str());
        exit(EXIT_USAGE);
    }
    return nullptr;
}

// What the logger answers to one command line, until it closes.
std::string ask(const std::string& line, const char* dir) {
    int fd = connect_logger();
    if (fd < 0) no_logger(dir, errno);
    std::string reply;
    if (write_all(fd, line + "\n")) {
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            reply.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return reply;
}

// The site the logger runs for, as it says itself (its settings may be
// bound into its sandbox, out of a shell's sight).
std::string site_of_logger(const char* dir) {
    std::string status = ask("status", dir);
    const std::string label = "site: ";
    size_t at = status.starts_with(label) ? 0 : status.find("\n" + label);
    if (at == std::string::npos) return "?";
    at += at == 0 ? label.size() : label.size() + 1;
    return status.substr(at, status.find('\n', at) - at);
}

// How the service manager starts it again: the packaged units work in the
// state root (kestlog) or in one directory under it (kestlog@NAME).
std::string unit_of(const std::string& dir) {
    const std::string r = state_root();
    if (dir == r) return "systemctl start kestlog";
    if (dir.starts_with(r + "/") && dir.find('/', r.size() + 1) == std::string::npos)
        return "systemctl start kestlog@" + dir.substr(r.size() + 1);
    return "systemctl start \xe2\x80\xa6";
}

// quit stops logging until someone starts it again: asked for at a terminal
// by typing the site's name, and given with --yes where nobody can type.
void confirm_quit(bool yes, const char* dir) {
    if (yes) return;
    std::string site = site_of_logger(dir);
    if (!isatty(STDIN_FILENO)) {
        fprintf(stderr,
                "kestctl: quit stops logging at site %s; without a terminal, give --yes to confirm it\n",
                site.c_str());
        exit(EXIT_USAGE);
    }
    fprintf(stderr,
            "This stops logging at site %s until it is started again (%s). Type the site name to go on: ",
            site.c_str(), unit_of(current_dir()).c_str());
    char typed[TEXT_MAX + 2] = "";
    if (!fgets(typed, sizeof typed, stdin)) typed[0] = '\0';
    typed[strcspn(typed, "\n")] = '\0';
    if (site != typed) {
        fprintf(stderr, "kestctl: not confirmed; the logger at site %s goes on\n", site.c_str());
        exit(EXIT_USAGE);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* dir = nullptr;
    bool yes = false;
    std::string line;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) usage(nullptr);
        if ((strcmp(argv[i], "-C") == 0 || strcmp(argv[i], "--directory") == 0) && i + 1 < argc)
            dir = argv[++i];
        else if (strcmp(argv[i], "-y") == 0 || strcmp(argv[i], "--yes") == 0)
            yes = true;
        else
            usage((std::string("unexpected option ") + argv[i]).c_str());
    }
    if (i == argc) usage("no command");
    for (; i < argc; i++) line += std::string(line.empty() ? "" : " ") + argv[i];
    if (line.find('\n') != std::string::npos) usage("a command cannot hold a newline");
    // The logger's keyboard line would cut it and run nothing.
    if (line.size() > KB_LINE_MAX - 1) {
        fprintf(stderr, "kestctl: the command is %zu characters long; the logger takes at most %d\n",
                line.size(), KB_LINE_MAX - 1);
        exit(EXIT_USAGE);
    }

    signal(SIGPIPE, SIG_IGN);
    std::string found;
    if (!dir) dir = find_logger(&found);
    if (dir && chdir(dir) != 0) no_logger(dir, errno);
    refuse_untrusted(dir);
    if (strncasecmp(line.c_str(), "quit", 4) == 0) confirm_quit(yes, dir);
    int fd = connect_logger();
    if (fd < 0) no_logger(dir, errno);
    // A logger that turns the client away may close before the line is sent:
    // what it said is read all the same.
    int send_error = write_all(fd, line + "\n") ? 0 : errno;

    // The reply, or (watch) the console as it comes, until the logger closes
    // the connection; what turns a client away ("kestlog: too many
    // connections", perhaps "from USER ...", a line) is told apart first.
    const std::string turned_away = TURNED_AWAY;
    auto refusal = [&](const std::string& held) {
        return held.starts_with(turned_away) && held.find('\n') == held.size() - 1;
    };
    auto may_be_refusal = [&](const std::string& held) {
        return turned_away.compare(0, std::min(held.size(), turned_away.size()), held, 0,
                                   std::min(held.size(), turned_away.size())) == 0 &&
               held.find('\n') == std::string::npos;
    };
    bool watch = strncasecmp(line.c_str(), "watch", 5) == 0;
    std::string held;
    bool streaming = false;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        held.append(buf, static_cast<size_t>(n));
        if (!watch || (!streaming && (may_be_refusal(held) || refusal(held)))) continue;
        streaming = true;
        if (!write_shown(&held, false)) break;
    }
    close(fd);
    if (!streaming && refusal(held)) {
        fputs(shown_as_text(held).c_str(), stderr);
        return EXIT_NO_LOGGER;
    }
    if (send_error != 0 && held.empty() && !streaming) no_logger(dir, send_error);
    const std::string reply = held;
    write_shown(&held, true);
    // Where the files go home, how that goes: the archive job's own account.
    ArchiveState archived;
    if (strncasecmp(line.c_str(), "status", 6) == 0 && !reply.empty() &&
        read_archive_state(ARCHIVE_STATE, &archived))
        write_all(STDOUT_FILENO, archive_summary(archived));
    // Most commands are answered with nothing, and a watch ends only when
    // interrupted or when the logger ends: whether the logger still answers
    // tells a command taken from a logger gone.
    bool quit = strncasecmp(line.c_str(), "quit", 4) == 0;
    if (reply.empty() && !quit && !still_there()) {
        std::string where = dir ? dir : current_dir();
        fprintf(stderr, "kestctl: the kestlog in %s went away during the command\n", where.c_str());
        return EXIT_NO_LOGGER;
    }
    if (strncasecmp(line.c_str(), "test-mail", 9) == 0 && !reply.starts_with(TEST_MAIL_HANDED))
        return EXIT_FAILED;
    if (reply.starts_with(COMMAND_REFUSED)) return EXIT_FAILED;
    return reply == NOT_A_COMMAND ? EXIT_NOT_A_COMMAND : EXIT_TAKEN;
}
