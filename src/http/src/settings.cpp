// Process-wide settings, set once at start-up.
#include "settings.h"

int debug_level = 0;
bool use_syslog = false;
const char* file_path = nullptr;
off_t file_size = 0;
const char* log_directory = nullptr;
int session_timeout = SESSION_TIMEOUT_DEFAULT;
int max_sessions = 0;
int max_client_sessions = 0;
int drain_timeout = DRAIN_TIMEOUT_DEFAULT;
int header_timeout = HEADER_TIMEOUT_DEFAULT;
int max_client_pending = MAX_CLIENT_PENDING_DEFAULT;
int max_client_connections = MAX_CLIENT_CONNECTIONS_DEFAULT;
int client_prefix_v6 = CLIENT_PREFIX_V6_DEFAULT;

const char* log_priority_tag(int priority) {
    switch (priority) {
    case LOG_ERR:
        return "<3>";
    case LOG_WARNING:
        return "<4>";
    case LOG_INFO:
        return "<6>";
    default:
        return "<7>";
    }
}
