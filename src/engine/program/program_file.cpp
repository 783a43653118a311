#include "engine/program/program_file.h"

#include "engine/save_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace ProgramFile {

std::vector<QByteArray> parse(const QByteArray& content)
{
    std::vector<QByteArray> rows;
    QByteArray piece;
    const qsizetype n = content.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = content[i];
        if (c == '\r' && i + 1 < n && content[i + 1] == '\n')
            continue;  // CR LF reads as a single line end
        if (piece.size() == PieceLength) {
            rows.push_back(piece);
            piece.clear();
        }
        if (c == '\n') {
            rows.push_back(piece);
            piece.clear();
            continue;
        }
        piece.append(c);
    }
    if (!piece.isEmpty() || rows.empty())
        rows.push_back(piece);
    return rows;
}

QByteArray serialize(const std::vector<QByteArray>& rows)
{
    qsizetype size = 0;
    for (const auto& row : rows)
        size += row.size() + 2;
    QByteArray bytes;
    bytes.reserve(size);
    for (const auto& row : rows) {
        bytes.append(row);
        bytes.append("\r\n", 2);
    }
    return bytes;
}

QString savePath(const QString& chosen)
{
    return chosen.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive) ? chosen
                                                                        : chosen + QLatin1String(".txt");
}

QString tooLarge(const QString& path)
{
    return QStringLiteral("Cannot open \"%1\": the file is larger than %2 MB and cannot be a program.")
        .arg(QDir::toNativeSeparators(path))
        .arg(MaxFileSize / (1024 * 1024));
}

QString readError(const QString& path, const QFile& file)
{
    return QStringLiteral("Cannot read \"%1\": %2.").arg(QDir::toNativeSeparators(path), file.errorString());
}

QString openForReading(const QString& path, QFile& file)
{
    const QString shown = QDir::toNativeSeparators(path);
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("Cannot open \"%1\": the file does not exist.").arg(shown);
    if (info.isDir())
        return QStringLiteral("Cannot open \"%1\": it is a folder, not a file.").arg(shown);
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Cannot open \"%1\": %2.").arg(shown, file.errorString());
    if (file.size() > MaxFileSize)
        return tooLarge(path);
    return {};
}

Outcome<std::vector<QByteArray>> read(const QString& path)
{
    using Result = Outcome<std::vector<QByteArray>>;
    QFile file;
    if (const QString error = openForReading(path, file); !error.isEmpty())
        return Result::failure(error);
    // Read one byte past the limit: a file that grows, or reports no size,
    // is caught here too.
    QByteArray content = file.read(MaxFileSize + 1);
    if (file.error() != QFileDevice::NoError)
        return Result::failure(readError(path, file));
    if (content.size() > MaxFileSize)
        return Result::failure(tooLarge(path));
    return Result::success(parse(content));
}

QString write(const QString& path, const std::vector<QByteArray>& rows)
{
    if (const QString reason = saveWholeFile(path, serialize(rows)); !reason.isEmpty())
        return QStringLiteral("Cannot save \"%1\": %2.").arg(QDir::toNativeSeparators(path), reason);
    return {};
}

}  // namespace ProgramFile
