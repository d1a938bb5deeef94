// Keys typed at the console, and the same bytes sent by a control client
// (kestctl): any bytes at all, including over-long lines, Ctrl-C and "quit"
// (which end nothing here: ending is the caller's part). A client's reply
// is gathered apart and never reaches the console.
#include <cstddef>
#include <cstdint>
#include <string>

#include "console/console.h"
#include "fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fresh_state();
    ControlClient client;
    for (size_t i = 0; i < size; i++) {
        kbinput(data[i]);
        if (mon.kbptr < 0 || mon.kbptr > KB_LINE_MAX) __builtin_trap();
        std::string reply;
        line_input(client.line, &client.ptr, data[i], "fuzz", &reply);
        if (client.ptr < 0 || client.ptr > KB_LINE_MAX) __builtin_trap();
        if (reply.size() > 4096) __builtin_trap();  // a reply is a few lines at most
    }
    return 0;
}
