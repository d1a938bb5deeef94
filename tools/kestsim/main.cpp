// kestsim: sends what a kest sensor sends, on a new pseudo-terminal or on a
// serial device, so that the logger can be run and tested with no instrument.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kestsim.h"

namespace {

constexpr int EXIT_TROUBLE = 1;
constexpr int EXIT_USAGE = 2;
constexpr int SENSOR_ID = 1;

struct Options {
    std::string link;    // symlink kept pointing at the line
    std::string device;  // serial device; empty for a new pseudo-terminal
    std::string line = "9600,7,E,1";
    long interval_ms = 1000;
    long wait_ms = 0;  // before the first packet
    long count = 0;    // packets to send; 0 for no end
    std::vector<std::string> faults = {"0000"};
    long stx_every = 10;     // every n-th packet an STX packet; 0 for none
    long noise = 0;          // noise bytes before each packet
    long broken_every = 0;   // a broken frame after every n packets
    long split_ms = -1;      // pause between the three parts of a packet
    long silence_after = 0;  // a silence after every n packets ...
    long silence_ms = 0;     // ... this long
    std::string replay;      // recorded status file
    long seed = -1;          // -1: from the clock
    // One packet per line read on standard input instead of by the interval:
    // a bench that moves its own clock says when.
    bool on_demand = false;
};

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) { stop_requested = 1; }

void usage(FILE* out) {
    fputs(
        "usage: kestsim [options]\n"
        "Sends kest sensor packets on a new pseudo-terminal (or a serial device) and\n"
        "prints the path of the line it talks on. Ends on SIGINT or SIGTERM.\n"
        "  -l, --link NAME         keep a symbolic link NAME pointing at the line\n"
        "  -d, --device PATH       talk on this serial device instead\n"
        "  -p, --line S,B,P,T      device speed, data bits, parity, stop bits (9600,7,E,1)\n"
        "  -i, --interval MS       milliseconds between packets (1000)\n"
        "  -w, --wait MS           milliseconds before the first packet (0)\n"
        "  -n, --count N           send N packets, then stay silent (0: no end)\n"
        "  -f, --fault W[,W...]    fault words, four characters each, cycled (0000)\n"
        "  -x, --stx-every N       every N-th packet is an STX message packet (10; 0: none)\n"
        "  -z, --noise N           N bytes of line noise before each packet (0)\n"
        "  -b, --broken N          a broken frame after every N packets: alternately a\n"
        "                          stray EOT and a 9000-byte frame with no EOT (0: none)\n"
        "  -s, --split MS          write each packet in three parts, MS ms apart\n"
        "  -q, --silence N:MS      after every N packets, send nothing for MS ms\n"
        "  -r, --replay FILE       send the packets of a recorded status file instead\n"
        "  -t, --on-demand         send a packet for each line on standard input, none\n"
        "                          by the interval: a line of a fault word (four\n"
        "                          characters) sends a status packet with it; each\n"
        "                          packet sent is told on standard output as\n"
        "                          \"sent N BYTES status|message\"\n"
        "      --seed N            seed for the weather and the noise\n"
        "  -h, --help              this text\n",
        out);
}

bool to_long(const char* text, long min, long* out) {
    char* end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min) return false;
    *out = v;
    return true;
}

bool parse_silence(const char* text, Options* o) {
    std::string s(text);
    size_t colon = s.find(':');
    if (colon == std::string::npos) return false;
    return to_long(s.substr(0, colon).c_str(), 1, &o->silence_after) &&
           to_long(s.substr(colon + 1).c_str(), 0, &o->silence_ms);
}

// An option that takes a whole number, with the least value it accepts.
struct NumberOption {
    int c;
    long Options::*field;
    long min;
};

const NumberOption* number_option(int c) {
    static const NumberOption numbers[] = {{'i', &Options::interval_ms, 1}, {'w', &Options::wait_ms, 0},
                                           {'n', &Options::count, 0},       {'x', &Options::stx_every, 0},
                                           {'z', &Options::noise, 0},       {'b', &Options::broken_every, 0},
                                           {'s', &Options::split_ms, 0},    {'S', &Options::seed, 0}};
    for (const NumberOption& n : numbers) {
        if (n.c == c) return &n;
    }
    return nullptr;
}

const char* long_name(const struct option* options, int c) {
    for (; options->name; options++) {
        if (options->val == c) return options->name;
    }
    return "?";
}

// Returns false after printing why the options cannot be used.
bool parse_options(int argc, char** argv, Options* o) {
    static const struct option longopts[] = {{"link", required_argument, nullptr, 'l'},
                                             {"device", required_argument, nullptr, 'd'},
                                             {"line", required_argument, nullptr, 'p'},
                                             {"interval", required_argument, nullptr, 'i'},
                                             {"wait", required_argument, nullptr, 'w'},
                                             {"count", required_argument, nullptr, 'n'},
                                             {"fault", required_argument, nullptr, 'f'},
                                             {"stx-every", required_argument, nullptr, 'x'},
                                             {"noise", required_argument, nullptr, 'z'},
                                             {"broken", required_argument, nullptr, 'b'},
                                             {"split", required_argument, nullptr, 's'},
                                             {"silence", required_argument, nullptr, 'q'},
                                             {"replay", required_argument, nullptr, 'r'},
                                             {"seed", required_argument, nullptr, 'S'},
                                             {"on-demand", no_argument, nullptr, 't'},
                                             {"help", no_argument, nullptr, 'h'},
                                             {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "l:d:p:i:w:n:f:x:z:b:s:q:r:th", longopts, nullptr)) != -1) {
        bool ok = true;
        if (const NumberOption* n = number_option(c)) {
            ok = to_long(optarg, n->min, &(o->*n->field));
        } else if (c == 'l') {
            o->link = optarg;
        } else if (c == 'd') {
            o->device = optarg;
        } else if (c == 'p') {
            o->line = optarg;
        } else if (c == 'f') {
            ok = parse_fault_list(optarg, &o->faults);
        } else if (c == 'q') {
            ok = parse_silence(optarg, o);
        } else if (c == 'r') {
            o->replay = optarg;
        } else if (c == 't') {
            o->on_demand = true;
        } else if (c == 'h') {
            usage(stdout);
            exit(0);
        } else {
            usage(stderr);
            return false;
        }
        if (!ok) {
            fprintf(stderr, "kestsim: bad value for --%s: %s\n", long_name(longopts, c), optarg);
            return false;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "kestsim: unexpected argument: %s\n", argv[optind]);
        return false;
    }
    return true;
}

// --- the line ---------------------------------------------------------------

// Opens a pseudo-terminal; the slave end stays open here, raw, so that the
// line neither echoes nor hangs up while no logger has it open.
int open_pty(std::string* path, int* slave) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        fprintf(stderr, "kestsim: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return -1;
    }
    char name[256];
    if (ptsname_r(master, name, sizeof name) != 0) {
        fprintf(stderr, "kestsim: ptsname: %s\n", strerror(errno));
        return -1;
    }
    *path = name;
    *slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*slave < 0) {
        fprintf(stderr, "kestsim: %s: %s\n", name, strerror(errno));
        return -1;
    }
    struct termios t;
    tcgetattr(*slave, &t);
    cfmakeraw(&t);
    tcsetattr(*slave, TCSANOW, &t);
    return master;
}

speed_t speed_code(long baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return 0;
    }
}

// "9600,7,E,1" into termios flags; false when a field is not supported.
bool line_settings(const std::string& line, struct termios* t) {
    char parity = 0;
    long baud = 0, bits = 0, stop = 0;
    if (sscanf(line.c_str(), "%ld,%ld,%c,%ld", &baud, &bits, &parity, &stop) != 4) return false;
    speed_t speed = speed_code(baud);
    if (speed == 0 || (bits != 7 && bits != 8) || (stop != 1 && stop != 2)) return false;
    cfmakeraw(t);
    t->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t->c_cflag |= (bits == 7 ? CS7 : CS8) | CLOCAL | CREAD | (stop == 2 ? CSTOPB : 0);
    switch (parity) {
        case 'E':
        case 'e':
            t->c_cflag |= PARENB;
            break;
        case 'O':
        case 'o':
            t->c_cflag |= PARENB | PARODD;
            break;
        case 'N':
        case 'n':
            break;
        default:
            return false;
    }
    cfsetispeed(t, speed);
    cfsetospeed(t, speed);
    return true;
}

int open_device(const Options& o) {
    int fd = open(o.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "kestsim: %s: %s\n", o.device.c_str(), strerror(errno));
        return -1;
    }
    struct termios t = {};
    if (!line_settings(o.line, &t)) {
        fprintf(stderr, "kestsim: unsupported line settings: %s\n", o.line.c_str());
        return -1;
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        fprintf(stderr, "kestsim: %s: tcsetattr: %s\n", o.device.c_str(), strerror(errno));
        return -1;
    }
    return fd;
}

// Points link at path, replacing an older link of that name in one step.
bool make_link(const std::string& link, const std::string& path) {
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        fprintf(stderr, "kestsim: %s: exists and is not a symbolic link\n", link.c_str());
        return false;
    }
    std::string tmp = link + ".kestsim-" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(path.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        fprintf(stderr, "kestsim: %s: %s\n", link.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Removes the link unless something else has taken the name meanwhile.
void remove_link(const std::string& link, const std::string& path) {
    char target[4096];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) return;
    target[n] = '\0';
    if (path == target) unlink(link.c_str());
}

// --- timing and writing ------------------------------------------------------

struct timespec after_ms(struct timespec t, long ms) {
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

struct timespec now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

// Sleeps until the moment; false when a stop was asked for meanwhile.
bool sleep_until(const struct timespec& when) {
    while (!stop_requested) {
        int r = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
        if (r == 0) return !stop_requested;
        if (r != EINTR) return false;
    }
    return false;
}

// Writes all bytes, waiting while the line's queue is full (no logger is
// reading); false on a stop or a write error, which is reported.
bool write_all(int fd, const std::string& bytes, const std::string& path) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (stop_requested) return false;
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            fprintf(stderr, "kestsim: write to %s: %s\n", path.c_str(), strerror(errno));
            return false;
        } else {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 200);
        }
    }
    return true;
}

// --- what is sent --------------------------------------------------------------

struct Sender {
    explicit Sender(const Options& opts) : o(opts) {}
    const Options& o;
    int fd = -1;
    std::string path;
    std::mt19937 rng{};
    Reading reading = first_reading();
    std::vector<std::string> recorded;
    long sent = 0;      // packets sent
    long status_n = 0;  // status packets sent
    int broken_n = 0;   // broken frames sent
};

struct tm instrument_clock() {
    time_t t = time(nullptr);
    struct tm clock;
    gmtime_r(&t, &clock);
    return clock;
}

// The next packet; `fault`, when given, makes it a status packet with that word.
std::string next_packet(Sender& s, const std::string* fault_asked = nullptr) {
    if (!s.o.replay.empty()) return s.recorded[static_cast<size_t>(s.sent)];
    struct tm clock = instrument_clock();
    if (!fault_asked && s.o.stx_every > 0 && (s.sent + 1) % s.o.stx_every == 0) {
        return message_packet(SENSOR_ID, clock, static_cast<int>(s.sent / s.o.stx_every));
    }
    const std::string& fault =
        fault_asked ? *fault_asked : s.o.faults[static_cast<size_t>(s.status_n) % s.o.faults.size()];
    s.status_n++;
    next_reading(s.reading, s.rng);
    unsigned bits = static_cast<unsigned>(strtoul(fault.c_str(), nullptr, 16));
    return status_packet(SENSOR_ID, clock, with_faults(s.reading, bits), fault);
}

// A packet in three writes with pauses, so that it arrives in pieces.
bool send_split(Sender& s, const std::string& packet) {
    size_t third = packet.size() / 3;
    size_t cuts[] = {0, third, 2 * third, packet.size()};
    for (int i = 0; i < 3; i++) {
        if (i > 0 && !sleep_until(after_ms(now(), s.o.split_ms))) return false;
        if (!write_all(s.fd, packet.substr(cuts[i], cuts[i + 1] - cuts[i]), s.path)) return false;
    }
    return true;
}

bool send_one(Sender& s, const std::string* fault = nullptr) {
    if (s.o.noise > 0 && !write_all(s.fd, line_noise(static_cast<size_t>(s.o.noise), s.rng), s.path)) {
        return false;
    }
    std::string packet = next_packet(s, fault);
    bool ok = s.o.split_ms >= 0 ? send_split(s, packet) : write_all(s.fd, packet, s.path);
    if (!ok) return false;
    s.sent++;
    if (s.o.on_demand) {
        printf("sent %ld %zu %s\n", s.sent, packet.size(), packet[0] == STX ? "message" : "status");
        fflush(stdout);
    }
    if (s.o.broken_every > 0 && s.sent % s.o.broken_every == 0) {
        return write_all(s.fd, broken_frame(s.broken_n++), s.path);
    }
    return true;
}

long packets_to_send(const Sender& s) {
    long limit = s.o.count;
    if (!s.o.replay.empty()) {
        long recorded = static_cast<long>(s.recorded.size());
        if (limit == 0 || limit > recorded) limit = recorded;
    }
    return limit;
}

// Sends on a fixed schedule (no drift), then keeps the line open, silent,
// until told to stop: closing it would hang the logger's line up.
// Returns false when the line failed.
bool run(Sender& s) {
    long limit = packets_to_send(s);
    struct timespec next = after_ms(now(), s.o.wait_ms);
    while (!stop_requested && (limit == 0 || s.sent < limit)) {
        if (!sleep_until(next)) break;
        if (!send_one(s)) return stop_requested;
        next = after_ms(next, s.o.interval_ms);
        if (s.o.silence_after > 0 && s.sent % s.o.silence_after == 0) next = after_ms(next, s.o.silence_ms);
    }
    while (!stop_requested) poll(nullptr, 0, 200);
    return true;
}

// A packet for each line asked for, until the input ends; then the line
// stays open, silent, as run() leaves it.
bool run_on_demand(Sender& s) {
    long limit = packets_to_send(s);
    char line[64];
    while (!stop_requested && (limit == 0 || s.sent < limit) && fgets(line, sizeof line, stdin)) {
        std::string word(line, strcspn(line, "\r\n"));
        std::vector<std::string> fault;
        if (!word.empty() && !parse_fault_list(word.c_str(), &fault)) {
            fprintf(stderr, "kestsim: not a fault word (four characters): %s\n", word.c_str());
            continue;
        }
        if (!send_one(s, fault.empty() ? nullptr : &fault[0])) return stop_requested;
    }
    while (!stop_requested) poll(nullptr, 0, 200);
    return true;
}

bool load_replay(const std::string& file, std::vector<std::string>* packets) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        fprintf(stderr, "kestsim: %s: %s\n", file.c_str(), strerror(errno));
        return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    *packets = recorded_packets(bytes.str());
    if (packets->empty()) {
        fprintf(stderr, "kestsim: %s: no packets in it\n", file.c_str());
        return false;
    }
    return true;
}

void catch_stop_signals() {
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);  // no SA_RESTART: waits end at once
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, &o)) return EXIT_USAGE;
    catch_stop_signals();
    Sender s(o);
    s.path = o.device;
    s.rng.seed(static_cast<unsigned>(o.seed >= 0 ? o.seed : time(nullptr)));
    if (!o.replay.empty() && !load_replay(o.replay, &s.recorded)) return EXIT_TROUBLE;
    int slave = -1;
    s.fd = o.device.empty() ? open_pty(&s.path, &slave) : open_device(o);
    if (s.fd < 0) return EXIT_TROUBLE;
    fcntl(s.fd, F_SETFL, fcntl(s.fd, F_GETFL) | O_NONBLOCK);
    if (!o.link.empty() && !make_link(o.link, s.path)) return EXIT_TROUBLE;
    printf("%s\n", s.path.c_str());
    fflush(stdout);
    bool line_ok = o.on_demand ? run_on_demand(s) : run(s);
    if (!o.link.empty()) remove_link(o.link, s.path);
    return line_ok ? 0 : EXIT_TROUBLE;
}
