#pragma once

#include "engine/outcome.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <vector>

// Program files: plain single-byte text, one program row a line, every line
// ended by CR LF, no header.
namespace ProgramFile {

// Lines are read in pieces of at most this many characters; each piece is a row.
inline constexpr int PieceLength = 24;
// A program file larger than this is refused instead of being read.
inline constexpr qint64 MaxFileSize = 32 * 1024 * 1024;

// Opens path for reading as a program: empty, or why not ("Cannot open ...":
// missing, a folder, not readable, larger than MaxFileSize). Readers of their
// own hold what they read to MaxFileSize too, with tooLarge(path).
QString openForReading(const QString& path, QFile& file);
QString tooLarge(const QString& path);
// Why reading file failed part-way.
QString readError(const QString& path, const QFile& file);

// Splits file content into rows. A line ends at LF; a CR directly before the
// LF is dropped. A piece ends after its line end or after PieceLength
// characters, whichever comes first. The last line counts even without a line
// end. Empty content gives one empty row.
std::vector<QByteArray> parse(const QByteArray& content);

// The file image of rows: each row followed by CR LF.
QByteArray serialize(const std::vector<QByteArray>& rows);

// The name a program is saved under: ".txt" is appended unless the chosen
// name already ends with it, in any case (PROG.TXT stays PROG.TXT).
QString savePath(const QString& chosen);

// The rows of the file, or an error that names the file and the reason.
Outcome<std::vector<QByteArray>> read(const QString& path);

// Writes atomically where the folder allows a new file, else in place; a
// read-only file is never written. On failure error names the file and the
// reason; an existing file is left whole unless writing in place failed
// part-way. Empty on success.
QString write(const QString& path, const std::vector<QByteArray>& rows);

}  // namespace ProgramFile
