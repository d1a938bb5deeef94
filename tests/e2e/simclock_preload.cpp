// Preloaded into every process of the year run: the wall clock and the
// monotonic clocks are what the bench wrote last into the file that
// KESTTEST_SIMCLOCK names (two int64 nanosecond counts, read through a
// shared mapping at every call). Both stand still between the bench's
// steps, so a run replays exactly from its seed; the bench moves the wall
// clock alone for a clock set by hand, and both for time that passes.
// Any other clock (CPU time) is the kernel's. A sleep waits on something
// else (a child's end) on a clock that stands still: it is cut to at most a
// millisecond of real time, or a year of rsync's 20 ms naps would take hours.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

struct SimClock {
    volatile int64_t wall_ns;
    volatile int64_t mono_ns;
};

const SimClock* sim() {
    static const SimClock* mapped = [] {
        const char* path = getenv("KESTTEST_SIMCLOCK");
        int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
        if (fd < 0) return static_cast<const SimClock*>(nullptr);
        void* p = mmap(nullptr, sizeof(SimClock), PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        return p == MAP_FAILED ? nullptr : static_cast<const SimClock*>(p);
    }();
    return mapped;
}

using ClockGettime = int (*)(clockid_t, struct timespec*);

int real_clock_gettime(clockid_t id, struct timespec* ts) {
    static ClockGettime real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real(id, ts);
}

void to_timespec(int64_t ns, struct timespec* ts) {
    ts->tv_sec = static_cast<time_t>(ns / 1000000000);
    ts->tv_nsec = static_cast<long>(ns % 1000000000);
    if (ts->tv_nsec < 0) {
        ts->tv_sec--;
        ts->tv_nsec += 1000000000;
    }
}

constexpr long SLEEP_CAP_NS = 1000000;

int capped_sleep(const struct timespec* req, struct timespec* rem) {
    using Nanosleep = int (*)(const struct timespec*, struct timespec*);
    static Nanosleep real = reinterpret_cast<Nanosleep>(dlsym(RTLD_NEXT, "nanosleep"));
    struct timespec cut = *req;
    if (sim() && (cut.tv_sec > 0 || cut.tv_nsec > SLEEP_CAP_NS)) cut = {0, SLEEP_CAP_NS};
    int r = real(&cut, rem);
    if (r == 0 && rem) *rem = {0, 0};
    return r;
}

}  // namespace

extern "C" int nanosleep(const struct timespec* req, struct timespec* rem) { return capped_sleep(req, rem); }

extern "C" int usleep(useconds_t us) {
    struct timespec t = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    return capped_sleep(&t, nullptr);
}

extern "C" unsigned sleep(unsigned s) {
    struct timespec t = {static_cast<time_t>(s), 0};
    capped_sleep(&t, nullptr);
    return 0;
}

extern "C" int clock_nanosleep(clockid_t id, int flags, const struct timespec* req, struct timespec* rem) {
    if (flags & TIMER_ABSTIME) {
        struct timespec now;
        clock_gettime(id, &now);
        if (now.tv_sec > req->tv_sec || (now.tv_sec == req->tv_sec && now.tv_nsec >= req->tv_nsec)) return 0;
        struct timespec cap = {0, SLEEP_CAP_NS};
        return capped_sleep(&cap, nullptr) == 0 ? 0 : errno;
    }
    return capped_sleep(req, rem) == 0 ? 0 : errno;
}

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) {
    const SimClock* s = sim();
    if (!s) return real_clock_gettime(id, ts);
    switch (id) {
        case CLOCK_REALTIME:
        case CLOCK_REALTIME_COARSE:
            to_timespec(s->wall_ns, ts);
            return 0;
        case CLOCK_MONOTONIC:
        case CLOCK_MONOTONIC_RAW:
        case CLOCK_MONOTONIC_COARSE:
        case CLOCK_BOOTTIME:
            to_timespec(s->mono_ns, ts);
            return 0;
        default:
            return real_clock_gettime(id, ts);
    }
}

extern "C" int gettimeofday(struct timeval* tv, void*) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    {
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000;
    }
    return 0;
}

extern "C" time_t time(time_t* out) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (out) *out = ts.tv_sec;
    return ts.tv_sec;
}
