// One line of the parameter file, as read (at most PARLINE_MAX characters).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz.h"
#include "settings/settings.h"

// Every text setting stays terminated within its buffer.
static bool terminated(const char* text, size_t size) { return memchr(text, '\0', size) != nullptr; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fresh_state();
    char line[PARLINE_MAX + 1];
    size_t n = size < PARLINE_MAX ? size : PARLINE_MAX;
    memcpy(line, data, n);
    line[n] = '\0';
    ParResult r = parse_parline(line);
    if (r.kind == ParKind::Unsupported && r.problem == nullptr) __builtin_trap();
    if (!terminated(mon.SERIAL_PORT, sizeof mon.SERIAL_PORT) || !terminated(mon.site, sizeof mon.site) ||
        !terminated(mon.pardate, sizeof mon.pardate) || !terminated(mon.maildest, sizeof mon.maildest) ||
        !terminated(r.name, sizeof r.name))
        __builtin_trap();
    return 0;
}
