#include "core/served_phase_log.h"

#include <arpa/inet.h>

#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "core/rate_fields.h"
#include "core/run_config.h"

FILE* served_phase_log = nullptr;

namespace {

using Json = nlohmann::ordered_json;

// Both server roles log: each line goes out whole.
std::mutex log_use;

// UTC with milliseconds, as log collectors read it.
std::string time_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[40];
    const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    snprintf(text + length, sizeof text - length, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}

Json phase_line(const ServedPhase& phase) {
    char peer[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &phase.peer.sin6_addr, peer, sizeof peer);
    Json line = {
        {"time", time_now()},
        {"peer", peer},
        {"protocol", phase.tcp ? "tcp" : "udp"},
        {"block_size", phase.size},
        {"direction", phase.figures.sending ? "tx" : "rx"},
        {"bytes", phase.bytes},
    };
    if (phase.datagrams) {
        line["datagrams"] = *phase.datagrams;
        line["offload"] = run_config.offload ? "auto" : "off";
        line["segmentation"] = phase.segmentation ? Json(*phase.segmentation) : Json(nullptr);
    }
    add_rate_fields(line, phase.bytes, phase.ticks);
    add_phase_figures_json(line, phase.figures);
    return line;
}

}  // namespace

void report_served_phase(const ServedPhase& phase) {
    if (run_config.verbose) {
        fputs("\n  ", stdout);
        print_phase_figures(phase.figures);
    }
    if (served_phase_log == nullptr) {
        return;
    }
    const std::string text =
        phase_line(phase).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const std::lock_guard hold(log_use);
    fwrite(text.data(), 1, text.size(), served_phase_log);
    fflush(served_phase_log);
}
