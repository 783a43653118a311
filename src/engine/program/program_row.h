#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// A program row: eight characters "0"/"1" for relays 1-8, "-", and the
// step's duration in ticks, 0-9999. Rows are read character by character
// from the row's line (its text followed by CR LF), 1-based, with a range
// check: reading past the end of the line raises a RangeError.
namespace ProgramRow {

inline constexpr int MaxDuration = 9999;

// The character at 1-based position of row's line; row (0-based) only names
// the row in the error message.
char lineChar(const QByteArray& text, int row, int position);

// The relay byte that loading the row writes: relay n is on unless its
// character is '0'. Raises RangeError for a row shorter than six characters.
std::uint8_t pattern(const QByteArray& text, int row);

// Raises RangeError unless the row's first eight characters are each "0" or
// "1": the window plays and rewrites only rows that name every relay, so a
// line end or a "-" is never taken for a relay switched on.
void requirePattern(const QByteArray& text, int row);

// The duration a loaded row gives the step: the number after the eighth
// character for rows of 10 to 13 characters (what is not a number reads as
// 0, clamped to 0-9999); rows of another length give none.
std::optional<int> duration(const QByteArray& text);

// The row with its duration replaced, for rows that have one ("-" at the
// ninth character); other rows are returned unchanged.
QByteArray withDuration(const QByteArray& text, int duration);

// The range error that playing rows would raise first, or an empty text
// when every row can be played.
QString firstError(const std::vector<QByteArray>& rows);

}  // namespace ProgramRow
