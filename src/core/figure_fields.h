// The fields of the figures that --verbose, --interval and --json add: text and JSON.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// Prints ", name value unit" (no comma for the first field of a line), "?" for an unknown
// value; the value is scaled, then printed with format.
template <typename T>
void print_field(bool& first, const char* name, const std::optional<T>& value, double scale,
                 const char* format, const char* unit) {
    printf("%s%s ", first ? "" : ", ", name);
    first = false;
    if (value) {
        printf(format, static_cast<double>(*value) * scale);
    } else {
        putchar('?');
    }
    fputs(unit, stdout);
}

// A word for a field: ", name word" or "?".
inline void print_field(bool& first, const char* name, const std::optional<std::string>& word) {
    printf("%s%s %s", first ? "" : ", ", name, word ? word->c_str() : "?");
    first = false;
}

// The value, or null: unknown is never written as 0.
template <typename T>
nlohmann::ordered_json value_or_null(const std::optional<T>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}
