#include "engine/device/holder_list.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace HolderList {

QString defaultPath()
{
    const QString folder = qEnvironmentVariable("KESTRUNE_RUNTIME_DIR", QStringLiteral("/run/kestruned"));
    return folder + QStringLiteral("/boards");
}

QString write(const QString& path, const QList<DeviceInfo>& boards)
{
    QJsonArray list;
    for (const DeviceInfo& board : boards)
        list.append(QJsonObject{{QStringLiteral("port"), board.port}, {QStringLiteral("serial"), board.serial}});
    const QByteArray text = QJsonDocument(QJsonObject{{QStringLiteral("pid"), qint64(QCoreApplication::applicationPid())},
                                                      {QStringLiteral("boards"), list}})
                                .toJson(QJsonDocument::Compact) +
                            '\n';
    // A folder of its own when the service manager made none: searchable by all.
    const QString folder = QFileInfo(path).path();
    const auto searchable = QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup |
                            QFile::ReadOther | QFile::ExeOther;
    if (!QFileInfo::exists(folder) && QDir().mkdir(folder))
        QFile::setPermissions(folder, searchable);  // not the umask's
    // Written whole and renamed into place; the mode set on the open file
    // (fchmod), as the service's umask keeps new files to itself.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther) ||
        file.write(text) != text.size() || !file.commit())
        return QStringLiteral("cannot write the list of the boards held, %1: %2").arg(path, file.errorString());
    return {};
}

QString holderOf(const QString& port, const QString& path)
{
    QFile file(path);
    if (port.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject list = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    const qint64 pid = list.value(QStringLiteral("pid")).toInteger();
    const QJsonArray boards = list.value(QStringLiteral("boards")).toArray();
    const bool listed = std::any_of(boards.begin(), boards.end(), [&](const QJsonValue& board) {
        return board.toObject().value(QStringLiteral("port")).toString() == port;
    });
    // A list left by a service that died names nobody (EPERM: alive, another user's).
    if (!listed || pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno != EPERM))
        return {};
    return QStringLiteral("kestruned (pid %1)").arg(pid);
}

}  // namespace HolderList
