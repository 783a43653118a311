#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

// Program files: plain single-byte text, one program row a line, every line
// ended by CR LF, no header.
namespace ProgramFile {

// Lines are read in pieces of at most this many characters; each piece is a row.
inline constexpr int PieceLength = 24;
// A program file larger than this is refused instead of being read.
inline constexpr qint64 MaxFileSize = 32 * 1024 * 1024;

// Splits file content into rows. A line ends at LF; a CR directly before the
// LF is dropped. A piece ends after its line end or after PieceLength
// characters, whichever comes first. The last line counts even without a line
// end. Empty content gives one empty row.
std::vector<QByteArray> parse(const QByteArray& content);

// The file image of rows: each row followed by CR LF.
QByteArray serialize(const std::vector<QByteArray>& rows);

// The name a program is saved under: ".txt" is appended unless the chosen
// name already ends with it.
QString savePath(const QString& chosen);

struct ReadResult {
    bool ok = false;
    std::vector<QByteArray> rows;
    QString error;  // names the file and the reason when !ok
};
ReadResult read(const QString& path);

// Writes atomically; on failure an existing file is left whole and error
// names the file and the reason.
bool write(const QString& path, const std::vector<QByteArray>& rows, QString* error);

}  // namespace ProgramFile
