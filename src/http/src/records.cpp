// Client addresses: the key a client is counted under, hash keys and text.
#include "records.h"

#include "settings.h"

#include <arpa/inet.h>
#include <cstring>
#include <sys/socket.h>

static const uint8_t V4_MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

static bool is_v4_mapped(const client_address& client) {
    return memcmp(client.bytes, V4_MAPPED, sizeof(V4_MAPPED)) == 0;
}

client_address client_key(const client_address& client) {
    client_address key = client;
    if (is_v4_mapped(client) || client_prefix_v6 >= 128)
        return key;
    const int prefix = client_prefix_v6 < 0 ? 0 : client_prefix_v6;
    const size_t whole = static_cast<size_t>(prefix / 8);
    if (prefix % 8 != 0)
        key.bytes[whole] &= static_cast<uint8_t>(0xff00u >> (prefix % 8));
    const size_t cleared_from = whole + (prefix % 8 != 0 ? 1 : 0);
    memset(key.bytes + cleared_from, 0, sizeof(key.bytes) - cleared_from);
    return key;
}

guint client_address_hash(gconstpointer key) {
    // FNV-1a over the 16 bytes of the client key.
    const client_address client = client_key(*static_cast<const client_address*>(key));
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < sizeof(client_address::bytes); i++)
        hash = (hash ^ client.bytes[i]) * 16777619u;
    return hash;
}

gboolean client_address_equal(gconstpointer a, gconstpointer b) {
    const client_address key_a = client_key(*static_cast<const client_address*>(a));
    const client_address key_b = client_key(*static_cast<const client_address*>(b));
    return memcmp(&key_a, &key_b, sizeof(client_address)) == 0;
}

void format_client_address(const client_address& client, char* out, size_t size) {
    if (is_v4_mapped(client))
        inet_ntop(AF_INET, client.bytes + 12, out, static_cast<socklen_t>(size));
    else
        inet_ntop(AF_INET6, client.bytes, out, static_cast<socklen_t>(size));
}
