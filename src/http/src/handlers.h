// The connection handlers of a worker, one file per concern, and what they share: the state
// bodies the dispatcher runs and the reply helpers of every state that answers.
#pragma once

#include "records.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct connection;
struct request_info;

// PUT uploads (put_upload.cpp). A parsed PUT request: checks its target, asks the file
// operations thread to open it and waits for the answer; `header_in_socket` is what is left of the
// header in the socket. Then every event of the connection goes to handle_put_connection.
int handle_put_request(int epfd, connection* conn, request_info* request, size_t header_in_socket);
void handle_put_connection(int epfd, connection* conn);
