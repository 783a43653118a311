#include "engine/device/interlock.h"

#include <bit>

namespace Interlock {

QList<std::uint8_t> groupMasks(const BoardRules& rules)
{
    QList<std::uint8_t> masks;
    for (const QList<int>& group : rules.interlocks) {
        std::uint8_t mask = 0;
        for (const int relay : group)
            if (relay >= 1 && relay <= 8)
                mask |= static_cast<std::uint8_t>(1u << (relay - 1));
        masks.append(mask);
    }
    return masks;
}

QString conflict(const BoardRules& rules, std::uint8_t pattern)
{
    QStringList broken;
    for (const std::uint8_t mask : groupMasks(rules)) {
        const auto on = static_cast<std::uint8_t>(pattern & mask);
        if (std::popcount(on) < 2)
            continue;
        QStringList relays;
        for (int relay = 1; relay <= 8; ++relay)
            if (on & (1u << (relay - 1)))
                relays << QString::number(relay);
        broken << QStringLiteral("relays %1 are interlocked").arg(relays.join(QStringLiteral(", ")));
    }
    if (broken.isEmpty())
        return {};
    return broken.join(QStringLiteral("; ")) +
           (broken.size() == 1 ? QStringLiteral(": at most one of them may be on")
                               : QStringLiteral(": at most one relay of each group may be on"));
}

std::uint8_t switchOn(const BoardRules& rules, std::uint8_t pattern, std::uint8_t on)
{
    for (const std::uint8_t mask : groupMasks(rules))
        if (on & mask)
            pattern &= static_cast<std::uint8_t>(~mask);
    return static_cast<std::uint8_t>(pattern | on);
}

}  // namespace Interlock
