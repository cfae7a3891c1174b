// The wait for the next client, shared by both server roles.
#pragma once

#include <netinet/in.h>

#include "core/socket_setup.h"

constexpr int ACCEPT_WAIT_SECONDS = 3600;

// Prints listening_line and waits for a client, printing it again after every hour
// without one; then prints established_text. A client that --allow leaves out is closed
// at once, before a byte moves, with a line naming it (protocol says which server refused).
// Gives the accepted connection, set up as a control connection, and its peer's address,
// or a closed Socket after a report when waiting failed for good.
Socket accept_client(int listener, const char* protocol, const char* listening_line,
                     const char* established_text, sockaddr_in6& peer);
