#include "engine/program/strict_program.h"

#include "engine/printable.h"
#include "engine/program/program_file.h"
#include "engine/program/program_row.h"

#include <QFile>

#include <algorithm>

namespace StrictProgram {
namespace {

constexpr char Bom[] = "\xEF\xBB\xBF";

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Takes content piece by piece, a byte at a time, holding at most one line.
class Reader {
public:
    // False once a fault is found; result_ says which.
    bool feed(QByteArrayView bytes)
    {
        for (const char c : bytes) {
            if (!result_.ok())
                return false;
            if (afterCr_) {
                afterCr_ = false;
                if (c != '\n')
                    return refuse(QStringLiteral("a CR (carriage return) not followed by LF"));
                endLine();
            } else if (c == '\r') {
                afterCr_ = true;
            } else if (c == '\n') {
                endLine();
            } else if (text_.size() == MaxLineLength + (line_ == 1 && text_.startsWith(Bom) ? 3 : 0)) {
                return refuse(QStringLiteral("the line is longer than %1 bytes").arg(MaxLineLength));
            } else {
                text_.append(c);
            }
        }
        return result_.ok();
    }

    Result finish()
    {
        if (result_.ok() && afterCr_)
            refuse(QStringLiteral("a CR (carriage return) not followed by LF"));
        if (result_.ok() && !text_.isEmpty())
            endLine();
        if (result_.ok() && result_.rows.empty()) {
            line_ = 1;
            refuse(QStringLiteral("no rows: a program has at least one row, such as 10100000-15"));
        }
        if (!result_.ok())
            result_.rows.clear();
        return std::move(result_);
    }

private:
    bool refuse(QString reason)
    {
        result_.line = line_;
        result_.reason = std::move(reason);
        return false;
    }

    void endLine()
    {
        if (line_ == 1 && text_.startsWith(Bom))
            text_.remove(0, 3);
        if (text_.isEmpty()) {
            if (emptyLine_ == 0)
                emptyLine_ = line_;
        } else if (emptyLine_ != 0) {
            line_ = emptyLine_;
            refuse(QStringLiteral("an empty line before a row"));
            return;
        } else if (QString why = rowError(text_); !why.isEmpty()) {
            refuse(std::move(why));
            return;
        } else {
            result_.rows.push_back(text_);
        }
        text_.clear();
        ++line_;
    }

    Result result_;
    QByteArray text_;
    int line_ = 1;
    int emptyLine_ = 0;  // the first of the empty lines since the last row
    bool afterCr_ = false;
};

}  // namespace

QString Result::message(const QString& name) const
{
    return line > 0 ? QStringLiteral("%1:%2: %3").arg(name).arg(line).arg(reason) : reason;
}

QString rowError(QByteArrayView text)
{
    const QString row = quotedBytes(text);
    for (qsizetype relay = 1; relay <= 8; ++relay) {
        if (relay > text.size())
            return QStringLiteral("%1 is not a row: a row is eight relays 0 or 1, \"-\" and a "
                                  "duration of 0 to %2 ticks, such as 10100000-15")
                .arg(row)
                .arg(ProgramRow::MaxDuration);
        if (text[relay - 1] != '0' && text[relay - 1] != '1')
            return QStringLiteral("%1: relay %2 is %3, not 0 or 1")
                .arg(row)
                .arg(relay)
                .arg(quotedBytes(text.sliced(relay - 1, 1)));
    }
    if (text.size() == 8 || text[8] != '-')
        return QStringLiteral("%1: the eight relays are not followed by \"-\" and a duration").arg(row);
    const QByteArrayView duration = text.sliced(9);
    if (duration.isEmpty() || duration.size() > 4 || !std::all_of(duration.begin(), duration.end(), isDigit))
        return QStringLiteral("%1: the duration %2 is not a number of 0 to %3 ticks")
            .arg(row, quotedBytes(duration))
            .arg(ProgramRow::MaxDuration);
    return {};
}

Result parse(QByteArrayView content)
{
    Reader reader;
    reader.feed(content);
    return reader.finish();
}

Result read(const QString& path)
{
    Result result;
    QFile file;
    result.reason = ProgramFile::openForReading(path, file);
    if (!result.ok())
        return result;
    // Pieces are read until the first fault; a file that grows, or has no
    // size (a pipe), is held to the same limit as it is read.
    Reader reader;
    char piece[16 * 1024];
    qint64 total = 0;
    for (qint64 got; (got = file.read(piece, sizeof piece)) > 0;) {
        total += got;
        if (total > MaxFileSize) {
            result.reason = ProgramFile::tooLarge(path);
            return result;
        }
        if (!reader.feed(QByteArrayView(piece, got)))
            break;
    }
    if (file.error() != QFileDevice::NoError) {
        result.reason = ProgramFile::readError(path, file);
        return result;
    }
    return reader.finish();
}

}  // namespace StrictProgram
