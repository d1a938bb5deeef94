// What the benchmarks share: every process they start is ended with them,
// however they end (a time limit's SIGTERM included), and every wait for a
// process is bounded and says what it waited for when it runs out.
#pragma once

#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace bench {

constexpr int STARTED_MAX = 16;

// Process groups started and not yet ended; plain ints, for the signal handler.
inline volatile sig_atomic_t started[STARTED_MAX];
inline volatile sig_atomic_t started_count = 0;

inline void end_started() {
    for (int i = 0; i < started_count; i++) {
        if (started[i] > 0) kill(-started[i], SIGKILL);
    }
}

inline void end(pid_t pid);

inline void end_all_started() {
    for (int i = 0; i < started_count; i++) end(started[i]);
}

inline void on_signal(int sig) {
    end_started();
    const char text[] = "benchmark: ended by a signal; the processes it started were ended\n";
    (void)!write(STDERR_FILENO, text, sizeof text - 1);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Figures are printed as they are measured and reach a pipe at once: a run
// cut short still shows how far it got. The processes started are ended at
// exit and on a stop signal.
inline void begin() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    atexit(end_all_started);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) signal(sig, on_signal);
}

// Forks a child in a process group of its own (its children go with it),
// remembered so that it is ended with the benchmark.
inline pid_t fork_started() {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) signal(sig, SIG_DFL);
        return 0;
    }
    if (pid > 0) {
        setpgid(pid, pid);  // also here: no window in which it has none
        if (started_count < STARTED_MAX) {
            started[started_count] = pid;
            started_count = started_count + 1;
        }
    }
    return pid;
}

inline void forget(pid_t pid) {
    for (int i = 0; i < started_count; i++) {
        if (started[i] == pid) started[i] = 0;
    }
}

// Ends a started process and all it started, and waits for it. A faketime
// wrapper killed so leaves its session in /dev/shm, where a later process
// of the same pid could not start: removed.
inline void end(pid_t pid) {
    if (pid <= 0) return;
    kill(-pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    forget(pid);
    char name[64];
    for (const char* prefix : {"/dev/shm/faketime_shm_", "/dev/shm/sem.faketime_sem_"}) {
        snprintf(name, sizeof name, "%s%d", prefix, static_cast<int>(pid));
        unlink(name);
    }
}

// Waits at most timeout_s for a started process to end, with its resource
// use. On time-out it says what ran too long, ends it and returns false.
inline bool wait_ended(pid_t pid, int timeout_s, const char* what, int* status, struct rusage* ru) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
        pid_t r = wait4(pid, status, WNOHANG, ru);
        if (r == pid) {
            forget(pid);
            return true;
        }
        if (r < 0 && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            fprintf(stderr, "benchmark: %s still ran after %d s; ended\n", what, timeout_s);
            end(pid);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace bench
