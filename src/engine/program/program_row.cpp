#include "engine/program/program_row.h"

#include "engine/program/range_error.h"

#include <algorithm>

namespace ProgramRow {

char lineChar(const QByteArray& text, int row, int position)
{
    const qsizetype lineLength = text.size() + 2;  // the row and its CR LF
    if (position < 1 || position > lineLength)
        throw RangeError(QStringLiteral("Range error in program row %1 (\"%2\"): it has no "
                                        "character %3; the row holds %4 character(s).")
                             .arg(row + 1)
                             .arg(QString::fromLatin1(text))
                             .arg(position)
                             .arg(text.size()));
    if (position <= text.size())
        return text[position - 1];
    return position == text.size() + 1 ? '\r' : '\n';
}

std::uint8_t pattern(const QByteArray& text, int row)
{
    std::uint8_t byte = 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (lineChar(text, row, relay) != '0')
            byte |= static_cast<std::uint8_t>(1u << (relay - 1));
    return byte;
}

void requirePattern(const QByteArray& text, int row)
{
    const QByteArray relays = text.left(8);
    const bool pattern = relays.size() == 8 && std::all_of(relays.begin(), relays.end(),
                                                           [](char c) { return c == '0' || c == '1'; });
    if (!pattern)
        throw RangeError(QStringLiteral("Row %1 is not a relay pattern: %2 must be eight characters 0 or 1")
                             .arg(row + 1)
                             .arg(QString::fromLatin1(relays)));
}

std::optional<int> duration(const QByteArray& text)
{
    if (text.size() < 10 || text.size() > 13)
        return std::nullopt;
    bool ok = false;
    const int value = QString::fromLatin1(text.mid(9)).toInt(&ok, 10);
    return ok ? std::clamp(value, 0, MaxDuration) : 0;
}

QByteArray withDuration(const QByteArray& text, int duration)
{
    if (text.size() < 10 || text[8] != '-')
        return text;
    return text.left(9) + QByteArray::number(duration);
}

QString firstError(const std::vector<QByteArray>& rows)
{
    for (std::size_t i = 0; i < rows.size(); ++i) {
        try {
            pattern(rows[i], static_cast<int>(i));
        } catch (const RangeError& error) {
            return error.message();
        }
    }
    return {};
}

}  // namespace ProgramRow
