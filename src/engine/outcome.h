#pragma once

#include <QString>

#include <optional>
#include <utility>

// Failures at the engine's surface take one of two shapes:
// - an action (write a file, switch a relay) returns an error text, empty on
//   success;
// - a lookup or a parser returns an Outcome: its value, or why there is none.
template <typename T>
struct Outcome {
    std::optional<T> value;
    QString error;  // why there is no value; empty when there is one

    static Outcome success(T v) { return {std::move(v), {}}; }
    static Outcome failure(QString why) { return {std::nullopt, std::move(why)}; }
    bool ok() const { return value.has_value(); }
};
