// Network namespaces by name (bind mounts under /run/netns, as the ip tool keeps them), TUN
// devices inside them, and the record of the namespaces this tool made, so that a run killed
// before it could clean up has its namespaces removed by the next start.
#pragma once

#include <string>

namespace pathemu {

enum class ns_result { created, existed, failed };

// Opens namespace `name`, making it when it does not exist; `*fd` refers to it.
ns_result open_netns(const std::string& name, int* fd);
// Removes namespace `name` (its mount and its file); false when something remained.
bool delete_netns(const std::string& name);

// Notes that this process made namespace `name`, or forgets that it did.
void record_created(const std::string& name);
void forget_created(const std::string& name);
// Removes the namespaces recorded by runs that are no longer alive; returns how many.
int remove_stale();

// A TUN device `dev` (no packet information, non-blocking) in the namespace `ns_fd`, with the
// IPv4 address `cidr` ("10.77.0.1/24"), MTU 1500, up, and the namespace's loopback up.
// Returns its descriptor or -1, with `*error` telling what failed.
int make_tun(int ns_fd, const std::string& dev, const std::string& cidr, std::string* error);

} // namespace pathemu
