// Client addresses as hash keys and as text.
#include "records.h"

#include <arpa/inet.h>
#include <cstring>
#include <sys/socket.h>

guint client_address_hash(gconstpointer key) {
    // FNV-1a over the 16 bytes.
    const auto* bytes = static_cast<const client_address*>(key)->bytes;
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < sizeof(client_address::bytes); i++)
        hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

gboolean client_address_equal(gconstpointer a, gconstpointer b) {
    return memcmp(a, b, sizeof(client_address)) == 0;
}

void format_client_address(const client_address& client, char* out, size_t size) {
    static const uint8_t V4_MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(client.bytes, V4_MAPPED, sizeof(V4_MAPPED)) == 0)
        inet_ntop(AF_INET, client.bytes + 12, out, static_cast<socklen_t>(size));
    else
        inet_ntop(AF_INET6, client.bytes, out, static_cast<socklen_t>(size));
}
