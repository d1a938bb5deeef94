// kestarchive: the archive host's command. See kestarchive.h.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kestarchive.h"

int add_site(const std::string& site, const std::string& key_path, long long max_gb, long long max_files,
             bool replace_key);

namespace {

const char* const USAGE =
    "usage: kestarchive add-site SITE PUBLIC_KEY [--max-gb N] [--max-files N] [--replace-key]\n"
    "       kestarchive seal [--all] [--metrics FILE]\n"
    "       kestarchive scrub [--rate MB] [--metrics FILE] [SITE...]\n"
    "       kestarchive status\n"
    "       kestarchive fleet [--days N] [--silent-after MIN] [--out DIR] [--metrics FILE]\n"
    "                         [--root DIR] [--cache DIR]\n"
    "The archive host's side of kestlog-archive. add-site makes a site's user,\n"
    "folder and bounds, and lets its key in through the gate; seal seals what\n"
    "the sites asked to be sealed (with --all: what waits at every site); scrub\n"
    "reads every sealed file again against the archive's record, at most MB\n"
    "megabytes a second (default 20); status shows each site's account; fleet\n"
    "builds the fleet's page (index.html, fleet.csv, fleet.json) in DIR\n"
    "(default /var/www/kestarchive), the last N days (default 30) of every site;\n"
    "a site without a push for MIN minutes (default 1560) is silent.\n";

[[noreturn]] void usage(const char* problem) {
    if (problem) fprintf(stderr, "kestarchive: %s\n", problem);
    fputs(USAGE, problem ? stderr : stdout);
    exit(problem ? 2 : 0);
}

std::string site_dir(const std::string& site) { return std::string(ARCHIVE_ROOT) + "/" + site; }
std::string status_path(const std::string& site) { return std::string(VAULT_STATE) + "/sites/" + site; }

// The sealer and the scrub each bring their part of a site's account up to
// date, one at a time.
int status_lock() {
    mkdir((std::string(VAULT_STATE) + "/sites").c_str(), 0750);
    int fd = open((std::string(VAULT_STATE) + "/sites/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) flock(fd, LOCK_EX);
    return fd;
}

// The account of every site, for node_exporter's textfile collector.
void write_metrics(const std::string& file) {
    // No node_exporter's folder here: no metrics wanted.
    struct stat st;
    if (file.empty() || stat(file.substr(0, file.rfind('/') + 1).c_str(), &st) != 0) return;
    std::string text;
    auto family = [&](const char* name, const char* help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
    };
    std::vector<std::pair<std::string, SiteStatus>> all;
    for (const std::string& site : list_sites(ARCHIVE_ROOT)) {
        SiteStatus s;
        read_site_status(status_path(site), &s);
        all.push_back({site, s});
    }
    struct Gauge {
        const char* name;
        const char* help;
        long long SiteStatus::*field;
    };
    const Gauge gauges[] = {
        {"kestarchive_sealed_files", "Files sealed in the archive, by site.", &SiteStatus::sealed_files},
        {"kestarchive_sealed_bytes", "Their bytes.", &SiteStatus::sealed_bytes},
        {"kestarchive_aside_files", "What arrived and did not agree with the site's manifest, kept aside.",
         &SiteStatus::aside_files},
        {"kestarchive_last_sealed_timestamp_seconds", "When the site's newest file was sealed.",
         &SiteStatus::last_sealed},
        {"kestarchive_scrub_last_timestamp_seconds", "When the scrub last read the site's files, 0 never.",
         &SiteStatus::scrub_last},
    };
    for (const Gauge& g : gauges) {
        family(g.name, g.help);
        for (const auto& [site, s] : all)
            text += std::string(g.name) + "{site=\"" + site + "\"} " + std::to_string(s.*g.field) + "\n";
    }
    family("kestarchive_scrub_files", "Sealed files the last scrub found as sealed, changed, or gone.");
    for (const auto& [site, s] : all) {
        text += "kestarchive_scrub_files{site=\"" + site + "\",result=\"ok\"} " + std::to_string(s.scrub_ok) +
                "\n";
        text += "kestarchive_scrub_files{site=\"" + site + "\",result=\"changed\"} " +
                std::to_string(s.scrub_changed) + "\n";
        text += "kestarchive_scrub_files{site=\"" + site + "\",result=\"missing\"} " +
                std::to_string(s.scrub_missing) + "\n";
    }
    if (!write_whole_file(file.c_str(), text, 0644))
        fprintf(stderr, "kestarchive: %s: %s\n", file.c_str(), strerror(errno));
}

// The sites that asked to be sealed since (each entry taken from the queue
// before its site is sealed, so that a push meanwhile asks again).
std::vector<std::string> take_queue() {
    std::vector<std::string> out;
    DIR* d = opendir(SEAL_QUEUE);
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.') continue;
        unlink((std::string(SEAL_QUEUE) + "/" + e->d_name).c_str());
        struct stat st;
        if (site_name(e->d_name) && stat((site_dir(e->d_name) + "/" + SITE_CONF).c_str(), &st) == 0)
            out.push_back(e->d_name);
    }
    if (d) closedir(d);
    return out;
}

int seal(bool all, const std::string& metrics) {
    int failed = 0;
    for (std::vector<std::string> sites = all ? list_sites(ARCHIVE_ROOT) : take_queue(); !sites.empty();
         sites = all ? std::vector<std::string>() : take_queue()) {
        for (const std::string& site : sites) {
            int lock = status_lock();
            SiteStatus status;
            read_site_status(status_path(site), &status);
            SealReport r = seal_site(site, site_dir(site), static_cast<long long>(time(nullptr)), &status);
            if (!r.failed) write_site_status(status_path(site), status);
            if (lock >= 0) close(lock);
            failed += r.failed;
        }
    }
    write_metrics(metrics);
    return failed ? 1 : 0;
}

int scrub(std::vector<std::string> sites, long long rate_mb, const std::string& metrics) {
    if (sites.empty()) sites = list_sites(ARCHIVE_ROOT);
    int bad = 0;
    for (const std::string& site : sites) {
        ScrubReport r = scrub_site(site, site_dir(site), rate_mb << 20);
        fprintf(
            stderr,
            "kestarchive: scrub: %s: %lld files (%lld MB) read: %lld as sealed, %lld changed, %lld gone\n",
            site.c_str(), r.ok + r.changed + std::max(0LL, r.missing), r.bytes >> 20, r.ok, r.changed,
            std::max(0LL, r.missing));
        int lock = status_lock();
        SiteStatus s;
        read_site_status(status_path(site), &s);
        s.scrub_ok = r.ok;
        s.scrub_changed = r.changed;
        s.scrub_missing = std::max(0LL, r.missing);
        s.scrub_last = static_cast<long long>(time(nullptr));
        write_site_status(status_path(site), s);
        if (lock >= 0) close(lock);
        bad += r.changed > 0 || r.missing != 0;
    }
    write_metrics(metrics);
    return bad ? 1 : 0;
}

int status() {
    printf("%-16s %8s %10s %6s %-23s %s\n", "site", "sealed", "MB", "aside", "last sealed", "last scrub");
    for (const std::string& site : list_sites(ARCHIVE_ROOT)) {
        SiteStatus s;
        read_site_status(status_path(site), &s);
        std::string scrub = s.scrub_last == 0
                                ? "never"
                                : utc_text(s.scrub_last) + ": " + std::to_string(s.scrub_changed) +
                                      " changed, " + std::to_string(s.scrub_missing) + " gone";
        printf("%-16s %8lld %10lld %6lld %-23s %s\n", site.c_str(), s.sealed_files, s.sealed_bytes >> 20,
               s.aside_files, utc_text(s.last_sealed).c_str(), scrub.c_str());
    }
    return 0;
}

int fleet(FleetOptions o) {
    if (o.out.empty()) o.out = FLEET_OUT;
    if (o.cache.empty()) o.cache = std::string(VAULT_STATE) + "/fleet";
    o.status_dir = std::string(VAULT_STATE) + "/sites";
    o.now = static_cast<long long>(time(nullptr));
    return build_fleet(o);
}

long long number_after(int argc, char** argv, int* i) {
    if (*i + 1 >= argc) usage((std::string(argv[*i]) + " needs a number").c_str());
    char* end = nullptr;
    long long v = std::strtoll(argv[++*i], &end, 10);
    if (!end || *end || v <= 0) usage((std::string(argv[*i - 1]) + " needs a number above 0").c_str());
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) usage("which command?");
    std::string cmd = argv[1], metrics;
    std::vector<std::string> words;
    long long max_gb = Bounds().max_bytes >> 30, max_files = Bounds().max_files, rate = 20;
    bool all = false, replace_key = false;
    FleetOptions fo;
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--metrics" && i + 1 < argc)
            metrics = argv[++i];
        else if (a == "--max-gb")
            max_gb = number_after(argc, argv, &i);
        else if (a == "--max-files")
            max_files = number_after(argc, argv, &i);
        else if (a == "--rate")
            rate = number_after(argc, argv, &i);
        else if (a == "--silent-after")
            fo.silent_after = number_after(argc, argv, &i) * 60;
        else if (a == "--days")
            fo.days = static_cast<int>(std::min(number_after(argc, argv, &i), 3660LL));
        else if ((a == "--out" || a == "--root" || a == "--cache") && i + 1 < argc)
            (a == "--out" ? fo.out : a == "--root" ? fo.root : fo.cache) = argv[++i];
        else if (a == "--all")
            all = true;
        else if (a == "--replace-key")
            replace_key = true;
        else if (!a.empty() && a[0] == '-')
            usage(("unexpected option " + a).c_str());
        else
            words.push_back(a);
    }
    if (cmd == "-h" || cmd == "--help") usage(nullptr);
    if (cmd == "add-site" && words.size() == 2)
        return add_site(words[0], words[1], max_gb, max_files, replace_key);
    if (cmd == "seal" && words.empty()) return seal(all, metrics);
    if (cmd == "scrub") return scrub(words, rate, metrics);
    if (cmd == "status" && words.empty()) return status();
    fo.metrics = metrics;
    if (cmd == "fleet" && words.empty()) return fleet(fo);
    usage(("unexpected: " + cmd).c_str());
}
