#include "engine/config/ini_file.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace IniFile {

Result parse(const QByteArray& content)
{
    Result result;
    result.sections.append(Section{});
    const QList<QByteArray> lines = content.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const int number = int(n + 1);
        const QString line = QString::fromUtf8(lines[n]).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            result.sections.append(Section{number, line.mid(1, line.size() - 2).trimmed(), {}});
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            result.errorLine = number;
            return result;
        }
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        result.sections.last().entries.append(Entry{number, line.left(equals).trimmed(), value});
    }
    return result;
}

std::optional<bool> truth(const QString& text)
{
    const QString t = text.toLower();
    if (t == QLatin1String("true") || t == QLatin1String("yes") || t == QLatin1String("on") ||
        t == QLatin1String("1"))
        return true;
    if (t == QLatin1String("false") || t == QLatin1String("no") || t == QLatin1String("off") ||
        t == QLatin1String("0"))
        return false;
    return std::nullopt;
}

FileContent read(const QString& path, qint64 maxSize)
{
    const QString tooBig = QStringLiteral("%1 is not a regular file of at most %2 KiB").arg(path).arg(maxSize / 1024);
    if (const QFileInfo info(path); info.exists() && (!info.isFile() || info.size() > maxSize))
        return {{}, tooBig};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, QStringLiteral("cannot read %1: %2").arg(path, file.errorString())};
    FileContent read{file.read(maxSize + 1), {}};  // it may have grown since
    if (read.content.size() > maxSize)
        return {{}, tooBig};
    return read;
}

std::optional<QString> notAbsent(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) == 0) {
        if (S_ISLNK(st.st_mode) && ::stat(name.constData(), &st) != 0)
            return QStringLiteral("%1 is a symbolic link to nothing (%2)").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return QString();
    }
    if (errno != ENOENT)
        return QString::fromLocal8Bit(std::strerror(errno));
    const QString folder = QFileInfo(path).path();
    const QByteArray folderName = QFile::encodeName(folder);
    if (::lstat(folderName.constData(), &st) != 0)
        return errno == ENOENT && folder != path ? notAbsent(folder) : std::optional(QString::fromLocal8Bit(std::strerror(errno)));
    if (::stat(folderName.constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        ::faccessat(AT_FDCWD, folderName.constData(), X_OK, AT_EACCESS) != 0)
        return QStringLiteral("%1 is not a folder that may be searched").arg(folder);
    return std::nullopt;
}

}  // namespace IniFile
