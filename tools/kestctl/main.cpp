// kestctl: the logger's keyboard commands from a shell. Joins its words into
// one command line, sends it to the kestlog that works in the directory
// (its socket kestlog.sock), prints the reply and ends; "watch" streams what
// the logger's console shows until interrupted.
#include <errno.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "console/console.h"

namespace {

constexpr int EXIT_TAKEN = 0;
constexpr int EXIT_NOT_A_COMMAND = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_LOGGER = 3;

const char* const USAGE =
    "usage: kestctl [-C DIR] COMMAND [WORDS...]\n"
    "Sends a keyboard command to the kestlog that logs in DIR (default: the\n"
    "working directory) and prints its reply. COMMAND is one of help, status,\n"
    "kesdon, kesdoff, kesrawdon, kesrawdoff, comment TEXT, quit, or watch,\n"
    "which shows what the logger's console shows until interrupted.\n"
    "  -C, --directory DIR  the logger's working directory\n"
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

[[noreturn]] void no_logger(const char* dir, int err) {
    char cwd[4096];
    if (!dir) dir = getcwd(cwd, sizeof cwd) ? cwd : ".";
    fprintf(stderr, "kestctl: no kestlog is logging in %s (%s)\n", dir, strerror(err));
    exit(EXIT_NO_LOGGER);
}

}  // namespace

int main(int argc, char** argv) {
    const char* dir = nullptr;
    std::string line;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) usage(nullptr);
        if ((strcmp(argv[i], "-C") == 0 || strcmp(argv[i], "--directory") == 0) && i + 1 < argc)
            dir = argv[++i];
        else
            usage((std::string("unexpected option ") + argv[i]).c_str());
    }
    if (i == argc) usage("no command");
    for (; i < argc; i++) line += std::string(line.empty() ? "" : " ") + argv[i];
    if (line.find('\n') != std::string::npos) usage("a command cannot hold a newline");

    signal(SIGPIPE, SIG_IGN);
    if (dir && chdir(dir) != 0) no_logger(dir, errno);
    int fd = connect_logger();
    if (fd < 0) no_logger(dir, errno);
    // A logger that turns the client away may close before the line is sent:
    // what it said is read all the same.
    int send_error = write_all(fd, line + "\n") ? 0 : errno;

    // The reply, or (watch) the console as it comes, until the logger closes
    // the connection; what turns a client away is told apart first.
    const std::string turned_away = TOO_MANY_CONNECTIONS;
    bool watch = strncasecmp(line.c_str(), "watch", 5) == 0;
    std::string held;
    bool streaming = false;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        held.append(buf, static_cast<size_t>(n));
        if (!watch || (!streaming && turned_away.compare(0, held.size(), held) == 0 &&
                       held.size() < turned_away.size()))
            continue;
        streaming = true;
        if (!write_all(STDOUT_FILENO, held)) break;
        held.clear();
    }
    close(fd);
    if (held == turned_away) {
        fputs(held.c_str(), stderr);
        return EXIT_NO_LOGGER;
    }
    if (send_error != 0 && held.empty() && !streaming) no_logger(dir, send_error);
    write_all(STDOUT_FILENO, held);
    return held == NOT_A_COMMAND ? EXIT_NOT_A_COMMAND : EXIT_TAKEN;
}
