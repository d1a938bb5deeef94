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
    char name[PARLINE_MAX + 1] = "";   // the name with its '=', for BadValue
    const char* problem = nullptr;     // the standard-error line, for Unsupported
    char value[PARLINE_MAX + 1] = "";  // the value refused, for Unsupported
    // The problem as a check names it ("unknown parameter sit (did you mean
    // site?)"); empty when there is none.
    char finding[PARLINE_MAX + 128] = "";
    // A value taken that is likely not what was meant; empty when there is none.
    char warning[PARLINE_MAX + 128] = "";
};

// Parses one parameter line and applies what it accepts to the settings.
// Never prints, records or ends the process.
ParResult parse_parline(const char* line);

// Reads kestlog.par, echoing every line to the console and the message log,
// and reports unknown names, bad values and over-long lines, each also on
// standard error as "FILE:LINE: problem", and values that mislead as
// "FILE:LINE: warning: text". Always returns 0.
int readparfile();

// Reads a parameter file and nothing else: prints each problem as
// "FILE:LINE: problem" and each warning as "FILE:LINE: warning: text" on
// standard error, then the settings the logger would use on standard
// output. Returns 0 when there was no problem (warnings aside), 1 otherwise.
int checkparfile(const char* file);
