// Host text to the 16-byte IPv6 address every socket uses.
#pragma once

#include <netinet/in.h>

// IPv6 text, IPv4 text (as an IPv4-mapped address) or a host name; names with only IPv4
// addresses also become IPv4-mapped. Returns 0, or 1 after reporting a failed lookup.
int resolve_address(const char* text, in6_addr& target);
