// Keys typed at the console, any bytes at all, including over-long lines,
// Ctrl-C and "quit" (which end nothing here: ending is the caller's part).
#include <cstddef>
#include <cstdint>

#include "console/console.h"
#include "fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fresh_state();
    for (size_t i = 0; i < size; i++) {
        kbinput(data[i]);
        if (mon.kbptr < 0 || mon.kbptr > KB_LINE_MAX) __builtin_trap();
    }
    return 0;
}
