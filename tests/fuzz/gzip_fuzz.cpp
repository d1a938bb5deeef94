// A compressed status file or message log as kestreport reads it: any bytes
// where a .gz is expected, from a truncated stream to one that inflates to
// pieces longer than its buffer. The first byte chooses the kind of file.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "report.h"

static std::string scratch() {
    static std::string dir;
    if (dir.empty()) {
        char tmpl[] = "/dev/shm/kestlog-gzip-fuzz-XXXXXX";
        char tmpl_tmp[] = "/tmp/kestlog-gzip-fuzz-XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (!made) made = mkdtemp(tmpl_tmp);
        if (!made) abort();
        dir = made;
    }
    return dir;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string dir = scratch();
    const std::string file = dir + ((data[0] & 1) ? "/MESKES20150616.txt.gz" : "/KES20150616.txt.gz");
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) abort();
    close(fd);
    bool complete = false;
    std::vector<DaySummary> days = summarise(dir, 20150616, 20150616, &complete);
    unlink(file.c_str());
    if (days.size() != 1) __builtin_trap();
    return 0;
}
