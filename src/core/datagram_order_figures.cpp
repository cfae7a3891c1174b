#include "core/datagram_order_figures.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "core/figure_fields.h"

namespace {

template <typename T>
std::optional<T> if_known(const DatagramOrderFigures& figures, T value) {
    return figures.known ? std::optional<T>(value) : std::nullopt;
}

}  // namespace

void print_datagram_order_figures(bool& first, const DatagramOrderFigures& figures) {
    print_field(first, "lost_by_sequence", if_known(figures, figures.lost_by_sequence), 1.0, "%.0f",
                "");
    print_field(first, "out_of_order", if_known(figures, figures.out_of_order), 1.0, "%.0f", "");
    print_field(first, "duplicates", if_known(figures, figures.duplicates), 1.0, "%.0f", "");
    print_field(first, "jitter", if_known(figures, figures.jitter_ms), 1.0, "%.3f", " ms");
}

void add_datagram_order_json(nlohmann::ordered_json& phase, const DatagramOrderFigures& figures) {
    phase["lost_by_sequence"] = value_or_null(if_known(figures, figures.lost_by_sequence));
    phase["out_of_order"] = value_or_null(if_known(figures, figures.out_of_order));
    phase["duplicates"] = value_or_null(if_known(figures, figures.duplicates));
    phase["jitter_ms"] = value_or_null(if_known(figures, figures.jitter_ms));
}
