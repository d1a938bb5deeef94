// sha256 through sha256sum (coreutils), fed by a pipe: the caller reads a
// file once, for a copy and for its hash at the same time.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "kestarchive.h"

extern char** environ;

Sha256::Sha256() {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char name[] = "sha256sum";
    char* argv[] = {name, nullptr};
    int rc = posix_spawnp(&pid_, "sha256sum", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        pid_ = -1;
        return;
    }
    in_ = in[1];
    out_ = out[0];
}

Sha256::~Sha256() {
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

bool Sha256::add(const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0 && in_ >= 0) {
        ssize_t n = write(in_, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return in_ >= 0;
}

std::string Sha256::finish() {
    if (in_ < 0) return "";
    close(in_);
    in_ = -1;
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(out_, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.size() < 64) return "";
    return out.substr(0, 64);
}
