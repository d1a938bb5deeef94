// The console writer: standard output and standard error are each written by
// a thread of their own, so that a console stopped with Ctrl-S, or a pipe
// nobody reads, holds up that thread and never the main loop. Blocking
// writes on the descriptors as they are: O_NONBLOCK would be shared with
// whatever else uses the terminal, and a socket cannot be reopened.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "core/core.h"

namespace {

constexpr size_t CHUNK_GROW_MAX = 16 * 1024;  // queued output is joined into chunks up to this
constexpr size_t STAGE_MAX = 4096;            // output gathered by the main loop before it is queued
constexpr size_t QUEUE_MAX = CONSOLE_HOLD_MAX - STAGE_MAX;  // so that a stream holds at most 64 KiB
constexpr size_t DUE_BYTES = 4096;                          // held output written without waiting for a kick

// Bytes to write, or (dropped > 0) the place where output was dropped.
struct Chunk {
    std::string bytes;
    size_t dropped = 0;
};

struct Stream {
    int fd;
    std::string stage;  // the main loop's lines not yet queued; touched by it alone
    std::mutex m;
    std::condition_variable work;  // the writer waits for output
    std::condition_variable idle;  // a flush waits for the writer
    std::deque<Chunk> queue;
    size_t held = 0;   // queued or being written
    bool due = false;  // what is queued is to be written now
    bool busy = false;
};

std::string* capture = nullptr;  // a client's reply being gathered
ConsoleTee tee = nullptr;        // the console's watchers
ConsoleFilter filter = nullptr;  // what makes outside text safe to show

// Made once and never freed: the writers may still run while exit() tears
// down static objects.
Stream* streams[2] = {nullptr, nullptr};

Stream* stream_for(int fd) {
    return fd == STDOUT_FILENO ? streams[0] : fd == STDERR_FILENO ? streams[1] : nullptr;
}

// Writes all of it, waiting as long as the destination takes; gives up on
// a destination that fails (a closed pipe takes nothing ever again).
void write_fully(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            struct pollfd p = {fd, POLLOUT, 0};  // someone else made it non-blocking
            poll(&p, 1, -1);
        } else {
            return;
        }
    }
}

// Takes the next piece of output off the queue (moved, not copied): a
// chunk of lines, or the marker for output dropped there. Sets *taken to
// the held bytes it stands for.
std::string take_output(Stream& s, size_t* taken) {
    Chunk c = std::move(s.queue.front());
    s.queue.pop_front();
    *taken = c.bytes.size();
    if (c.dropped == 0) return std::move(c.bytes);
    char marker[64];
    snprintf(marker, sizeof marker, "[console: %zu bytes not shown]\n", c.dropped);
    return marker;
}

void writer(Stream* s) {
    std::unique_lock<std::mutex> lock(s->m);
    for (;;) {
        s->work.wait(lock, [s] { return s->due && !s->queue.empty(); });
        size_t taken;
        std::string out = take_output(*s, &taken);
        s->busy = true;
        lock.unlock();
        write_fully(s->fd, out.data(), out.size());
        lock.lock();
        s->held -= taken;
        s->busy = false;
        if (s->queue.empty()) s->due = false;
        s->idle.notify_all();
    }
}

// Wakes the writer for what is queued, unless it is awake already.
void make_due(Stream& s) {
    if (s.due || s.queue.empty()) return;
    s.due = true;
    s.work.notify_one();
}

void queue_output(Stream& s, const char* data, size_t len) {
    std::lock_guard<std::mutex> lock(s.m);
    if (s.held + len > QUEUE_MAX) {
        if (!s.queue.empty() && s.queue.back().dropped > 0)
            s.queue.back().dropped += len;
        else
            s.queue.push_back(Chunk{std::string(), len});
    } else {
        if (!s.queue.empty() && s.queue.back().dropped == 0 && s.queue.back().bytes.size() < CHUNK_GROW_MAX)
            s.queue.back().bytes.append(data, len);
        else
            s.queue.push_back(Chunk{std::string(data, len), 0});
        s.held += len;
    }
    // Lines gather until a kick or until there are enough of them for a
    // write: a flood of packets then costs a write per few kB, not per line.
    if (s.held >= DUE_BYTES) make_due(s);
}

// Queues what the main loop gathered.
void hand_over(Stream& s) {
    if (s.stage.empty()) return;
    queue_output(s, s.stage.data(), s.stage.size());
    s.stage.clear();
}

void finish_output() { console_flush(CONSOLE_EXIT_WAIT_MS); }

void vwrite_line(int fd, const char* fmt, va_list ap) {
    char line[CONSOLE_LINE_MAX];
    int n = vsnprintf(line, sizeof line, fmt, ap);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    console_write(fd, line, len);
}

}  // namespace

void console_start() {
    if (streams[0]) return;
    // The writers take no signals: a stop signal must interrupt the main
    // loop's sleep.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    for (int i = 0; i < 2; i++) {
        streams[i] = new Stream;
        streams[i]->fd = i == 0 ? STDOUT_FILENO : STDERR_FILENO;
        std::thread(writer, streams[i]).detach();
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    at_end(finish_output);
}

void console_kick() {
    for (Stream* s : streams) {
        if (!s) continue;
        hand_over(*s);
        std::lock_guard<std::mutex> lock(s->m);
        make_due(*s);
    }
}

bool console_flush(int timeout_ms) {
    console_kick();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool all = true;
    for (Stream* s : streams) {
        if (!s) continue;
        std::unique_lock<std::mutex> lock(s->m);
        all = s->idle.wait_until(lock, deadline, [s] { return s->queue.empty() && !s->busy; }) && all;
    }
    return all;
}

void console_capture(std::string* into) { capture = into; }

void console_tee(ConsoleTee t) { tee = t; }

void console_filter(ConsoleFilter f) { filter = f; }

void console_write(int fd, const void* data, size_t len) {
    if (len == 0) return;
    std::string shown;
    if (filter && (fd == STDOUT_FILENO || fd == STDERR_FILENO) &&
        filter(std::string_view(static_cast<const char*>(data), len), &shown)) {
        data = shown.data();
        len = shown.size();
    }
    if (fd == STDOUT_FILENO && capture) {
        capture->append(static_cast<const char*>(data), len);
        return;
    }
    if (fd == STDOUT_FILENO && tee) tee(static_cast<const char*>(data), len);
    Stream* s = stream_for(fd);
    if (!s) {
        write_fully(fd, static_cast<const char*>(data), len);
        return;
    }
    // Lines gather a few kB at a time, as in a stdio buffer, so that a flood
    // of packets costs the main loop no lock per line.
    if (s->stage.size() + len > STAGE_MAX) hand_over(*s);
    if (len >= STAGE_MAX)
        queue_output(*s, static_cast<const char*>(data), len);
    else
        s->stage.append(static_cast<const char*>(data), len);
}

void say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vwrite_line(STDOUT_FILENO, fmt, ap);
    va_end(ap);
}

void report(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vwrite_line(STDERR_FILENO, fmt, ap);
    va_end(ap);
}

bool report_due_again(time_t* last) {
    constexpr time_t REPORT_INTERVAL = 60;
    time_t now = mon.tstart;
    if (*last != 0 && now >= *last && now - *last < REPORT_INTERVAL) return false;
    *last = now;
    return true;
}
