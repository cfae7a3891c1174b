#include "core/phase_watch.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "core/congestion_control.h"
#include "core/figure_fields.h"
#include "core/phase_timer.h"
#include "core/quiet_thread.h"
#include "core/run_config.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_microseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

}  // namespace

PhaseWatch::PhaseWatch(int32_t size, bool sending, const PhaseProgress* progress, int socket,
                       bool tcp) {
    if (!run_config.watch_phases) {
        return;
    }
    figures_.watched = true;
    figures_.sending = sending;
    figures_.tcp = tcp;
    progress_ = progress;
    socket_ = socket;
    label_ = make_interval_label(size, sending);
    if (figures_.tcp) {
        tcp_start_ = read_tcp_snapshot(socket);
        tcp_last_ = tcp_start_;
    }
    cpu_start_ = read_cpu_sample();
    start_ = now_microseconds();
    if ((run_config.interval_microseconds <= 0 && run_config.omit_microseconds <= 0) ||
        progress == nullptr) {
        return;
    }
    start_quiet_thread(reporter_, [this] { watch_phase(); });
}

PhaseWatch::~PhaseWatch() {
    stop_reporting();
}

void PhaseWatch::watch_phase() {
    std::unique_lock hold(stop_lock_);
    const auto stopped_at = [&](int64_t offset) {
        const Clock::time_point due{std::chrono::microseconds(start_ + offset)};
        return stop_signal_.wait_until(hold, due, [this] { return stopping_; });
    };
    const int64_t omit = run_config.omit_microseconds;
    bool omit_pending = omit > 0;
    // Waits until offset into the phase, taking the omitted part's totals on the way.
    const auto stopped_by = [&](int64_t offset) {
        if (omit_pending && omit <= offset) {
            omit_pending = false;
            if (stopped_at(omit)) {
                return true;
            }
            figures_.omitted = OmittedPart{progress_->bytes.load(std::memory_order_relaxed),
                                           progress_->datagrams.load(std::memory_order_relaxed),
                                           now_microseconds() - start_};
        }
        return stopped_at(offset);
    };
    if (run_config.interval_microseconds > 0) {
        report_intervals(stopped_by);
    } else if (!stopped_by(omit)) {
        stop_signal_.wait(hold, [this] { return stopping_; });
    }
}

void PhaseWatch::report_intervals(const std::function<bool(int64_t)>& stopped_by) {
    const int64_t interval = run_config.interval_microseconds;
    for (int64_t boundary = interval;; boundary += interval) {
        if (stopped_by(boundary)) {
            return;
        }
        IntervalFigures closed =
            interval_until_now(progress_->bytes.load(std::memory_order_relaxed),
                               progress_->datagrams.load(std::memory_order_relaxed));
        const TcpSnapshot reading = figures_.tcp ? read_tcp_snapshot(socket_) : TcpSnapshot{};
        // Kept half an interval late: where the phase ends meanwhile (the peer's phases may
        // be longer or shorter than ours), its last interval takes this one in, rather than
        // a sliver of an interval closing the phase.
        if (stopped_by(boundary + interval / 2)) {
            return;
        }
        if (figures_.tcp) {
            add_tcp_reading(closed, reading);
        }
        keep_interval(closed);
        print_interval(label_, closed, figures_.tcp && figures_.sending);
    }
}

IntervalFigures PhaseWatch::interval_until_now(int64_t bytes, int64_t datagrams) const {
    IntervalFigures interval;
    interval.start_microseconds =
        figures_.intervals.empty() ? 0 : figures_.intervals.back().end_microseconds;
    interval.end_microseconds = now_microseconds() - start_;
    interval.bytes = bytes - reported_bytes_;
    if (!figures_.tcp) {
        interval.datagrams = datagrams - reported_datagrams_;
    }
    return interval;
}

void PhaseWatch::keep_interval(const IntervalFigures& interval) {
    reported_bytes_ += interval.bytes;
    reported_datagrams_ += interval.datagrams.value_or(0);
    figures_.intervals.push_back(interval);
}

void PhaseWatch::add_tcp_reading(IntervalFigures& interval, const TcpSnapshot& reading) {
    interval.retransmits = retransmits_between(tcp_last_, reading);
    interval.rtt_ms = reading.rtt_ms;
    interval.cwnd_bytes = reading.cwnd_bytes;
    tcp_last_ = reading;
}

void PhaseWatch::stop_reporting() {
    if (!reporter_.joinable()) {
        return;
    }
    {
        const std::lock_guard hold(stop_lock_);
        stopping_ = true;
    }
    stop_signal_.notify_one();
    reporter_.join();
}

void PhaseWatch::end(int64_t bytes, int64_t datagrams) {
    if (!figures_.watched || ended_) {
        return;
    }
    ended_ = true;
    stop_reporting();
    figures_.cpu = cpu_between(cpu_start_, read_cpu_sample());
    if (run_config.interval_microseconds > 0) {
        keep_interval(interval_until_now(bytes, datagrams));
    }
}

KeptPart PhaseWatch::kept(int64_t bytes, int64_t ticks) const {
    if (!figures_.omitted || ticks == FAILED_TICKS) {
        return {bytes, ticks};
    }
    const int64_t omitted_ticks = figures_.omitted->microseconds * TICKS_PER_SECOND / 1000000;
    return {bytes - figures_.omitted->bytes, ticks - omitted_ticks};
}

PhaseFigures PhaseWatch::finish() {
    if (!figures_.watched) {
        return figures_;
    }
    if (figures_.tcp) {
        if (figures_.sending) {
            wait_until_acknowledged(socket_);
        }
        const TcpSnapshot last = read_tcp_snapshot(socket_);
        figures_.tcp_figures = {figures_.sending, retransmits_between(tcp_start_, last), last};
        if (!figures_.intervals.empty()) {
            add_tcp_reading(figures_.intervals.back(), last);
        }
        figures_.congestion = read_congestion_control(socket_);
    }
    figures_.buffers = read_socket_buffers(socket_);
    if (!figures_.intervals.empty()) {
        print_interval(label_, figures_.intervals.back(), figures_.tcp && figures_.sending);
    }
    return figures_;
}

void print_phase_figures(const PhaseFigures& figures) {
    if (!figures.watched) {
        return;
    }
    fputs(figures.sending ? "Tx: " : "Rx: ", stdout);
    bool first = true;
    if (figures.tcp) {
        print_tcp_figures(figures.tcp_figures);
        first = false;
        print_field(first, "congestion", figures.congestion);
    } else if (!figures.sending) {
        print_datagram_order_figures(first, figures.order);
    }
    print_field(first, "sndbuf", figures.buffers.send_bytes, 1.0 / 1024.0, "%.1f", " KByte");
    print_field(first, "rcvbuf", figures.buffers.receive_bytes, 1.0 / 1024.0, "%.1f", " KByte");
    fputs("; ", stdout);
    print_cpu_figures(figures.cpu);
}

void print_client_figures(const PhaseFigures& tx, const PhaseFigures& rx) {
    if (!run_config.verbose) {
        return;
    }
    fputs("  ", stdout);
    print_phase_figures(tx);
    fputs("  ", stdout);
    print_phase_figures(rx);
    putchar('\n');
}

void add_phase_figures_json(nlohmann::ordered_json& phase, const PhaseFigures& figures) {
    if (!figures.watched) {
        return;
    }
    if (run_config.interval_microseconds > 0) {
        nlohmann::ordered_json intervals = nlohmann::ordered_json::array();
        for (const IntervalFigures& interval : figures.intervals) {
            intervals.push_back(interval_json(interval, figures.tcp && figures.sending));
        }
        phase["intervals"] = std::move(intervals);
    }
    if (figures.tcp) {
        phase["tcp_info"] = tcp_figures_json(figures.tcp_figures);
        phase["tcp_info"]["congestion"] = value_or_null(figures.congestion);
    } else {
        add_datagram_order_json(phase, figures.order);
    }
    phase["socket_buffers"] = {
        {"send_bytes", value_or_null(figures.buffers.send_bytes)},
        {"receive_bytes", value_or_null(figures.buffers.receive_bytes)},
    };
    phase["cpu"] = cpu_figures_json(figures.cpu);
    if (run_config.omit_microseconds > 0) {
        phase["omitted"] =
            figures.omitted
                ? nlohmann::ordered_json{{"bytes", figures.omitted->bytes},
                                         {"seconds", figures.omitted->microseconds / 1e6}}
                : nlohmann::ordered_json(nullptr);
    }
}
