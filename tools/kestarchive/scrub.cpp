// The scrub: every sealed file read again against the archive's own record,
// at a bounded rate, so that a copy that rotted is found while the site may
// still hold its own.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "kestarchive.h"

namespace {

constexpr size_t CHUNK = 1 << 20;

// Sleeps as long as reading `done` bytes since `start_ms` at `rate` a
// second asks.
void keep_rate(long long start_ms, long long done, long long rate) {
    if (rate <= 0) return;
    long long due_ms = start_ms + done * 1000 / rate, now = monotonic_ms();
    if (due_ms > now) usleep(static_cast<useconds_t>((due_ms - now) * 1000));
}

}  // namespace

ScrubReport scrub_site(const std::string& site, const std::string& site_dir, long long rate_bytes) {
    ScrubReport rep;
    std::string text;
    FILE* f = fopen((site_dir + "/" + SEAL_RECORD).c_str(), "re");
    if (!f) {
        fprintf(stderr, "kestarchive: scrub: %s/%s: %s\n", site_dir.c_str(), SEAL_RECORD, strerror(errno));
        rep.missing = -1;
        return rep;
    }
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    fclose(f);
    const long long start = monotonic_ms();
    std::vector<char> chunk(CHUNK);
    for (const SealedFile& e : parse_sealed(text)) {
        std::string path = site_dir + "/" + ARCHIVE_SEALED + "/" + e.name;
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0) close(fd);
            rep.missing++;
            fprintf(stderr, "kestarchive: scrub: %s: data/%s: sealed %s but gone: %s\n", site.c_str(),
                    e.name.c_str(), utc_text(e.sealed).c_str(),
                    fd < 0 ? strerror(errno) : "not a regular file");
            continue;
        }
        Sha256 hash;
        bool ok = hash.ok();
        for (ssize_t n; ok && (n = read(fd, chunk.data(), chunk.size())) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0 && hash.add(chunk.data(), static_cast<size_t>(n));
            rep.bytes += n > 0 ? n : 0;
            keep_rate(start, rep.bytes, rate_bytes);
        }
        close(fd);
        std::string sha = ok ? hash.finish() : "";
        if (sha == e.sha256 && st.st_size == e.size) {
            rep.ok++;
            continue;
        }
        rep.changed++;
        fprintf(stderr, "kestarchive: scrub: %s: data/%s: %s (sealed %s with %lld bytes, sha256 %.16s...)\n",
                site.c_str(), e.name.c_str(),
                sha.empty() ? "cannot be read"
                            : ("now " + std::to_string(st.st_size) + " bytes, sha256 " + sha.substr(0, 16) +
                               "...: changed since it was sealed")
                                  .c_str(),
                utc_text(e.sealed).c_str(), e.size, e.sha256.c_str());
    }
    return rep;
}
