#include "e2e/simulator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/e2e.h"

Simulator::~Simulator() {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (!err_file_.empty()) unlink(err_file_.c_str());
}

bool Simulator::start(const std::vector<std::string>& args, const std::string& link) {
    int out[2];
    if (pipe(out) != 0) return false;
    err_file_ = link + ".stderr";
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], 1);
        int err = open(err_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        std::vector<std::string> all = {"kestsim", "--link", link};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(KESTSIM_BIN, argv.data());
        _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    // The first line is the path of the line it talks on.
    for (;;) {
        struct pollfd p = {out_, POLLIN, 0};
        char c;
        if (poll(&p, 1, 5000) <= 0 || read(out_, &c, 1) != 1) break;
        if (c == '\n') return true;
        path_ += c;
    }
    wait_exit(1000);  // collects what it said on standard error
    return false;
}

int Simulator::wait_exit(int timeout_ms) {
    if (status_ >= 0) return status_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            std::ifstream in(err_file_);
            std::ostringstream s;
            s << in.rdbuf();
            err_ = s.str();
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int Simulator::stop(int sig, int timeout_ms) {
    if (status_ < 0) kill(pid_, sig);
    return wait_exit(timeout_ms);
}

std::string parfile_for(const std::string& line) {
    return "serial_port=" + line + ",9600,7,E,1\nkessendmail=N\n";
}

std::vector<std::string> packets_in(const std::string& file) {
    std::vector<std::string> packets;
    size_t start = 0;
    for (size_t eot; (eot = file.find('\x04', start)) != std::string::npos; start = eot + 1) {
        packets.push_back(file.substr(start, eot - start + 1));
    }
    return packets;
}

size_t count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
}

bool wait_packets(Logger& log, const std::string& day, size_t n, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 50) {
        if (packets_in(log.file(status_path(day))).size() >= n) return true;
        log.wait_console("\x01\x02", 50);  // keeps reading the console meanwhile
    }
    return false;
}

void start_both(Simulator& sim, Logger& log, std::vector<std::string> args, const std::string& when,
                const std::string& more_parameters) {
    std::string link = log.dir() + "/ttyKEST";
    args.insert(args.end(), {"--wait", "1500", "--seed", "7"});
    ASSERT_TRUE(sim.start(args, link)) << sim.stderr_text();
    LoggerOptions opts;
    opts.parfile = parfile_for(link) + more_parameters;
    start_at(log, when, opts);
}
