// Log files: the data directory, the daily status file, the message log and
// the numbered message record. Every write opens, appends and closes, so the
// files can be read or moved at any time while the logger runs.
#pragma once

#include <cstddef>

constexpr const char* DATA_DIR = "./data/";

// Creates ./data/ (mode 0775). Returns false, with errno set, when it is not
// there and cannot be made; an existing directory is fine.
bool make_data_dir();

// Names the day's status file (keslog) from a fresh clock reading, stores the
// day, prints the name and creates the file if it is missing. Returns false,
// with errno set, when it cannot be created (reported as an append is).
bool mkkesnm();
// The same for the message log (meskeslog).
bool mkmesnm();

// Appends len bytes to path in one piece. When the file's directory is gone
// it recreates ./data/ and tries once more; a write that cannot complete is cut
// back so that nothing is left half-written. Failures are reported on
// standard error (at most once a minute per file); each one reported counts
// as a failure of the minute and is kept in storage_failures for the alert.
// Returns false, with errno set, on failure.
bool append_bytes(const char* path, const void* data, size_t len);

// Appends the message record "<kesfd>,<timestamp> <text>" to the message log,
// the text formatted from fmt.
void append_record(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Appends the packet held in skest, all pchar2 bytes of it, to the status file.
void append_packet();

// Rewrites the metrics file (metrics_file, when one is named) in Prometheus's
// text format, atomically: a temporary file beside it, then a rename.
// Failures are reported on standard error. Returns false on failure.
bool write_metrics();
