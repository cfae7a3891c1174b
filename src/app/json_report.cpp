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
#include "core/repeat_summary.h"
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
        document["datagrams"] = phase.datagrams ? Json(*phase.datagrams) : Json(nullptr);
        document["segmentation"] = phase.segmentation ? Json(*phase.segmentation) : Json(nullptr);
    }
    add_phase_figures_json(document, phase.figures);
    return document;
}

// The figures of a summary, scaled into a unit: bytes per second when scale is 1.
Json statistics_figures(const SampleStatistics& rate, double scale) {
    const auto scaled = [scale](const std::optional<double>& value) {
        return value ? Json(*value * scale) : Json(nullptr);
    };
    return {
        {"mean", rate.mean * scale},
        {"stdev", scaled(rate.stdev)},
        {"min", rate.min * scale},
        {"max", rate.max * scale},
        {"ci95", rate.ci_low && rate.ci_high
                     ? Json::array({*rate.ci_low * scale, *rate.ci_high * scale})
                     : Json(nullptr)},
    };
}

Json statistics_document(const DirectionSummary& summary) {
    Json document = {{"samples", summary.rate.count}, {"failed", summary.failed}};
    if (summary.rate.count == 0) {
        document["bytes_per_second"] = nullptr;
        document["rate"] = nullptr;
    } else {
        const RateInUnit unit = rate_of(summary.rate.mean, run_config.unit_mode);
        document["bytes_per_second"] = statistics_figures(summary.rate, 1.0);
        Json rate = {{"unit", unit.unit}};
        rate.update(statistics_figures(summary.rate, unit.scale));
        document["rate"] = std::move(rate);
    }
    if (summary.mean_loss) {
        document["loss_percent_mean"] = *summary.mean_loss;
    }
    return document;
}

// Every pass's phase of one block size and direction, and what they say together.
Json repeated_document(int64_t size_index, bool tx) {
    Json samples = Json::array();
    const auto count = static_cast<size_t>(run_config.sizes.count);
    for (size_t i = static_cast<size_t>(size_index); i < run_record.sizes.size(); i += count) {
        samples.push_back(phase_document(tx ? run_record.sizes[i].tx : run_record.sizes[i].rx));
    }
    return {{"samples", std::move(samples)},
            {"statistics", statistics_document(summarize_direction(size_index, tx))}};
}

Json results_document() {
    Json results = Json::array();
    if (run_config.repeat <= 1) {
        for (const SizeRecord& record : run_record.sizes) {
            results.push_back({
                {"block_size", record.size},
                {"label", make_size_label(record.size)},
                {"tx", phase_document(record.tx)},
                {"rx", phase_document(record.rx)},
            });
        }
        return results;
    }
    const auto measured = static_cast<int64_t>(run_record.sizes.size());
    for (int64_t i = 0; i < run_config.sizes.count && i < measured; ++i) {
        const int32_t size = run_config.sizes.sizes[i];
        results.push_back({
            {"block_size", size},
            {"label", make_size_label(size)},
            {"tx", repeated_document(i, true)},
            {"rx", repeated_document(i, false)},
        });
    }
    return results;
}

bool run_completed() {
    const auto expected = static_cast<size_t>(run_config.sizes.count * run_config.repeat);
    return run_record.connected && run_record.sizes.size() == expected &&
           run_record.sizes.back().rx.measured;
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
        {"offload", run_config.offload ? "auto" : "off"},
        {"unit_mode", UNIT_MODE_NAMES[run_config.unit_mode]},
        {"repeat", run_config.repeat},
        {"omit_seconds", static_cast<double>(run_config.omit_microseconds) / 1e6},
        {"completed", completed},
        {"ended_early", text_or_null(failure)},
        {"results", results_document()},
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
