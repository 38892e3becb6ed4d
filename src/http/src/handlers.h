// The connection handlers of a worker, one file per concern, and what they share: the state
// bodies the dispatcher runs and the reply helpers of every state that answers.
#pragma once

#include "records.h"

#include <cstddef>
#include <cstdint>
#include <glib.h>
#include <sys/types.h>

struct connection;
struct request_info;

// Bytes a request header may have while still incomplete; one peek reads at most this.
constexpr size_t HEADER_LIMIT = 16383;

enum header_step {
    HEADER_INVALID,    // parse_request refused the text
    HEADER_TOO_BIG,    // still incomplete beyond HEADER_LIMIT bytes
    HEADER_INCOMPLETE, // *held now holds every piece so far: wait for more
    HEADER_COMPLETE,   // *request is filled; *size is the length of the parsed text
};

// One step of collecting a request header that arrives in pieces. *held is the text
// kept from the earlier pieces (null before the first) and is created for a first
// incomplete piece; piece[n] must be NUL. The caller owns *held.
header_step collect_header_piece(GString** held, const char* piece, size_t n, request_info* request,
                                 size_t* size);
// Room for a whole header and its terminating NUL.
constexpr size_t HEADER_BUFFER_SIZE = HEADER_LIMIT + 1;

// One receive (recv flags `flags`) of up to HEADER_LIMIT bytes into buffer[HEADER_BUFFER_SIZE],
// NUL-terminated: 1 with *n bytes, 0 when nothing is queued yet, -1 when the peer closed or
// the receive failed (logged).
int receive_header_piece(connection* conn, char* buffer, int flags, ssize_t* n);

// Request headers and joins (header_join.cpp). State bodies: 0 stay, -1 destroy the
// connection, -2 disable it, -4 handed to another worker.
// CONNECTED and RECEIVING_HEADER: the header, collected, parsed and acted on.
int handle_connection_connected(int epfd, connection* conn);
// HEADER_RECEIVED: the connection joins its session (on the session's worker).
int handle_header_received(int epfd, connection* conn);

// Test data (transfer.cpp). State bodies: 0 stay, -1 destroy the connection, -2 disable
// it, -3 the client finished sending.
// A connection has just joined its session: a download's reply goes out at once.
int after_join(int epfd, connection* conn);
// SENDING_REPLY: the first reply, then the test data or the wait for it.
int handle_connection_sending_reply(int epfd, connection* conn, uint32_t events);
// Sends what the socket takes of a HEAD reply: 1 while some is left, 0 when all went (the
// connection waits for its next request), -2 on failure.
int send_head_reply(connection* conn);
// SENDING_HEAD_REPLY: the rest of a HEAD reply that did not fit the socket.
int handle_connection_sending_head_reply(int epfd, connection* conn);
// SENDING_DATA: the download stream; a half-close of the client asks for the stats message.
int handle_connection_sending_data(int epfd, connection* conn, uint32_t events);
// SENDING_STATS: the stats message, then the half-close.
int send_stats(connection* conn);
// RECEIVING_DATA (and POST_ANSWERED): an upload's bytes, discarded and counted.
int receive_test_data(connection* conn);

// Results and latency control (results.cpp). State bodies: 0 stay, -1 destroy the
// connection, -2 disable it.
// SENDING_RESULTS: the results reply (or a refusal) goes out, then the half-close.
int handle_sending_results(int epfd, connection* conn);
// WAITING_FOR_CLOSE: the client's close ends the connection; anything it sends is dropped.
int handle_waiting_for_close(connection* conn);
// LATENCY_SENDING_REPLY: the control connection's reply to its opening request.
int handle_latency_sending_reply(int epfd, connection* conn);
// LATENCY_PENDING and LATENCY_RECEIVING_REQUEST: the statistics requests of a latency
// session's control connection and their JSON replies.
int handle_latency_pending(int epfd, connection* conn);

// PUT uploads (put_upload.cpp). A parsed PUT request: checks its target, asks the file
// operations thread to open it and waits for the answer; `header_in_socket` is what is left of the
// header in the socket. Then every event of the connection goes to handle_put_connection.
int handle_put_request(int epfd, connection* conn, request_info* request, size_t header_in_socket);
void handle_put_connection(int epfd, connection* conn);
