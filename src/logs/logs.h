// Log files: the data directory, the daily status file, the message log and
// the numbered message record. Every write opens, appends and closes, so the
// files can be read or moved at any time while the logger runs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/core.h"
#include "formats/formats.h"  // the records, in the one place they are spelled

constexpr const char* DATA_DIR = "./data/";

// Creates ./data/ (mode 0775). Returns false, with errno set, when it is not
// there and cannot be made, or is no folder of the logger's own: a symbolic
// link (ERR_SYMLINK), not a folder (ENOTDIR), or another user's (ERR_NOT_OWNED).
bool make_data_dir();

// Names the day's status file (keslog) from the latest clock reading, stores the
// day, prints the name and creates the file if it is missing. Returns false,
// with errno set, when it cannot be created (reported as an append is).
bool mkkesnm();
// The same for the message log (meskeslog).
bool mkmesnm();

// Appends len bytes to path in one piece. When the file's directory is gone
// it recreates ./data/ and tries once more; a write that cannot complete is cut
// back so that nothing is left half-written. Failures are reported on
// standard error (at most once a minute per file) and kept in
// storage_failures for the alert; when `counted`, each one reported is also
// a failure of the minute. What was appended is flushed to the disk at the
// end of the pass (sync_data_files). Returns false, with errno set, on failure.
bool append_bytes(const char* path, const void* data, size_t len, bool counted = true);

// Appends the message record "<kesfd>,<timestamp> <text>" to the message log,
// the text formatted from fmt, after any records it refused before. One it
// refuses waits with those, in order (at most UNWRITTEN_RECORDS_MAX bytes;
// past that it goes to standard error). Returns false when the message log
// did not take it.
bool append_record(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// How a numbered failure shows on the console: as its record, as its record
// without the timestamp ("N,text"), as its text alone, or not at all.
enum class Shown { Record, Unstamped, Text, Nothing };

// A failure with a numbered record of its own: kesfm and kesfd raised by
// one, the record appended with the text formatted from fmt, and the
// console told as `shown` says.
void record_failure(Shown shown, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Keeps a line that tells what raised the failure count (a record as the
// message log has it, or a refused file as standard error names it) for the
// next alert's body, gathered with those of its kind. The first failure of
// some kinds in a clock hour (no good packets, framing, faults, a run that
// ended without stopping, a torn file) is also told on standard error.
void note_alert_cause(std::string_view line);
// The alert's block of causes, a line each ("  TEXT, at hh:mm:ss", or for
// many "  no good kest packets in 13 minutes, 22:46 to 22:58"), at most
// ALERT_CAUSES_MAX and then "  ... and N more"; forgets them. "" for none.
std::string take_alert_causes();

// Appends count packets, held back to back in data with these sizes, to the
// status file: in one write, or, when that fails, one at a time, so that
// every packet that fits is stored. A packet that cannot be stored is lost:
// counted (a failure in each minute that loses one) and recorded by the next
// packet stored, or when the logger stops. Returns true when all were
// stored; otherwise *stored tells which were.
bool append_packets(const char* data, const unsigned* sizes, size_t count, std::vector<bool>* stored);
// Records the packets lost since the last such record, if any, as
// "N packets not stored from hh:mm:ss to hh:mm:ss: reason" (kesfd raised):
// at the next packet stored, at each change of minute and at the end. When
// the message log refuses it, it is also told on standard error at once.
void record_lost_packets();
// Writes the records the message log refused, in order, when it takes them
// now (each change of minute tries; so does every record appended).
void write_unwritten_records();

// Flushes to the disk the data files appended to since the last call, and
// ./data/ itself when a file was made in it. Failures are reported and
// counted as storage failures of the file.
void sync_data_files();

// Mends a file that a power cut left ending inside a packet or record: the
// bytes after its last `end` byte (EOT or newline) are appended to PATH.torn
// (named in torn), which is synced, and only then cut from the file. Returns
// the bytes moved, 0 when the file ends as it should (or is empty or
// missing), -1 after reporting why it could not be mended (left as it was).
long repair_torn_tail(const char* path, char end, char* torn, size_t torn_size);

// Mends, at start-up, what a power cut left torn: today's status file and
// message log, and the newest other ones in ./data/ (those the run before
// was writing, whatever their day). A file whose repair fails is tried again
// before each append to it, and until then takes nothing (its appends fail
// with ERR_TORN_TAIL). Returns the files mended or not (moved != 0).
std::vector<TornRepair> repair_torn_files();
// Records each file mended as a failure: "PATH ended inside a packet|record:
// N bytes moved to PATH.torn".
void record_torn_files(const std::vector<TornRepair>& repairs);

// Rewrites the metrics file (metrics_file, when one is named) in Prometheus's
// text format, atomically: a temporary file beside it, then a rename.
// Failures are reported on standard error. Returns false on failure.
bool write_metrics();
