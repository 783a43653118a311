#pragma once

#include <QString>

#include <optional>

// How long a pulse or a cycle lasts: the length a person gives, or a
// relay's pulse_ms, or the default.
namespace PulseLength {

inline constexpr int DefaultMs = 1000;
inline constexpr int MaxMs = 24 * 60 * 60 * 1000;

// A length as a person writes it: a whole number and ms, s, m or h
// ("500ms", "2s", "1m"), from 1 ms to 24 h; nothing otherwise.
std::optional<int> parse(const QString& text);

}  // namespace PulseLength
