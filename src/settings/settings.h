// Settings: reading the parameter file into the settings of the state.
#pragma once

#include "core/core.h"

enum class ParKind {
    Ignored,      // comment or blank line
    Applied,      // a known name with an accepted value
    Unknown,      // no known name
    BadValue,     // a known name with an empty or over-long value
    Unsupported,  // a serial line setting the logger cannot use: stop reading
};

struct ParResult {
    ParKind kind = ParKind::Ignored;
    char name[PARLINE_MAX + 1] = "";  // the name with its '=', for BadValue
    const char* problem = nullptr;    // the standard-error line, for Unsupported
};

// Parses one parameter line and applies what it accepts to the settings.
// Never prints, records or ends the process.
ParResult parse_parline(const char* line);

// Reads kestlog.par, echoing every line to the console and the message log,
// and reports unknown names and bad values. Always returns 0.
int readparfile();
