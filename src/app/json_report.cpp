#include "app/json_report.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "app/command_line.h"
#include "core/phase_timer.h"
#include "core/phase_watch.h"
#include "core/rate_fields.h"
#include "core/report.h"
#include "core/run_config.h"
#include "core/run_record.h"
#include "core/served_phase_log.h"

namespace {

using Json = nlohmann::ordered_json;

int kept_stdout = -1;

constexpr const char* UNIT_MODE_NAMES[] = {"auto", "bytes", "kbytes", "mbytes", "gbytes"};

// A string, or null. Bytes that are not UTF-8 are replaced when the document is written.
Json text_or_null(const char* text) {
    return text == nullptr ? Json(nullptr) : Json(text);
}

Json phase_document(const PhaseRecord& phase) {
    if (!phase.measured) {
        return nullptr;
    }
    Json document = {
        {"failed", phase.ticks == FAILED_TICKS},
        {"bytes", phase.bytes},
        {"ticks", phase.ticks},
    };
    add_rate_fields(document, phase.bytes, phase.ticks);
    if (phase.has_loss) {
        document["loss_percent"] = phase.loss_percent;
    }
    add_phase_figures_json(document, phase.figures);
    return document;
}

bool run_completed() {
    const int64_t expected = run_config.sizes.count;
    return run_record.connected && run_record.count == expected &&
           run_record.sizes[expected - 1].rx.measured;
}

}  // namespace

void write_json_report(FILE* out, const char* server_given, const char* failure) {
    char resolved[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &run_config.server_address, resolved, sizeof resolved);
    const bool tcp = run_config.tcp_enabled != 0;
    const bool completed = failure == nullptr && run_completed();
    if (failure == nullptr && !completed) {
        failure = run_record.connected ? "the run ended early" : "no connection to the server";
    }
    Json results = Json::array();
    for (int64_t i = 0; i < run_record.count; ++i) {
        const SizeRecord& record = run_record.sizes[i];
        results.push_back({
            {"block_size", record.size},
            {"label", make_size_label(record.size)},
            {"tx", phase_document(record.tx)},
            {"rx", phase_document(record.rx)},
        });
    }
    const Json document = {
        {"program", "flenko"},
        {"version", std::string(version_text())},
        {"protocol", tcp ? "tcp" : "udp"},
        {"server",
         {{"given", text_or_null(server_given)},
          {"resolved", failure == nullptr ? Json(resolved) : Json(nullptr)}}},
        {"port", tcp ? run_config.tcp_port : run_config.udp_port},
        {"phase_seconds", run_config.phase_seconds},
        {"window", run_config.socket_buffer == 0 ? Json("auto") : Json(run_config.socket_buffer)},
        {"congestion",
         run_config.congestion[0] == '\0' ? Json(nullptr) : Json(run_config.congestion)},
        {"unit_mode", UNIT_MODE_NAMES[run_config.unit_mode]},
        {"completed", completed},
        {"ended_early", text_or_null(failure)},
        {"results", std::move(results)},
    };
    const std::string text =
        document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    fwrite(text.data(), 1, text.size(), out);
}

void begin_json_output() {
    fflush(stdout);
    kept_stdout = dup(STDOUT_FILENO);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

void begin_json_lines() {
    begin_json_output();
    served_phase_log = fdopen(kept_stdout, "w");
    if (served_phase_log == nullptr) {
        perror("fdopen()");
    }
}

void finish_json_output(const char* server_given, const char* failure) {
    fflush(stdout);
    FILE* out = fdopen(kept_stdout, "w");
    if (out == nullptr) {
        perror("fdopen()");
        return;
    }
    write_json_report(out, server_given, failure);
    fclose(out);
}
