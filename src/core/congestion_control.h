// TCP's congestion control algorithm, when the user names one (--congestion).
#pragma once

#include <optional>
#include <string>

// Empty when this system's TCP can use the algorithm run_config.congestion names (or none
// is named); else a message that says why not and which algorithms it offers.
std::string congestion_control_problem();

// Sets the named algorithm on a TCP socket; nothing when none is named.
void set_congestion_control(int socket);

// The algorithm a TCP socket uses; empty where the system does not say.
std::optional<std::string> read_congestion_control(int socket);
