// kestlog-archive: the way a site's files go home. See archive.h.
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive.h"

namespace {

const char* const USAGE =
    "usage: kestlog-archive [-C DIR] --settings FILE [--check]\n"
    "       kestlog-archive [-C DIR] --confirmed NAME\n"
    "Sends the closed files of the logger working in DIR (default: here) to the\n"
    "archive host the settings name, has the archive confirm each by checksum,\n"
    "appends today's growing files to its live area, and deletes confirmed files\n"
    "at the site as far as the settings ask. One line on standard error says how\n"
    "the run went, and one more for each failure.\n"
    "  -C, --directory DIR  the logger's working directory\n"
    "      --settings FILE  the archive's settings (/etc/kestlog/INSTANCE.archive)\n"
    "      --check          read the settings, the key and the known hosts, and\n"
    "                       nothing else: exit 1 when they have problems\n"
    "      --confirmed NAME exit 0 when data/NAME may be deleted: the archive\n"
    "                       confirmed it, or this directory does not archive\n"
    "  -h, --help           print this text\n";

[[noreturn]] void usage(const char* problem) {
    if (problem) fprintf(stderr, "kestlog-archive: %s\n", problem);
    fputs(USAGE, problem ? stderr : stdout);
    exit(problem ? EXIT_ARCHIVE_USAGE : EXIT_ARCHIVE_OK);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--relay") == 0) return relay(argc, argv);
    const char* dir = nullptr;
    const char* settings = nullptr;
    const char* confirmed = nullptr;
    bool check = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") usage(nullptr);
        if ((a == "-C" || a == "--directory") && i + 1 < argc)
            dir = argv[++i];
        else if (a == "--settings" && i + 1 < argc)
            settings = argv[++i];
        else if (a == "--confirmed" && i + 1 < argc)
            confirmed = argv[++i];
        else if (a == "--check")
            check = true;
        else
            usage(("unexpected argument " + a).c_str());
    }
    if (dir && chdir(dir) != 0) {
        fprintf(stderr, "kestlog-archive: %s: %s\n", dir, strerror(errno));
        return EXIT_ARCHIVE_FAILED;
    }
    if (confirmed) return confirmed_for_deletion(confirmed) ? EXIT_ARCHIVE_OK : EXIT_ARCHIVE_FAILED;
    if (!settings) usage("no --settings");
    ArchiveSettings s;
    int problems = read_archive_settings(settings, &s);
    if (check) {
        if (problems == 0) problems = check_archive_settings(settings, s);
        return problems == 0 ? EXIT_ARCHIVE_OK : EXIT_ARCHIVE_FAILED;
    }
    if (problems > 0) {
        fprintf(stderr, "kestlog-archive: nothing sent: %s has problems\n", settings);
        return EXIT_ARCHIVE_FAILED;
    }
    return run_archive(s, settings);
}
