// Which clients a server serves (--allow).
#pragma once

#include <netinet/in.h>

#include <optional>
#include <vector>

// An IPv6 prefix. IPv4 prefixes are held in their IPv4-mapped form, as a server bound to
// the IPv6 unspecified address sees IPv4 clients.
struct AddressPrefix {
    in6_addr address{};  // bits past the length are zero
    int length = 128;
};

// "2001:db8::/32,192.0.2.0/24,::1": prefixes or single addresses, comma-separated; empty
// when any item is malformed or the list is empty.
std::optional<std::vector<AddressPrefix>> parse_prefix_list(const char* text);

bool prefix_matches(const AddressPrefix& prefix, const in6_addr& address);

// True when run_config allows every client, or address falls in one of its prefixes.
bool client_allowed(const in6_addr& address);
