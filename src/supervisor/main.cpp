// Entry point: the command line, start-up, then the main loop, for ever.
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "alert/alert.h"
#include "formats/formats.h"
#include "settings/settings.h"
#include "supervisor/supervisor.h"

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_DIRECTORY = 255;

const char* const USAGE =
    "usage: kestlog [-C DIR] [--wait-for-line] [--check [FILE]]\n"
    "       kestlog --version | --help\n"
    "Logs the kest sensor on the serial line that kestlog.par names, into ./data/\n"
    "below the working directory; runs until the operator types quit.\n"
    "  -C, --directory DIR  work in DIR\n"
    "      --wait-for-line  a serial device that is not there at start-up is\n"
    "                       waited for, as a line lost while running\n"
    "      --check [FILE]   read the parameter file (default kestlog.par) and\n"
    "                       nothing else: print its problems and the settings\n"
    "                       the logger would use; exit 1 when it has problems\n"
    "      --version        print the version\n"
    "  -h, --help           print this text\n";

struct CommandLine {
    const char* directory = nullptr;
    const char* check = nullptr;  // the file to check, or null to run
    bool wait_for_line = false;
};

// Reads the arguments; ends the process for --help, --version and misuse.
CommandLine read_command_line(int argc, char** argv) {
    CommandLine cl;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(USAGE, stdout);
            exit(0);
        } else if (strcmp(arg, "--version") == 0) {
            printf("kestlog %s\n", KESTLOG_VERSION);
            exit(0);
        } else if ((strcmp(arg, "-C") == 0 || strcmp(arg, "--directory") == 0) && i + 1 < argc) {
            cl.directory = argv[++i];
        } else if (strncmp(arg, "--directory=", 12) == 0) {
            cl.directory = arg + 12;
        } else if (strcmp(arg, "--wait-for-line") == 0) {
            cl.wait_for_line = true;
        } else if (strcmp(arg, "--check") == 0) {
            // An optional file name: the next argument, unless it is an option.
            cl.check = i + 1 < argc && argv[i + 1][0] != '-' ? argv[++i] : "kestlog.par";
        } else if (strncmp(arg, "--check=", 8) == 0) {
            cl.check = arg + 8;
        } else {
            fprintf(stderr, "kestlog: unexpected argument: %s\n%s", arg, USAGE);
            exit(EXIT_USAGE);
        }
    }
    return cl;
}

// The console shows text from outside (packets, typed lines, the parameter
// file) but never lets it drive the terminal.
bool console_text(std::string_view text, std::string* out) {
    if (!needs_showing(text)) return false;
    *out = shown_as_text(text);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    console_filter(console_text);
    CommandLine cl = read_command_line(argc, argv);
    if (cl.directory && chdir(cl.directory) != 0) {
        fprintf(stderr, "%s: %s\n", cl.directory, strerror(errno));
        return EXIT_NO_DIRECTORY;
    }
    if (cl.check) {
        warn_of_open_directories();
        int status = checkparfile(cl.check);
        return check_mail_route(cl.check) > 0 ? 1 : status;
    }
    mon.wait_for_line = cl.wait_for_line;
    harden_process();
    // Before the writer threads start, so that they inherit the block.
    int signals = stop_signal_fd();
    console_start();
    lock_working_directory();
    curdatetim();
    startup();
    say("\nOK, KESTLOG all initialized! Awaiting data and/or keyboard input (i.e. type 'help')\n");
    mon.ready_told = notify_service("READY=1");
    mainloop(signals);
}
