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
