#include "netns.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pathemu {

namespace {

const std::string NETNS_DIR = "/run/netns";
const std::string RECORD_DIR = "/run/varnholt-pathemu";

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Makes /run/netns a shared mount point, as the ip tool does, so that namespaces mounted
// there are seen from every mount namespace that shares it.
void prepare_netns_dir() {
    mkdir("/run", 0755);
    mkdir(NETNS_DIR.c_str(), 0755);
    if (mount("", NETNS_DIR.c_str(), "none", MS_SHARED | MS_REC, nullptr) == 0)
        return;
    if (errno == EINVAL &&
        mount(NETNS_DIR.c_str(), NETNS_DIR.c_str(), "none", MS_BIND | MS_REC, nullptr) == 0)
        mount("", NETNS_DIR.c_str(), "none", MS_SHARED | MS_REC, nullptr);
}

bool process_is_emulator(pid_t pid) {
    char comm[64] = {};
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r");
    if (f == nullptr)
        return false;
    const bool read = std::fgets(comm, sizeof(comm), f) != nullptr;
    std::fclose(f);
    return read && std::strncmp(comm, "varnholt-pathem", 15) == 0;
}

bool valid_name(const std::string& name) {
    return !name.empty() && name.size() < 64 && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

// Runs `fn` with the calling thread in namespace `ns_fd`, then returns it to where it was.
template <typename F> bool in_netns(int ns_fd, F fn) {
    const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0 || setns(ns_fd, CLONE_NEWNET) != 0) {
        if (home >= 0)
            close(home);
        return false;
    }
    fn();
    const bool back = setns(home, CLONE_NEWNET) == 0;
    close(home);
    return back;
}

bool set_up(int sock, const char* dev) {
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", dev);
    if (ioctl(sock, SIOCGIFFLAGS, &ifr) != 0)
        return false;
    ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    return ioctl(sock, SIOCSIFFLAGS, &ifr) == 0;
}

} // namespace

ns_result open_netns(const std::string& name, int* fd) {
    if (!valid_name(name))
        return ns_result::failed;
    const std::string path = NETNS_DIR + "/" + name;
    *fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (*fd >= 0)
        return ns_result::existed;
    prepare_netns_dir();
    const int made = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0);
    if (made < 0)
        return ns_result::failed;
    close(made);
    // A new namespace for this thread alone, mounted at its name, then back home.
    const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    bool mounted = false;
    if (home >= 0 && unshare(CLONE_NEWNET) == 0) {
        mounted = mount("/proc/thread-self/ns/net", path.c_str(), "none", MS_BIND, nullptr) == 0;
        if (setns(home, CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "varnholt-pathemu: cannot return to the first namespace\n");
            _exit(1);
        }
    }
    if (home >= 0)
        close(home);
    if (!mounted || (*fd = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        delete_netns(name);
        return ns_result::failed;
    }
    return ns_result::created;
}

bool delete_netns(const std::string& name) {
    if (!valid_name(name))
        return false;
    const std::string path = NETNS_DIR + "/" + name;
    umount2(path.c_str(), MNT_DETACH);
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

void record_created(const std::string& name) {
    mkdir(RECORD_DIR.c_str(), 0700);
    const std::string path = RECORD_DIR + "/" + name;
    FILE* f = std::fopen(path.c_str(), "w");
    if (f != nullptr) {
        std::fprintf(f, "%d\n", int(getpid()));
        std::fclose(f);
    }
}

void forget_created(const std::string& name) {
    unlink((RECORD_DIR + "/" + name).c_str());
}

int remove_stale() {
    DIR* dir = opendir(RECORD_DIR.c_str());
    if (dir == nullptr)
        return 0;
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (!valid_name(name))
            continue;
        int pid = 0;
        FILE* f = std::fopen((RECORD_DIR + "/" + name).c_str(), "r");
        if (f != nullptr) {
            if (std::fscanf(f, "%d", &pid) != 1)
                pid = 0;
            std::fclose(f);
        }
        if (pid > 0 && pid != getpid() && process_is_emulator(pid))
            continue;
        if (delete_netns(name))
            removed++;
        forget_created(name);
    }
    closedir(dir);
    return removed;
}

int make_tun(int ns_fd, const std::string& dev, const std::string& cidr, std::string* error) {
    if (dev.empty() || dev.size() >= IFNAMSIZ) {
        *error = "device name too long";
        return -1;
    }
    const size_t slash = cidr.find('/');
    in_addr addr{};
    int prefix = 32;
    if (slash != std::string::npos)
        prefix = std::atoi(cidr.c_str() + slash + 1);
    if (inet_pton(AF_INET, cidr.substr(0, slash).c_str(), &addr) != 1 || prefix < 1 ||
        prefix > 32) {
        *error = "bad address " + cidr;
        return -1;
    }
    int fd = -1;
    const bool entered = in_netns(ns_fd, [&] {
        // The TUN file belongs to the namespace it is opened in.
        fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            *error = errno_text("/dev/net/tun");
            return;
        }
        ifreq ifr{};
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", dev.c_str());
        const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        auto set_addr = [&](unsigned long request, in_addr value) {
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_addr = value;
            std::memcpy(&ifr.ifr_addr, &sin, sizeof(sin));
            return ioctl(sock, request, &ifr) == 0;
        };
        in_addr mask{};
        mask.s_addr = htonl(prefix == 32 ? ~0U : ~(~0U >> prefix));
        const char* failed = nullptr;
        if (ioctl(fd, TUNSETIFF, &ifr) != 0)
            failed = "TUNSETIFF";
        else if (sock < 0)
            failed = "socket";
        else if (!set_up(sock, "lo"))
            failed = "loopback up";
        if (failed == nullptr) {
            ifr = ifreq{};
            std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", dev.c_str());
            ifr.ifr_mtu = 1500;
            if (ioctl(sock, SIOCSIFMTU, &ifr) != 0)
                failed = "MTU";
            else if (!set_addr(SIOCSIFADDR, addr) || !set_addr(SIOCSIFNETMASK, mask))
                failed = "address";
            else if (!set_up(sock, dev.c_str()))
                failed = "link up";
        }
        if (failed != nullptr) {
            *error = errno_text(failed);
            close(fd);
            fd = -1;
        }
        if (sock >= 0)
            close(sock);
    });
    if (!entered) {
        *error = errno_text("setns");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

} // namespace pathemu
