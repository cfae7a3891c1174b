#include "core/repeat_summary.h"

#include <cstdio>
#include <vector>

#include "core/phase_timer.h"
#include "core/report.h"
#include "core/run_config.h"

namespace {

// " 12.30", or " ?" for a figure a single sample cannot give.
void print_figure(const std::optional<double>& bytes_per_second, const RateInUnit& unit) {
    if (bytes_per_second) {
        printf(unit.number, *bytes_per_second * unit.scale);
    } else {
        fputs(" ?", stdout);
    }
}

void print_direction(int64_t size_index, bool tx) {
    const DirectionSummary summary = summarize_direction(size_index, tx);
    printf("Packet size %s bytes %s:", make_size_label(run_config.sizes.sizes[size_index]),
           tx ? "Tx" : "Rx");
    const SampleStatistics& rate = summary.rate;
    if (rate.count > 0) {
        const RateInUnit unit = rate_of(rate.mean, run_config.unit_mode);
        printf(unit.format, unit.value);
        fputs(", 95 % CI", stdout);
        print_figure(rate.ci_low, unit);
        fputs(" -", stdout);
        print_figure(rate.ci_high, unit);
        fputs(", sd", stdout);
        print_figure(rate.stdev, unit);
        fputs(", min", stdout);
        print_figure(rate.min, unit);
        fputs(", max", stdout);
        print_figure(rate.max, unit);
    } else {
        fputs(" no samples", stdout);
    }
    if (summary.mean_loss) {
        printf(", loss %.1f %%", *summary.mean_loss);
    }
    if (summary.failed > 0) {
        printf(", failed %ld", static_cast<long>(summary.failed));
    }
    putchar('\n');
}

}  // namespace

DirectionSummary summarize_direction(int64_t size_index, bool tx) {
    DirectionSummary summary;
    std::vector<double> rates;
    double loss = 0.0;
    int64_t losses = 0;
    const auto count = static_cast<size_t>(run_config.sizes.count);
    for (size_t i = static_cast<size_t>(size_index); i < run_record.sizes.size(); i += count) {
        const PhaseRecord& phase = tx ? run_record.sizes[i].tx : run_record.sizes[i].rx;
        if (!phase.measured) {
            continue;
        }
        if (phase.ticks == FAILED_TICKS || phase.ticks <= 0) {
            ++summary.failed;
            continue;
        }
        rates.push_back(static_cast<double>(phase.bytes) * TICKS_PER_SECOND /
                        static_cast<double>(phase.ticks));
        if (phase.has_loss) {
            loss += static_cast<double>(phase.loss_percent);
            ++losses;
        }
    }
    summary.rate = summarize_samples(rates);
    if (losses > 0) {
        summary.mean_loss = loss / static_cast<double>(losses);
    }
    return summary;
}

void print_repeat_summary() {
    if (run_config.repeat <= 1 || run_record.sizes.empty()) {
        return;
    }
    const int64_t passes =
        (static_cast<int64_t>(run_record.sizes.size()) + run_config.sizes.count - 1) /
        run_config.sizes.count;
    printf(
        "\nSummary of %ld passes: mean rate, 95 %% confidence interval of the mean, standard "
        "deviation, minimum, maximum.\n",
        static_cast<long>(passes));
    for (int64_t i = 0;
         i < run_config.sizes.count && i < static_cast<int64_t>(run_record.sizes.size()); ++i) {
        print_direction(i, true);
        print_direction(i, false);
    }
}
