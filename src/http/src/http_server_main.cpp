// Server process: options and logging set-up, listening sockets, daemonizing and start-up.
#include "budget.h"
#include "file_ops.h"
#include "archive.h"
#include "log_space.h"
#include "http_server.h"
#include "main_thread.h"
#include "metrics.h"
#include "session.h"
#include "settings.h"
#include "tls.h"
#include "token.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>
#include <string>
#include <tuple>
#include <vector>

#ifndef VH_REVISION
#define VH_REVISION "release"
#endif
#ifndef VH_VERSION
#define VH_VERSION "unknown"
#endif

static constexpr int LISTEN_BACKLOG = 4096;
static constexpr int SESSION_LIMIT_MAX = 10000000;

// Set when the listening sockets came from the service manager.
static bool sockets_inherited = false;

// Opens the system log the way every message of a SysV daemon is sent.
static void open_system_log(const char* ident, bool ndelay) {
    openlog(ident, LOG_PID | LOG_CONS | (ndelay ? LOG_NDELAY : 0), LOG_LOCAL3);
}

// ---------------------------------------------------------------------------
// Listening sockets.

static void close_sockets(const std::vector<int>& fds) {
    for (int fd : fds) {
        VH_LOG(LOG_ERR, "Closing opened socket %d", fd);
        close(fd);
    }
}

// A listening socket and whether its connections speak TLS.
struct opened_socket {
    int fd;
    bool tls;
};

static listen_socket* new_socket_array(const std::vector<opened_socket>& opened) {
    auto* array = static_cast<listen_socket*>(malloc(opened.size() * sizeof(listen_socket)));
    if (array == nullptr)
        return nullptr;
    for (size_t i = 0; i < opened.size(); i++) {
        array[i].kind = EPOLL_LISTEN_SOCKET;
        array[i].fd = opened[i].fd;
        array[i].tls = opened[i].tls;
    }
    return array;
}

static std::vector<int> descriptors_of(const std::vector<opened_socket>& opened) {
    std::vector<int> fds;
    for (const opened_socket& s : opened)
        fds.push_back(s.fd);
    return fds;
}

// Opens a socket on every local address of `service` and appends them to *opened. False when
// an address could not be bound or listened on (the sockets opened are appended all the same).
// Some failures (socket creation, socket options) end the process instead.
static bool open_service_sockets(const char* service, bool tls,
                                 std::vector<opened_socket>* opened) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_ADDRCONFIG;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;
    addrinfo* result = nullptr;
    int rc = getaddrinfo(nullptr, service, &hints, &result);
    if (rc != 0) {
        VH_LOG(LOG_ERR, "getaddrinfo: %s", gai_strerror(rc));
        return false;
    }
    assert(result != NULL);

    bool failed = false;
    for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) {
            VH_LOG(LOG_ERR, "Couldn't create socket for family %d protocol %d: %s", ai->ai_family,
                   ai->ai_protocol, strerror(errno));
            exit(1);
        }
        int one = 1;
        if (ai->ai_family == AF_INET6 &&
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one)) != 0) {
            VH_LOG(LOG_ERR, "setsockopt(IPV6_V6ONLY) failed: %s", strerror(errno));
            exit(1);
        }
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) != 0) {
            VH_LOG(LOG_ERR, "setsockopt(SO_REUSEPORT) failed: %s", strerror(errno));
            exit(1);
        }
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            VH_LOG(LOG_ERR, "Couldn't bind to family %d protocol %d: %s", ai->ai_family,
                   ai->ai_protocol, strerror(errno));
            close(fd);
            failed = true;
            continue;
        }
        if (listen(fd, LISTEN_BACKLOG) != 0) {
            VH_LOG(LOG_ERR, "Couldn't listen to family %d protocol %d: %s", ai->ai_family,
                   ai->ai_protocol, strerror(errno));
            close(fd);
            failed = true;
            continue;
        }
        if (debug_level > 1) {
            sockaddr_storage addr{};
            socklen_t len = sizeof(addr);
            char host[1024] = "";
            char port[1024] = "";
            if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
                getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof(host), port,
                            sizeof(port), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
                host[0] = '\0';
                port[0] = '\0';
            }
            VH_LOG(LOG_INFO, "Socket %d listening on address %s port %s%s", fd, host, port,
                   tls ? " (TLS)" : "");
        }
        opened->push_back({fd, tls});
    }
    freeaddrinfo(result);
    return !failed;
}

// Stores a new array of listening sockets: the ones handed over by systemd (the one named
// "tls" speaks TLS), or our own on every local address of `service` (plain) and of
// `tls_service` (TLS), either of which may be null. 0, or -1 (logged, nothing stored).
// Some failures (socket creation, socket options) end the process instead.
static int get_listening_sockets(const char* service, const char* tls_service,
                                 listen_socket** sockets, size_t* count) {
    // Clearing the activation variables makes a retry open its own sockets.
    char** names = nullptr;
    int inherited = sd_listen_fds_with_names(1, &names);
    if (inherited > 0) {
        std::vector<opened_socket> opened;
        bool failed = false;
        for (int i = 0; i < inherited; i++) {
            int fd = SD_LISTEN_FDS_START + i;
            const bool tls =
                names != nullptr && names[i] != nullptr && strcmp(names[i], "tls") == 0;
            // A blocking inherited socket would hang a worker in accept4 once the
            // queue is empty: every worker drains until EAGAIN.
            int flags = fcntl(fd, F_GETFL);
            if (!failed && (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)) {
                VH_LOG(LOG_ERR, "Could not make inherited socket %d non-blocking: %s", fd,
                       strerror(errno));
                failed = true;
            }
            opened.push_back({fd, tls});
        }
        if (names != nullptr) {
            for (int i = 0; i < inherited; i++)
                free(names[i]);
            free(names);
        }
        if (failed)
            return -1;
        listen_socket* array = new_socket_array(opened);
        if (array == nullptr) {
            VH_LOG(LOG_ERR, "malloc: %s", strerror(errno));
            return -1;
        }
        *sockets = array;
        *count = opened.size();
        sockets_inherited = true;
        return 0;
    }

    std::vector<opened_socket> opened;
    bool ok = true;
    if (service != nullptr)
        ok = open_service_sockets(service, false, &opened);
    if (ok && tls_service != nullptr)
        ok = open_service_sockets(tls_service, true, &opened);
    if (opened.empty() || !ok) {
        close_sockets(descriptors_of(opened));
        return -1;
    }
    listen_socket* array = new_socket_array(opened);
    if (array == nullptr) {
        VH_LOG(LOG_ERR, "malloc: %s", strerror(errno));
        close_sockets(descriptors_of(opened));
        return -1;
    }
    *sockets = array;
    *count = opened.size();
    return 0;
}

// ---------------------------------------------------------------------------
// SysV daemonizing.

// Closes every descriptor from 3 below `limit`. One close per possible number
// takes minutes with the hard limits of 2^20 and more that containers set, so
// close them as a range, or walk the descriptors that really exist.
static void close_inherited_descriptors(unsigned int limit) {
    if (limit <= 3)
        return;
    if (close_range(3, limit - 1, 0) == 0)
        return;
    std::vector<int> open_fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        for (unsigned int fd = 3; fd < limit; fd++)
            close(static_cast<int>(fd));
        return;
    }
    int dir_fd = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long fd = strtol(entry->d_name, &end, 10);
        if (*end == '\0' && end != entry->d_name && fd >= 3 && fd != dir_fd &&
            static_cast<unsigned long>(fd) < limit)
            open_fds.push_back(static_cast<int>(fd));
    }
    closedir(dir);
    for (int fd : open_fds)
        close(fd);
}

[[noreturn]] static void report_and_exit(int status_fd, int err) {
    int status = -err;
    (void)!write(status_fd, &status, sizeof(status));
    _exit(1);
}

// Turns the process into a SysV daemon (double fork, new session, standard
// streams on /dev/null, umask 0, working directory "/"). Returns 0 in the daemon;
// the starting process exits 0 once the daemon reports ready. On failure returns a
// negated error number (in the starting process), or 1 when the daemon ended
// without reporting any status.
static int daemonize(const char* ident) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -errno;
    unsigned int fd_limit =
        limit.rlim_max > UINT32_MAX ? UINT32_MAX : static_cast<unsigned int>(limit.rlim_max);
    close_inherited_descriptors(fd_limit);

    for (int sig = 1; sig <= 64; sig++)
        signal(sig, SIG_DFL);
    sigset_t empty;
    if (sigemptyset(&empty) != 0 || sigprocmask(SIG_SETMASK, &empty, nullptr) != 0)
        return -errno;

    int status_pipe[2];
    if (pipe(status_pipe) != 0)
        return -errno;

    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        close(status_pipe[0]);
        close(status_pipe[1]);
        return -err;
    }
    if (pid > 0) {
        close(status_pipe[1]);
        int status = 0;
        ssize_t n;
        do {
            n = read(status_pipe[0], &status, sizeof(status));
        } while (n < 0 && errno == EINTR);
        // The first child exits right after its fork: reap it, so that no zombie
        // outlives us where process 1 does not reap orphans (containers).
        int read_errno = errno;
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        errno = read_errno;
        if (n == static_cast<ssize_t>(sizeof(status)) && status == 0)
            exit(0);
        if (n < 0)
            return -errno;
        if (n != static_cast<ssize_t>(sizeof(status)))
            return 1;
        return status;
    }

    close(status_pipe[0]);
    if (setsid() < 0)
        report_and_exit(status_pipe[1], errno);
    pid = fork();
    if (pid < 0)
        report_and_exit(status_pipe[1], errno);
    if (pid > 0)
        _exit(0);

    close(0);
    close(1);
    close(2);
    if (open("/dev/null", O_RDWR) < 0 || dup(0) < 0 || dup(0) < 0)
        report_and_exit(status_pipe[1], errno);
    umask(0);
    if (chdir("/") != 0)
        report_and_exit(status_pipe[1], errno);

    int ready = 0;
    if (write(status_pipe[1], &ready, sizeof(ready)) != static_cast<ssize_t>(sizeof(ready)))
        _exit(1);
    close(status_pipe[1]);
    open_system_log(ident, true);
    return 0;
}

// ---------------------------------------------------------------------------
// Start-up.

// Descriptors 0 to 2 are taken by /dev/null where the caller left them closed. Else the first
// pipe or socket opened would take one of them: log lines would go into it, and the daemon's
// start would close it with the standard streams.
static void hold_standard_descriptors() {
    int fd = 0;
    while (fd <= 2 && (fd = open("/dev/null", O_RDWR)) >= 0) {
    }
    if (fd > 2)
        close(fd);
}

int main(int argc, char** argv) {
    hold_standard_descriptors();
    const char* verbose = getenv("VH_VERBOSE");
    if (verbose != nullptr)
        debug_level = atoi(verbose);

    gchar* service = nullptr;
    gchar* log_dir = nullptr;
    gboolean sysv = FALSE;
    gint timeout = SESSION_TIMEOUT_DEFAULT;
    gchar* file = nullptr;
    gint max_sess = 0;
    gint max_client_sess = 0;
    gint drain = DRAIN_TIMEOUT_DEFAULT;
    gint header_secs = HEADER_TIMEOUT_DEFAULT;
    gint max_pending = MAX_CLIENT_PENDING_DEFAULT;
    gint max_client_conns = MAX_CLIENT_CONNECTIONS_DEFAULT;
    gint prefix_v6 = CLIENT_PREFIX_V6_DEFAULT;
    gchar* metrics = nullptr;
    gint64 put_size = MAX_PUT_SIZE_DEFAULT;
    gchar* max_memory = nullptr;
    gchar* log_space = nullptr;
    gchar* archive_dir = nullptr;
    gchar* token_keys = nullptr;
    gchar* token_audience = nullptr;
    gchar* tls_service = nullptr;
    gchar* tls_cert = nullptr;
    gchar* tls_key = nullptr;
    GOptionEntry entries[] = {
        {"service", 's', 0, G_OPTION_ARG_STRING, &service, "Service/port to listen to",
         "<service>"},
        {"log-directory", 'l', 0, G_OPTION_ARG_STRING, &log_dir,
         "Directory where to put session logs", "<dir path>"},
        {"sysv", 'S', 0, G_OPTION_ARG_NONE, &sysv, "Run as a SysV daemon", nullptr},
        {"debug-level", 'd', 0, G_OPTION_ARG_INT, &debug_level, "Debug level", nullptr},
        {"session-timeout", 't', 0, G_OPTION_ARG_INT, &timeout, "Session timeout (default 300s)",
         "<integer>"},
        {"file", 'f', 0, G_OPTION_ARG_STRING, &file, "File to send", "<path>"},
        {"max-sessions", 0, 0, G_OPTION_ARG_INT, &max_sess,
         "Sessions that may run at once (default 0: no limit)", "<integer>"},
        {"max-client-sessions", 0, 0, G_OPTION_ARG_INT, &max_client_sess,
         "Sessions that may run at once from one client (default 0: no limit)", "<integer>"},
        {"drain-timeout", 0, 0, G_OPTION_ARG_INT, &drain,
         "Seconds that running sessions may take to finish after SIGTERM (default 30)",
         "<integer>"},
        {"header-timeout", 0, 0, G_OPTION_ARG_INT, &header_secs,
         "Seconds a client has to send a whole request header (default 10)", "<integer>"},
        {"max-client-pending", 0, 0, G_OPTION_ARG_INT, &max_pending,
         "Connections one client may hold before their header is complete "
         "(default 256, 0: no limit)",
         "<integer>"},
        {"max-client-connections", 0, 0, G_OPTION_ARG_INT, &max_client_conns,
         "Connections one client may hold at once, in any state (default 4096, 0: no limit)",
         "<integer>"},
        {"client-prefix-v6", 0, 0, G_OPTION_ARG_INT, &prefix_v6,
         "Leading bits of an IPv6 address that name one client for every per-client limit "
         "(default 64, 1-128)",
         "<integer>"},
        {"metrics", 0, 0, G_OPTION_ARG_STRING, &metrics,
         "Serve metrics at http://HOST:PORT/metrics (default: none)", "<host:port>"},
        {"max-put-size", 0, 0, G_OPTION_ARG_INT64, &put_size,
         "Bytes up to which PUT uploads may extend a session log (default 64 MiB)", "<integer>"},
        {"max-memory", 0, 0, G_OPTION_ARG_STRING, &max_memory,
         "Bytes that requests may make the server allocate, K, M or G may follow (default: a "
         "quarter of the memory, or of the cgroup's limit)",
         "<bytes>"},
        {"max-log-space", 0, 0, G_OPTION_ARG_STRING, &log_space,
         "Bytes the log directory may hold, with K, M or G (default 1G, 0: no limit)", "<bytes>"},
        {"archive-dir", 0, 0, G_OPTION_ARG_STRING, &archive_dir,
         "Directory where a JSON record of every finished test is written (default: none)",
         "<dir path>"},
        {"token-keys", 0, 0, G_OPTION_ARG_STRING, &token_keys,
         "Tests need a token signed by one of these Ed25519 public keys (PEM; read again on "
         "SIGHUP; default: no token needed)",
         "<path>"},
        {"token-audience", 0, 0, G_OPTION_ARG_STRING, &token_audience,
         "The audience tokens must name (default: the host name)", "<name>"},
        {"tls-service", 0, 0, G_OPTION_ARG_STRING, &tls_service,
         "Service/port to listen to with TLS, the same tests inside it (default: none; given "
         "alone, no plain port is opened)",
         "<service>"},
        {"tls-cert", 0, 0, G_OPTION_ARG_STRING, &tls_cert,
         "Certificate of the TLS port, its chain may follow (PEM; read again on SIGHUP)", "<path>"},
        {"tls-key", 0, 0, G_OPTION_ARG_STRING, &tls_key,
         "Private key of the TLS port's certificate (PEM; read again on SIGHUP)", "<path>"},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };
    GOptionContext* context = g_option_context_new(nullptr);
    g_option_context_set_summary(context, "Varnholt HTTP Server -" VH_REVISION);
    g_option_context_add_main_entries(context, entries, nullptr);
    GError* error = nullptr;
    if (!g_option_context_parse(context, &argc, &argv, &error)) {
        VH_LOG(LOG_ERR, "Option parsing failed: %s", error->message);
        exit(1);
    }
    g_option_context_free(context);

    if (file == nullptr) {
        VH_LOG(LOG_ERR, "A file must be specified");
        exit(1);
    }
    struct stat st {};
    if (stat(file, &st) != 0) {
        VH_LOG(LOG_ERR, "Can't access file %s", file);
        exit(1);
    }
    file_path = file;
    file_size = st.st_size;

    if (sysv) {
        use_syslog = true;
        open_system_log(argv[0], false);
    }

    if (log_dir != nullptr) {
        struct stat dir_st {};
        if (stat(log_dir, &dir_st) != 0) {
            VH_LOG(LOG_ERR, "Could not open log directory %s: %s", log_dir, strerror(errno));
            exit(1);
        }
        if (!S_ISDIR(dir_st.st_mode)) {
            VH_LOG(LOG_ERR, "Could not open log directory %s: %s", log_dir, strerror(ENOTDIR));
            exit(1);
        }
        log_directory = log_dir;
    }
    // An empty value (an unset variable in a service unit) leaves the archive off.
    if (archive_dir != nullptr && archive_dir[0] != '\0') {
        struct stat dir_st {};
        const int err = stat(archive_dir, &dir_st) != 0 ? errno
                        : !S_ISDIR(dir_st.st_mode)      ? ENOTDIR
                                                        : 0;
        if (err != 0) {
            VH_LOG(LOG_ERR, "Could not open archive directory %s: %s", archive_dir, strerror(err));
            exit(1);
        }
        archive_directory = archive_dir;
    }

    if (timeout < SESSION_TIMEOUT_MIN || timeout > SESSION_TIMEOUT_MAX) {
        VH_LOG(LOG_ERR, "Session timeout %d is not within range %d-%d", timeout,
               SESSION_TIMEOUT_MIN, SESSION_TIMEOUT_MAX);
        exit(1);
    }
    session_timeout = timeout;

    for (auto [name, value, max] :
         {std::tuple{"Session limit", max_sess, SESSION_LIMIT_MAX},
          std::tuple{"Client session limit", max_client_sess, SESSION_LIMIT_MAX},
          std::tuple{"Drain timeout", drain, DRAIN_TIMEOUT_MAX},
          std::tuple{"Pending connection limit", max_pending, MAX_CLIENT_PENDING_MAX},
          std::tuple{"Client connection limit", max_client_conns, MAX_CLIENT_CONNECTIONS_MAX}}) {
        if (value < 0 || value > max) {
            VH_LOG(LOG_ERR, "%s %d is not within range %d-%d", name, value, 0, max);
            exit(1);
        }
    }
    if (put_size < 0) {
        VH_LOG(LOG_ERR, "PUT size limit %lld is negative", static_cast<long long>(put_size));
        exit(1);
    }
    max_put_size = static_cast<off_t>(put_size);
    // An empty value (an unset variable in a service unit) takes the default.
    uint64_t budget = 0;
    if (max_memory != nullptr && max_memory[0] != '\0') {
        if (parse_byte_size(max_memory, &budget) != 0) {
            VH_LOG(LOG_ERR, "Memory budget %s is not a number of bytes (K, M or G may follow)",
                   max_memory);
            exit(1);
        }
        if (budget < MEMORY_BUDGET_MIN || budget > MEMORY_BUDGET_MAX) {
            VH_LOG(LOG_ERR, "Memory budget %s is not within range %lu-%lu", max_memory,
                   static_cast<unsigned long>(MEMORY_BUDGET_MIN),
                   static_cast<unsigned long>(MEMORY_BUDGET_MAX));
            exit(1);
        }
    } else {
        budget = std::clamp(default_memory_budget(), MEMORY_BUDGET_MIN, MEMORY_BUDGET_MAX);
    }
    set_memory_budget(budget);
    VH_DEBUG(1, LOG_DEBUG, "Memory budget: %lu bytes", static_cast<unsigned long>(budget));
    uint64_t log_space_bytes = MAX_LOG_SPACE_DEFAULT;
    // An empty value (an unset variable in a service unit) keeps the default.
    if (log_space != nullptr && log_space[0] != '\0') {
        if (parse_byte_size(log_space, &log_space_bytes) != 0) {
            VH_LOG(LOG_ERR, "Log space limit %s is not a number of bytes (K, M or G may follow)",
                   log_space);
            exit(1);
        }
        if (log_space_bytes > MAX_LOG_SPACE_MAX) {
            VH_LOG(LOG_ERR, "Log space limit %s is not within range 0-%lu", log_space,
                   static_cast<unsigned long>(MAX_LOG_SPACE_MAX));
            exit(1);
        }
    }
    max_sessions = max_sess;
    max_client_sessions = max_client_sess;
    drain_timeout = drain;
    max_client_pending = max_pending;
    max_client_connections = max_client_conns;
    if (prefix_v6 < 1 || prefix_v6 > 128) {
        VH_LOG(LOG_ERR, "IPv6 client prefix %d is not within range %d-%d", prefix_v6, 1, 128);
        exit(1);
    }
    client_prefix_v6 = prefix_v6;
    if (header_secs < 1 || header_secs > HEADER_TIMEOUT_MAX) {
        VH_LOG(LOG_ERR, "Header timeout %d is not within range %d-%d", header_secs, 1,
               HEADER_TIMEOUT_MAX);
        exit(1);
    }
    header_timeout = header_secs;
    // An empty address (an unset variable in a service unit) leaves the endpoint off.
    if (metrics != nullptr && metrics[0] != '\0') {
        std::string host;
        std::string port;
        if (!split_host_port(metrics, &host, &port)) {
            VH_LOG(LOG_ERR, "Metrics address %s is not HOST:PORT", metrics);
            exit(1);
        }
    }

    // Empty values (unset variables in a service unit) count as not given. A TLS port alone
    // is a valid server: the plain port's default applies only when neither is given.
    const auto given = [](const gchar* value) { return value != nullptr && value[0] != '\0'; };
    const char* plain_port = given(service) ? service : given(tls_service) ? nullptr : "80";
    const char* tls_port = given(tls_service) ? tls_service : nullptr;
    if ((tls_port != nullptr || given(tls_cert) || given(tls_key)) &&
        (!given(tls_cert) || !given(tls_key))) {
        VH_LOG(LOG_ERR, "The TLS port needs both a certificate (--tls-cert) and a key (--tls-key)");
        exit(1);
    }
    if (given(tls_cert) && start_tls(tls_cert, tls_key) != 0)
        exit(1);

    // An empty path (an unset variable in a service unit) leaves the check off.
    if (token_keys != nullptr && token_keys[0] != '\0' &&
        start_token_check(token_keys, token_audience) != 0)
        exit(1);

    if (create_session_container() != 0) {
        VH_LOG(LOG_ERR, "Could not create session container");
        exit(1);
    }

    if (sysv) {
        // The daemon works from "/": relative paths would name other files there.
        // They were just checked, so they resolve (kept for the life of the process).
        if (file_path[0] != '/') {
            char* absolute = realpath(file_path, nullptr);
            if (absolute == nullptr) {
                VH_LOG(LOG_ERR, "Can't access file %s", file_path);
                exit(1);
            }
            file_path = absolute;
        }
        if (log_directory != nullptr && log_directory[0] != '/') {
            char* absolute = realpath(log_directory, nullptr);
            if (absolute == nullptr) {
                VH_LOG(LOG_ERR, "Could not open log directory %s: %s", log_directory,
                       strerror(errno));
                exit(1);
            }
            log_directory = absolute;
        }
        if (archive_directory != nullptr && archive_directory[0] != '/') {
            char* absolute = realpath(archive_directory, nullptr);
            if (absolute == nullptr) {
                VH_LOG(LOG_ERR, "Could not open archive directory %s: %s", archive_directory,
                       strerror(errno));
                exit(1);
            }
            archive_directory = absolute;
        }
        int rc = daemonize(argv[0]);
        if (rc != 0) {
            open_system_log(argv[0], true);
            VH_LOG(LOG_ERR, "daemonize: %s",
                   rc < 0 ? strerror(-rc) : "the daemon ended before reporting its start");
            exit(1);
        }
    }

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
    // Before any thread exists, so that every thread leaves them to the main thread.
    block_stop_signals();

    init_log_space(log_directory, log_space_bytes, archive_directory);
    set_archive_build_info(VH_VERSION, VH_REVISION);
    // Every test id of this process starts with the host and the time of its start, taken now
    // (the debug line may not be printed, and its arguments then not evaluated).
    const std::string& test_ids = test_id_prefix();
    VH_DEBUG(1, LOG_DEBUG, "Test ids start with %s", test_ids.c_str());
    if (init_file_ops() != 0) {
        VH_LOG(LOG_ERR, "Could not init file operations");
        exit(1);
    }

    listen_socket* sockets = nullptr;
    size_t count = 0;
    while (get_listening_sockets(plain_port, tls_port, &sockets, &count) != 0) {
        VH_LOG(LOG_ERR, "Could not create listening sockets, retrying in 1 second...");
        // The stop signals are blocked by now: wait for them rather than sleep, so that a
        // server waiting for its port can still be stopped.
        if (wait_stop_signal(1000)) {
            VH_LOG(LOG_INFO, "Stopped while waiting for the listening sockets");
            stop_file_ops();
            exit(0);
        }
    }

    for (size_t i = 0; i < count; i++) {
        if (sockets[i].tls && !tls_enabled()) {
            VH_LOG(LOG_ERR, "A TLS socket (named \"tls\") was passed, but no certificate and key "
                            "were given (--tls-cert, --tls-key)");
            exit(1);
        }
    }

    set_metrics_build_info(VH_VERSION, VH_REVISION);
    if (metrics != nullptr && metrics[0] != '\0' && start_metrics_endpoint(metrics) != 0)
        exit(1);

    if (run_server(sockets, count, std::chrono::seconds(session_timeout), !sockets_inherited) ==
        0) {
        // The workers are still running: end without the destructors and exit
        // handlers that would pull their state away under them.
        if (use_syslog)
            closelog();
        _exit(0);
    }

    VH_LOG(LOG_ERR, "Error running the server");
    free(sockets);
    stop_file_ops();
    exit(1);
}
