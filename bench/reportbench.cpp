// kestreport's speed: thirty days of a one-packet-a-second instrument
// (about 260 MB of status files and their message logs) summarised, against
// `wc -l` over the same files, both read from the page cache. Each figure is
// the median of several runs, taken in turn in one run of this program.
//   reportbench KESTREPORT [DAYS] [REPEATS]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr double AIM = 1.5;        // kestreport's CPU time against wc -l's, at most
constexpr int PACKET_LEN = 100;    // bytes of a status packet, SOH to EOT
constexpr int STX_EVERY = 600;     // seconds between message packets
constexpr int FAULT_EVERY = 3600;  // seconds between fault records

// yyyymmdd of the day `back` days before today (local time).
int day_before_today(int back, struct tm* out) {
    time_t t = time(nullptr) - static_cast<time_t>(back) * 86400;
    localtime_r(&t, out);
    return (out->tm_year + 1900) * 10000 + (out->tm_mon + 1) * 100 + out->tm_mday;
}

std::string status_packet(const struct tm& day, int second) {
    char p[PACKET_LEN + 1];
    int n = snprintf(p, sizeof p, "\x01K0001 %02d%02d%2d %02d:%02d %05d  0.00 00 +12.5  8.05 120 24.00 1.20 ",
                     day.tm_year % 100, day.tm_mon + 1, day.tm_mday, second / 3600, second / 60 % 60, 15000);
    std::string s(p, static_cast<size_t>(n));
    while (s.size() < PACKET_LEN - 5) s += '.';
    return s + (second % FAULT_EVERY == 0 ? "0029" : "0000") + "\x04";
}

// One day's status file and a message log with the records it would have.
void write_day(const std::string& dir, int back, std::vector<std::string>* files) {
    struct tm day;
    int date = day_before_today(back, &day);
    std::string status, messages;
    char line[160];
    for (int s = 0; s < 86400; s++) {
        status += status_packet(day, s);
        if (s % STX_EVERY == 0) status += "\x02K0001 MSG HEATER ON\x04";
        if (s % FAULT_EVERY == 0) {
            snprintf(line, sizeof line,
                     "%d,%2d/%02d/%04d,%02d:%02d:%02d, kest fault code=0029 ,-12V,+5V,DC offset\n",
                     s / FAULT_EVERY + 1, day.tm_mday, day.tm_mon + 1, day.tm_year + 1900, s / 3600,
                     s / 60 % 60, 0);
            messages += line;
        }
    }
    for (auto [prefix, text] : {std::pair{"KES", &status}, std::pair{"MESKES", &messages}}) {
        std::string path = dir + "/" + prefix + std::to_string(date) + ".txt";
        FILE* f = fopen(path.c_str(), "w");
        if (!f || fwrite(text->data(), 1, text->size(), f) != text->size() || fclose(f) != 0) {
            perror(path.c_str());
            exit(1);
        }
        files->push_back(path);
    }
}

// Processor time (user and system) of a command, its output thrown away.
double cpu_seconds(const std::vector<std::string>& argv) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "reportbench: %s failed\n", argv[0].c_str());
        exit(1);
    }
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: reportbench KESTREPORT [DAYS] [REPEATS]\n");
        return 2;
    }
    int days = argc > 2 ? atoi(argv[2]) : 30;
    int repeats = argc > 3 ? atoi(argv[3]) : 5;
    std::string dir = "data";
    mkdir(dir.c_str(), 0755);
    std::vector<std::string> files;
    for (int back = days; back >= 1; back--) write_day(dir, back, &files);
    off_t bytes = 0;
    for (const std::string& f : files) {
        struct stat st;
        if (stat(f.c_str(), &st) == 0) bytes += st.st_size;
    }
    printf("%d days, %zu files, %.0f MB\n", days, files.size(), static_cast<double>(bytes) / 1e6);

    std::vector<std::string> wc = {"wc", "-l"};
    wc.insert(wc.end(), files.begin(), files.end());
    std::vector<std::string> report = {argv[1], "--days", std::to_string(days), dir};
    cpu_seconds(wc);  // both from the page cache
    std::vector<double> wc_s, report_s;
    for (int i = 0; i < repeats; i++) {
        wc_s.push_back(cpu_seconds(wc));
        report_s.push_back(cpu_seconds(report));
    }
    double w = median(wc_s), r = median(report_s);
    printf("command      CPU s (median of %d)\n", repeats);
    printf("wc -l        %.3f\n", w);
    printf("kestreport   %.3f\n", r);
    printf("kestreport / wc -l: %.2f (aim: at most %.1f)\n", r / w, AIM);
    return r / w <= AIM ? 0 : 1;
}
