#include "engine/device/pulse_length.h"

#include <QRegularExpression>

namespace PulseLength {

std::optional<int> parse(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,9})(ms|s|m|h)$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    const QString unit = match.captured(2);
    const qint64 scale = unit == QLatin1String("ms") ? 1 : unit == QLatin1String("s") ? 1000
                         : unit == QLatin1String("m") ? 60'000 : 3'600'000;
    const qint64 ms = match.captured(1).toLongLong() * scale;
    if (ms < 1 || ms > MaxMs)
        return std::nullopt;
    return static_cast<int>(ms);
}

}  // namespace PulseLength
