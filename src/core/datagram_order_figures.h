// What a UDP receiver learns from the sequence numbers and send times of a phase's
// datagrams: text and JSON.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>

struct DatagramOrderFigures {
    bool known = false;            // some datagram carried a usable header
    int64_t lost_by_sequence = 0;  // numbers below the highest seen that never came
    int64_t out_of_order = 0;      // came after a higher number
    int64_t duplicates = 0;
    double jitter_ms = 0;  // RFC 3550, 6.4.1
};

// "lost_by_sequence 0, out_of_order 0, duplicates 0, jitter 0.012 ms", "?" where unknown.
void print_datagram_order_figures(bool& first, const DatagramOrderFigures& figures);

// Adds the four fields to a phase's JSON object, null where unknown.
void add_datagram_order_json(nlohmann::ordered_json& phase, const DatagramOrderFigures& figures);
