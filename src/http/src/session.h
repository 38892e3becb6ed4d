// Sessions: the record, the process-wide container, timers, finish and teardown.
#pragma once

#include "main_thread.h"
#include "request.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <glib.h>
#include <pthread.h>

struct connection;

enum test_state : int {
    WARMUP = 0,
    MEASUR = 1,
    FINISHED = 2,
    DEAD = 3,
};

struct session_test_state {
    bool started;
    int state; // test_state
    bool finish_requested;
    timespec start_time; // CLOCK_MONOTONIC origin of the sample times
    time_t end_time;
    bool failed;
    timespec* warmup_times;
    size_t num_warmup;
    timespec* measur_times;
    size_t num_measur;
    uint64_t warmup_end_bytes;
    uint64_t total_bytes;
    uint64_t data_bytes;
};

// One test session, owned by the worker thread whose epoll set holds its timers.
struct session {
    uint64_t id; // first field: the container hashes through a pointer to it
    int epoll_fd;
    connection** conns;
    size_t active_conns;
    request_info request; // session-wide part only; per-connection fields stay zero
    session_test_state test;
    varnholt::epoll_data data_timer;
    varnholt::epoll_data expiry_timer;
    varnholt::epoll_data trace_timer;
    varnholt::epoll_data latency_timer;
    bool finishing;
    GString* traces;
    bool no_path;
    bool store_log;
    bool path_style;
    bool is_latency;
    int64_t serverside_start_ns;
    int64_t start_timestamp;
    int64_t measurement_start;
    int64_t measurement_end;
};

// The process-wide container of sessions by id and its one mutex.
extern GHashTable* session_container;
extern pthread_mutex_t session_container_mutex;

// Creates the container; -1 when it exists already or cannot be made. Main thread.
int create_session_container();

// The session that owns a timer record (one of its four varnholt::epoll_data members).
session* session_from_timer(varnholt::epoll_data* timer);

// Destroys the sessions queued on the calling thread. True when at least one was
// destroyed, so that a paused accept can be retried.
bool trigger_sessions_destroy();

// Ends a session's test (stops its timers, moves its connections on). Owner thread.
void finish_session(session* sess);

// The periodic check of a session that became due: warm-up, measurement and the
// end of the test. `now` is CLOCK_MONOTONIC. Owner thread.
void handle_session_periodic(session* sess, timespec now);
