#pragma once

#include "engine/program/program_file.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <vector>

// The program reader of the command line and the daemon, stricter than the
// window's: a program is taken whole or not at all, before any board is
// opened.
//
// A row is exactly eight characters '0' or '1' (relays 1-8), a '-' and 1 to 4
// decimal digits (the step's duration in ticks, 0-9999), nothing else. Rows
// are separated by CR LF or LF; the last row may lack its line end; empty
// lines at the very end are ignored; a UTF-8 byte-order mark at the very
// start is skipped. Refused: no rows at all, an empty line before a row, a
// CR not followed by LF, a line longer than MaxLineLength bytes, and any line
// that is not a row.
namespace StrictProgram {

inline constexpr int MaxLineLength = 64;
// A file larger than this is refused unread (as the window does).
inline constexpr qint64 MaxFileSize = ProgramFile::MaxFileSize;

struct Result {
    std::vector<QByteArray> rows;  // the rows, without line ends, when ok()
    int line = 0;                  // the 1-based line refused; 0 when the file could not be read
    QString reason;                // why, in one line, naming the row; empty when ok()

    bool ok() const { return reason.isEmpty(); }
    // "name:line: reason", or the reason alone when no line is at fault.
    QString message(const QString& name) const;
};

// Why text (one line without its line end) is not a row, or an empty text
// when it is one.
QString rowError(QByteArrayView text);

// Reads a whole program from content.
Result parse(QByteArrayView content);

// Reads the program file at path in pieces, stopping at the first fault: a
// huge file or line is refused without being read whole.
Result read(const QString& path);

}  // namespace StrictProgram
