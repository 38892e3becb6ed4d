// Results archive: one JSON record per finished session, built by the session's owner and
// written whole by the file operations thread as DIR/<kind>/YYYY/MM/DD/<test id>.json.
#pragma once

#include "metrics.h"
#include "request.h"

#include <cstddef>
#include <cstdint>
#include <glib.h>
#include <string>

struct session;

// The archive directory (--archive-dir); null when there is none. Set at start-up.
extern const char* archive_directory;

// The version and source revision the records name (static strings, kept). Main thread, at
// start-up.
void set_archive_build_info(const char* version, const char* revision);

// Version of the record's layout (its "schema_version").
constexpr int ARCHIVE_SCHEMA_VERSION = 1;

enum archive_result : int {
    ARCHIVE_WRITTEN = 0,
    ARCHIVE_DROPPED_SPACE = 1, // the log space limit was reached: not written, nothing deleted
    ARCHIVE_FAILED = 2,        // not posted (a full queue) or not written (a disk error)
    NUM_ARCHIVE_RESULTS = 3,
};
void count_archive_record(archive_result result);
uint64_t archive_records(archive_result result);

// "<host>-<process start in unix microseconds>": what every test id of this process starts
// with. Taken once, at the first call (start-up calls it early). Any thread.
const std::string& test_id_prefix();
// The next test number of this process, counted from 1. Any thread.
uint64_t next_test_number();

// Bytes the record of a session admitted for `request` may take at most, as its text grows
// (the memory budget reserves this with the session when an archive directory is set).
uint64_t archive_record_bound(const request_info* request);

// The record of a session whose connections are still open (their TCP statistics are read
// now), as test `number` with that outcome. Owner thread. The caller owns the text.
GString* build_archive_record(const session* sess, uint64_t number, session_outcome outcome);

// Builds the record and hands it to the file operations thread, with the record's share of
// the session's memory reservation; a record that cannot be posted is counted as failed and
// its share stays with the session. Owner thread, before the connections are closed.
void archive_session(session* sess, uint64_t number, session_outcome outcome);

// File operations thread: writes `data` to a temporary name beside `path` and renames it,
// creating the directories below archive_directory (0755; the file 0644). Counts the result;
// frees path and data.
void write_archive_record(char* path, char* data, size_t len);
