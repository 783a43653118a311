#include "engine/device/board_finder.h"

#include "engine/device/board_link.h"

#include <QList>

namespace BoardFinder {
namespace {

QString boards(int n)
{
    return n == 1 ? QStringLiteral("1 board is") : QStringLiteral("%1 boards are").arg(n);
}

// The reason, then every attached board on a line of its own.
Result refuse(const QString& reason, const QList<DeviceInfo>& devices)
{
    QString text = reason;
    for (int index = 0; index < devices.size(); ++index)
        text += QStringLiteral("\n  ") + line(index, devices[index]);
    return {-1, text};
}

}  // namespace

QString line(int index, const DeviceInfo& info)
{
    return QStringLiteral("%1\t%2\t%3\t%4")
        .arg(index + 1)
        .arg(printableText(info.serial), printableText(info.description), info.port);
}

Result find(BoardLink& link, const BoardSelector& selector)
{
    // One look at the bus: the board chosen is opened through what it recorded.
    const QList<DeviceInfo> devices = link.list();
    const int count = int(devices.size());
    if (count == 0)
        return {-1, QStringLiteral("no board is attached")};
    if (selector.serial.isEmpty() && selector.port.isEmpty()) {
        if (selector.number > 0) {
            if (selector.number <= count)
                return {selector.number - 1, {}};
            return refuse(QStringLiteral("there is no board %1; %2 attached:").arg(selector.number).arg(boards(count)),
                          devices);
        }
        if (count == 1)
            return {0, {}};
        return refuse(QStringLiteral("%1 attached; choose one:").arg(boards(count)), devices);
    }

    const bool bySerial = !selector.serial.isEmpty();
    QList<int> matches;
    // A serial number matches as it is and as it is printed, escapes and all.
    for (int index = 0; index < devices.size(); ++index)
        if (bySerial ? devices[index].serial == selector.serial || printableText(devices[index].serial) == selector.serial
                     : devices[index].port == selector.port)
            matches.append(index);
    if (matches.size() == 1)
        return {matches.first(), {}};
    const QString what = bySerial ? QStringLiteral("serial number %1").arg(printableText(selector.serial))
                                  : QStringLiteral("port %1").arg(printableText(selector.port));
    if (matches.isEmpty())
        return refuse(QStringLiteral("no board has %1; %2 attached:").arg(what, boards(devices.size())),
                      devices);
    return refuse(QStringLiteral("%1 boards have %2; choose one by its port:").arg(matches.size()).arg(what),
                  devices);
}

}  // namespace BoardFinder
