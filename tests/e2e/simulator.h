// Runs the built instrument simulator, kestsim, for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <string>

class Logger;
#include <vector>

class Simulator {
   public:
    ~Simulator();
    // Starts kestsim with these options and a link `link`; waits for the
    // path it prints. Returns false when it did not start (see stderr_text()).
    bool start(const std::vector<std::string>& args, const std::string& link);
    // Sends the signal and returns the exit status, or -1 when it did not end.
    int stop(int sig, int timeout_ms = 5000);
    // Waits for it to end by itself; the exit status, or -1 on timeout.
    int wait_exit(int timeout_ms = 5000);
    const std::string& path() const { return path_; }
    const std::string& stderr_text() const { return err_; }

   private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string path_;
    std::string err_file_;
    std::string err_;
};

// A parameter file naming this serial line, with the alert e-mail off.
std::string parfile_for(const std::string& line);

// The packets of a status file, each up to and including its EOT.
std::vector<std::string> packets_in(const std::string& file);
// How often needle occurs in text.
size_t count(const std::string& text, const std::string& needle);
// Waits until the logger's status file for day (yyyymmdd) holds n packets.
bool wait_packets(Logger& log, const std::string& day, size_t n, int timeout_ms = 20000);
// Simulator first (the logger opens the line by its link at start-up), then
// the logger on a fake clock from `when`, with more parameter lines if
// given; the first packet waits long enough for the logger to be ready.
void start_both(Simulator& sim, Logger& log, std::vector<std::string> args, const std::string& when,
                const std::string& more_parameters = "");
