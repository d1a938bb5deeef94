// Shared by the fuzz targets: each input starts from a fresh state whose
// files and console are /dev/null, so that only parsing and deciding is
// measured and nothing piles up on disk.
#pragma once

#include <cstdio>

#include "core/core.h"

inline void fresh_state() {
    static bool quiet = false;
    if (!quiet) quiet = freopen("/dev/null", "w", stdout) != nullptr;
    reset_state();
    snprintf(mon.keslog, sizeof mon.keslog, "/dev/null");
    snprintf(mon.meskeslog, sizeof mon.meskeslog, "/dev/null");
    curdatetim();
}
