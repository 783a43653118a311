#include "engine/device/board_finder.h"

#include "engine/config/boards_conf.h"
#include "engine/device/board_link.h"

#include <QList>

namespace BoardFinder {
namespace {

QString boards(int n)
{
    return n == 1 ? QStringLiteral("1 board is") : QStringLiteral("%1 boards are").arg(n);
}

// The reason, then every attached board on a line of its own.
Result refuse(const QString& reason, const QList<DeviceInfo>& devices, const BoardsConf* conf)
{
    QString text = reason;
    for (int index = 0; index < devices.size(); ++index)
        text += QStringLiteral("\n  ") + line(index, devices[index], conf);
    return Result::failure(text);
}

}  // namespace

QString line(int index, const DeviceInfo& info, const BoardsConf* conf)
{
    const NamedBoard* named = conf ? conf->board(info) : nullptr;
    return QStringLiteral("%1\t%2\t%3\t%4")
               .arg(index + 1)
               .arg(printableText(info.serial), printableText(info.description), info.port) +
           (named ? QLatin1Char('\t') + named->name : QString());
}

Result find(BoardLink& link, const BoardSelector& selector, const BoardsConf* conf)
{
    // One look at the bus: the board chosen is opened through what it recorded.
    const QList<DeviceInfo> devices = link.list();
    const int count = int(devices.size());
    if (count == 0)
        return Result::failure(QStringLiteral("no board is attached"));
    if (!selector.name.isEmpty()) {
        const NamedBoard* named = conf ? conf->named(selector.name) : nullptr;
        if (!named)
            return Result::failure(conf && !conf->file.isEmpty()
                            ? QStringLiteral("%1 names no board %2").arg(conf->file, printableText(selector.name))
                            : QStringLiteral("no board is named %1: there is no %2")
                                  .arg(printableText(selector.name), conf ? conf->DefaultFile : QStringLiteral("boards.conf")));
        QList<int> matches;
        for (int index = 0; index < count; ++index)
            if (named->matches(devices[index]))  // opened only if no other section matches it
                matches.append(index);
        if (matches.size() == 1)
            return Result::success(matches.first());
        return refuse(matches.isEmpty() ? QStringLiteral("board %1 is not attached; %2 attached:").arg(named->name, boards(count))
                                        : QStringLiteral("%1 attached boards are %2; tell them apart by port in %3:")
                                              .arg(matches.size()).arg(named->name, conf->file),
                      devices, conf);
    }
    if (selector.serial.isEmpty() && selector.port.isEmpty()) {
        if (selector.number > 0) {
            if (selector.number <= count)
                return Result::success(selector.number - 1);
            return refuse(QStringLiteral("there is no board %1; %2 attached:").arg(selector.number).arg(boards(count)),
                          devices, conf);
        }
        if (count == 1)
            return Result::success(0);
        return refuse(QStringLiteral("%1 attached; choose one:").arg(boards(count)), devices, conf);
    }

    const bool bySerial = !selector.serial.isEmpty();
    QList<int> matches;
    // A serial number matches as it is and as it is printed, escapes and all.
    for (int index = 0; index < devices.size(); ++index)
        if (bySerial ? devices[index].serial == selector.serial || printableText(devices[index].serial) == selector.serial
                     : devices[index].port == selector.port)
            matches.append(index);
    if (matches.size() == 1)
        return Result::success(matches.first());
    const QString what = bySerial ? QStringLiteral("serial number %1").arg(printableText(selector.serial))
                                  : QStringLiteral("port %1").arg(printableText(selector.port));
    if (matches.isEmpty())
        return refuse(QStringLiteral("no board has %1; %2 attached:").arg(what, boards(devices.size())),
                      devices, conf);
    return refuse(QStringLiteral("%1 boards have %2; choose one by its port:").arg(matches.size()).arg(what),
                  devices, conf);
}

}  // namespace BoardFinder
