// kestreport's speed: thirty days of a one-packet-a-second instrument
// (about 260 MB of status files and their message logs) summarised, against
// `wc -l` over the same files, both read from the page cache. Each figure is
// the median of several runs, taken in turn in one run of this program;
// each run is printed as it is measured, and a command that runs longer
// than COMMAND_TIMEOUT_S is ended and fails the benchmark.
//   reportbench KESTREPORT [DAYS] [REPEATS]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench.h"
#include "formats/formats.h"
#include "kestsim.h"

namespace {

constexpr double AIM = 1.5;        // kestreport's CPU time against wc -l's, at most
constexpr int STX_EVERY = 600;     // seconds between message packets
constexpr int FAULT_EVERY = 3600;  // seconds between fault records
constexpr int COMMAND_TIMEOUT_S = 120;

// yyyymmdd of the day `back` days before today (local time).
int day_before_today(int back, struct tm* out) {
    time_t t = time(nullptr) - static_cast<time_t>(back) * 86400;
    localtime_r(&t, out);
    return (out->tm_year + 1900) * 10000 + (out->tm_mon + 1) * 100 + out->tm_mday;
}

// One day's status file, as the simulator sends and the logger stores it,
// and a message log with the records it would have.
void write_day(const std::string& dir, int back, std::vector<std::string>* files) {
    struct tm day;
    int date = day_before_today(back, &day);
    std::string status, messages;
    Reading r = first_reading();
    std::mt19937 rng(static_cast<unsigned>(date));
    for (int s = 0; s < 86400; s++) {
        struct tm clock = day;
        clock.tm_hour = s / 3600;
        clock.tm_min = s / 60 % 60;
        clock.tm_sec = s % 60;
        next_reading(r, rng);
        status += status_packet(1, clock, r, s % FAULT_EVERY == 0 ? "0029" : "0000");
        if (s % STX_EVERY == 0) status += message_packet(1, clock, s / STX_EVERY);
        if (s % FAULT_EVERY == 0) {
            char timestamp[64], head[96], line[160];
            snprintf(timestamp, sizeof timestamp, "%2d/%02d/%04d,%02d:%02d:%02d,", day.tm_mday,
                     day.tm_mon + 1, day.tm_year + 1900, s / 3600, s / 60 % 60, 0);
            record_head(head, sizeof head, s / FAULT_EVERY + 1, timestamp);
            snprintf(line, sizeof line, REC_FAULT, "0029", ",-12V,+5V,DC offset");
            messages += std::string(head) + line;
        }
    }
    for (auto [kind, text] :
         {std::pair{DailyFile::Status, &status}, std::pair{DailyFile::Messages, &messages}}) {
        char name[64];
        daily_file_name(name, sizeof name, kind, date);
        std::string path = dir + "/" + name;
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
    pid_t pid = bench::fork_started();
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
    if (!bench::wait_ended(pid, COMMAND_TIMEOUT_S, argv[0].c_str(), &status, &ru)) exit(1);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
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
        fprintf(stderr,
                "usage: reportbench KESTREPORT [DAYS] [REPEATS]\n       reportbench --generate DAYS\n");
        return 2;
    }
    // The days alone, into ./data (the archive's benchmark sends them).
    if (strcmp(argv[1], "--generate") == 0 && argc > 2) {
        mkdir("data", 0755);
        std::vector<std::string> files;
        for (int back = atoi(argv[2]); back >= 1; back--) write_day("data", back, &files);
        return 0;
    }
    bench::begin();
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
        printf("  run %d of %d: wc -l %.3f CPU s, kestreport %.3f CPU s\n", i + 1, repeats, wc_s.back(),
               report_s.back());
    }
    double w = median(wc_s), r = median(report_s);
    printf("command      CPU s (median of %d)\n", repeats);
    printf("wc -l        %.3f\n", w);
    printf("kestreport   %.3f\n", r);
    printf("kestreport / wc -l: %.2f (aim: at most %.1f)\n", r / w, AIM);
    return r / w <= AIM ? 0 : 1;
}
