// Preloaded into the logger by the end-to-end tests: answers adjtimex and
// ntp_adjtime with the synchronisation state written in the file that
// KESTTEST_CLOCK_SYNC names ("synchronised", "unsynchronised" or "refused"),
// read at every call, so that a test can change it while the logger runs
// without touching the machine's clock.
#include <errno.h>
#include <sys/timex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int answer(struct timex* tx) {
    char state[32] = "";
    const char* path = getenv("KESTTEST_CLOCK_SYNC");
    if (FILE* f = path ? fopen(path, "re") : nullptr) {
        if (!fgets(state, sizeof state, f)) state[0] = '\0';
        fclose(f);
    }
    if (strncmp(state, "refused", 7) == 0) {
        errno = EPERM;
        return -1;
    }
    memset(tx, 0, sizeof *tx);
    if (strncmp(state, "synchronised", 12) == 0) return TIME_OK;
    tx->status = STA_UNSYNC;
    return TIME_ERROR;
}

extern "C" int adjtimex(struct timex* tx) { return answer(tx); }
extern "C" int ntp_adjtime(struct timex* tx) { return answer(tx); }
