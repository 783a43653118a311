#include "engine/save_file.h"

#include <QSaveFile>

QString saveWholeFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    // In a folder where no new file can be made, the file is written in place.
    file.setDirectWriteFallback(true);
    // Flush before committing: commit() would replace the file even when the
    // buffered write fell short (a full disk, say).
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() ||
        !file.commit())
        return file.errorString();
    return {};
}
