// Runs the built instrument simulator, kestsim, for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <string>
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
