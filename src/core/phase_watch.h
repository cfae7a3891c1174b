// Watching a phase beyond its rate: interval reports, TCP's own figures and CPU use.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/cpu_figures.h"
#include "core/datagram_order_figures.h"
#include "core/interval_figures.h"
#include "core/phase_progress.h"
#include "core/socket_setup.h"
#include "core/tcp_figures.h"

// The start of a phase left out of its rate (--omit).
struct OmittedPart {
    int64_t bytes = 0;
    int64_t datagrams = 0;
    int64_t microseconds = 0;
};

// What a rate is computed over.
struct KeptPart {
    int64_t bytes = 0;
    int64_t ticks = 0;
};

struct PhaseFigures {
    bool watched = false;  // false: nothing below was read
    bool sending = false;  // this process sent the phase's data
    bool tcp = false;
    TcpFigures tcp_figures;
    std::optional<std::string> congestion;  // TCP's algorithm on the connection
    SocketBuffers buffers;                  // at the phase's end
    CpuFigures cpu;
    std::vector<IntervalFigures> intervals;  // with --interval
    DatagramOrderFigures order;              // UDP: what the receiver's datagrams tell
    std::optional<OmittedPart> omitted;      // with --omit, unless the phase ended first
};

// Watches one phase from its construction when run_config.watch_phases is set, and does
// nothing otherwise. Nothing is read per block: the phase loop publishes its counts in
// progress, and another thread reads them, and TCP_INFO, once per interval.
class PhaseWatch {
   public:
    // socket carries the phase's data: a TCP connection when tcp, else datagrams.
    PhaseWatch(int32_t size, bool sending, const PhaseProgress* progress, int socket, bool tcp);
    PhaseWatch(const PhaseWatch&) = delete;
    PhaseWatch& operator=(const PhaseWatch&) = delete;
    ~PhaseWatch();

    // The phase is timed to end now, with these totals: its last interval ends here.
    void end(int64_t bytes, int64_t datagrams);

    // After end: bytes moved in ticks less the part --omit leaves out, if any.
    KeptPart kept(int64_t bytes, int64_t ticks) const;
    const std::optional<OmittedPart>& omitted() const { return figures_.omitted; }

    // The figures, once what the phase sent is acknowledged (TCP), so that the retransmits
    // its last blocks needed are counted in it. Prints the last interval line.
    PhaseFigures finish();

   private:
    void watch_phase();
    void report_intervals(const std::function<bool(int64_t)>& stopped_by);
    // The interval from the last one kept until now, the phase having moved bytes and
    // datagrams since its start.
    IntervalFigures interval_until_now(int64_t bytes, int64_t datagrams) const;
    void keep_interval(const IntervalFigures& interval);
    void add_tcp_reading(IntervalFigures& interval, const TcpSnapshot& reading);
    void stop_reporting();

    PhaseFigures figures_;
    const PhaseProgress* progress_ = nullptr;
    int socket_ = -1;
    IntervalLabel label_;
    int64_t start_ = 0;  // monotonic microseconds
    CpuSample cpu_start_;
    TcpSnapshot tcp_start_;
    TcpSnapshot tcp_last_;  // at the end of the last interval
    int64_t reported_bytes_ = 0;
    int64_t reported_datagrams_ = 0;
    bool ended_ = false;

    std::mutex stop_lock_;
    std::condition_variable stop_signal_;
    bool stopping_ = false;
    std::thread reporter_;
};

// "Tx: retransmits 0, ...; cpu 12.0 %, ..." for a verbose line; nothing when not watched.
void print_phase_figures(const PhaseFigures& figures);

// With --verbose, a client's line of figures for one block size, after its result line.
void print_client_figures(const PhaseFigures& tx, const PhaseFigures& rx);

// Adds the figures that were read to a phase's JSON object.
void add_phase_figures_json(nlohmann::ordered_json& phase, const PhaseFigures& figures);
