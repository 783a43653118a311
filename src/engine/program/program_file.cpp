#include "engine/program/program_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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

ReadResult read(const QString& path)
{
    ReadResult result;
    const QString shown = QDir::toNativeSeparators(path);
    const QFileInfo info(path);
    if (!info.exists()) {
        result.error = QStringLiteral("Cannot open \"%1\": the file does not exist.").arg(shown);
        return result;
    }
    if (info.isDir()) {
        result.error = QStringLiteral("Cannot open \"%1\": it is a folder, not a file.").arg(shown);
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = QStringLiteral("Cannot open \"%1\": %2.").arg(shown, file.errorString());
        return result;
    }
    const QString tooLarge = QStringLiteral("Cannot open \"%1\": the file is larger than %2 MB "
                                            "and cannot be a program.")
                                 .arg(shown)
                                 .arg(MaxFileSize / (1024 * 1024));
    if (file.size() > MaxFileSize) {
        result.error = tooLarge;
        return result;
    }
    // Read one byte past the limit: a file that grows, or reports no size,
    // is caught here too.
    QByteArray content = file.read(MaxFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        result.error = QStringLiteral("Cannot read \"%1\": %2.").arg(shown, file.errorString());
        return result;
    }
    if (content.size() > MaxFileSize) {
        result.error = tooLarge;
        return result;
    }
    result.rows = parse(content);
    result.ok = true;
    return result;
}

bool write(const QString& path, const std::vector<QByteArray>& rows, QString* error)
{
    QSaveFile file(path);
    // In a folder where no new file can be made, the file is written in place.
    file.setDirectWriteFallback(true);
    const QByteArray bytes = serialize(rows);
    // A small image only reaches the write buffer; flush it here, as commit()
    // would replace the file even when that last write fell short.
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() ||
        !file.commit()) {
        if (error)
            *error = QStringLiteral("Cannot save \"%1\": %2.")
                         .arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    return true;
}

}  // namespace ProgramFile
