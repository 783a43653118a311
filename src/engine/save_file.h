#pragma once

#include <QByteArray>
#include <QString>

// Replaces the file at path with bytes: atomically where the folder takes a
// new file, else in place. Returns an error text, empty on success: QSaveFile's
// own words for why the file could not be written.
QString saveWholeFile(const QString& path, const QByteArray& bytes);
